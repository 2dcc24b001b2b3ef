#!/usr/bin/env bash
# Fails when a C++ source file that git tracks is not formatted as
# .clang-format says (a dry run: nothing is changed). Fix with
#   git ls-files '*.cc' '*.h' | xargs clang-format -i
set -euo pipefail
cd "$(dirname "$0")/.."
files=$(git ls-files '*.cc' '*.h')
if ! out=$(printf '%s\n' $files | xargs clang-format --dry-run -Werror 2>&1); then
  printf '%s\n' "$out" | grep -E '^[^ ].*(error|warning):' | cut -d: -f1 | sort -u |
    sed 's/^/not formatted: /'
  exit 1
fi
echo "format: $(printf '%s\n' $files | wc -l) files formatted"

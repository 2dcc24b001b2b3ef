#!/usr/bin/env bash
# Checks that README.md shows the lamp example exactly as it is built and
# tested: its first C++ block under "Writing a machine" is examples/lamp.cc
# from its first #include on, and its block under "Testing a machine" is
# examples/lamp_test.cc. Prints the difference and exits 1 when they drift.
set -euo pipefail
cd "$(dirname "$0")/.."

# block HEADING: the first ```cpp block after the line "## HEADING".
block() {
  awk -v h="## $1" '$0 == h {f = 1} f && /^```cpp/ {g = 1; next} g && /^```/ {exit} g' README.md
}

bad=0
diff -u <(sed -n '/^#include/,$p' examples/lamp.cc) <(block "Writing a machine") || bad=1
diff -u examples/lamp_test.cc <(block "Testing a machine") || bad=1
if [[ $bad -ne 0 ]]; then
  echo "readme: README.md's lamp differs from examples/lamp.cc or examples/lamp_test.cc"
  exit 1
fi
echo "readme: the lamp in README.md is the one built and tested"

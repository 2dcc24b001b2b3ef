#!/usr/bin/env bash
# Checks that every source includes only what its folder may use: folders
# are layers and the arrows point down only.
#   framework/     framework/
#   fsm/           fsm/, framework/; only the umbrella fsm/fsm.h includes
#                  server/fsm_binding.h, and nothing else in fsm/ includes
#                  the umbrella
#   save_restore/  save_restore/, fsm/ (not fsm/fsm.h), framework/
#   server/        server/, fsm/, save_restore/, framework/
#   testkit/       testkit/ and the library's folders
#   tests/, examples/, bench/, fuzz/: their own folder, the library's
#                  folders and testkit/, never another program's
# Includes are by path from the root; one that climbs with ../ or names no
# folder is refused too. Prints each forbidden #include and exits 1 if there
# is one.
set -euo pipefail
cd "$(dirname "$0")/.."

library="framework fsm server save_restore"
apps="tests examples bench fuzz"
kit="testkit"

# allowed FILE TARGET: whether FILE may include TARGET (both from the root).
allowed() {
  local file=$1 target=$2
  local from=${file%%/*} to=${target%%/*}
  [[ $target == */* && $target != *../* ]] || return 1
  case $from in
    framework) [[ $to == framework ]] ;;
    fsm)
      if [[ $target == server/fsm_binding.h ]]; then
        [[ $file == fsm/fsm.h ]]
      elif [[ $target == fsm/fsm.h ]]; then
        return 1
      else
        [[ $to == fsm || $to == framework ]]
      fi
      ;;
    save_restore)
      [[ $target != fsm/fsm.h ]] &&
        [[ $to == save_restore || $to == fsm || $to == framework ]]
      ;;
    server) [[ $to == server || $to == fsm || $to == save_restore || $to == framework ]] ;;
    testkit) [[ $to == testkit || " $library " == *" $to "* ]] ;;
    *) [[ $to == "$from" || $to == testkit || " $library " == *" $to "* ]] ;;
  esac
}

bad=0
include_line='^[[:space:]]*#[[:space:]]*include[[:space:]]*"([^"]*)"'
# shellcheck disable=SC2086
while IFS= read -r hit; do
  file=${hit%%:*}
  rest=${hit#*:}
  lineno=${rest%%:*}
  [[ ${rest#*:} =~ $include_line ]] || continue
  target=${BASH_REMATCH[1]}
  if ! allowed "$file" "$target"; then
    echo "forbidden include: $file:$lineno: #include \"$target\""
    bad=1
  fi
done < <(find $library $kit $apps -type f \( -name '*.h' -o -name '*.cc' -o -name '*.cpp' \
  -o -name '*.hpp' \) -print0 | sort -z | xargs -0 grep -nHE "$include_line" || true)

if [[ $bad -ne 0 ]]; then
  echo "layers: the includes above cross a layer boundary (see scripts/check_layers.sh)"
  exit 1
fi
echo "layers: every include stays within its layer's reach"

#!/usr/bin/env bash
# Checks that every source includes only what its folder may use: folders
# are layers and the arrows point down only.
#   framework/     sub-layers, lowest first: base/, values/, objects/,
#                  calls/, host/; a file in one includes only its own and
#                  lower sub-layers. Only the umbrella framework/norix.h sits
#                  in framework/ itself; it may include any sub-layer below
#                  host/, and nothing in framework/ includes it
#   fsm/           fsm/, framework/ but never framework/host/ (the runtime);
#                  only the umbrella fsm/fsm.h includes server/fsm_binding.h,
#                  and nothing else in fsm/ includes the umbrella
#   save_restore/  save_restore/, fsm/ (not fsm/fsm.h), framework/ but never
#                  framework/host/
#   server/        server/, fsm/, save_restore/, framework/
#   writer/        writer/ and the library's folders (fsm/fsm.h included):
#                  the layer for writing machines, on the plain interface
#   testkit/       testkit/, writer/ and the library's folders
#   tests/, examples/, bench/, fuzz/: their own folder, the library's
#                  folders, writer/ and testkit/, never another program's
# Includes are by path from the root; one that climbs with ../ or names no
# folder is refused too. Prints each forbidden #include and exits 1 if there
# is one.
set -euo pipefail
cd "$(dirname "$0")/.."

library="framework fsm server save_restore"
apps="tests examples bench fuzz"
kit="testkit writer"
sublayers="base values objects calls host"
declare -A rank=()  # a sub-layer's place in framework/, lowest 0
for s in $sublayers; do rank[$s]=${#rank[@]}; done

# framework_allowed FILE TARGET: both in framework/, by the sub-layer rule.
framework_allowed() {
  local file=${1#framework/} target=${2#framework/} from to
  [[ $target == */* ]] || return 1  # the umbrella, or a loose file
  to=${rank[${target%%/*}]:-}
  [[ -n $to ]] || return 1
  if [[ $file != */* ]]; then
    [[ $file == norix.h && ${target%%/*} != host ]]
    return
  fi
  from=${rank[${file%%/*}]:-}
  [[ -n $from && $to -le $from ]]
}

# allowed FILE TARGET: whether FILE may include TARGET (both from the root).
allowed() {
  local file=$1 target=$2
  local from=${file%%/*} to=${target%%/*}
  [[ $target == */* && $target != *../* ]] || return 1
  case $from in
    framework) [[ $to == framework ]] && framework_allowed "$file" "$target" ;;
    fsm)
      if [[ $target == framework/host/* ]]; then
        return 1
      elif [[ $target == server/fsm_binding.h ]]; then
        [[ $file == fsm/fsm.h ]]
      elif [[ $target == fsm/fsm.h ]]; then
        return 1
      else
        [[ $to == fsm || $to == framework ]]
      fi
      ;;
    save_restore)
      [[ $target != fsm/fsm.h && $target != framework/host/* ]] &&
        [[ $to == save_restore || $to == fsm || $to == framework ]]
      ;;
    server) [[ $to == server || $to == fsm || $to == save_restore || $to == framework ]] ;;
    writer) [[ $to == writer || " $library " == *" $to "* ]] ;;
    testkit) [[ $to == testkit || $to == writer || " $library " == *" $to "* ]] ;;
    *) [[ $to == "$from" || $to == testkit || $to == writer || " $library " == *" $to "* ]] ;;
  esac
}

bad=0
# Every file of framework/ sits in a sub-layer, but the umbrella.
while IFS= read -r loose; do
  echo "outside the sub-layers: $loose (framework/ holds only norix.h and $sublayers)"
  bad=1
done < <(find framework -mindepth 1 -maxdepth 1 ! -name norix.h \
  ! \( -type d \( -name base -o -name values -o -name objects -o -name calls -o -name host \) \) |
  sort)
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

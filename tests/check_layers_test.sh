#!/usr/bin/env bash
# Proves that scripts/check_layers.sh refuses what it should: on a copy of
# the tree's sources it must pass as they are, and fail on each forbidden
# include added alone (one pointing up inside framework/, fsm/ or
# save_restore/ including the runtime, framework/ including fsm/) and on a
# loose file in framework/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# The sources once into a template, then a fresh copy of it per case.
mkdir -p "$tmp/template/scripts"
cp "$root/scripts/check_layers.sh" "$tmp/template/scripts/"
(cd "$root" && find framework fsm server save_restore testkit tests examples bench fuzz \
  -name node_modules -prune -o -type f \( -name '*.h' -o -name '*.cc' -o -name '*.cpp' \
  -o -name '*.hpp' \) -print0 2>/dev/null | tar --null -T - -cf -) | tar -xf - -C "$tmp/template"

fresh() {
  rm -rf "$tmp/tree"
  cp -r "$tmp/template" "$tmp/tree"
}

failed=0
expect() {  # expect pass|fail WHAT
  local want=$1 what=$2 got=pass
  "$tmp/tree/scripts/check_layers.sh" >"$tmp/out" 2>&1 || got=fail
  if [[ $got == "$want" ]]; then
    echo "ok: $what: $got"
  else
    echo "FAILED: $what: expected $want, got $got"
    cat "$tmp/out"
    failed=1
  fi
}

# add FILE LINE: appends an include line to a file of the copy.
add() { printf '%s\n' "$2" >>"$tmp/tree/$1"; }

fresh
expect pass "the tree as it is"

fresh
add framework/values/eq_data.cc '#include "framework/objects/eq_fct.h"'
expect fail "values/ including objects/ (up)"

fresh
add framework/base/log.h '#include "framework/values/errors.h"'
expect fail "base/ including values/ (up)"

fresh
add framework/calls/eq_call.h '#include "framework/host/server.h"'
expect fail "calls/ including host/ (up)"

fresh
add framework/objects/registry.h '#include "framework/norix.h"'
expect fail "a sub-layer including the umbrella"

fresh
add framework/norix.h '#include "framework/host/server.h"'
expect fail "the umbrella including host/"

fresh
add fsm/fsm_core.h '#include "framework/host/server.h"'
expect fail "fsm/ including the runtime"

fresh
add save_restore/sr_func.h '#include "framework/host/startup.h"'
expect fail "save_restore/ including the runtime"

fresh
add framework/objects/eq_fct.cc '#include "fsm/fsm_core.h"'
expect fail "framework/ including fsm/"

fresh
add framework/host/server.cc '#include "framework/unknown/thing.h"'
expect fail "an include of an unknown sub-layer"

fresh
printf '// loose\n' >"$tmp/tree/framework/loose.h"
expect fail "a loose file in framework/"

fresh
add framework/host/server.cc '#include "framework/base/log.h"'
expect pass "host/ including base/ (down)"

exit $failed

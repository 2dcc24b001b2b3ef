#!/usr/bin/env bash
# The Debian packages install and an application builds against them: makes
# the packages of the build folder BUILD (cpack), or takes the .deb files of
# DEBS, checks that the dev and tools packages need the runtime of the same
# version, unpacks all of them into a scratch root, builds the lamp of
# README.md (its source taken from the README itself) out of tree against
# the root with nothing but CMAKE_PREFIX_PATH, and runs it with --check on a
# sound configuration (status 0) and on one naming an unknown machine type
# (status 2). Skipped (status 77) without dpkg-deb and dpkg-shlibdeps.
# Usage: package_test.sh SOURCE BUILD [DEBS]
set -euo pipefail
src=$1 build=$2 debs=${3:-}
for tool in dpkg-deb dpkg-shlibdeps cpack; do
  if ! command -v "$tool" >/dev/null; then
    echo "$tool is missing: the packages are not tested"
    exit 77
  fi
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
  echo "FAILED: $*"
  exit 1
}

if [ -z "$debs" ]; then
  debs=$work/debs
  cpack -G DEB --config "$build/CPackConfig.cmake" -B "$debs" >"$work/cpack.log" 2>&1 || {
    cat "$work/cpack.log"
    fail "cpack"
  }
fi
version=$(dpkg-deb -f "$debs"/libnorix-fsm1_*.deb Version)
for pkg in libnorix-fsm-dev norix-fsm-tools; do
  depends=$(dpkg-deb -f "$debs/${pkg}"_*.deb Depends)
  [[ $depends == *"libnorix-fsm1 (= $version)"* ]] ||
    fail "$pkg depends on '$depends', not on libnorix-fsm1 (= $version)"
done

root=$work/root
for deb in "$debs"/*.deb; do
  dpkg-deb -x "$deb" "$root"
done
for file in usr/bin/norix_client usr/bin/oven_server usr/lib/systemd/system/norix-fsm@.service \
  usr/share/doc/norix-fsm-tools/operating.md; do
  [ -e "$root/$file" ] || fail "/$file is not in the packages"
done

# The README's lamp: its first C++ block, the one that defines init_list,
# with the header that declares its create function for its test.
mkdir -p "$work/lamp/examples"
cp "$src/examples/lamp.h" "$work/lamp/examples/"
awk '/^```cpp/ { block = ""; inside = 1; next }
     /^```/ && inside { if (block ~ /init_list/) { printf "%s", block; exit } inside = 0 }
     inside { block = block $0 "\n" }' "$src/README.md" >"$work/lamp/lamp.cc"
grep -q "node_info\* init_list" "$work/lamp/lamp.cc" || fail "no lamp in README.md"
cat >"$work/lamp/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(lamp LANGUAGES CXX)
set(CMAKE_CXX_STANDARD 17)
find_package(norix_fsm 1.0 REQUIRED)
add_executable(lamp lamp.cc)
target_include_directories(lamp PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(lamp PRIVATE norix::host)
CMAKE
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S "$work/lamp" -B "$work/lamp/build" "${generator[@]}" -DCMAKE_PREFIX_PATH="$root/usr" \
  >"$work/lamp.log" 2>&1 && cmake --build "$work/lamp/build" >>"$work/lamp.log" 2>&1 || {
  cat "$work/lamp.log"
  fail "the lamp does not build against the packages"
}
# It runs on the root's libraries, not on the build folder's.
libs=$(ldd "$work/lamp/build/lamp")
[[ $libs == *"$root/usr/lib/"*"libfsm.so.1"* ]] || fail "the lamp loads another libfsm: $libs"

conf=$work/lamp.conf
printf 'server LAMP.FSM LAMP.SERVER\nlisten unix:%s/lamp.sock\nlocation LAMP 100 lamp\nOFF_AFTER \t300\n' \
  "$work" >"$conf"
out=$("$work/lamp/build/lamp" --check "$conf" 2>&1) || fail "--check of a sound configuration: $out"
echo "$out"
sed -i 's/ lamp$/ candle/' "$conf"
status=0
out=$("$work/lamp/build/lamp" --check "$conf" 2>&1) || status=$?
[ "$status" -eq 2 ] || fail "--check of an unknown machine type: status $status: $out"
echo "and the unknown type fails: $out"
echo "the packages ($version) install and the lamp builds against them"

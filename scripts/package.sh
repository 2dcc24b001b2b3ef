#!/usr/bin/env bash
# Makes the Debian packages (build/package/debs: libnorix-fsm1,
# libnorix-fsm-dev, norix-fsm-tools) from a build configured for /usr,
# checks them with lintian (build/package/lintian.txt) and installs them into
# a scratch root where the README's lamp is built against them
# (tests/package_test.sh). Fails on any lintian error or warning but those
# listed in packaging/lintian-overrides.txt, each with its reason.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
# What only this script uses.
need=()
for pkg in lintian dpkg-dev; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "${need[@]}"
fi

dir=build/package
cmake -S . -B "$dir" -G Ninja -DFSM_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_INSTALL_PREFIX=/usr -DFSM_BUILD_TESTS=OFF >/dev/null
cmake --build "$dir" -j "$(nproc)"
rm -rf "$dir/debs"
(cd "$dir" && cpack -G DEB -B "$PWD/debs" >/dev/null)
ls -l "$dir"/debs/*.deb

# The tags we accept, without their packages' names: "TAG reason".
mapfile -t accepted < <(grep -v '^#' packaging/lintian-overrides.txt | awk 'NF { print $1 }')
lintian --no-tag-display-limit "$dir"/debs/*.deb >"$dir/lintian.txt" 2>&1 || true
problems=$(grep -E '^[EW]: ' "$dir/lintian.txt" || true)
if [ ${#accepted[@]} -gt 0 ]; then
  tags=$(IFS='|' && echo "${accepted[*]}")
  problems=$(grep -v -E "^[EW]: [^ ]+: ($tags)( |\$)" <<<"$problems" || true)
fi
echo "lintian: $(grep -c '^[EWIN]: ' "$dir/lintian.txt" || true) notes, accepted:" \
  "${accepted[*]:-none}"
if [ -n "$problems" ]; then
  echo "$problems"
  exit 1
fi
bash tests/package_test.sh "$PWD" "$dir" "$PWD/$dir/debs"

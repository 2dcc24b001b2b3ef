#!/usr/bin/env bash
# scripts/screenshot.sh URL OUT.png [WIDTH [SELECTOR]]: a full-page screenshot
# of a server's web panel at URL (http://127.0.0.1:PORT/), WIDTH pixels wide
# (1280 by default), taken with headless Chromium once the panel has drawn
# every machine (not after a fixed time); for another page (the fleet view),
# once SELECTOR shows. Fails, saying why, when the panel
# has not drawn within 20 s. Installs Chromium, Node and the browser test's
# npm packages first if they are missing (scripts/deps.sh screenshot).
set -euo pipefail
if [ $# -lt 2 ] || [ $# -gt 4 ]; then
  echo "usage: $0 URL OUT.png [WIDTH [SELECTOR]]" >&2
  exit 2
fi
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/deps.sh" screenshot >&2
url=$1
case $2 in
  /*) png=$2 ;;
  *) png=$PWD/$2 ;;
esac
exec node "$top/tests/browser/screenshot.js" "$url" "$png" "${3:-1280}" ${4:+"$4"}

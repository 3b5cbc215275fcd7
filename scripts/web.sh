#!/usr/bin/env bash
# Builds the browser page (build-web/web/site/, plain files any static host
# can serve) and serves it on http://127.0.0.1:8096/ until Ctrl-C.
#   scripts/web.sh          build and serve
#   scripts/web.sh build    build only
#   scripts/web.sh dist     build, then write dist/: movdith.html (the whole
#                           page in one file, to open from a folder) and
#                           movdith-web.zip (the site, for any static host)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --packages-only web
cmake --preset web >/dev/null
cmake --build --preset web -j"$(nproc)"
case "${1:-}" in
  build) exit 0 ;;
  dist)
    mkdir -p dist
    cp build-web/web/dist/movdith.html build-web/web/dist/movdith-web.zip dist/
    ls -l dist/movdith.html dist/movdith-web.zip
    exit 0 ;;
esac
echo "movdith's page: http://127.0.0.1:8096/ (Ctrl-C stops the server)"
exec python3 -m http.server 8096 --bind 127.0.0.1 --directory build-web/web/site

#!/usr/bin/env bash
# Installs the Debian packages movdith needs (only those missing, from
# scripts/packages.txt), then configures and builds it in build/. Run as root
# on Debian 12.
#   scripts/setup.sh                        the tool and the preview
#   scripts/setup.sh tests                  also the tests and what they need
#   scripts/setup.sh tests web              also the browser page (build-web/: the site, the
#                                           one-file page and the zip) and its tests
#   scripts/setup.sh --packages-only GROUP...   only install those groups (web: and npm's packages)
set -euo pipefail
cd "$(dirname "$0")/.."

build=yes
if [[ "${1:-}" == "--packages-only" ]]; then
  build=no
  shift
fi
groups=(build run "$@")

packages=()
for group in "${groups[@]}"; do
  line=$(grep -E "^$group:" scripts/packages.txt) || { echo "setup.sh: no package group '$group'" >&2; exit 1; }
  read -ra names <<<"${line#*:}"
  packages+=("${names[@]}")
done
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" && continue
  # NodeSource's nodejs package brings npm itself, and conflicts with Debian's.
  [[ $p == npm ]] && command -v npm >/dev/null && continue
  missing+=("$p")
done
# apt-get with its output in $apt_log: waits up to 10 minutes for another
# apt or dpkg to let go of the package lock, and on failure says why on
# standard error (the last lines apt wrote, and where the rest is) and stops,
# so that whichever script called this one stops with the reason.
apt_get() {
  local status=0
  apt-get -o DPkg::Lock::Timeout=600 "$@" >>"$apt_log" 2>&1 || status=$?
  ((status == 0)) && return
  {
    echo "setup.sh: apt-get $1 failed (status $status); the last lines of its output ($apt_log):"
    tail -n 20 "$apt_log"
  } >&2
  exit 1
}

if ((${#missing[@]})); then
  apt_log=$(mktemp "${TMPDIR:-/tmp}/movdith-apt.XXXXXX")
  echo "Installing: ${missing[*]} (apt-get's output goes to $apt_log)"
  export DEBIAN_FRONTEND=noninteractive
  apt_get update -q
  apt_get install -y -q --no-install-recommends "${missing[@]}"
  rm -f "$apt_log"
fi

web=no
[[ " ${groups[*]} " == *" web "* ]] && web=yes
# The page's JavaScript packages, exactly as the lock file pins them.
[[ $web == yes ]] && npm ci --no-audit --no-fund --loglevel=error

[[ $build == yes ]] || exit 0
tests=OFF
[[ " ${groups[*]} " == *" tests "* ]] && tests=ON
web_tests=OFF
install_web=OFF
if [[ $web == yes ]]; then
  install_web=ON
  cmake --preset web >/dev/null
  cmake --build --preset web -j"$(nproc)"
  web_tests=$tests
fi
# With the page built, the install rules (and the Debian package) take it.
cmake --preset default -DMOVDITH_TESTS=$tests -DMOVDITH_WEB_TESTS=$web_tests -DMOVDITH_INSTALL_WEB=$install_web >/dev/null
cmake --build --preset default -j"$(nproc)"

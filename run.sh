#!/usr/bin/env bash
# Builds and starts the security manager "Tesmira Security".
# Without a settings file of the user's, the tool runs on a demo folder under
# build/ (settings plus an empty database folder; rm -rf build/demo resets
# it); --real always uses the user's own settings. The demo names the server
# 127.0.0.1 (an empty name would search the network at start) and keeps the
# server search on loopback: nothing leaves the machine.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/deps.sh

real=0
for arg in "$@"; do
  case "$arg" in
    --real) real=1 ;;
    *) echo "usage: $0 [--real]" >&2; exit 2 ;;
  esac
done

ensure_packages "${BUILD_PACKAGES[@]}"
build=build/debug
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$build" --target tesmira_security

appdata="${APPDATA:-${XDG_CONFIG_HOME:-$HOME/.config}}"
if [ $real -eq 0 ] && [ ! -f "$appdata/Tesmira/Tesmira.ini" ]; then
  demo="$PWD/build/demo"
  mkdir -p "$demo/appdata/Tesmira" "$demo/db"
  if [ ! -f "$demo/appdata/Tesmira/Tesmira.ini" ]; then
    # With a BOM, so that a checkout path outside ASCII reads as UTF-8;
    # DBConnect=0 selects "Server" (1 would leave both buttons clear).
    printf '\xEF\xBB\xBF[Configuration]\r\nDatenbankPfad=%s\r\nServer_Protocol=0\r\nDBConnect=0\r\nDBServer=127.0.0.1\r\nDBSAlias=\r\n' \
      "$demo/db" > "$demo/appdata/Tesmira/Tesmira.ini"
  fi
  export APPDATA="$demo/appdata"
  echo "No settings file found: using the demo folder $demo"
  exec "$build/app/tesmira_security" --loopback-only
fi
exec "$build/app/tesmira_security"

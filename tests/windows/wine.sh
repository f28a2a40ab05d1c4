#!/usr/bin/env bash
# Runs Windows programs under Wine, in the private prefix named by
# WINEPREFIX (inside the build folder).
#   wine.sh start          starts a wine server that stays, and sets the
#                          prefix up on first use
#   wine.sh stop           stops the server and every program still running
#   wine.sh run PROGRAM [ARGUMENTS...]
# Every stream of the server is sent to /dev/null: a server that inherits a
# pipe keeps it open, and whoever reads that pipe would wait for ever.
set -euo pipefail
: "${WINEPREFIX:?WINEPREFIX must name the prefix folder}"
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="winedbg.exe=d"

case "${1:-}" in
  start)
    mkdir -p "$WINEPREFIX"
    # Fails when a server runs already, which serves as well.
    wineserver -p </dev/null >/dev/null 2>&1 || true
    wine wineboot -i </dev/null >/dev/null 2>&1
    ;;
  stop)
    wineserver -k </dev/null >/dev/null 2>&1 || true
    ;;
  run)
    shift
    exec wine "$@"
    ;;
  *)
    echo "usage: $0 start | stop | run PROGRAM [ARGUMENTS...]" >&2
    exit 2
    ;;
esac

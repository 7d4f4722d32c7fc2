#!/usr/bin/env bash
# Runs a Windows program under Wine, headless and quiet, in the prefix named by TARVOS_WINEPREFIX (or
# WINEPREFIX; default: wine-prefix beside the program's build tree). The prefix is created on first use,
# under a lock so that parallel runs do not race.
set -euo pipefail
launcher=${TARVOS_WINE:-}
if [ -z "$launcher" ]; then
  if [ -x /usr/lib/wine/wine64 ]; then launcher=/usr/lib/wine/wine64; else launcher=$(command -v wine64 || command -v wine); fi
fi
if [ -z "${TARVOS_WINEPREFIX:-}" ]; then
  program_dir=$(cd "$(dirname "$1")" && pwd)
  build_dir=$program_dir
  while [ "$build_dir" != / ] && [ ! -f "$build_dir/CMakeCache.txt" ]; do build_dir=$(dirname "$build_dir"); done
  [ "$build_dir" = / ] && build_dir=$program_dir
  TARVOS_WINEPREFIX=$build_dir/wine-prefix
fi
export WINEPREFIX=$TARVOS_WINEPREFIX WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
unset DISPLAY WAYLAND_DISPLAY
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      "$launcher" wineboot --init >/dev/null 2>&1 || true
      server=$(dirname "$launcher")/wineserver
      [ -x "$server" ] && "$server" -w || true
    fi
  ) 9>"$WINEPREFIX.lock"
fi
# A wine server that a program starts itself keeps that program's standard output open, so whoever
# reads it (ctest) would wait for the server to exit. Start it here, detached from every stream; it
# ends itself once no program has used it for a while. (One already running makes this a no-op.)
wineserver=$(dirname "$launcher")/wineserver
[ -x "$wineserver" ] || wineserver=$(command -v wineserver || true)
if [ -n "$wineserver" ]; then
  "$wineserver" -p10 </dev/null >/dev/null 2>&1 || true
fi
exec "$launcher" "$@"

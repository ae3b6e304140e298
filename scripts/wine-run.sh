#!/usr/bin/env bash
# Runs one Windows program under 64-bit Wine with a private, throwaway prefix and no dialogs:
#   scripts/wine-run.sh program.exe [arguments...]
# WINEPREFIX may be set by the caller (the build sets one inside its own folder); otherwise a
# prefix in the current folder is used. The program's exit code is passed on.
set -euo pipefail

wine_program() {
  local candidate
  for candidate in "${QUORVIN_WINE:-}" /usr/lib/wine/wine64 "$(command -v wine64 || true)" \
                   "$(command -v wine || true)"; do
    if [ -n "$candidate" ] && [ -x "$candidate" ]; then
      echo "$candidate"
      return 0
    fi
  done
  echo "wine-run.sh: no 64-bit Wine found (apt-get install wine64)" >&2
  return 1
}

wine=$(wine_program)
export WINEPREFIX="${WINEPREFIX:-$PWD/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
# An empty override for mscoree and mshtml keeps wineboot from offering the Mono and Gecko
# installers, which would wait for a click that never comes.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
# A 64-bit prefix: this machine cannot run 32-bit code, so no WoW64 half is wanted.
export WINEARCH=win64
mkdir -p "$WINEPREFIX"
exec "$wine" "$@"

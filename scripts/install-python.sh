#!/usr/bin/env bash
# Builds the Python package `quorvin` (the default preset's _core module) and installs it into the
# system Python, /usr/local/lib/python3.X/dist-packages. Run it as root or as a user with sudo (it
# asks for sudo only to install). DESTDIR, as cmake --install reads it, stages the files elsewhere.
set -euo pipefail

cd "$(dirname "$0")/.."
cmake --preset default >/dev/null
cmake --build --preset default -j 2 --target _core
as_root=()
if [ "$(id -u)" -ne 0 ] && [ -z "${DESTDIR:-}" ]; then
  command -v sudo >/dev/null || { echo "install-python.sh: run as root, or install sudo" >&2; exit 1; }
  as_root=(sudo)
fi
"${as_root[@]}" env ${DESTDIR:+DESTDIR="$DESTDIR"} cmake --install build/default --component python

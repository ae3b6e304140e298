#!/usr/bin/env bash
# Installs the Python package `quorvin` into the system Python as pip installs any package: a
# wheel built from this checkout (setup.py, which has CMake build the _core module) installed by
# pip under /usr/local/lib/python3.X/dist-packages with its metadata, so that pip lists and
# uninstalls it and importlib.metadata gives its version, as after `pip install .` in a venv.
# Offline: no index is asked; setuptools and numpy are Debian's (scripts/install-deps.sh).
# Debian marks its Python as apt's (EXTERNALLY-MANAGED): pip installs into it only with
# --break-system-packages, given here. That is sound for this one package: pip, run as root, puts
# it under /usr/local, where apt keeps no file, and --no-deps leaves every apt package as it is.
# Run as root or as a user with sudo (sudo only to install; the wheel is built as the caller).
# DESTDIR stages the files under another root instead (pip --root). PYTHON picks the interpreter.
set -euo pipefail

cd "$(dirname "$0")/.."
python=${PYTHON:-/usr/bin/python3}
wheels=$(mktemp -d)
trap 'rm -rf "$wheels"' EXIT
"$python" -m pip wheel --no-index --no-build-isolation --no-deps --quiet --wheel-dir "$wheels" .
install=(-m pip install --no-index --no-deps --force-reinstall --quiet)
# pip older than 23 neither checks EXTERNALLY-MANAGED nor knows the option.
if "$python" -m pip install --help | grep -q -- --break-system-packages; then install+=(--break-system-packages); fi
as_root=()
if [ -n "${DESTDIR:-}" ]; then
  install+=(--root "$DESTDIR")
elif [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "install-python.sh: run as root, or install sudo" >&2; exit 1; }
  as_root=(sudo)
fi
if [ "$(id -u)" -eq 0 ] || [ ${#as_root[@]} -gt 0 ]; then install+=(--root-user-action=ignore); fi
"${as_root[@]}" "$python" "${install[@]}" "$wheels"/quorvin-*.whl

#!/usr/bin/env bash
# Installs, from Debian's packages, what building and testing Quorvin needs, skipping what is
# already there. Run it as root or as a user with sudo (it asks for sudo only to install); pass
# package groups to install more than the core. The Python package's optional ones, each skipped
# by the tests where absent: python3-torch, python3-matplotlib, python3-pandas, python3-distributed
# (Dask, for quorvin.distributed); .ci/run passes them all.
# Independent decoders the interop tests read the standards' files with, each skipped where
# absent: dump1090-mutability (ADS-B), multimon-ng (POCSAG, APRS), direwolf (APRS) and gnuais
# (AIS); .ci/run installs them.
set -euo pipefail

# HDF5 and h5py are in the core set: README's main job and recipes write and read the container.
# pip (with Debian's setuptools and wheel) and venv: both of README's Python installs go through pip.
core=(cmake g++ make libgtest-dev libbenchmark-dev libcli11-dev nlohmann-json3-dev python3 python3-jsonschema
  python3-dev pybind11-dev python3-numpy python3-pytest libhdf5-dev python3-h5py python3-pip python3-venv)

missing=()
for package in "${core[@]}" "$@"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  # Root installs directly (a fresh Debian has no sudo); anyone else goes through sudo.
  as_root=()
  if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || { echo "install-deps.sh: run as root, or install sudo" >&2; exit 1; }
    as_root=(sudo)
  fi
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

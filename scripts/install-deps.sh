#!/usr/bin/env bash
# Installs, from Debian's packages, what building and testing Quorvin needs, skipping what is
# already there. Run as root (CI runs as root); pass package groups to install more than the core.
set -euo pipefail

core=(cmake g++ make libgtest-dev libbenchmark-dev libcli11-dev nlohmann-json3-dev python3 python3-jsonschema
  python3-dev pybind11-dev python3-numpy python3-pytest)

missing=()
for package in "${core[@]}" "$@"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

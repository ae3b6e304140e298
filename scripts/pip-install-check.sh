#!/usr/bin/env bash
# `pip install .` as README gives it, offline: a virtual environment over the system Python's
# packages (numpy, setuptools from Debian), the package built from this checkout with no index
# reached, then imported from elsewhere with its metadata and version. Takes a few minutes: the
# core is compiled afresh (ccache, where configured, shortens it). PYTHON picks the interpreter.
set -euo pipefail

cd "$(dirname "$0")/.."
python=${PYTHON:-/usr/bin/python3}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$python" -m venv --system-site-packages "$work/venv"
"$work/venv/bin/pip" install --no-index --no-build-isolation --quiet .
expected=$(sed -n 's/^project(quorvin VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
cd "$work"
"$work/venv/bin/python" - "$expected" "$work/venv" <<'PY'
import importlib.metadata
import sys

import quorvin

expected, venv = sys.argv[1], sys.argv[2]
assert quorvin.__file__.startswith(venv), quorvin.__file__
assert quorvin.__version__ == importlib.metadata.version("quorvin") == expected, quorvin.__version__
samples, labels = quorvin.Dataset(quorvin.Config("QPSK", signal_model="exact", samples_per_file=256), 2, seed=1)[1]
assert samples.shape == (256,) and labels["modulation"] == "QPSK"
print("pip install . gives quorvin", quorvin.__version__)
PY

#!/usr/bin/env bash
# Both of README's installs, offline, each checked from elsewhere for its package metadata (pip
# list, importlib.metadata) giving the project's version: `pip install .` into a virtual
# environment over the system Python's packages (numpy, setuptools, h5py from Debian), with an
# HDF5 container written and read back; and scripts/install-python.sh's wheel, staged with
# DESTDIR. The first run compiles the core (85 s of CPU time); later runs reuse build/temp.* and
# ccache and take seconds. PYTHON picks the interpreter.
set -euo pipefail

cd "$(dirname "$0")/.."
python=${PYTHON:-/usr/bin/python3}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
expected=$(sed -n 's/^project(quorvin VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)

# One install checked: the folder it must be imported from, pip's --path (or ""), the command of
# its Python.
check() {
  local where=$1 site=$2
  shift 2
  (cd "$work" && "$@" - "$expected" "$where" <<'PY'
import importlib.metadata
import sys

import quorvin

expected, where = sys.argv[1], sys.argv[2]
assert quorvin.__file__.startswith(where), quorvin.__file__
assert quorvin.__version__ == importlib.metadata.version("quorvin") == expected, quorvin.__version__
samples, labels = quorvin.Dataset(quorvin.Config("QPSK", signal_model="exact", samples_per_file=256), 2, seed=1)[1]
assert samples.shape == (256,) and labels["modulation"] == "QPSK"
print("quorvin", quorvin.__version__, "from", quorvin.__file__)
PY
  )
  listed=$("$@" -m pip list --disable-pip-version-check ${site:+--path "$site"} | awk '$1 == "quorvin" {print $2}')
  [ "$listed" = "$expected" ] || { echo "pip list gives quorvin '$listed', not $expected" >&2; exit 1; }
}

"$python" -m venv --system-site-packages "$work/venv"
"$work/venv/bin/pip" install --no-index --no-build-isolation --quiet .
check "$work/venv" "" "$work/venv/bin/python"
# HDF5 is built in where libhdf5-dev is installed: a container written and read back.
(cd "$work" && "$work/venv/bin/python" - <<'PY'
import numpy as np
import quorvin

ds = quorvin.Dataset(quorvin.Config(["AM", "QPSK"], signal_model="exact", samples_per_file=512), 3, seed=2)
ds.write("h5", format="hdf5")
iq, labels, _ = quorvin.read_hdf5("h5/dataset.h5")
assert iq.shape == (6, 512) and np.array_equal(iq[4], ds[4][0]) and labels["modulation"][4] == ds[4][1]["modulation"]
print("pip install . writes HDF5: h5/dataset.h5", iq.shape)
PY
)
echo "pip install . gives quorvin $expected"

DESTDIR="$work/root" PYTHON="$python" bash scripts/install-python.sh
site=$(dirname "$(find "$work/root" -name "quorvin-$expected.dist-info" -type d)")
check "$site" "$site" env PYTHONPATH="$site" "$python"
echo "scripts/install-python.sh gives quorvin $expected"

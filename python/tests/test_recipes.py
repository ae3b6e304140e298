"""README's recipes for ML datasets, run as written at a few files per name: every set they make draws
one SNR axis over one range, so sets of different recipes can be mixed and compared.

Each recipe draws Es/N0 from -10 to 20 dB (analog files, which have no symbols, the per-sample SNR
over the same range). Exceptions, each said in README beside its recipe: the SNR sweep draws
those dB one folder at a time; the desktop program's files (the classic model, a command in the
text rather than a block) keep the form's per-sample 10 to 30 dB, not being a set for a classifier.
"""

import csv
import importlib.util
import math
import os
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import quorvin
from quorvin import preview

ROOT = Path(__file__).resolve().parents[2]
CLI = os.environ.get("QUORVIN_CLI", "quorvin-cli")
LOW, HIGH = -10.0, 20.0  # the recipes' Es/N0, dB
SWEEP = re.compile(r"^snr(-?\d+)$")  # a sweep folder: one Es/N0 alone


def _readme_blocks():
    found = importlib.util.spec_from_file_location("readme_commands", ROOT / "scripts" / "readme_commands.py")
    module = importlib.util.module_from_spec(found)
    sys.modules[found.name] = module  # its dataclasses look themselves up there
    found.loader.exec_module(module)
    return module.read_blocks(ROOT / "README.md")


def recipe_blocks():
    """The shell blocks of README's recipes section that make a dataset and are run as written."""
    text = (ROOT / "README.md").read_text(encoding="utf-8").splitlines()
    start = text.index("## Recipes for ML datasets") + 1
    end = next(i for i in range(start, len(text)) if text[i].startswith("## "))
    return [block for block in _readme_blocks()
            if start < block.line <= end and block.language == "sh" and not block.skip
            and "--files-per-modulation" in block.text]


BLOCKS = recipe_blocks()


def folders(block):
    """The top folders a block writes to (``-o splits/${split#*:}`` writes to ``splits``)."""
    return {re.split(r"[/$]", target)[0] for target in re.findall(r"-o (\S+)", block.text)}


def test_every_recipe_is_found():
    found = set().union(*(folders(block) for block in BLOCKS))
    assert {"ds", "ds-channel", "ds-h5", "splits", "sweep", "ds-dask", "ds-cli"} <= found


def snr_table(path):
    """Each file's drawn SNR in dB, from a manifest or an HDF5 container: Es/N0 where the file has
    symbols, else the per-sample SNR; with whether it was a digital file."""
    if path.suffix == ".h5":
        _, labels, _ = quorvin.read_hdf5(path)
        es_n0, snr = np.asarray(labels["es_n0_db"], float), np.asarray(labels["snr_db"], float)
    else:
        with open(path, newline="") as file:
            rows = list(csv.DictReader(file))
        assert rows and all(row["saved"] == "true" for row in rows), path
        es_n0 = np.array([float(row["es_n0_db"]) if row["es_n0_db"] else math.nan for row in rows])
        snr = np.array([float(row["snr_db"]) for row in rows])
    digital = ~np.isnan(es_n0)
    return np.where(digital, es_n0, snr), digital


def datasets(folder):
    """Each label table a run left under `folder`: its manifest, else its HDF5 container."""
    found = []
    for path in sorted(folder.rglob("manifest.csv")) + sorted(folder.rglob("dataset.h5")):
        if path.suffix == ".h5" and (path.parent / "manifest.csv").exists():
            continue
        found.append(path)
    return found


def run(block, folder):
    """The block as README gives it, at a few files per name (as many as it reads back), with this
    build's quorvin-cli and Python."""
    tools = folder / ".bin"
    tools.mkdir()
    (tools / "quorvin-cli").symlink_to(os.path.abspath(CLI))
    (tools / "python3").symlink_to(sys.executable)
    files = max([2] + [int(index) for index in re.findall(r"_signal_(\d+)", block.text)])
    script = re.sub(r"--files-per-modulation \d+", f"--files-per-modulation {files}", block.text)
    assert script != block.text
    env = dict(os.environ, PATH=f"{tools}:{os.environ.get('PATH', '/usr/bin:/bin')}")
    result = subprocess.run(["bash", "-c", "set -euo pipefail\n" + script], cwd=folder, env=env,
                            capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, f"README line {block.line}: {result.stderr}"


@pytest.mark.parametrize("block", BLOCKS, ids=[f"line{block.line}" for block in BLOCKS])
def test_a_recipe_draws_es_n0_from_minus_10_to_20_db(block, tmp_path):
    if "--format hdf5" in block.text:
        pytest.importorskip("h5py")
        if os.environ.get("QUORVIN_CLI_HDF5", "1") == "0":
            pytest.skip("quorvin-cli was built without HDF5")
    for module in block.needs:
        pytest.importorskip(module)
    run(block, tmp_path)
    tables = datasets(tmp_path)
    assert {path.relative_to(tmp_path).parts[0] for path in tables} == folders(block)
    sweep = []
    for path in tables:
        drawn, digital = snr_table(path)
        assert digital.sum() > len(drawn) / 2, path
        where = path.relative_to(tmp_path)
        level = SWEEP.match(where.parts[1]) if where.parts[0] == "sweep" else None
        if level:  # the sweep's exception: one value per folder
            assert np.abs(drawn - float(level.group(1))).max() < 1e-9, where  # the label's rounding
            sweep.append(float(level.group(1)))
            continue
        assert LOW - 1e-9 <= drawn.min() and drawn.max() <= HIGH + 1e-9, f"{where}: {drawn.min()} .. {drawn.max()} dB"
        assert drawn.min() < LOW + 6 and drawn.max() > HIGH - 6, f"{where}: the range is not covered"
        if path.suffix == ".csv":  # the preview titles and filters these files by Es/N0 too
            assert preview.snr_definition_of(preview._rows(str(path))) == "esn0"
    if sweep:
        assert min(sweep) == LOW and max(sweep) == HIGH

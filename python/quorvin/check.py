"""Checks a written run against its own records, then tells what it holds.

``python3 -m quorvin.check FOLDER|CONTAINER|MANIFEST`` verifies every file its manifest (or
SigMF collection, or container) lists: present, as many samples as recorded, the data's SHA-512
where the metadata records one (``core:sha512``) and each metadata file's where the collection
does, labels present and finite (a Noise file's SNR of -inf is its own), the class index each
name has in the catalogue. It prints one line per fault ("<file>: <what is wrong>"), then the
count of each class and a text histogram of SNR, and exits 1 on any fault (2 on a source it
cannot read at all).
"""

from __future__ import annotations

import argparse
import csv
import hashlib
import json
import math
import os
import sys
from collections import Counter
from typing import Any, Iterable, Optional

import numpy as np

from . import _read_container, classes, read_sigmf

__all__ = ["check", "report"]

# Labels every file's row must hold (a scene's capture row of the floor alone has no emitter's).
_REQUIRED = ("modulation", "class_index", "num_samples", "sample_rate", "snr_db")
_BIN_DB = 5.0  # width of the SNR histogram's bins


def _sha512(path: str) -> str:
    digest = hashlib.sha512()
    with open(path, "rb") as file:
        for block in iter(lambda: file.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def _number(text: str) -> Optional[float]:
    try:
        return float(text)
    except ValueError:
        return None


class Findings:
    """Faults found, and the modulations and SNRs seen, for the report."""

    def __init__(self) -> None:
        self.faults: list[str] = []
        self.names: Counter[str] = Counter()
        self.snrs: list[float] = []

    def fault(self, where: str, what: str) -> None:
        self.faults.append(f"{where}: {what}")

    def seen(self, name: str, snr: Optional[float]) -> None:
        self.names[name] += 1
        if snr is not None and math.isfinite(snr):
            self.snrs.append(snr)


def _check_row(found: Findings, where: str, row: dict[str, str], scene_floor: bool) -> None:
    """One manifest row's labels: present, finite numbers, the name's class index."""
    name = row.get("modulation", "")
    for key in _REQUIRED:
        if key in row and row[key] == "" and not (scene_floor and key == "snr_db"):
            found.fault(where, f"label {key} is empty")
    if name and name not in classes:
        found.fault(where, f"modulation {name!r} is no catalogue name")
    elif name and row.get("class_index", "") not in ("", str(classes.index(name))):
        found.fault(where, f"class_index {row['class_index']} is not {name}'s ({classes.index(name)})")
    for key, text in row.items():
        if key in ("sample_file", "metadata_file", "settings_file") or text == "":
            continue
        value = _number(text)
        if value is None:
            continue
        if math.isnan(value):
            found.fault(where, f"label {key} is NaN")
        elif math.isinf(value) and name != "Noise":  # the floor alone has no signal power
            found.fault(where, f"label {key} is {text}")
    found.seen(name, _number(row.get("snr_db", "")) if row.get("snr_db") else None)


def _check_recording(found: Findings, base: str, rows: list[dict[str, str]]) -> None:
    """A SigMF recording against its manifest rows: its pair's lengths, hash and labels."""
    data = base + ".sigmf-data"
    for path in (base + ".sigmf-meta", data):
        if not os.path.exists(path):
            found.fault(path, "missing")
            return
    try:
        samples, meta = read_sigmf(base, limit=None)
    except (ValueError, OSError) as error:
        found.fault(data, str(error))
        return
    recorded = meta.get("global", {}).get("core:sha512")
    if recorded is not None and _sha512(data) != recorded:
        found.fault(data, "SHA-512 differs from its metadata's core:sha512")
    if not np.all(np.isfinite(samples.view(np.float32))):
        found.fault(data, "holds samples that are not finite")
    fields = meta.get("global", {})
    for row in rows:
        if row.get("num_samples") and row["num_samples"] != str(len(samples)):
            found.fault(data, f"holds {len(samples)} samples, the manifest says {row['num_samples']}")
        if "quorvin:modulation" in fields and row.get("modulation") != fields["quorvin:modulation"]:
            found.fault(data, f"metadata names {fields['quorvin:modulation']}, the manifest {row.get('modulation')}")


def _check_collection(found: Findings, path: str) -> list[str]:
    """A SigMF collection's streams: each metadata file present with the SHA-512 recorded; their bases."""
    folder = os.path.dirname(os.path.abspath(path))
    try:
        with open(path, encoding="utf-8") as file:
            streams = json.load(file)["collection"]["core:streams"]
    except (ValueError, KeyError, TypeError) as error:
        found.fault(path, f"not a SigMF collection ({error})")
        return []
    bases = []
    for stream in streams:
        meta = os.path.join(folder, stream["name"] + ".sigmf-meta")
        bases.append(os.path.join(folder, stream["name"]))
        if not os.path.exists(meta):
            found.fault(meta, "missing (listed in the collection)")
        elif "hash" in stream and _sha512(meta) != stream["hash"]:
            found.fault(meta, "SHA-512 differs from the collection's hash")
    return bases


def _check_manifest(found: Findings, path: str) -> None:
    folder = os.path.dirname(os.path.abspath(path))
    with open(path, newline="", encoding="utf-8") as file:
        rows = list(csv.DictReader(file))
    if rows and ("sample_file" not in rows[0] or "modulation" not in rows[0]):
        found.fault(path, "not a run's manifest (no sample_file and modulation columns)")
        return
    recordings: dict[str, list[dict[str, str]]] = {}
    containers: dict[str, list[dict[str, str]]] = {}
    for number, row in enumerate(rows, 2):
        where = f"{path} line {number}"
        if row.get("saved", "true") != "true":
            found.fault(where, f"{row['sample_file']} was not saved")
            continue
        scene_floor = "emitter" in row and row["emitter"] == ""
        _check_row(found, where, row, scene_floor)
        stored, _, at = row["sample_file"].partition("#")
        if at:
            containers.setdefault(os.path.join(folder, stored), []).append(row)
        else:
            recordings.setdefault(os.path.join(folder, stored.removesuffix(".sigmf-data")), []).append(row)
    for base, mine in recordings.items():
        _check_recording(found, base, mine)
    for container, mine in containers.items():
        _check_container(found, container, mine)


def _check_container(found: Findings, path: str, manifest_rows: Optional[list[dict[str, str]]] = None) -> None:
    """A container's parts (read_hdf5's checks), its samples finite, its labels present and finite."""
    if not os.path.exists(path):
        found.fault(path, "missing")
        return
    try:
        import h5py  # noqa: PLC0415 (optional)
    except ImportError:
        found.fault(path, "cannot be checked without h5py")
        return
    try:
        _, labels, names = _read_container(h5py, path, samples=False)
        with h5py.File(path, "r") as file:
            iq = file["iq"]
            step = max(1, (1 << 24) // max(1, iq.dtype.itemsize * int(np.prod(iq.shape[1:]))))
            for start in range(0, iq.shape[0], step):  # a block of at most 16 MiB at a time
                block = iq[start:start + step]
                if not np.all(np.isfinite(block.view(np.float32))):
                    found.fault(path, f"iq rows from {start} hold samples that are not finite")
                    break
    except (ValueError, OSError) as error:
        found.fault(path, str(error))
        return
    if names != classes:
        found.fault(path, "class_names are not the catalogue's")
    scenes = "capture_index" in labels
    rows = len(labels["class_index"])
    if manifest_rows is not None and not scenes and len(manifest_rows) != rows:
        found.fault(path, f"holds {rows} files, the manifest lists {len(manifest_rows)}")
    for row in range(rows):
        name = str(labels["modulation"][row])
        for key in _REQUIRED:
            column = labels.get(key)
            if column is None:
                continue
            if (column.dtype.kind == "f" and math.isnan(column[row])) or (column.dtype.kind in "iu" and column[row] == -1):
                found.fault(f"{path} row {row}", f"label {key} is absent or NaN")
        for key, column in labels.items():
            if column.dtype.kind == "f" and math.isinf(column[row]) and name != "Noise":
                found.fault(f"{path} row {row}", f"label {key} is {column[row]}")
        if manifest_rows is None:
            found.seen(name, float(labels["snr_db"][row]) if "snr_db" in labels else None)


def check(source: str | os.PathLike) -> Findings:
    """Every file of the run at ``source`` (a folder, a manifest, a collection or a container) checked."""
    path = os.fspath(source)
    found = Findings()
    if os.path.isdir(path):
        names = sorted(os.listdir(path))
        collections = [os.path.join(path, n) for n in names if n.endswith(".sigmf-collection")]
        for collection in collections:
            _check_collection(found, collection)
        if "manifest.csv" in names:
            _check_manifest(found, os.path.join(path, "manifest.csv"))
        elif any(n.endswith(".h5") for n in names):
            for name in names:
                if name.endswith(".h5"):
                    _check_container(found, os.path.join(path, name))
        elif len(collections) == 1:
            for base in _check_collection(Findings(), collections[0]):
                _check_recording(found, base, [])
                try:
                    fields = read_sigmf(base, limit=None)[1]["global"]
                except (ValueError, OSError):
                    continue
                found.seen(fields.get("quorvin:modulation", ""), fields.get("quorvin:snr_db"))
        else:
            raise ValueError(f"{path}: holds no manifest.csv, container or single .sigmf-collection to check")
    elif path.endswith(".csv"):
        _check_manifest(found, path)
    elif path.endswith(".h5"):
        _check_container(found, path)
    elif path.endswith(".sigmf-collection"):
        for base in _check_collection(found, path):
            _check_recording(found, base, [])
    else:
        raise ValueError(f"{path}: not a folder, manifest (.csv), container (.h5) or .sigmf-collection")
    return found


def histogram(values: Iterable[float], width: float = _BIN_DB, bar: int = 40) -> list[str]:
    """Text lines of a histogram of ``values`` in bins of ``width`` dB: "[lo, hi) count ####"."""
    values = list(values)
    if not values:
        return ["(no finite SNR)"]
    low = math.floor(min(values) / width) * width
    counts = Counter(int((value - low) // width) for value in values)
    most = max(counts.values())
    lines = []
    for k in range(max(counts) + 1):
        lines.append(f"[{low + k * width:6.1f}, {low + (k + 1) * width:6.1f}) dB {counts[k]:8d} "
                     + "#" * round(bar * counts[k] / most))
    return lines


def report(found: Findings) -> str:
    """The faults, then each class's count and the SNR histogram, as text."""
    lines = list(found.faults)
    lines.append(f"{sum(found.names.values())} labelled signals of {len(found.names)} classes"
                 + (f"; {len(found.faults)} faults" if found.faults else "; no fault"))
    for name in sorted(found.names, key=lambda n: classes.index(n) if n in classes else len(classes)):
        lines.append(f"  {name:<12} {found.names[name]:8d}")
    lines.append("SNR (dB):")
    lines += ["  " + line for line in histogram(found.snrs)]
    return "\n".join(lines) + "\n"


def main(argv: Optional[list[str]] = None) -> int:
    parser = argparse.ArgumentParser(prog="python3 -m quorvin.check", description=__doc__.splitlines()[0])
    parser.add_argument("source", help="a run's folder, manifest (.csv), container (.h5) or .sigmf-collection")
    args = parser.parse_args(argv)
    try:
        found = check(args.source)
    except (ValueError, OSError) as error:
        print(f"quorvin.check: {error}", file=sys.stderr)
        return 2
    sys.stdout.write(report(found))
    return 1 if found.faults else 0


if __name__ == "__main__":
    sys.exit(main())

"""Pictures of a dataset, to find wrong labels by looking.

    python3 -m quorvin.preview MANIFEST -o preview.png [--summary summary.png] [--per-class 3]

One row per class: a constellation (an IQ trace for analog names), the spectrum and a spectrogram
of a few files, titled with their labels. ``--summary`` draws the class counts and a histogram of
every drawn parameter. MANIFEST is the CSV that ``quorvin-cli --manifest`` wrote; the recordings
are read from its folder (or ``--folder``), SigMF or CSV.
"""

from __future__ import annotations

import argparse
import math
import os
import sys
from typing import Any, Sequence

import numpy as np

from . import _core, read_csv, read_manifest, read_sigmf

# Names drawn as an IQ trace rather than a constellation: the analog family's.
ANALOG = {row["name"] for row in _core.catalogue() if row["family"] == "analog"}
# The labels drawn as histograms: real-valued ones (indices, seeds and counts are whole numbers).
REAL_LABELS = {key for key, kind in _core.label_types().items() if kind == "real"}


def spectrum(samples: np.ndarray, sample_rate: float, size: int = 1024) -> tuple[np.ndarray, np.ndarray]:
    """Averaged Hann-windowed periodogram: frequencies (Hz, -fs/2 .. fs/2) and power in dB."""
    size = min(size, max(16, len(samples)))
    window = np.hanning(size)
    segments = [samples[i:i + size] for i in range(0, len(samples) - size + 1, size // 2)] or [samples[:size]]
    power = np.mean([np.abs(np.fft.fft(s * window[: len(s)], size)) ** 2 for s in segments], axis=0)
    frequencies = np.fft.fftshift(np.fft.fftfreq(size, 1.0 / sample_rate))
    return frequencies, 10 * np.log10(np.fft.fftshift(power) + 1e-30)


def _rows(manifest: str) -> list[dict[str, Any]]:
    """The manifest's rows; ValueError naming it when it has none or lacks a column drawn from."""
    rows = read_manifest(manifest)
    rows = rows.to_dict("records") if hasattr(rows, "to_dict") else rows
    if not rows:
        raise ValueError(f"{manifest}: no rows, nothing to draw")
    for column in ("modulation", "sample_file", "saved", "sample_rate", "snr_db", "file_index"):
        if column not in rows[0]:
            raise ValueError(f"{manifest}: no {column} column")
    return rows


def _samples(folder: str, row: dict[str, Any]) -> np.ndarray:
    """The row's recording; ValueError naming it when it holds no samples to draw."""
    name = str(row["sample_file"])
    path = os.path.join(folder, name)
    if "#" in name:  # "dataset.h5#7": row 7 of an HDF5 container
        container, place = name.rsplit("#", 1)
        path = os.path.join(folder, container)
        samples = _container_row(path, int(place))
    else:
        samples = read_sigmf(path)[0] if name.endswith(".sigmf-data") else read_csv(path)
    if not len(samples):
        raise ValueError(f"{path}: 0 samples, nothing to draw")
    return samples


def _container_row(path: str, row: int) -> np.ndarray:
    """One file's samples of a ``--format hdf5`` container, read alone (needs h5py)."""
    import h5py  # noqa: PLC0415 (optional)

    with h5py.File(path, "r") as file:
        iq = file["iq"]
        if "offsets" not in file:
            if not 0 <= row < iq.shape[0]:
                raise ValueError(f"{path}: no row {row} among {iq.shape[0]}")
            return np.asarray(iq[row], dtype=np.complex64)
        offsets = file["offsets"]
        if not 0 <= row < len(offsets):
            raise ValueError(f"{path}: no row {row} among {len(offsets)}")
        end = int(offsets[row + 1]) if row + 1 < len(offsets) else iq.shape[0]
        return np.asarray(iq[int(offsets[row]):end], dtype=np.complex64)


def _saved(row: dict[str, Any]) -> bool:
    return str(row["saved"]).lower() == "true"


def draw_preview(manifest: str, output: str, folder: str | None = None, per_class: int = 3) -> list[str]:
    """Draws the per-class figure; returns the classes drawn, in manifest order."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    if per_class < 1:
        raise ValueError(f"per_class takes a whole number from 1, not {per_class}")
    folder = folder or os.path.dirname(os.path.abspath(manifest))
    by_class: dict[str, list[dict[str, Any]]] = {}
    for row in _rows(manifest):
        if _saved(row):
            by_class.setdefault(str(row["modulation"]), []).append(row)
    names = list(by_class)
    if not names:
        raise ValueError(f"{manifest}: no saved recordings to draw")
    figure, axes = plt.subplots(len(names), 3, figsize=(13, 2.6 * len(names)), squeeze=False)
    for line, name in zip(axes, names):
        rows = by_class[name][:per_class]
        for row in rows:
            x = _samples(folder, row)
            fs = float(row["sample_rate"])
            if name in ANALOG:
                line[0].plot(x.real[:400], linewidth=0.6)
            else:
                line[0].plot(x.real, x.imag, ".", markersize=1)
            f, p = spectrum(x, fs)
            line[1].plot(f, p, linewidth=0.6)
        x = _samples(folder, rows[0])
        line[2].specgram(x, NFFT=min(256, len(x)), Fs=float(rows[0]["sample_rate"]), noverlap=0)
        row = rows[0]
        snr = float(row["snr_db"])
        rate = row.get("symbol_rate")
        detail = f"SNR {snr:.1f} dB" + (f", {float(rate):.0f} Bd" if rate not in (None, "") and not
                                        (isinstance(rate, float) and math.isnan(rate)) else "")
        line[0].set_title(f"{name} ({'IQ trace' if name in ANALOG else 'constellation'}); {detail}", fontsize=8)
        line[1].set_title(f"{name}: spectrum (dB), {len(rows)} files", fontsize=8)
        line[2].set_title(f"{name}: spectrogram of file {row['file_index']}", fontsize=8)
    figure.tight_layout()
    figure.savefig(output, dpi=80)
    plt.close(figure)
    return names


def draw_summary(manifest: str, output: str) -> list[str]:
    """Class counts and a histogram of every numeric drawn parameter; returns the parameters drawn."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    rows = _rows(manifest)
    parameters = []
    for key in rows[0] if rows else []:
        values = []
        for row in rows:
            try:
                values.append(float(row[key]))
            except (TypeError, ValueError):
                pass
        values = [v for v in values if math.isfinite(v)]
        if key in REAL_LABELS and len(set(values)) > 1:
            parameters.append((key, values))
    counts: dict[str, int] = {}
    for row in rows:
        counts[str(row["modulation"])] = counts.get(str(row["modulation"]), 0) + 1
    columns = 3
    lines = 1 + math.ceil(len(parameters) / columns)
    figure, axes = plt.subplots(lines, columns, figsize=(13, 2.6 * lines), squeeze=False)
    axes[0][0].bar(range(len(counts)), list(counts.values()))
    axes[0][0].set_xticks(range(len(counts)), list(counts), rotation=90, fontsize=6)
    axes[0][0].set_title("files per class", fontsize=8)
    for axis in list(axes[0][1:]):
        axis.axis("off")
    for (key, values), axis in zip(parameters, [a for line in axes[1:] for a in line]):
        axis.hist(values, bins=30)
        axis.set_title(key, fontsize=8)
    figure.tight_layout()
    figure.savefig(output, dpi=80)
    plt.close(figure)
    return [key for key, _ in parameters]


def main(arguments: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python3 -m quorvin.preview", description=__doc__.splitlines()[0])
    parser.add_argument("manifest", help="the manifest CSV of a quorvin-cli run")
    parser.add_argument("-o", "--output", default="preview.png", help="the per-class figure (PNG)")
    parser.add_argument("--summary", help="also draw class counts and parameter histograms to this PNG")
    parser.add_argument("--folder", help="where the recordings are (default: the manifest's folder)")
    parser.add_argument("--per-class", type=int, default=3, help="files drawn per class")
    options = parser.parse_args(arguments)
    try:
        draw_preview(options.manifest, options.output, options.folder, options.per_class)
        if options.summary:
            draw_summary(options.manifest, options.summary)
    except (OSError, ValueError) as error:
        print(f"{parser.prog}: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    raise SystemExit(main())

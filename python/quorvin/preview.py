"""Pictures of a dataset that show what its labels claim, so a mislabelled file looks wrong.

    python3 -m quorvin.preview MANIFEST -o preview.png [--summary summary.png] [--per-class 3]
        [-m NAMES] [--snr-min DB] [--snr-max DB] [--snr-definition snr|esn0|ebn0]

One row per class, two panels per file, each file titled with its own labels, its SNR on the axis
the run drew. The files of a class are spread over its SNR from the highest down; names and an
SNR range choose among them. Digital linear names: the samples with the labelled carrier offset
(and phase) removed, matched-filtered with the labelled pulse and taken at the labelled symbol
instants, over the name's ideal constellation; a dense one is filled with the points of the
class's files nearest in SNR. Keyed names: the tone that best fits each labelled symbol against
the labelled tone levels. Points beyond the axis are drawn on its edge. Analog names: the IQ
trace with the labelled carrier and offset removed. Beside each, the spectrum zoomed to the
labelled occupied band, its edges marked. ``--summary`` draws the class counts and a histogram of
every drawn parameter. MANIFEST is the CSV that ``quorvin-cli --manifest`` wrote; the recordings
are read from where it names them (or ``--folder``), SigMF, CSV or HDF5. A scene run's manifest draws its first scenes instead: each capture's spectrogram
with every emitter's labelled box and name.
"""

from __future__ import annotations

import argparse
import math
import os
import sys
from dataclasses import dataclass
from typing import Any, Mapping, Sequence

import numpy as np

from . import _core, read_csv, read_manifest, read_sigmf

# Each name's family module: how its symbols are shown.
FAMILY = {row["name"]: row["family"] for row in _core.catalogue()}
ORDER = {row["name"]: row["order"] for row in _core.catalogue()}
# The labels drawn as histograms: real-valued ones (indices, seeds and counts are whole numbers).
REAL_LABELS = {key for key, kind in _core.label_types().items() if kind == "real"}
UNITS = _core.label_units()


def spectrum(samples: np.ndarray, sample_rate: float, size: int = 1024, pad: int = 4) -> tuple[np.ndarray, np.ndarray]:
    """Averaged Hann-windowed periodogram, zero-padded `pad` times: frequencies (Hz, -fs/2 .. fs/2)
    and power in dB relative to its peak."""
    size = min(size, max(16, len(samples)))
    window = np.hanning(size)
    segments = [samples[i:i + size] for i in range(0, len(samples) - size + 1, size // 2)] or [samples[:size]]
    power = np.mean([np.abs(np.fft.fft(s * window[: len(s)], size * pad)) ** 2 for s in segments], axis=0)
    frequencies = np.fft.fftshift(np.fft.fftfreq(size * pad, 1.0 / sample_rate))
    power = np.fft.fftshift(power)
    return frequencies, 10 * np.log10(power / max(power.max(), 1e-300) + 1e-30)


def label(labels: Mapping[str, Any], key: str, default: float | None = None) -> float | None:
    """A numeric label, or `default` where the file has none (absent, empty or NaN)."""
    try:
        value = float(labels.get(key, ""))
    except (TypeError, ValueError):
        return default
    return value if math.isfinite(value) else default


def _text(labels: Mapping[str, Any], key: str) -> str:
    value = labels.get(key)
    return "" if value is None or (isinstance(value, float) and math.isnan(value)) else str(value)


def carrier(name: str, labels: Mapping[str, Any]) -> float:
    """Where the labels put the signal's centre in the samples, Hz: the total carrier offset (the
    mixing frequency and offset, moved by the clock), plus an analog name's own carrier."""
    offset = label(labels, "total_carrier_offset")
    if offset is None:  # the classic model's labels: the mixing frequency and offset as drawn
        offset = label(labels, "mix_frequency", 0.0) + label(labels, "frequency_offset", 0.0)
    return offset + (label(labels, "carrier_frequency", 0.0) if FAMILY.get(name) == "analog" else 0.0)


def to_baseband(samples: np.ndarray, name: str, labels: Mapping[str, Any]) -> np.ndarray:
    """The samples with the labelled centre frequency and carrier phase removed (complex128)."""
    k = np.arange(len(samples))
    turn = 2 * np.pi * carrier(name, labels) * k / label(labels, "sample_rate") + label(labels, "carrier_phase", 0.0)
    return samples.astype(np.complex128) * np.exp(-1j * turn)


# The family values a band is drawn from as a fraction of the sample rate.
_FAMILY_BAND_KEYS = ("ofdm_occupancy", "chirp_bandwidth", "spreading_factor", "pulse_width")


def band(name: str, labels: Mapping[str, Any]) -> tuple[float, float]:
    """The occupied band's edges in the samples, Hz: the core's band for the file's labels (as the
    band check sizes it), scaled by the clock's offset and moved to the labelled centre."""
    low, high = _core.band(
        name, symbol_rate=label(labels, "realised_symbol_rate", label(labels, "symbol_rate", 0.0)),
        pulse=_text(labels, "pulse"), rolloff=label(labels, "rolloff", 0.0),
        modulation_index=label(labels, "modulation_index", 0.0), gmsk_bt=label(labels, "gmsk_bt", 0.0),
        message_frequency=label(labels, "message_frequency", 0.0),
        frequency_deviation=label(labels, "frequency_deviation", 0.0), sideband=_text(labels, "sideband"),
        sample_rate=label(labels, "sample_rate", 0.0),
        family={key: float(value) for key, value in labels.items() if key in _FAMILY_BAND_KEYS and value is not None})
    # The realised rate already holds the clock's share; an analog band scales with it.
    scale = 1 + label(labels, "clock_ppm", 0.0) * 1e-6 if FAMILY.get(name) == "analog" else 1.0
    centre = carrier(name, labels)
    return centre + low * scale, centre + high * scale


# The SNR axes a run can draw (quorvin-cli --snr-definition): each one's label and name in titles.
SNR_AXES = {"snr": ("snr_db", "SNR"), "esn0": ("es_n0_db", "Es/N0"), "ebn0": ("eb_n0_db", "Eb/N0")}


def snr_definition_of(rows: Sequence[Mapping[str, Any]]) -> str:
    """The SNR axis a run drew, from its manifest rows: "snr", "esn0" or "ebn0".

    The run's settings are not in its manifest, but its labels tell: every file drew one uniform
    value from the same range, files without symbols their per-sample SNR, the others the run's
    axis, while the other two axes add each file's own 10 log10 of its samples or bits per symbol.
    The likeliest axis is then the one on which all files' values span the narrowest range (the
    likelihood of n uniform values falls as their range to the n-th power); between two that span
    alike (the widest files having one alphabet), the one whose values spread least, and failing
    that the first of snr, esn0, ebn0. A small run of digital names alone can mislead it, which
    ``snr_definition`` settles.
    """
    plain = [value for value in (label(row, "snr_db") for row in rows if label(row, "es_n0_db") is None) if value is not None]
    scores = {}
    for axis, (key, _) in SNR_AXES.items():
        values = [v for v in (label(row, key) for row in rows if label(row, "es_n0_db") is not None) if v is not None]
        if values:
            values += plain
            scores[axis] = (round(max(values) - min(values), 6), round(float(np.var(values)), 6))
    return min(scores, key=lambda axis: scores[axis]) if scores else "snr"


def snr_of(labels: Mapping[str, Any], definition: str) -> tuple[str, float]:
    """A file's SNR on the run's axis (dB), with the axis' name: a file without symbols (analog, or
    the classic model's labels) has the per-sample SNR alone."""
    return SNR_AXES[definition if _text(labels, "es_n0_db") else "snr"][1], _snr_value(labels, definition)


def _snr_value(row: Mapping[str, Any], definition: str) -> float:
    """The row's SNR on the run's axis, dB (infinite without noise, NaN where it has none); a file
    without symbols has the per-sample SNR alone."""
    key = SNR_AXES[definition][0] if _text(row, "es_n0_db") else "snr_db"
    try:
        return float(_text(row, key) or "nan")
    except ValueError:
        return math.nan


def _symbol_rate(labels: Mapping[str, Any]) -> float:
    # The realised rate counts the timing error's drift and the clock's offset; the classic
    # model's labels have the drawn rate alone.
    rate = label(labels, "realised_symbol_rate", label(labels, "symbol_rate"))
    if not rate or rate <= 0:
        raise ValueError(f"file {labels.get('file_index', '?')} of {labels.get('modulation', '?')}: no symbol rate label")
    return rate


def symbol_instants(labels: Mapping[str, Any], num_samples: int, delay: float = 0.0) -> tuple[np.ndarray, np.ndarray]:
    """The labelled instants of the symbols that fall in the file: their numbers n and sample
    positions (fractional), where u = start_offset + k Rs'/fs reaches n + delay."""
    fs, rate = label(labels, "sample_rate"), _symbol_rate(labels)
    start = label(labels, "start_offset", 0.0)
    last = start + (num_samples - 1) * rate / fs
    n = np.arange(math.ceil(start - delay), math.floor(last - delay) + 1)
    return n, (n + delay - start) * fs / rate


def rrc(u: np.ndarray, rolloff: float) -> np.ndarray:
    """The root-raised cosine of `rolloff` at u symbol periods (unscaled)."""
    a = rolloff
    u = np.asarray(u, dtype=float)
    out = np.empty_like(u)
    centre = np.abs(u) < 1e-9
    edge = np.abs(np.abs(4 * a * u) - 1) < 1e-9 if a > 0 else np.zeros_like(centre)
    rest = ~(centre | edge)
    v = u[rest]
    out[rest] = (np.sin(np.pi * v * (1 - a)) + 4 * a * v * np.cos(np.pi * v * (1 + a))) / (np.pi * v * (1 - (4 * a * v) ** 2))
    out[centre] = 1 - a + 4 * a / np.pi
    if a > 0:
        out[edge] = a / np.sqrt(2) * ((1 + 2 / np.pi) * np.sin(np.pi / (4 * a)) + (1 - 2 / np.pi) * np.cos(np.pi / (4 * a)))
    return out


def _receive(x: np.ndarray, positions: np.ndarray, fs_per_rate: float, pulse: str, rolloff: float, span: float) -> np.ndarray:
    """Matched-filter outputs at fractional sample positions, each normalised by its own pulse
    energy, so a unit point comes out as itself whatever the fractional timing."""
    if pulse == "linear":
        # The triangle is zero at every other symbol's instant, its matched filter is not: the
        # trace at the instant is the ISI-free point. The trace is straight between instants, so
        # each side's two nearest samples (one piece of it from 2 samples per symbol up) are
        # extended to the instant, and the two averaged; a triangle of unit energy per symbol
        # period peaks at sqrt(3/2).
        before = np.clip(np.floor(positions).astype(np.int64), 1, len(x) - 1)
        after = np.clip(np.ceil(positions).astype(np.int64), 0, len(x) - 2)
        left = x[before] + (x[before] - x[before - 1]) * (positions - before)
        right = x[after] - (x[after + 1] - x[after]) * (after - positions)
        return (left + right) / 2 / math.sqrt(1.5)
    half = 0.5 if pulse == "rect" else span / 2
    reach = int(math.ceil(half * fs_per_rate)) + 1
    offsets = np.arange(-reach, reach + 1)
    k = np.floor(positions).astype(np.int64)[:, None] + offsets[None, :]
    u = (k - positions[:, None]) / fs_per_rate
    inside = (np.abs(u) <= half) & (k >= 0) & (k < len(x))
    taps = np.where(inside, np.where(np.abs(u) < 0.5, 1.0, 0.0) if pulse == "rect" else rrc(u, rolloff), 0.0)
    values = x[np.clip(k, 0, len(x) - 1)]
    return (values * taps).sum(axis=1) / np.maximum((taps ** 2).sum(axis=1), 1e-300)


def symbol_points(samples: np.ndarray, name: str, labels: Mapping[str, Any]) -> np.ndarray:
    """A linear name's received points: the labelled offset removed, matched-filtered with the
    labelled pulse and taken at the labelled symbol instants (symbols whose pulse lies inside the
    file, or every instant of a file too short for one)."""
    x = to_baseband(samples, name, labels)
    fs_per_rate = label(labels, "sample_rate") / _symbol_rate(labels)
    pulse = _text(labels, "pulse") or "linear"  # unlabelled: the classic model's straight lines
    rolloff, span = label(labels, "rolloff", 0.35), label(labels, "filter_span", 10.0)
    half = 2.0 if pulse == "linear" else (0.5 if pulse == "rect" else span / 2) * fs_per_rate

    def rail(delay: float) -> tuple[np.ndarray, np.ndarray]:
        n, positions = symbol_instants(labels, len(x), delay)
        whole = (positions - half >= 0) & (positions + half <= len(x) - 1)
        if whole.any():
            n, positions = n[whole], positions[whole]
        return n, _receive(x, positions, fs_per_rate, pulse, rolloff, span)

    n, points = rail(0.0)
    if name == "OQPSK":  # the Q rail half a symbol late
        late_n, late = rail(0.5)
        common, here, there = np.intersect1d(n, late_n, return_indices=True)
        points = points[here].real + 1j * late[there].imag
    return points


def tone_frequencies(x: np.ndarray, low: np.ndarray, high: np.ndarray, sample_rate: float) -> np.ndarray:
    """The frequency (Hz, -fs/2 .. fs/2) of the one tone that best fits each span of samples
    x[low] .. x[high]: the peak of its periodogram (the maximum-likelihood estimate of a tone in
    white noise), found on a grid 64 times finer than the span (at most 2^20 points, or the span)
    and refined by a parabola."""
    lengths = high - low + 1
    longest = int(lengths.max())
    grid = max(1 << (longest - 1).bit_length(), 1 << min(20, max(10, (64 * longest - 1).bit_length())))
    out = np.empty(len(low))
    rows = max(1, (1 << 22) // grid)  # spans per FFT call, to bound its memory
    for start in range(0, len(low), rows):
        part = slice(start, start + rows)
        k = np.arange(lengths[part].max())
        inside = k[None, :] < lengths[part, None]
        spans = np.where(inside, x[np.minimum(low[part, None] + k[None, :], len(x) - 1)], 0)
        power = np.abs(np.fft.fft(spans, grid, axis=1)) ** 2
        peak = np.argmax(power, axis=1)
        before, at, after = (power[np.arange(len(peak)), (peak + d) % grid] for d in (-1, 0, 1))
        bend = before - 2 * at + after
        shift = np.where(bend < 0, 0.5 * (before - after) / np.where(bend < 0, bend, -1.0), 0.0)
        out[part] = (peak + shift) / grid
    return (out + 0.5) % 1.0 * sample_rate - sample_rate / 2


def symbol_frequencies(samples: np.ndarray, name: str, labels: Mapping[str, Any]) -> tuple[np.ndarray, np.ndarray]:
    """A keyed name's frequency (Hz) over each labelled symbol, offset removed, and the symbols'
    centres (s): over the whole symbol, where a keyed symbol holds its tone, or its middle half
    where a Gaussian filter (a ``gmsk_bt`` label) spreads it into its neighbours. The tone is the
    one that best fits the samples there, so of the noise of the whole sampled band, which swamps
    a phase step at many samples per symbol, only what falls near the tone counts."""
    x = to_baseband(samples, name, labels)
    fs = label(labels, "sample_rate")
    part = 0.25 if label(labels, "gmsk_bt") else 0.0
    n, first = symbol_instants(labels, len(x), part)
    later, last = symbol_instants(labels, len(x), 1 - part)
    _, here, there = np.intersect1d(n, later, return_indices=True)
    first, last = first[here], last[there]
    if not len(first) or len(x) < 2:
        return np.zeros(0), np.zeros(0)
    # Samples inside that part; below 2 samples in it, the pair there.
    low = np.clip(np.ceil(first).astype(np.int64), 0, len(x) - 2)
    high = np.clip(np.maximum(np.floor(last).astype(np.int64), low + 1), 1, len(x) - 1)
    return (first + last) / 2 / fs, tone_frequencies(x, low, high, fs)


def tone_levels(name: str, labels: Mapping[str, Any]) -> np.ndarray:
    """The labelled tones of a keyed name about its centre, Hz: h a Rs'/2 for a = 2s - (M - 1)."""
    order = ORDER.get(name) or 2
    h = label(labels, "modulation_index", 0.5)
    return h * (2 * np.arange(order) - (order - 1)) * _symbol_rate(labels) / 2


def _rows(manifest: str) -> list[dict[str, Any]]:
    """The manifest's rows; ValueError naming it when it has none or lacks a column drawn from."""
    rows = read_manifest(manifest)
    rows = rows.to_dict("records") if hasattr(rows, "to_dict") else rows
    if not rows:
        raise ValueError(f"{manifest}: no rows, nothing to draw")
    # A scene run's rows are its emitters: their boxes in place of a file's index.
    own = ("sample_start", "sample_count", "freq_lower_edge", "freq_upper_edge") if "emitter" in rows[0] else ("file_index",)
    for column in ("modulation", "sample_file", "saved", "sample_rate", "snr_db", *own):
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


def _name_filter(names: str | Sequence[str] | None) -> set[str] | None:
    """The names asked for (a list, or "QPSK,GMSK" as -m takes them); ValueError for an unknown one."""
    if names is None:
        return None
    chosen = [name.strip() for name in names.split(",")] if isinstance(names, str) else list(names)
    for name in chosen:
        if not isinstance(name, str) or name not in FAMILY:
            raise ValueError(f"names: no name {name!r}; the names are {', '.join(FAMILY)}")
    return set(chosen)


def _snr_filter(snr: Sequence[float | None] | None) -> tuple[float, float]:
    """The SNR range asked for, dB, ends included (None for an open end)."""
    if snr is None:
        return -math.inf, math.inf
    try:
        low, high = snr
        low = -math.inf if low is None else float(low)
        high = math.inf if high is None else float(high)
    except (TypeError, ValueError):
        raise ValueError(f"snr takes (low, high) in dB, not {snr!r}") from None
    if math.isnan(low) or math.isnan(high) or low > high:
        raise ValueError(f"snr takes (low, high) in dB with low <= high, not {snr!r}")
    return low, high


def choose_files(rows: Sequence[dict[str, Any]], per_class: int = 3, names: str | Sequence[str] | None = None,
                 snr: Sequence[float | None] | None = None, definition: str = "snr") -> dict[str, list[list[dict[str, Any]]]]:
    """The files drawn of each class, in manifest order of the classes: per class up to
    ``per_class`` panels, each a list of rows, the panel's own file first, then the class's other
    files nearest to it in SNR, which a dense constellation's panel pools its points from.

    Only saved files of ``names`` (all when None) whose SNR on the run's axis lies in ``snr``
    (low, high, dB, ends included) are taken. The panels are spread over the class's SNR from its
    highest down: with 3, the highest file, the one a third of the way down and the one two thirds
    down, so a clean file shows what the labels claim and the others how noise blurs it.
    """
    wanted, (low, high) = _name_filter(names), _snr_filter(snr)
    by_class: dict[str, list[tuple[float, dict[str, Any]]]] = {}
    for row in rows:
        name = str(row["modulation"])
        value = _snr_value(row, definition)
        if _saved(row) and (wanted is None or name in wanted) and low <= value <= high:
            by_class.setdefault(name, []).append((value, row))
    chosen = {}
    for name, files in by_class.items():
        # Highest SNR first (NaN, no SNR at all, last); equal SNRs in manifest order.
        order = [row for _, row in sorted(files, key=lambda pair: -pair[0] if not math.isnan(pair[0]) else math.inf)]
        count = min(per_class, len(order))
        picks = [place * len(order) // count for place in range(count)]
        panels = [[order[pick]] for pick in picks]
        picked = set(picks)
        rest = sorted((place for place in range(len(order)) if place not in picked),
                      key=lambda place: min(abs(place - pick) for pick in picks))
        for place in rest:  # each other file to the panel nearest it in SNR order
            nearest = min(range(count), key=lambda k: (abs(place - picks[k]), k))
            panels[nearest].append(order[place])
        chosen[name] = panels
    return chosen


def _limit(values: np.ndarray, floor: float) -> float:
    """A symmetric axis limit: `floor` (the ideal's reach with a margin), widened for spread points
    up to three times it, so neither a clean file's nor a noisy one's points fill a needless axis."""
    spread = float(np.percentile(np.abs(values), 98)) * 1.1 if len(values) else 0.0
    return min(max(floor, spread), 3 * floor)


def _in_band(x: np.ndarray, name: str, labels: Mapping[str, Any]) -> np.ndarray:
    """A baseband analog trace kept to its labelled band (and a few bins either side), so the
    message shows through the noise of the whole sample rate."""
    fs = label(labels, "sample_rate")
    centre = carrier(name, labels)
    low, high = (edge - centre for edge in band(name, labels))
    margin = max(0.1 * (high - low), 3 * fs / len(x))
    frequencies = np.fft.fftfreq(len(x), 1 / fs)
    keep = (frequencies >= low - margin) & (frequencies <= high + margin)
    return np.fft.ifft(np.fft.fft(x) * keep)


@dataclass
class Drawn:
    """What a symbol panel shows, for its title and for tests."""

    text: str  # what was drawn
    symbols: int = 0  # points drawn: the file's own and those pooled from others
    clipped: int = 0  # of them, those beyond the axis, drawn on its edge
    pooled_files: int = 0  # other files whose points were pooled


def symbols_wanted(name: str) -> int:
    """The points a panel of a linear name shows at least, pooling further files where its own are
    fewer: 16 per point up to 1000, and 4 per point for denser alphabets."""
    order = ORDER.get(name) or 2
    return max(min(16 * order, 1000), 4 * order)


# Further files a dense constellation's panel may pool its points from.
MOST_POOLED_FILES = 63


def _edge(axis: Any, x: np.ndarray, y: np.ndarray, reach_x: float | None, reach_y: float) -> int:
    """Draws the points beyond the axis on its edge, marked "x"; returns their number."""
    outside = (np.abs(y) > reach_y) | (np.abs(x) > reach_x if reach_x is not None else False)
    if outside.any():
        edge_x = np.clip(x[outside], -reach_x, reach_x) if reach_x is not None else x[outside]
        axis.plot(edge_x, np.clip(y[outside], -reach_y, reach_y), "x", markersize=3, color="tab:orange", zorder=3)
    return int(outside.sum())


def _draw_points(axis: Any, points: np.ndarray, reach: float, style: dict[str, Any]) -> int:
    """Points inside the square of half-width `reach`, and those beyond on its edge; returns how
    many were put on the edge."""
    inside = (np.abs(points.real) <= reach) & (np.abs(points.imag) <= reach)
    axis.plot(points.real[inside], points.imag[inside], ".", **style)
    return _edge(axis, points.real, points.imag, reach, reach)


def _clipped_text(count: int) -> str:
    return f", {count} off the axis on its edge (x)" if count else ""


def _draw_symbols(axis: Any, samples: np.ndarray, name: str, labels: Mapping[str, Any],
                  pooled: Sequence[np.ndarray] = ()) -> Drawn:
    """The file's symbols as its labels claim them, every one (those beyond the axis on its edge);
    ``pooled``: a linear name's points of further files, each read with its own labels, drawn
    beneath the file's own to fill a dense constellation."""
    family = FAMILY.get(name)
    if family == "linear":
        points, ideal = symbol_points(samples, name, labels), _core.constellation(name)
        more = np.concatenate(list(pooled)) if len(pooled) else np.zeros(0, dtype=complex)
        # Marks shrink with the alphabet, so a dense grid's points still show between them.
        mark = max(2.0, min(9.0, 36 / math.sqrt(len(ideal))))
        axis.plot(ideal.real, ideal.imag, "+", markersize=mark, markeredgewidth=1.2, color="tab:red", zorder=1)
        reach = _limit(np.concatenate([points, more]), 1.3 * float(np.abs(ideal).max()))
        clipped = _draw_points(axis, more, reach, dict(markersize=1.5, alpha=0.5, color="tab:cyan", zorder=2))
        clipped += _draw_points(axis, points, reach, dict(markersize=2, alpha=0.8, color="tab:blue", zorder=2))
        axis.set_xlim(-1.05 * reach, 1.05 * reach)
        axis.set_ylim(-1.05 * reach, 1.05 * reach)
        axis.set_aspect("equal")
        axis.set_xlabel("I (unit RMS)", fontsize=7)
        axis.set_ylabel("Q (unit RMS)", fontsize=7)
        text = f"{len(points)} symbols at labelled instants"
        if len(pooled):
            text += f" + {len(more)} of {len(pooled)} more files (light)"
        return Drawn(text + _clipped_text(clipped), len(points) + len(more), clipped, len(pooled))
    if family == "keyed":
        times, frequencies = symbol_frequencies(samples, name, labels)
        levels = tone_levels(name, labels)
        for level in levels:
            axis.axhline(level / 1e3, color="tab:red", linewidth=0.6, linestyle="--", alpha=0.6)
        step = float(np.diff(levels).min()) if len(levels) > 1 else _symbol_rate(labels)
        reach = (float(np.abs(levels).max()) + step) / 1e3
        inside = np.abs(frequencies / 1e3) <= reach
        axis.plot(times[inside] * 1e3, frequencies[inside] / 1e3, ".", markersize=3, color="tab:blue")
        clipped = _edge(axis, times * 1e3, frequencies / 1e3, None, reach)
        axis.set_ylim(-1.05 * reach, 1.05 * reach)
        axis.set_xlabel("time (ms)", fontsize=7)
        axis.set_ylabel("frequency (kHz)", fontsize=7)
        return Drawn(f"{len(frequencies)} symbols: frequency at labelled centres" + _clipped_text(clipped),
                     len(frequencies), clipped)
    x = to_baseband(samples, name, labels)
    if family == "analog":  # a few message periods; the unit circle for scale
        x = _in_band(x, name, labels)
        fm = label(labels, "message_frequency", 0.0)
        shown = int(min(len(x), max(200, 3 * label(labels, "sample_rate") / fm if fm > 0 else 2000)))
        angle = np.linspace(0, 2 * np.pi, 200)
        axis.plot(np.cos(angle), np.sin(angle), color="tab:red", linewidth=0.6, linestyle="--")
        axis.plot(x.real[:shown], x.imag[:shown], linewidth=0.6, color="tab:blue")
    else:  # no symbols, no carrier
        shown = len(x)
        axis.plot(x.real, x.imag, ".", markersize=1, color="tab:blue")
    reach = _limit(x[:shown], 1.4)
    axis.set_xlim(-reach, reach)
    axis.set_ylim(-reach, reach)
    axis.set_aspect("equal")
    axis.set_xlabel("I (unit RMS)", fontsize=7)
    axis.set_ylabel("Q (unit RMS)", fontsize=7)
    what = "IQ trace, carrier removed" + (", in the labelled band" if family == "analog" else "")
    return Drawn(f"{what}, {shown / label(labels, 'sample_rate') * 1e3:.3g} ms")


def pooled_points(folder: str, name: str, companions: Sequence[dict[str, Any]], wanted: int) -> list[np.ndarray]:
    """A linear name's points of further files (each read with its own labels), taken in the
    order given until there are `wanted` or MOST_POOLED_FILES files have been read."""
    pooled: list[np.ndarray] = []
    for row in companions[:MOST_POOLED_FILES]:
        if wanted <= 0:
            break
        pooled.append(symbol_points(_samples(folder, row), name, row))
        wanted -= len(pooled[-1])
    return pooled


def _draw_spectrum(axis: Any, samples: np.ndarray, name: str, labels: Mapping[str, Any]) -> str:
    """The spectrum zoomed to the labelled band, its edges marked; returns the band, for the title."""
    fs = label(labels, "sample_rate")
    low, high = band(name, labels)
    # Segments that resolve the band in about 16 bins: the more segments averaged, the smoother.
    size = 2 ** math.ceil(math.log2(16 * fs / (high - low))) if high > low else len(samples)
    frequencies, power = spectrum(samples, fs, int(min(max(size, 64), 4096)))
    margin = max(0.75 * (high - low), 0.02 * fs)
    view = (max(low - margin, -fs / 2), min(high + margin, fs / 2))
    axis.plot(frequencies / 1e3, power, linewidth=0.7, color="tab:blue")
    axis.axvspan(low / 1e3, high / 1e3, color="tab:red", alpha=0.08)
    for edge in (low, high):
        axis.axvline(edge / 1e3, color="tab:red", linewidth=0.8, linestyle="--")
    shown = power[(frequencies >= view[0]) & (frequencies <= view[1])]
    axis.set_xlim(view[0] / 1e3, view[1] / 1e3)
    axis.set_ylim(max(float(shown.min()) if len(shown) else -100.0, -100.0) - 5, 5)
    axis.set_xlabel("frequency (kHz)", fontsize=7)
    axis.set_ylabel("power (dB re peak)", fontsize=7)
    return f"labelled band {low / 1e3:.3g} .. {high / 1e3:.3g} kHz"


def _title(name: str, labels: Mapping[str, Any], definition: str = "snr") -> str:
    """A file's own labels: its name, index, SNR on the run's axis and what its symbols or message are."""
    axis, value = snr_of(labels, definition)
    text = f"{name} #{labels.get('file_index', '?')}: {axis} {value:.1f} dB"
    rate = label(labels, "realised_symbol_rate", label(labels, "symbol_rate"))
    if FAMILY.get(name) == "analog":
        fm = label(labels, "message_frequency")
        return text + (f", fm {fm:.4g} Hz" if fm else "") + f", fc {carrier(name, labels) / 1e3:.4g} kHz"
    if rate:
        text += f", {rate / 1e3:.4g} kBd, {label(labels, 'sample_rate') / rate:.3g} sps"
    pulse = _text(labels, "pulse")
    if pulse:
        text += f", {pulse}" + (f" {label(labels, 'rolloff'):.2g}" if pulse == "rrc" else "")
    return text


def draw_scenes(rows: list[dict[str, Any]], output: str, folder: str, count: int,
                chosen_rows: list[dict[str, Any]] | None = None) -> list[str]:
    """Draws the first ``count`` scenes of a scene run's manifest rows (one per emitter): each
    capture's spectrogram with every emitter's labelled box and name; returns the names drawn.
    With ``chosen_rows``, only scenes with one of those emitters are drawn."""
    import matplotlib.patches
    import matplotlib.pyplot as plt

    from .detection import spectrogram

    scenes: dict[str, list[dict[str, Any]]] = {}
    for row in rows:
        if _saved(row):
            scenes.setdefault(str(row["sample_file"]), []).append(row)
    wanted = {str(row["sample_file"]) for row in (rows if chosen_rows is None else chosen_rows)}
    chosen = [key for key in scenes if key in wanted][:count]
    if not chosen:
        raise ValueError("no saved scenes to draw")
    figure, axes = plt.subplots(len(chosen), 1, figsize=(9, 4 * len(chosen)), squeeze=False)
    drawn: list[str] = []
    for axis, key in zip(axes[:, 0], chosen):
        emitters = scenes[key]
        samples = _samples(folder, emitters[0])
        fs = float(emitters[0]["sample_rate"])
        image = spectrogram(samples, 256, max(1, (len(samples) - 256) // 512 + 1))
        axis.imshow(image, extent=(0, len(samples), -fs / 2, fs / 2), aspect="auto", cmap="viridis",
                    vmin=float(np.median(image)) - 3, vmax=float(image.max()))
        boxed = [row for row in emitters if label(row, "sample_start", -1.0) >= 0]  # a capture of noise alone has none
        for row in boxed:
            start, length = float(row["sample_start"]), float(row["sample_count"])
            low, high = float(row["freq_lower_edge"]), float(row["freq_upper_edge"])
            axis.add_patch(matplotlib.patches.Rectangle((start, low), length, high - low, fill=False, edgecolor="red"))
            axis.text(start, high, f" {row['modulation']}", color="white", fontsize=7, va="bottom")
            drawn.append(str(row["modulation"]))
        axis.set_title(f"{os.path.basename(key)}: {len(boxed)} emitters, boxes as labelled", fontsize=8)
        axis.set_xlabel("sample", fontsize=7)
        axis.set_ylabel("Hz", fontsize=7)
        axis.tick_params(labelsize=6)
    figure.tight_layout()
    figure.savefig(output, dpi=80)
    plt.close(figure)
    return drawn


def draw_preview(manifest: str, output: str, folder: str | None = None, per_class: int = 3,
                 names: str | Sequence[str] | None = None, snr: Sequence[float | None] | None = None,
                 snr_definition: str | None = None) -> list[str]:
    """Draws the per-class figure (for a scene run, the first per_class scenes with their boxes);
    returns the classes drawn, in manifest order.

    ``names`` ("QPSK,GMSK" or a list) and ``snr`` ((low, high) dB, ends included, None for an open
    end) choose the files; see ``choose_files`` for which are drawn. SNRs, in the filter and the
    titles, are on the run's axis: ``snr_definition`` ("snr", "esn0" or "ebn0", as quorvin-cli's
    --snr-definition), by default the one the manifest's labels show was drawn."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    if isinstance(per_class, bool) or not isinstance(per_class, int) or per_class < 1:
        raise ValueError(f"per_class takes a whole number from 1, not {per_class}")
    if snr_definition is not None and snr_definition not in SNR_AXES:
        raise ValueError(f"snr_definition takes {', '.join(SNR_AXES)}, not {snr_definition!r}")
    folder = folder or os.path.dirname(os.path.abspath(manifest))
    rows = _rows(manifest)
    definition = snr_definition or snr_definition_of(rows)
    chosen = choose_files(rows, per_class, names, snr, definition)
    if rows and "freq_lower_edge" in rows[0]:
        return draw_scenes(rows, output, folder, per_class,
                           [row for panels in chosen.values() for panel in panels for row in panel])
    if not chosen:
        raise ValueError(f"{manifest}: no saved recordings{_filter_text(names, snr, definition)} to draw")
    columns = 2 * max(len(panels) for panels in chosen.values())
    figure, axes = plt.subplots(len(chosen), columns, figsize=(2.7 * columns, 2.7 * len(chosen)), squeeze=False)
    for line, (name, panels) in zip(axes, chosen.items()):
        for place, (row, *companions) in enumerate(panels):
            samples = _samples(folder, row)
            symbols, spectrum_axis = line[2 * place], line[2 * place + 1]
            pooled: list[np.ndarray] = []
            if FAMILY.get(name) == "linear":
                missing = symbols_wanted(name) - len(symbol_points(samples, name, row))
                pooled = pooled_points(folder, name, companions, missing)
            drawn = _draw_symbols(symbols, samples, name, row, pooled)
            symbols.set_title(f"{_title(name, row, definition)}\n{drawn.text}", fontsize=7)
            spectrum_axis.set_title(f"{name} #{row.get('file_index', '?')}: {_draw_spectrum(spectrum_axis, samples, name, row)}",
                                    fontsize=7)
        for axis in line[2 * len(panels):]:
            figure.delaxes(axis)
        for axis in line[: 2 * len(panels)]:
            axis.tick_params(labelsize=6)
    figure.tight_layout()
    figure.savefig(output, dpi=80)
    plt.close(figure)
    return list(chosen)


def _filter_text(names: str | Sequence[str] | None, snr: Sequence[float | None] | None, definition: str) -> str:
    """The filters given, as the message of an empty choice says them."""
    text = ""
    if names is not None:
        text += " of " + (names if isinstance(names, str) else ",".join(names))
    low, high = _snr_filter(snr)
    if snr is not None:
        text += f" with {SNR_AXES[definition][1]} from {low:g} to {high:g} dB"
    return text


def draw_summary(manifest: str, output: str) -> list[str]:
    """Class counts and a histogram of every numeric drawn parameter; returns the parameters drawn."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.ticker import MaxNLocator

    rows = _rows(manifest)
    parameters = []
    for key in rows[0]:
        values = [v for v in (label(row, key) for row in rows) if v is not None]
        if key in REAL_LABELS and len(set(values)) > 1:
            parameters.append((key, values))
    counts: dict[str, int] = {}
    for row in rows:
        counts[str(row["modulation"])] = counts.get(str(row["modulation"]), 0) + 1
    columns = 4
    lines = math.ceil((1 + len(parameters)) / columns)
    figure, axes = plt.subplots(lines, columns, figsize=(3.3 * columns, 2.6 * lines), squeeze=False)
    panels = [axis for line in axes for axis in line]
    panels[0].bar(range(len(counts)), list(counts.values()))
    panels[0].set_xticks(range(len(counts)), list(counts), rotation=90, fontsize=5)
    panels[0].set_ylabel("files", fontsize=7)
    for axis in panels:
        axis.yaxis.set_major_locator(MaxNLocator(integer=True))
    panels[0].set_title("files per class", fontsize=8)
    for (key, values), axis in zip(parameters, panels[1:]):
        axis.hist(values, bins=30)
        unit = UNITS.get(key, "")
        axis.set_xlabel(f"{key} ({unit})" if unit else key, fontsize=7)
        axis.set_ylabel("files", fontsize=7)
        axis.set_title(key, fontsize=8)
        axis.tick_params(labelsize=6)
    for axis in panels[1 + len(parameters):]:
        figure.delaxes(axis)
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
    parser.add_argument("--per-class", type=int, default=3,
                        help="files drawn per class, spread over its SNR from the highest down")
    parser.add_argument("-m", "--modulations", metavar="NAMES", help="only these names (comma-separated, as quorvin-cli -m)")
    parser.add_argument("--snr-min", type=float, metavar="DB", help="only files of at least this SNR (dB)")
    parser.add_argument("--snr-max", type=float, metavar="DB", help="only files of at most this SNR (dB)")
    parser.add_argument("--snr-definition", choices=list(SNR_AXES),
                        help="the SNR axis of the filter and titles (default: the one the run drew, from its labels)")
    options = parser.parse_args(arguments)
    snr = None if options.snr_min is None and options.snr_max is None else (options.snr_min, options.snr_max)
    try:
        draw_preview(options.manifest, options.output, options.folder, options.per_class, options.modulations, snr,
                     options.snr_definition)
        if options.summary:
            draw_summary(options.manifest, options.summary)
    except (OSError, ValueError) as error:
        print(f"{parser.prog}: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    raise SystemExit(main())

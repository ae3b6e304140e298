"""Synthetic radio-signal datasets from Quorvin's C++ core.

Every sample is made by the same core as quorvin-cli: ``Dataset(config, n, seed)[i]`` holds the
samples of plan position ``i`` of ``quorvin-cli --seed seed``, as complex64.
"""

from __future__ import annotations

import csv
import json
import os
from typing import Any, Iterable, Sequence

import numpy as np

from . import _core

__all__ = ["Config", "Dataset", "generate", "classes", "read_csv", "read_sigmf", "read_manifest", "read_hdf5"]

#: Every modulation name, in class-index order (the manifest's ``class_index``).
classes: list[str] = _core.class_names()


def _text(value: Any) -> str:
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, float):
        return repr(value)
    if isinstance(value, (list, tuple)):
        return ",".join(_text(v) for v in value)
    return str(value)


# Options given as one (min, max) pair, by their keyword; the rest take one value.
_RANGES = {
    "symbol_rate", "snr", "timing_error", "frequency_offset", "amplitude", "rolloff", "fsk_index",
    "gmsk_bt", "message_frequency", "am_index", "fading_k", "doppler", "phase_noise", "clock_ppm",
    "iq_amplitude", "iq_phase", "dc_offset", "pa_backoff", "adc_bits",
}
# Keywords whose option name differs from the keyword spelled with dashes.
_RENAMED = {"output_folder": "--output-folder"}


class Config:
    """A run's settings: every quorvin-cli option as a keyword, ranges as ``(min, max)`` tuples.

    ``Config(modulations=["QPSK", "GMSK"], signal_model="exact", sample_rate=100e3,
    samples_per_file=1024, snr=(0, 20))``. The same defaults, checks and messages as the command
    line: a refused value raises ``ValueError`` with the program's message ("Invalid Sample Rate.").
    """

    def __init__(self, modulations: Sequence[str], **options: Any) -> None:
        texts: dict[str, str] = {}
        for keyword, value in options.items():
            option = _RENAMED.get(keyword, "--" + keyword.replace("_", "-"))
            if keyword in _RANGES:
                if not (isinstance(value, (tuple, list)) and len(value) == 2):
                    raise ValueError(f"{keyword} takes a (min, max) pair, not {value!r}")
                texts[option + "-min"], texts[option + "-max"] = _text(value[0]), _text(value[1])
            elif keyword == "carrier_phase":
                if value:
                    texts[option] = "true"
            else:
                texts[option] = _text(value)
        self.modulations = list(modulations)
        self.options = texts
        self._settings = _core.settings(self.modulations, texts)

    def __repr__(self) -> str:
        return f"Config(modulations={self.modulations!r}, options={self.options!r})"


class Dataset:
    """A map-style dataset over one run's plan: ``len(ds)`` files, ``ds[i]`` = (samples, labels).

    Samples are complex64 (complex128 with ``double_precision=True``); labels are the manifest's
    keys, including ``class_index``. Items are made on request, each from its own seeds, so any
    order, worker count or split gives the same item for the same position.
    """

    def __init__(self, config: Config, files_per_modulation: int, seed: int, double_precision: bool = False) -> None:
        options = dict(config.options)
        options["--files-per-modulation"] = str(int(files_per_modulation))
        self.config = config
        self.seed = int(seed)
        self.double_precision = double_precision
        self._plan = _core.Plan(_core.settings(config.modulations, options), self.seed)
        self.classes = classes

    def __len__(self) -> int:
        return len(self._plan)

    def __getitem__(self, position: int) -> tuple[np.ndarray, dict[str, Any]]:
        return self._plan.item(int(position), self.double_precision)

    def channel(self, position: int) -> dict[str, np.ndarray]:
        """The exact-model channel item ``position`` went through, as it varied over the file:
        ``"fading_taps"``, a (taps, samples) complex128 array of each fading tap's gain, and
        ``"phase"``, the carrier's phase in radians (drawn phase plus phase-noise walk), each where
        the file drew that stage. With a clock offset, sample k of the file reads the channel at
        k (1 + ppm 1e-6). Empty for the classic model and for files without those stages."""
        return self._plan.channel(int(position))


def generate(name: str, config: Config, seed: int = 0, index: int = 1,
             double_precision: bool = False) -> tuple[np.ndarray, dict[str, Any]]:
    """File ``index`` (from 1) of ``name`` in a run of ``config`` restricted to that name."""
    options = dict(config.options)
    options["--files-per-modulation"] = str(int(index))
    plan = _core.Plan(_core.settings([name], options), int(seed))
    return plan.item(plan.position_of(name, int(index)), double_precision)


def read_csv(path: str | os.PathLike) -> np.ndarray:
    """A sample file of "I,Q" lines as complex128."""
    values = np.loadtxt(path, delimiter=",", ndmin=2)
    return values[:, 0] + 1j * values[:, 1] if values.size else np.zeros(0, dtype=np.complex128)


def read_sigmf(path_or_base: str | os.PathLike) -> tuple[np.ndarray, dict[str, Any]]:
    """A SigMF recording (the .sigmf-data or .sigmf-meta path, or their common base): samples and metadata.

    Checks the pair: a cf32_le datatype and as many samples as the annotation says.
    """
    base = os.fspath(path_or_base)
    for extension in (".sigmf-data", ".sigmf-meta"):
        if base.endswith(extension):
            base = base[: -len(extension)]
    with open(base + ".sigmf-meta", encoding="utf-8") as file:
        meta = json.load(file)
    if meta["global"]["core:datatype"] != "cf32_le":
        raise ValueError(f"{base}.sigmf-meta: datatype {meta['global']['core:datatype']}, not cf32_le")
    samples = np.fromfile(base + ".sigmf-data", dtype="<c8")
    count = meta["annotations"][0]["core:sample_count"]
    if len(samples) != count:
        raise ValueError(f"{base}.sigmf-data holds {len(samples)} samples, its metadata says {count}")
    return samples, meta


def read_manifest(path: str | os.PathLike) -> Any:
    """A run's manifest: a pandas DataFrame when pandas is installed, else a list of dicts."""
    try:
        import pandas  # noqa: PLC0415 (optional)

        return pandas.read_csv(path, float_precision="round_trip")  # its parser rounds some labels wrong
    except ImportError:
        with open(path, newline="", encoding="utf-8") as file:
            return list(csv.DictReader(file))


def read_hdf5(path: str | os.PathLike) -> tuple[Any, dict[str, np.ndarray], list[str]]:
    """A ``quorvin-cli --format hdf5`` container: samples, labels by manifest column, class names.

    Samples are a (files, N) complex64 array for fixed-length files, else a list of complex64
    arrays; labels are typed columns: str for text, float64 for real numbers (NaN where a file has
    no such value), int64 for whole numbers (-1 where absent). Needs h5py.
    """
    import h5py  # noqa: PLC0415 (optional)

    with h5py.File(path, "r") as file:
        iq = file["iq"][()]
        if "offsets" in file:
            bounds = list(file["offsets"][()]) + [len(iq)]
            samples: Any = [iq[start:end] for start, end in zip(bounds, bounds[1:])]
        else:
            samples = iq
        columns = file["labels"]
        labels = {key: columns[key].asstr()[()] if h5py.check_string_dtype(columns[key].dtype) else columns[key][()]
                  for key in columns}
        labels["class_index"] = file["class_index"][()]
        names = [n.decode() if isinstance(n, bytes) else str(n) for n in file.attrs["class_names"]]
    return samples, labels, names

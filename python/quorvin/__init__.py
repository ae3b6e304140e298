"""Synthetic radio-signal datasets from Quorvin's C++ core.

Every sample is made by the same core as quorvin-cli: ``Dataset(config, n, seed)[i]`` holds the
samples of plan position ``i`` of ``quorvin-cli --seed seed``, as complex64.
"""

from __future__ import annotations

import csv
import json
import operator
import os
from typing import Any, Iterable, Sequence

import numpy as np

from . import _core

__all__ = ["Config", "Dataset", "generate", "classes", "read_csv", "read_sigmf", "read_manifest", "read_hdf5"]

#: Every modulation name, in class-index order (the manifest's ``class_index``).
classes: list[str] = _core.class_names()


def _integer(argument: str, value: Any) -> int:
    """``value`` as an int; floats, text and bools are refused, never rounded or parsed."""
    if isinstance(value, (bool, np.bool_)) or not hasattr(type(value), "__index__"):
        raise TypeError(f"{argument} takes an integer, not {value!r}")
    return operator.index(value)


def _whole(argument: str, value: Any, low: int, high: int) -> int:
    """``value`` as an int from ``low`` to ``high``."""
    whole = _integer(argument, value)
    if not low <= whole <= high:
        raise ValueError(f"{argument} takes a whole number from {low} to {high}, not {whole}")
    return whole


def _flag(argument: str, value: Any) -> bool:
    """``value`` as a bool; anything else (the text 'false' among them) is refused."""
    if not isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{argument} takes True or False, not {value!r}")
    return bool(value)


_LARGEST_COUNT = 2**31 - 1  # files per modulation, and a file's index, are 32-bit
_LARGEST_SEED = 2**32 - 1


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
    ``"all"`` among the names stands for the form's 22, as ``-m all``. Picklable, so DataLoader
    workers of any start method receive it.
    """

    def __init__(self, modulations: Sequence[str], **options: Any) -> None:
        if isinstance(modulations, str) or not all(isinstance(name, str) for name in modulations):
            raise TypeError(f"modulations takes a list of names, not {modulations!r}")
        texts: dict[str, str] = {}
        for keyword, value in options.items():
            option = _RENAMED.get(keyword, "--" + keyword.replace("_", "-"))
            if keyword in _RANGES:
                if not (isinstance(value, (tuple, list)) and len(value) == 2):
                    raise ValueError(f"{keyword} takes a (min, max) pair, not {value!r}")
                texts[option + "-min"], texts[option + "-max"] = _text(value[0]), _text(value[1])
            elif keyword == "carrier_phase":
                if _flag(keyword, value):
                    texts[option] = "true"
            else:
                texts[option] = _text(value)
        self.modulations = list(modulations)
        self.options = texts
        self._settings = _core.settings(self.modulations, texts)

    def __getstate__(self) -> dict[str, Any]:
        return {"modulations": self.modulations, "options": self.options}

    def __setstate__(self, state: dict[str, Any]) -> None:
        self.modulations, self.options = state["modulations"], state["options"]
        self._settings = _core.settings(self.modulations, self.options)

    def __repr__(self) -> str:
        return f"Config(modulations={self.modulations!r}, options={self.options!r})"


class Dataset:
    """A map-style dataset over one run's plan: ``len(ds)`` files, ``ds[i]`` = (samples, labels).

    Samples are complex64 (complex128 with ``double_precision=True``); labels are the manifest's
    keys, including ``class_index``. Items are made on request, each from its own seeds, so any
    order, worker count or split gives the same item for the same position; any position of the
    longest plan is reached in the same few steps. Picklable (the plan is rebuilt on arrival).
    """

    def __init__(self, config: Config, files_per_modulation: int, seed: int, double_precision: bool = False) -> None:
        if not isinstance(config, Config):
            raise TypeError(f"config takes a quorvin.Config, not {config!r}")
        self.config = config
        self.files_per_modulation = _whole("files_per_modulation", files_per_modulation, 0, _LARGEST_COUNT)
        self.seed = _whole("seed", seed, 0, _LARGEST_SEED)
        self.double_precision = _flag("double_precision", double_precision)
        self._plan = _plan(config, config.modulations, self.files_per_modulation, self.seed)
        self.classes = classes

    def __getstate__(self) -> dict[str, Any]:
        return {key: getattr(self, key) for key in ("config", "files_per_modulation", "seed", "double_precision")}

    def __setstate__(self, state: dict[str, Any]) -> None:
        self.__init__(**state)  # type: ignore[misc]

    def __len__(self) -> int:
        return len(self._plan)

    def __getitem__(self, position: int) -> tuple[np.ndarray, dict[str, Any]]:
        whole = _integer("Dataset index", position)
        if not -len(self) <= whole < len(self):
            raise IndexError(f"Dataset index {whole} is outside a dataset of {len(self)} items")
        return self._plan.item(whole, self.double_precision)


def _plan(config: Config, names: list[str], files_per_modulation: int, seed: int) -> Any:
    options = dict(config.options)
    options["--files-per-modulation"] = str(files_per_modulation)
    return _core.Plan(_core.settings(names, options), seed)


def generate(name: str, config: Config, seed: int = 0, index: int = 1,
             double_precision: bool = False) -> tuple[np.ndarray, dict[str, Any]]:
    """File ``index`` (from 1) of ``name`` in a run of ``config`` restricted to that name."""
    if not isinstance(name, str):
        raise TypeError(f"name takes one modulation name, not {name!r}")
    if name == "all":
        raise ValueError("name takes one modulation name, not 'all'")
    index = _whole("index", index, 1, _LARGEST_COUNT)
    plan = _plan(config, [name], index, _whole("seed", seed, 0, _LARGEST_SEED))
    return plan.item(plan.position_of(name, index), _flag("double_precision", double_precision))


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

        return pandas.read_csv(path)
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

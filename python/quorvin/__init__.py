"""Synthetic radio-signal datasets from Quorvin's C++ core.

Every sample is made by the same core as quorvin-cli: ``Dataset(config, n, seed)[i]`` holds the
samples of plan position ``i`` of ``quorvin-cli --seed seed``, as complex64.
"""

from __future__ import annotations

import csv
import difflib
import json
import operator
import os
import re
import warnings
from typing import Any, Callable, Iterable, Sequence

import numpy as np

from . import _core

__version__: str = _core.__version__

__all__ = ["Config", "Dataset", "generate", "classes", "read_csv", "read_sigmf", "read_manifest", "read_hdf5",
           "read_channel", "SYMBOLS_DTYPE", "READ_LIMIT"]

#: The record of one transmitted symbol, as ``--save-symbols``'s ``.symbols.npy`` files and
#: ``Dataset.symbols`` hold it (packed, 36 bytes; see README's "The transmitted symbols").
SYMBOLS_DTYPE = np.dtype([("index", "<i8"), ("instant", "<f8"), ("symbol", "<i4"), ("value", "<c8"), ("bits", "<u8")])

#: Every modulation name, in class-index order (the manifest's ``class_index``).
classes: list[str] = _core.class_names()
# What a name list may hold besides names, as -m takes them: the form's 22, every name, a group
# (these two without the names that are others' signal, AM-SSB).
_SELECTIONS: list[str] = ["all", "every"] + list(dict.fromkeys(row["group"] for row in _core.catalogue()))


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


#: What a ``read_*`` call loads at most by default (bytes of samples): larger runs are read item
#: by item (``quorvin.files``, ``quorvin.torch.FileDataset``).
READ_LIMIT = 2**30

_LARGEST_COUNT = 2**31 - 1  # files per modulation, and a file's index, are 32-bit
_LARGEST_SEED = 2**32 - 1


def _text(argument: str, value: Any) -> str:
    """``value`` as the command line's text for ``argument``."""
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, float):
        return repr(value)
    if isinstance(value, (list, tuple)):
        return ",".join(_text(argument, v) for v in value)
    if isinstance(value, dict):
        return _entries_text(argument, value)
    return str(value)


def _payload_lines(argument: str, payloads: Any) -> str:
    """payloads' ``[b"\\x20\\x2c...", ...]`` as --payload's file holds them: one line of hexadecimal
    bytes each, entry k for file k of each name (again from the first past the last); a str is
    taken as those lines already."""
    if isinstance(payloads, str):
        return payloads
    if isinstance(payloads, (bytes, bytearray, memoryview)) or not isinstance(payloads, (list, tuple)):
        raise TypeError(f"{argument} takes a list of bytes objects, one a file, not {payloads!r}")
    if not payloads:
        raise ValueError(f"{argument} takes one bytes object or more, not an empty list")
    lines = []
    for payload in payloads:
        if not isinstance(payload, (bytes, bytearray, memoryview)):
            raise TypeError(f"{argument} takes a list of bytes objects, one a file, not one holding {payload!r}")
        lines.append(bytes(payload).hex().upper() + "\n")
    return "".join(lines)


def _entries_text(argument: str, entries: dict[Any, Any]) -> str:
    """per_name's ``{"2FSK": {"symbol_rate": (1000, 2000)}}`` as --per-name's "2FSK:symbol-rate=1000..2000";
    TypeError or ValueError naming ``argument`` and the entry of any other shape."""
    texts = []
    for name, ranges in entries.items():
        if not isinstance(name, str) or not isinstance(ranges, dict):
            raise TypeError(f"{argument} takes {{name: {{keyword: (min, max)}}}}, not {{{name!r}: {ranges!r}}}")
        for key, ends in ranges.items():
            if not isinstance(key, str):
                raise TypeError(f"{argument}: {name} takes keywords (str) as keys, not {key!r}")
            if not (isinstance(ends, (tuple, list)) and len(ends) == 2):
                raise ValueError(f"{argument}: {name}'s {key} takes a (min, max) pair, not {ends!r}")
            texts.append(f"{name}:{key.replace('_', '-')}={_text(argument, ends[0])}..{_text(argument, ends[1])}")
    return ";".join(texts)


#: The core's options as (command-line option, keyword, pair end "min"/"max"/"", flag, default
#: text): the command line's name is an option's identity, the keyword and its pair end are this package's.
_DECLARED: list[tuple[str, str, str, bool, str]] = _core.options()
_NAMED = {option: (keyword, end) for option, keyword, end, *_ in _DECLARED}


def _pairs() -> dict[str, dict[str, str]]:
    """Keywords taking a (min, max) pair: each end's option."""
    pairs: dict[str, dict[str, str]] = {}
    for option, keyword, end, *_ in _DECLARED:
        if end:
            pairs.setdefault(keyword, {})[end] = option
    return pairs


_PAIRS = _pairs()
# Keywords taking one value, each end of a pair among them ("snr_min").
_SINGLE = {keyword + ("_" + end if end else ""): option for option, keyword, end, *_ in _DECLARED}
_FLAGS = {keyword for _, keyword, _, flag, _ in _DECLARED if flag}
_ENDS = {"min": "minimum", "max": "maximum"}


def _names(modulations: Any) -> list[str]:
    """The names given: one name or a comma-separated list in a str (as -m takes), or a list of names."""
    if isinstance(modulations, str):
        names = _core.name_list(modulations) if modulations else []
    elif isinstance(modulations, (list, tuple)) and all(isinstance(name, str) for name in modulations):
        names = list(modulations)
    else:
        raise TypeError(f"modulations takes a name, a comma-separated list or a list of names, not {modulations!r}")
    for name in names:
        if name not in _SELECTIONS and name not in classes:
            meant = _suggestion(name, classes + _SELECTIONS)
            known = f"{meant} The known ones are" if meant else "; the known ones are"
            raise ValueError(f"unknown modulation {name!r}{known} {', '.join(classes)}; or {', '.join(_SELECTIONS)}")
    return names


def _option(keyword: str) -> str:
    """The command line's option for a keyword taking one value (an unknown one spelt alike, for
    the core to refuse)."""
    return _SINGLE.get(keyword, "--" + keyword.replace("_", "-"))


def _name(option: str, given: dict[str, str]) -> str:
    """An option as a message names it: the keyword given for it, else its own ("rolloff (maximum)")."""
    keyword, end = _NAMED.get(option, (option, ""))
    said = given.get(option, keyword)
    return f"{said} ({_ENDS[end]})" if said == keyword and end else said


def _reference(reference: str, given: dict[str, str]) -> str:
    """An option a core message names, in keywords: "--pulse rrc" is pulse='rrc', a whole pair
    ("--clock-ppm-min/max", "--adc-bits-min and --adc-bits-max") its keyword."""
    if reference.endswith("-min/max"):
        low, high, joiner = reference[:-len("/max")], reference[:-len("min/max")] + "max", "/"
    elif " and " in reference:
        (low, high), joiner = reference.split(" and "), " and "
    else:
        option, _, value = reference.partition(" ")
        return f"{_name(option, given)}={value!r}" if value else _name(option, given)
    keyword, end = _NAMED.get(low, (low, ""))
    if end == "min" and _PAIRS[keyword]["max"] == high:
        return keyword
    return _name(low, given) + joiner + _name(high, given)


def _in_keywords(text: str, given: dict[str, str]) -> str:
    """A core message marked as refusals are, its options named as the keywords that set them."""
    # "{--rolloff-max}" names an option; "{{" and "}}" are braces of the user's own text.
    return re.sub(r"\{\{|\}\}|\{([^{}]*)\}",
                  lambda match: match.group(0)[0] if match.group(1) is None else _reference(match.group(1), given),
                  text)


def _suggestion(typed: str, candidates: Iterable[str]) -> str:
    """"; did you mean X?" (or "X or Y", "X, Y or Z") for what ``typed`` most likely meant, as
    quorvin-cli suggests: the candidates equal to it but for case and punctuation; else those it
    begins (when at most four do) and the closest by difflib; "" when none is near."""
    known = list(dict.fromkeys(candidates))
    folded = {name: re.sub(r"[^0-9a-z]", "", name.lower()) for name in known}
    key = re.sub(r"[^0-9a-z]", "", typed.lower())
    meant = [name for name in known if key and folded[name] == key]
    if not meant:
        begun = [name for name in known if key and len(name) > len(typed) and name.lower().startswith(typed.lower())]
        meant = begun if len(begun) <= 4 else []
        lowered = {name.lower(): name for name in known}
        meant += [lowered[close] for close in difflib.get_close_matches(typed.lower(), list(lowered), n=4, cutoff=0.75)
                  if lowered[close] not in meant]
    meant = meant[:4]
    if not meant:
        return ""
    listed = meant[0] if len(meant) == 1 else ", ".join(meant[:-1]) + " or " + meant[-1]
    return f"; did you mean {listed}?"


def _keyword_suggestion(said: str) -> str:
    """"; did you mean sample_rate?" for an unknown keyword (or a --config file's key, spelt with hyphens)."""
    if said.startswith("--") or "-" in said:
        prefix = "--" if said.startswith("--") else ""
        return _suggestion(said, [prefix + option[2:] for option in _NAMED])
    return _suggestion(said, list(_SINGLE) + list(_PAIRS))


def _python_message(refusal: ValueError, given: dict[str, str]) -> str:
    """The core's refusal, ValueError(kind, marked text, option, value), with its options named as
    the keywords that set them (``given``: option -> keyword)."""
    kind, text, option, value = refusal.args
    if kind == "unknown_option":
        said = given.get(option, option)
        return f"unknown argument {said}{_keyword_suggestion(said)}"
    told = _in_keywords(text, given)
    # --payload's line k is the list's entry k - 1.
    payloads = given.get("--payload")
    if payloads:
        told = re.sub(re.escape(payloads) + r" line (\d+)", lambda match: f"{payloads}[{int(match.group(1)) - 1}]", told)
    return told


def _settings(names: list[str], texts: dict[str, str], given: dict[str, str]) -> Any:
    """The core's settings, a refusal raised as ValueError in this package's words."""
    try:
        return _core.settings(names, texts)
    except ValueError as error:
        raise ValueError(_python_message(error, given)) from None


def _warn(settings: Any, texts: dict[str, str], given: dict[str, str]) -> None:
    """What quorvin-cli warns of for these settings (a range's ends reversed, ...), as a UserWarning
    in this package's words, told where the Config was made."""
    for text in _core.warnings(settings, texts):
        warnings.warn(_in_keywords(text, given), stacklevel=3)


#: The core's control options (the names, how files are written, the seed, the program's own) as
#: (name list, value kind or "" for a flag, help, what it takes, a --config key, quorvin.distributed's).
_CONTROL: list[tuple[str, str, str, str, bool, bool]] = _core.control_options()


def _regular_file(path: str | os.PathLike, rule: str) -> os.stat_result:
    """``path``'s status; ValueError naming it and ``rule`` when it is no regular file (a folder, a
    device, a FIFO: read without end or waiting for a writer), FileNotFoundError when it is missing."""
    import stat  # noqa: PLC0415

    status = os.stat(path)
    if not stat.S_ISREG(status.st_mode):
        raise ValueError(f"{os.fspath(path)}: not a regular file; {rule}")
    return status


def _read_config_file(path: str | os.PathLike) -> dict[str, str]:
    """A --config file's texts by long option ("--seed": "3", a flag's "true" or "false"), read by
    the core's one reader as quorvin-cli reads it; ValueError (FileNotFoundError when it cannot be
    read) in quorvin-cli's words, "--config FILE: line 3: ..."."""
    name = os.fsdecode(path)
    return {option: text for option, _, text, _ in _core.config_file(name, name)}


class Config:
    """A run's settings: every quorvin-cli option as a keyword, ranges as ``(min, max)`` tuples.

    ``Config(["QPSK", "GMSK"], signal_model="exact", sample_rate=100e3, samples_per_file=1024,
    snr=(0, 20))``; ``Config("QPSK")`` and ``Config("QPSK,GMSK")`` name the same as a list. The
    same defaults and checks as the command line: a refused value raises ``ValueError`` naming the
    keyword and the value ("Invalid Sample Rate. (sample_rate '10k')", "rolloff (maximum) takes a
    number from 0 to 1, not '1.5'"); a range given both whole and by one end (``snr=(0, 20), snr_min=5``)
    is refused. ``"all"`` among the names stands for the desktop program's 22, as ``-m all``;
    ``"every"`` for every name and a group's name (``"fsk"``, ``"qam"``, ...) for its names, both
    without AM-SSB, whose every file is an AM-LSB or AM-USB file (its name still selects it).
    Picklable, so DataLoader workers of any start method receive it.

    Each keyword's default is the command line's (``quorvin-cli --help``); where the models differ it
    is the model's in use: ``symbol_rate`` is (1000, 5000) with ``signal_model="classic"``, while the
    exact model (the default), given neither end nor ``samples_per_symbol``, draws each digital name's
    samples per symbol from 2 to 16 (from the fewest that fit the band to 8 times that where 2 do
    not), and takes 1000 or 5000 for the end not given when one is.
    """

    def __init__(self, modulations: str | Sequence[str], **options: Any) -> None:
        names = _names(modulations)
        texts: dict[str, str] = {}
        given: dict[str, str] = {}  # option -> the keyword that set it
        for keyword, value in options.items():
            option = _option(keyword)
            if keyword in _PAIRS:
                if not (isinstance(value, (tuple, list)) and len(value) == 2):
                    raise ValueError(f"{keyword} takes a (min, max) pair, not {value!r}")
                for end, text in (("min", _text(keyword, value[0])), ("max", _text(keyword, value[1]))):
                    option = _PAIRS[keyword][end]
                    if option in given:
                        raise ValueError(f"{keyword} and {given[option]} both given: give one of them")
                    texts[option], given[option] = text, keyword
            elif option in given:
                raise ValueError(f"{keyword} and {given[option]} both given: give one of them")
            elif keyword in _FLAGS:
                given[option] = keyword
                if _flag(keyword, value):
                    texts[option] = "true"
            elif option == "--payload":
                texts[option], given[option] = _payload_lines(keyword, value), keyword
            else:
                texts[option], given[option] = _text(keyword, value), keyword
        self.modulations = names
        self.options = texts
        self._settings = _settings(self.modulations, texts, given)
        _warn(self._settings, texts, given)

    @classmethod
    def from_file(cls, path: str | os.PathLike) -> "Config":
        """The settings of a ``quorvin-cli --config`` file (docs/reference/config.md), read and
        refused as quorvin-cli reads and refuses it: "--config FILE: line 3: ...", "--config FILE:
        Invalid Sample Rate. --sample-rate takes a number above 0, not '10k'".

        What only writing files concerns (``format``, ``manifest``, ``jobs``, ...) is left to the
        command line, and ``files-per-modulation`` and ``seed`` to ``Dataset.from_file``.
        """
        texts = _read_config_file(path)
        return cls._from_texts(texts, os.fsdecode(path), list(texts))

    @classmethod
    def _from_texts(cls, texts: dict[str, str], config: str = "", from_file: Sequence[str] = ()) -> "Config":
        """The settings of option texts by long name, as quorvin-cli reads them (the names under
        "--modulations"; control options left out); refusals in quorvin-cli's words, after
        "--config CONFIG: " for those of an option in ``from_file``."""
        self = cls.__new__(cls)
        if "--payload" in texts:
            # The file a --config file or command line names, read as quorvin-cli reads it.
            texts = dict(texts)
            try:
                texts["--payload"] = _core.payload_file(texts["--payload"])
            except (ValueError, FileNotFoundError) as error:
                told = f"--config {config}: {error}" if config and "--payload" in from_file else str(error)
                raise type(error)(told) from None
        names = texts.get("--modulations", "")
        self.modulations = _core.name_list(names) if names else []
        self.options = {option: text for option, text in texts.items() if option in _NAMED}
        try:
            self._settings = _core.settings(self.modulations, self.options)
        except ValueError as error:
            raise ValueError(_core.command_line_refusal(*error.args, config, list(from_file))) from None
        _warn(self._settings, self.options, {option: option for option in self.options})
        return self

    def __getstate__(self) -> dict[str, Any]:
        return {"modulations": self.modulations, "options": self.options}

    def __setstate__(self, state: dict[str, Any]) -> None:
        self.modulations, self.options = state["modulations"], state["options"]
        self._settings = _settings(self.modulations, self.options, {})

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
        #: The run's names in its order (the catalogue's), as the plan visits them.
        self.names: list[str] = list(self._plan.modulations)

    def __getstate__(self) -> dict[str, Any]:
        return {key: getattr(self, key) for key in ("config", "files_per_modulation", "seed", "double_precision")}

    def __setstate__(self, state: dict[str, Any]) -> None:
        self.__init__(**state)  # type: ignore[misc]

    @classmethod
    def from_file(cls, path: str | os.PathLike, double_precision: bool = False) -> "Dataset":
        """The dataset a ``quorvin-cli --config`` file describes: its settings, its
        ``files-per-modulation`` (default 1) and its ``seed`` (required: the file and the seed
        re-make the same items as the command line's files)."""
        texts = _read_config_file(path)
        config = Config._from_texts(texts, os.fsdecode(path), list(texts))  # a misspelt key is told before a missing seed
        if "--seed" not in texts:
            raise ValueError(f"--config {os.fsdecode(path)}: no seed, so no reproducible dataset")
        return cls(config, int(texts.get("--files-per-modulation", "1")), int(texts["--seed"]), double_precision)

    def __len__(self) -> int:
        return len(self._plan)

    def __getitem__(self, position: int) -> tuple[np.ndarray, dict[str, Any]]:
        whole = _integer("Dataset index", position)
        if not -len(self) <= whole < len(self):
            raise IndexError(f"Dataset index {whole} is outside a dataset of {len(self)} items")
        return self._plan.item(whole, self.double_precision)

    def frames(self, positions: Iterable[int] | np.ndarray, symbols: bool = False) -> tuple[Any, ...]:
        """Many items in one call: samples stacked as an (N, L) complex64 array, labels as columns.

        A file shorter than the longest is followed by zeros (its ``num_samples`` says where it
        ends). Label columns are float64 (NaN where an item has no such label), int64 (-1 where
        absent) or str ("" where absent). Every item is made with the GIL released, so threads
        reading other batches run meanwhile. The same items as ``ds[p]`` for each position.
        With ``symbols`` a third element follows: a list of each item's transmitted symbols, the
        records ``symbols(p)`` gives, worked out in the same pass.
        """
        if isinstance(positions, np.ndarray):
            if positions.dtype.kind not in "iu" or positions.ndim != 1:
                raise TypeError(f"positions takes a 1-D array of integers, not one of {positions.dtype} "
                                f"and shape {positions.shape}")
            wholes = positions.tolist()
        elif isinstance(positions, (str, bytes)) or not isinstance(positions, Iterable):
            raise TypeError(f"positions takes a sequence of integers, not {positions!r}")
        else:
            wholes = [_integer("positions", position) for position in positions]
        for whole in wholes:
            if not -len(self) <= whole < len(self):
                raise IndexError(f"positions: {whole} is outside a dataset of {len(self)} items")
        if not _flag("symbols", symbols):
            return self._plan.frames(wholes)
        samples, columns, records, offsets = self._plan.frames(wholes, True)
        return samples, columns, _split_symbols(records, offsets)

    def channel(self, position: int) -> dict[str, np.ndarray]:
        """The exact-model channel item ``position`` went through, as it varied over the file:
        ``"fading_taps"``, a (taps, samples) complex128 array of each fading tap's gain, and
        ``"phase"``, the carrier's phase in radians (drawn phase plus phase-noise walk), each where
        the file drew that stage. With a clock offset, sample k of the file reads the channel at
        k (1 + ppm 1e-6). Empty for the classic model and for files without those stages."""
        whole = _integer("position", position)
        if not -len(self) <= whole < len(self):
            raise IndexError(f"position: {whole} is outside a dataset of {len(self)} items")
        return self._plan.channel(whole)

    def symbols(self, position: int) -> np.ndarray:
        """The symbols item ``position`` transmits (exact model, digital names), as the
        ``.symbols.npy`` file of ``--save-symbols`` holds them: a structured array of
        ``SYMBOLS_DTYPE`` (index, instant in samples, symbol, value, Gray bits), one row per symbol
        that reaches the item's samples, in index order. Empty for analog names, Noise, LFM-radar
        (its pulses carry no data) and the classic model."""
        whole = _integer("position", position)
        if not -len(self) <= whole < len(self):
            raise IndexError(f"position: {whole} is outside a dataset of {len(self)} items")
        return _records(self._plan.symbols(whole))

    def write(self, folder: str | os.PathLike, format: str = "csv", manifest: str | os.PathLike | None = None,
              compress: bool = False, save_settings: bool = False, jobs: int = 1,
              save_channel: bool = False, save_symbols: bool = False, shard: tuple[int, int] = (0, 1),
              progress: Callable[[int, int, int], Any] | None = None) -> dict[str, Any]:
        """Writes every item to files in ``folder`` (made when missing), as ``quorvin-cli --seed
        seed -o folder --format format`` does, through the same writers: the same CSV or SigMF files
        under the same names (the metadata's recorder names this package), or one ``dataset.h5``
        container, and with ``manifest`` the run's CSV manifest. Returns the summary:
        ``files_saved``, ``files_failed``, ``container`` (its path once saved, else None) and
        ``problems``, each "<file>: <reason>"; a container that could not be saved (a full disk)
        is None and every file meant for it counts as failed. OSError, before any file, for a
        manifest or container that cannot be written. ``save_channel`` (exact model) also writes each file's channel as ``--save-channel``
        does: .npy files beside each sample file (see ``read_channel``), or the container's
        ``channel_taps`` and ``channel_phase``; ``save_symbols`` (exact model) each digital
        file's transmitted symbols as ``--save-symbols`` does (``.symbols.npy`` beside it, records
        of ``SYMBOLS_DTYPE``). ``shard=(K, N)`` writes only plan positions p with
        p mod N = K, as ``--shard K/N`` does (the container is then ``dataset-K-of-N.h5``);
        ``progress(files_done, files_total, samples_done)`` is called after each file of the
        shard (an exception it raises stops the run and is raised from here)."""
        options = dict(self.config.options, **{"--files-per-modulation": str(self.files_per_modulation)})
        given: dict[str, str] = {}
        if _flag("save_channel", save_channel):
            options["--save-channel"], given["--save-channel"] = "true", "save_channel"
        if _flag("save_symbols", save_symbols):
            options["--save-symbols"], given["--save-symbols"] = "true", "save_symbols"
        settings = _settings(self.config.modulations, options, given)
        os.makedirs(folder, exist_ok=True)
        return _core.write_files(settings, self.seed, os.fsdecode(folder),
                                 format, os.fsdecode(manifest) if manifest is not None else "",
                                 _flag("compress", compress), _flag("save_settings", save_settings),
                                 _whole("jobs", jobs, 1, _LARGEST_COUNT), *_shard(shard), progress)


def _records(data: np.ndarray) -> np.ndarray:
    """Symbol records from the core's packed bytes (a uint8 array), viewed as ``SYMBOLS_DTYPE``
    without a copy (numpy copies a packed record array field by field, slowly)."""
    return data.view(SYMBOLS_DTYPE)


def _split_symbols(records: np.ndarray, offsets: np.ndarray) -> list[np.ndarray]:
    """Items' symbol records laid one after another, cut at ``offsets`` (each item's first, then the end)."""
    every = _records(records)
    bounds = offsets.tolist()
    return [every[start:end] for start, end in zip(bounds[:-1], bounds[1:])]


def _shard(shard: Any) -> tuple[int, int]:
    """``shard`` as (K, N) with 0 <= K < N <= 2^32 - 1."""
    if not isinstance(shard, (tuple, list)) or len(shard) != 2:
        raise TypeError(f"shard takes a pair (K, N), not {shard!r}")
    count = _whole("shard (N)", shard[1], 1, _LARGEST_SEED)
    return _whole("shard (K)", shard[0], 0, count - 1), count


def _plan(config: Config, names: list[str], files_per_modulation: int, seed: int) -> Any:
    options = dict(config.options)
    options["--files-per-modulation"] = str(files_per_modulation)
    return _core.Plan(_settings(names, options, {}), seed)


def generate(name: str, config: Config, seed: int = 0, index: int = 1,
             double_precision: bool = False, symbols: bool = False) -> tuple[Any, ...]:
    """File ``index`` (from 1) of ``name`` in a run of ``config`` restricted to that name: (samples,
    labels), and with ``symbols`` its transmitted symbols third (``Dataset.symbols``' records)."""
    if not isinstance(name, str):
        raise TypeError(f"name takes one modulation name, not {name!r}")
    if name in _SELECTIONS:
        raise ValueError(f"name takes one modulation name, not {name!r}")
    index = _whole("index", index, 1, _LARGEST_COUNT)
    plan = _plan(config, [name], index, _whole("seed", seed, 0, _LARGEST_SEED))
    position = plan.position_of(name, index)
    item = plan.item(position, _flag("double_precision", double_precision))
    if not _flag("symbols", symbols):
        return item
    return (*item, _records(plan.symbols(position)))


def read_channel(path: str | os.PathLike) -> dict[str, np.ndarray]:
    """The channel ``--save-channel`` wrote beside a sample file (``path``: its .csv, .sigmf-data
    or .sigmf-meta), with ``Dataset.channel``'s keys: ``"fading_taps"`` from <stem>.taps.npy,
    (taps, samples) complex64, and ``"phase"`` from <stem>.phase.npy, radians as float64, each
    where the file drew that stage; empty when neither was written."""
    stem = re.sub(r"\.(csv|sigmf-data|sigmf-meta)$", "", os.fspath(path))
    channel: dict[str, np.ndarray] = {}
    for key, ending in _core.channel_tracks():
        if os.path.exists(stem + ending):
            channel[key] = np.load(stem + ending)
    return channel


def read_csv(path: str | os.PathLike) -> np.ndarray:
    """A sample file of "I,Q" lines as complex64, as the other readers give; ValueError naming the file for any other text."""
    try:
        values = np.loadtxt(path, delimiter=",", ndmin=2)
    except ValueError as error:
        raise ValueError(f"{os.fspath(path)}: not a sample file of I,Q lines ({error})") from None
    if values.size and values.shape[1] != 2:
        raise ValueError(f"{os.fspath(path)}: {values.shape[1]} numbers a line, not I,Q")
    if not values.size:
        return np.zeros(0, dtype=np.complex64)
    return (values[:, 0] + 1j * values[:, 1]).astype(np.complex64)  # each part rounded once, from its text


def _meta_field(meta: Any, keys: Sequence[Any], meta_path: str) -> Any:
    """meta[keys[0]][keys[1]]..., or ValueError naming the file and the missing field."""
    value = meta
    for key in keys:
        try:
            value = value[key]
        except (KeyError, IndexError, TypeError):
            raise ValueError(f"{meta_path}: no {'/'.join(map(str, keys))}") from None
    return value


def read_sigmf(path_or_base: str | os.PathLike, limit: int | None = READ_LIMIT) -> tuple[np.ndarray, dict[str, Any]]:
    """A SigMF recording (the .sigmf-data or .sigmf-meta path, or their common base): samples and metadata.

    Checks the pair: a cf32_le or ci16_le datatype (ci16_le scaled back by its quorvin:full_scale),
    whole samples, and as many as the annotation says (a scene's global ``quorvin:num_samples``;
    its annotations are its emitters' boxes); ValueError naming the file and what is wrong
    otherwise, and for more than ``limit`` bytes of samples (``read_hdf5``'s limit).
    """
    base = os.fspath(path_or_base)
    for extension in (".sigmf-data", ".sigmf-meta"):
        if base.endswith(extension):
            base = base[: -len(extension)]
    meta_path, data_path = base + ".sigmf-meta", base + ".sigmf-data"
    with open(meta_path, encoding="utf-8") as file:
        try:
            meta = json.load(file)
        except ValueError as error:  # bad JSON or bad UTF-8
            raise ValueError(f"{meta_path}: not JSON ({error})") from None
    datatype = _meta_field(meta, ["global", "core:datatype"], meta_path)
    if datatype not in ("cf32_le", "ci16_le"):
        raise ValueError(f"{meta_path}: datatype {datatype}, not cf32_le or ci16_le")
    channels = meta["global"].get("core:num_channels", 1)
    if channels != 1 or isinstance(channels, bool):  # the samples of several channels are interleaved
        raise ValueError(f"{meta_path}: core:num_channels {channels!r}, not 1; a recording here holds one channel")
    width = 8 if datatype == "cf32_le" else 4
    # A scene's annotations are its emitters' boxes; its length is the capture's.
    scene = isinstance(meta, dict) and isinstance(meta.get("global"), dict) and "quorvin:scene" in meta["global"]
    count = _meta_field(meta, ["global", "quorvin:num_samples"] if scene else ["annotations", 0, "core:sample_count"],
                        meta_path)
    if isinstance(count, bool) or not isinstance(count, int) or count < 0:
        raise ValueError(f"{meta_path}: core:sample_count {count!r} is not a sample count")
    size = os.path.getsize(data_path)
    if size % width:
        raise ValueError(f"{data_path}: {size} bytes, not a whole number of {width}-byte {datatype} samples")
    if size // width != count:
        raise ValueError(f"{data_path} holds {size // width} samples, its metadata says {count}")
    _over_limit(data_path, count * 8, limit, "read_sigmf")
    if datatype == "cf32_le":
        return np.fromfile(data_path, dtype="<c8"), meta
    # Integers back to amplitudes: 32767 stands for the recording's full scale (at most 1e38, so
    # that every level times it stays within complex64's 3.4e38).
    full_scale = _meta_field(meta, ["global", "quorvin:full_scale"], meta_path)
    if isinstance(full_scale, bool) or not isinstance(full_scale, (int, float)) or not 0 < full_scale <= 1e38:
        raise ValueError(f"{meta_path}: quorvin:full_scale {full_scale!r} is not a number above 0 and at most 1e38")
    levels = np.fromfile(data_path, dtype="<i2").astype(np.float32) * np.float32(full_scale / 32767)
    return (levels[0::2] + 1j * levels[1::2]).astype(np.complex64), meta


def read_manifest(path: str | os.PathLike) -> Any:
    """A run's manifest: a pandas DataFrame when pandas is installed, else a list of dicts of the texts.

    The DataFrame's columns are typed as ``read_hdf5``'s labels, whichever rows a file holds: str
    for text ("" where a row has none), float64 for real numbers (NaN where absent), int64 for
    whole numbers (-1 where absent), bool for ``saved``. Either way every number is the one
    written, bit for bit: pandas' default float parser can be one unit in the last place off, its
    round-trip parser is not; ``float()`` of a text is exact.
    """
    try:
        import pandas  # noqa: PLC0415 (optional)
    except ImportError:
        with open(path, newline="", encoding="utf-8") as file:
            return list(csv.DictReader(file))
    # Typed from the header, not guessed from the cells: a column empty for one name and text for
    # another (sideband) would otherwise be read piecewise, and whole numbers with gaps as floats.
    with open(path, newline="", encoding="utf-8") as file:
        header = next(csv.reader(file), [])
    kinds = {name: "bool" if name == "saved" else _core.column_type(name) for name in header}
    wholes = [name for name, kind in kinds.items() if kind == "whole"]
    frame = pandas.read_csv(path, float_precision="round_trip", keep_default_na=False,
                            dtype={name: {"text": str, "real": "float64", "whole": "Int64", "bool": bool}[kind]
                                   for name, kind in kinds.items()},
                            na_values={name: [""] for name, kind in kinds.items() if kind in ("real", "whole")},
                            true_values=["true"], false_values=["false"])
    for name in wholes:
        frame[name] = frame[name].fillna(-1).astype("int64")
    return frame


def read_hdf5(path: str | os.PathLike, limit: int | None = READ_LIMIT) -> tuple[Any, dict[str, np.ndarray], list[str]]:
    """A ``quorvin-cli --format hdf5`` container: samples, labels by manifest column, class names.

    Samples are a (files, N) complex64 array for fixed-length files, else a list of complex64
    arrays; labels are typed columns: str for text, float64 for real numbers (NaN where a file has
    no such value), int64 for whole numbers (-1 where absent). Needs h5py. A container whose parts
    disagree (offsets, column lengths, class indices) raises ValueError naming the file.

    A scene run's container gives its captures, (captures, N) complex64, and its table of boxes:
    one row per emitter, its columns the manifest's with ``class_index`` (the emitter's),
    ``capture_index`` (its capture's row) and ``scene`` (its capture's scene number).

    Samples of more than ``limit`` bytes (1 GiB; None for no limit) are refused with a ValueError
    pointing to ``quorvin.files.open_run`` and ``quorvin.torch.FileDataset``, which read item by item.
    """
    name = os.fspath(path)
    if os.path.isdir(path):  # told before h5py is needed: the mistake is the path's
        raise ValueError(_folder_given(name))
    import h5py  # noqa: PLC0415 (optional)

    _regular_file(path, "a container is a regular file of HDF5")
    try:
        return _read_container(h5py, name, limit=limit)
    except (FileNotFoundError, PermissionError):
        raise
    except OSError as error:  # h5py's words for a file that is no container, or is cut short, name no file
        raise ValueError(f"{name}: not a readable HDF5 container ({error})") from None


def _over_limit(name: str, size: int, limit: int | None, call: str) -> None:
    """ValueError when ``size`` bytes of samples pass ``limit``, naming the readers that need no such memory."""
    if limit is not None and size > _whole("limit", limit, 0, 2**63 - 1):
        raise ValueError(f"{name}: {call} would load {size} bytes of samples, more than limit={limit}; read it item by "
                         "item with quorvin.files.open_run or quorvin.torch.FileDataset, or give limit=None")


def _folder_given(name: str) -> str:
    """read_hdf5's refusal of a folder, naming what in it may be read instead: its containers, else
    its SigMF recordings."""
    entries = sorted(os.listdir(name))
    containers = [entry for entry in entries if re.fullmatch(r"dataset(-\d+-of-\d+)?\.h5", entry)]
    told = f"{name}: a folder, not an HDF5 container; "
    if containers:
        return told + f"read_hdf5 reads the container in it, {os.path.join(name, containers[0])}"
    if any(entry.endswith(".sigmf-meta") for entry in entries):
        return told + "its SigMF recordings are read one by one with read_sigmf"
    return told + "give read_hdf5 the dataset.h5 of a --format hdf5 run, or read_sigmf a recording"


def _read_container(h5py: Any, name: str, samples: bool = True,
                    limit: int | None = None) -> tuple[Any, dict[str, np.ndarray], list[str]]:
    """read_hdf5's work on a regular file; h5py's OSError where it is no container. Without
    ``samples`` the parts are checked, and the labels read, but no sample is."""
    with h5py.File(name, "r") as file:
        scenes = "capture_index" in file
        for part in ("iq", "class_index", "labels", *(("scene",) if scenes else ())):
            if part not in file:
                raise ValueError(f"{name}: no {part}")
        if file["iq"].dtype != np.complex64:  # a reader of complex64 samples would be handed other numbers
            raise ValueError(f"{name}: iq holds {file['iq'].dtype}, not complex64 samples")
        if samples:
            _over_limit(name, file["iq"].size * file["iq"].dtype.itemsize, limit, "read_hdf5")
        iq = file["iq"][()] if samples else np.broadcast_to(np.zeros((), np.complex64), file["iq"].shape)
        class_index = file["class_index"][()]
        if class_index.ndim != 1 or class_index.dtype.kind not in "iu":
            raise ValueError(f"{name}: class_index of {class_index.dtype} and shape {class_index.shape}, not a column of "
                             "whole numbers")
        numbers = file["scene"][()] if scenes else None
        files = len(numbers) if scenes else len(class_index)
        if "offsets" in file:
            cut: Any = _cut(name, iq, file["offsets"][()], files, samples)
        elif iq.ndim != 2 or len(iq) != files:
            raise ValueError(f"{name}: iq of shape {iq.shape} for {files} {'captures' if scenes else 'files'}")
        else:
            cut = iq if samples else None
        columns = file["labels"]
        if "modulation" not in columns or not h5py.check_string_dtype(columns["modulation"].dtype):
            raise ValueError(f"{name}: no labels/modulation column of names")
        labels = {key: columns[key].asstr()[()] if h5py.check_string_dtype(columns[key].dtype) else columns[key][()]
                  for key in columns}
        if "class_index" in labels and not np.array_equal(labels["class_index"], class_index):
            raise ValueError(f"{name}: labels/class_index disagrees with class_index")
        labels["class_index"] = class_index
        if scenes:
            capture = file["capture_index"][()]
            if capture.dtype.kind not in "iu" or (len(capture) and not (0 <= capture.min() and capture.max() < files)):
                raise ValueError(f"{name}: capture_index outside the {files} captures")
            labels["capture_index"] = capture
            labels["scene"] = numbers[capture]
        names = [n.decode() if isinstance(n, bytes) else str(n) for n in file.attrs.get("class_names", [])]
    rows = len(class_index)
    for key, column in labels.items():
        if len(column) != rows:
            raise ValueError(f"{name}: labels/{key} has {len(column)} rows for {rows} {'emitters' if scenes else 'files'}")
    if rows and not (0 <= class_index.min() and class_index.max() < len(names)):
        raise ValueError(f"{name}: class_index outside the {len(names)} class names")
    named = np.array(names, dtype=object)[class_index]
    wrong = np.flatnonzero(named != labels["modulation"])
    if len(wrong):
        row = wrong[0]
        raise ValueError(f"{name}: labels/modulation {labels['modulation'][row]!r} of row {row} disagrees with its "
                         f"class_index {class_index[row]} ({named[row]})")
    return cut, labels, names


def _cut(name: str, iq: np.ndarray, offsets: np.ndarray, files: int, samples: bool = True) -> list[np.ndarray] | None:
    """The files of a variable-length container: ``iq`` cut where ``offsets`` says each starts
    (without ``samples``, the offsets checked alone)."""
    if iq.ndim != 1 or offsets.ndim != 1 or offsets.dtype.kind not in "iu" or len(offsets) != files:
        raise ValueError(f"{name}: {offsets.size} offsets into iq of shape {iq.shape} for {files} files")
    bounds = np.append(offsets, len(iq))
    if len(offsets) and (offsets[0] != 0 or np.any(np.diff(bounds) < 0)):
        raise ValueError(f"{name}: offsets must rise from 0 to at most the {len(iq)} samples of iq")
    if not samples:
        return None
    return [iq[start:end] for start, end in zip(bounds[:-1], bounds[1:])]

"""Runs already written, read item by item: an HDF5 container, a folder of SigMF recordings (by
its manifest or its ``.sigmf-collection``), or the shards of one run as one dataset.

``open_run(source)[i]`` is ``(samples, labels)`` as ``Dataset(...)[i]`` gives them: complex64
samples and the labels the files hold (a scene's capture with its table of ``boxes``). Samples,
symbols and boxes are read when an item is asked for; what is kept in memory is the run's index:
the file names, or a container's label columns (8 bytes a label a row). A reader opens its files
in the process that reads (after a fork, afresh; an HDF5 handle is closed before any fork), and
pickles as its source alone, so DataLoader workers of every start method read on their own.
"""

from __future__ import annotations

import csv
import json
import os
import re
import weakref
from typing import Any, Iterable, Optional, Sequence

import numpy as np

from . import SYMBOLS_DTYPE, classes, read_sigmf

__all__ = ["WrittenRun", "Container", "SigmfFolder", "Shards", "open_run"]

_CONTAINER = re.compile(r"dataset(?:-(\d+)-of-(\d+))?\.h5$")
# What a written label column holds where a file has no such value (read_hdf5's convention).
_ABSENT_TEXT = ""
_ABSENT_WHOLE = -1


def _catalogue_order(found: Iterable[str]) -> list[str]:
    """Names in class-index order, each once: a run's own names, as ``Dataset.names`` lists them."""
    seen = set(found)
    unknown = sorted(seen - set(classes))
    if unknown:
        raise ValueError(f"no such modulation {unknown[0]!r} among the catalogue's names")
    return [name for name in classes if name in seen]


class WrittenRun:
    """A run's written items: ``len(run)``, ``run[i] = (samples, labels)``, ``run.names`` (its own
    names in class-index order) and ``run.symbols(i)``; subclasses say where they read from."""

    names: list[str]
    scenes: bool
    has_symbols: bool

    def __len__(self) -> int:
        raise NotImplementedError

    def item(self, position: int) -> tuple[np.ndarray, dict[str, Any]]:
        raise NotImplementedError

    def symbols(self, position: int) -> np.ndarray:
        raise NotImplementedError

    def items(self, positions: Sequence[int]) -> list[tuple[np.ndarray, dict[str, Any]]]:
        """Many items at once (a batch); the same as one by one."""
        return [self[p] for p in positions]

    def _position(self, position: Any) -> int:
        from . import _integer  # noqa: PLC0415

        whole = _integer("index", position)
        if not -len(self) <= whole < len(self):
            raise IndexError(f"index {whole} is outside a written run of {len(self)} items")
        return whole % len(self) if len(self) else whole

    def __getitem__(self, position: int) -> tuple[np.ndarray, dict[str, Any]]:
        return self.item(self._position(position))


# Open containers, closed before any fork: a child never touches its parent's HDF5 handle.
_OPEN: "weakref.WeakSet[Container]" = weakref.WeakSet()


def _close_before_fork() -> None:
    for container in list(_OPEN):
        container.close()


os.register_at_fork(before=_close_before_fork)


class Container(WrittenRun):
    """A ``--format hdf5`` container (``dataset.h5`` or ``dataset-K-of-N.h5``), item by item.

    The label columns (and a variable-length container's offsets) are read when it is opened and
    checked as ``read_hdf5`` checks them; each item's samples, symbols and a scene's boxes are
    read on request, a batch (``items``) in one read of its sorted rows.
    """

    def __init__(self, path: str | os.PathLike) -> None:
        from . import _read_container  # noqa: PLC0415

        self.path = os.fspath(path)
        self._file: Any = None
        self._pid = -1
        self._fd: Optional[int] = None
        self._fd_pid = -1
        h5py = self._h5py()
        with h5py.File(self.path, "r") as file:
            self.scenes = "capture_index" in file
            self.has_symbols = "symbols" in file and "symbol_offsets" in file
            iq = file["iq"] if "iq" in file else None
            if iq is None:
                raise ValueError(f"{self.path}: no iq")
            self.fixed = "offsets" not in file
            self._offsets = None if self.fixed else np.append(file["offsets"][()], iq.shape[0])
            self._symbol_offsets = (np.append(file["symbol_offsets"][()], file["symbols"].shape[0])
                                    if self.has_symbols else None)
            rows = iq.shape[0] if self.fixed else len(self._offsets) - 1
            self._row_at = _row_offsets(h5py, iq) if self.fixed else None
            self._width = iq.shape[1] if self.fixed else 0
            self._scene = file["scene"][()] if self.scenes else None
            told = file.attrs.get("run_names")  # older containers: the names their rows hold
            run_names = None if told is None else [n.decode() if isinstance(n, bytes) else str(n) for n in told]
        _, self._columns, _ = _read_container(h5py, self.path, samples=False)
        self._length = len(self._scene) if self.scenes else rows
        if not self.scenes and len(self._columns["class_index"]) != self._length:
            raise ValueError(f"{self.path}: {len(self._columns['class_index'])} label rows for {self._length} files")
        self.names = _catalogue_order(np.unique(self._columns["modulation"]).tolist() if run_names is None else run_names)
        if self.scenes:  # each capture's emitters: rows starts[i] .. starts[i + 1] of `order`
            capture = self._columns["capture_index"]
            self._order = np.argsort(capture, kind="stable")
            self._starts = np.searchsorted(capture[self._order], np.arange(self._length + 1))

    @staticmethod
    def _h5py() -> Any:
        import h5py  # noqa: PLC0415 (optional)

        return h5py

    def __getstate__(self) -> dict[str, Any]:
        return {"path": self.path}

    def __setstate__(self, state: dict[str, Any]) -> None:
        self.__init__(state["path"])  # type: ignore[misc]

    def close(self) -> None:
        """Closes the open handle, if any; the next read opens it again."""
        if self._file is not None and self._pid == os.getpid():
            self._file.close()
        self._file = None

    def _rows(self, rows: Sequence[int]) -> np.ndarray:
        """Rows of a fixed-length "iq" as an (n, L) complex64 array: straight from the file where
        its rows lie whole and unfiltered (HDF5 would read each row's whole chunk), else by h5py."""
        if self._row_at is None:
            unique, back = np.unique(np.asarray(rows, dtype=np.int64), return_inverse=True)
            return self._open()["iq"][unique][back]
        if self._fd is None or self._fd_pid != os.getpid():
            self._fd, self._fd_pid = os.open(self.path, os.O_RDONLY), os.getpid()
        width = self._width * 8
        out = np.empty((len(rows), self._width), dtype=np.complex64)
        view = memoryview(out).cast("B")
        for k, row in enumerate(rows):
            if os.preadv(self._fd, [view[k * width:(k + 1) * width]], int(self._row_at[row])) != width:
                raise ValueError(f"{self.path}: row {row} of iq is cut short")
        return out

    def __del__(self) -> None:
        if getattr(self, "_fd", None) is not None and self._fd_pid == os.getpid():
            os.close(self._fd)

    def _open(self) -> Any:
        if self._file is None or self._pid != os.getpid():
            self._file = self._h5py().File(self.path, "r")
            self._pid = os.getpid()
            _OPEN.add(self)
        return self._file

    def __len__(self) -> int:
        return self._length

    def item(self, position: int) -> tuple[np.ndarray, dict[str, Any]]:
        if self.fixed:
            return self._item(self._rows([position])[0], position)
        return self._item(self._open()["iq"][self._offsets[position]:self._offsets[position + 1]], position)

    def items(self, positions: Sequence[int]) -> list[tuple[np.ndarray, dict[str, Any]]]:
        wanted = [self._position(p) for p in positions]
        if not self.fixed or not wanted:
            return [self.item(p) for p in wanted]
        block = self._rows(wanted)
        if self.scenes:
            return [self._item(samples, p) for samples, p in zip(block, wanted)]
        return [(samples, {**cells, "num_samples": block.shape[1]}) for samples, cells in zip(block, self._labels(wanted))]

    def _labels(self, positions: Sequence[int]) -> list[dict[str, Any]]:
        """Rows' labels as Dataset items hold them, each column read once for the whole batch."""
        out: list[dict[str, Any]] = [{} for _ in positions]
        for key, column in self._columns.items():
            if key == "saved":
                continue
            cells = column[positions].tolist()
            kind = column.dtype.kind
            for labels, value in zip(out, cells):
                absent = value != value if kind == "f" else value == (_ABSENT_WHOLE if kind in "iu" else _ABSENT_TEXT)
                if not absent:
                    labels[key] = value
        return out

    def _item(self, samples: np.ndarray, position: int) -> tuple[np.ndarray, dict[str, Any]]:
        if self.scenes:
            return samples, self._scene_labels(position, len(samples))
        return samples, {**self._labels([position])[0], "num_samples": len(samples)}

    def _scene_labels(self, position: int, length: int) -> dict[str, Any]:
        rows = self._order[self._starts[position]:self._starts[position + 1]]
        boxes: dict[str, np.ndarray] = {}
        for key, column in self._columns.items():
            if key in ("saved", "num_samples", "capture_index", "scene"):
                continue
            cells = column[rows]
            present = (~np.isnan(cells) if cells.dtype.kind == "f" else
                       cells != (_ABSENT_WHOLE if cells.dtype.kind in "iu" else _ABSENT_TEXT))
            if present.any():
                boxes[key] = cells.astype(str) if cells.dtype == object else cells
        labels: dict[str, Any] = {"scene": int(self._scene[position])}
        if len(rows):
            labels["sample_rate"] = float(boxes["sample_rate"][0])
        labels.update({"emitters": len(rows), "boxes": boxes, "num_samples": length})
        return labels

    def symbols(self, position: int) -> np.ndarray:
        position = self._position(position)
        if not self.has_symbols:
            raise ValueError(f"{self.path}: holds no symbols (written without --save-symbols)")
        start, end = self._symbol_offsets[position], self._symbol_offsets[position + 1]
        return np.frombuffer(self._open()["symbols"][start:end].tobytes(), dtype=SYMBOLS_DTYPE)


def _row_offsets(h5py: Any, iq: Any) -> Optional[np.ndarray]:
    """Where each row of a fixed-length "iq" starts in the file, when every row lies whole in
    one unfiltered chunk as complex64 (two little-endian float32 "r", "i"); else None."""
    kind = iq.id.get_type()
    if (iq.ndim != 2 or iq.chunks is None or iq.chunks[1] != iq.shape[1] or iq.id.get_create_plist().get_nfilters()
            or kind.get_class() != h5py.h5t.COMPOUND or kind.get_size() != 8 or kind.get_nmembers() != 2):
        return None
    for member, (name, at) in enumerate(((b"r", 0), (b"i", 4))):
        part = kind.get_member_type(member)
        if (kind.get_member_name(member) != name or kind.get_member_offset(member) != at
                or part.get_class() != h5py.h5t.FLOAT or part.get_size() != 4 or part.get_order() != h5py.h5t.ORDER_LE):
            return None
    rows_per_chunk, row_bytes = iq.chunks[0], 8 * iq.shape[1]
    chunk_at = np.full((iq.shape[0] + rows_per_chunk - 1) // rows_per_chunk, -1, dtype=np.int64)
    for index in range(iq.id.get_num_chunks()):
        info = iq.id.get_chunk_info(index)
        chunk_at[info.chunk_offset[0] // rows_per_chunk] = info.byte_offset
    if (chunk_at < 0).any():  # a chunk never written reads as zeros through HDF5 alone
        return None
    rows = np.arange(iq.shape[0], dtype=np.int64)
    return chunk_at[rows // rows_per_chunk] + (rows % rows_per_chunk) * row_bytes


def _manifest_rows(path: str) -> tuple[list[str], list[list[str]]]:
    """A manifest's header and rows; ValueError naming it when it is no manifest."""
    with open(path, newline="", encoding="utf-8") as file:
        reader = csv.reader(file)
        header = next(reader, None)
        rows = list(reader)
    needed = ("sample_file", "modulation")
    if header is None or any(key not in header for key in needed):
        raise ValueError(f"{path}: not a run's manifest (no sample_file and modulation columns)")
    return header, rows


class SigmfFolder(WrittenRun):
    """SigMF recordings of one run, listed by its manifest (``.csv``) or its ``.sigmf-collection``.

    Only the recordings' names and modulations are kept; each item reads its ``.sigmf-data`` and
    its labels from its ``.sigmf-meta`` (``read_sigmf``'s checks), and symbols from the
    ``.symbols.npy`` beside it (none there: an analog file's, empty).
    """

    def __init__(self, path: str | os.PathLike) -> None:
        self.path = os.fspath(path)
        folder = os.path.dirname(os.path.abspath(self.path))
        if self.path.endswith(".sigmf-collection"):
            with open(self.path, encoding="utf-8") as file:
                try:
                    streams = json.load(file)["collection"]["core:streams"]
                except (ValueError, KeyError, TypeError) as error:
                    raise ValueError(f"{self.path}: not a SigMF collection ({error})") from None
            self._bases = [os.path.join(folder, stream["name"]) for stream in streams]
            found = [self._meta(base)[1] for base in self._bases]
        else:
            header, rows = _manifest_rows(self.path)
            at, name_at = header.index("sample_file"), header.index("modulation")
            saved_at = header.index("saved") if "saved" in header else None
            bases: dict[str, None] = {}  # a scene's rows share its recording
            found = []
            for row in rows:
                if saved_at is not None and row[saved_at] != "true":
                    continue
                found.append(row[name_at])
                bases[os.path.join(folder, re.sub(r"\.sigmf-data$", "", row[at]))] = None
            self._bases = list(bases)
        first = self._meta(self._bases[0])[0]["global"] if self._bases else {}
        self.scenes = "quorvin:scene" in first
        # A scene run tells its names (older ones: the names their annotations hold).
        told = first.get("quorvin:run_names") if self.scenes else None
        self.names = _catalogue_order(name for name in (found if told is None else told) if name)
        self.has_symbols = any(os.path.exists(base + ".symbols.npy") for base in self._bases)

    @staticmethod
    def _meta(base: str) -> tuple[dict[str, Any], str]:
        """A recording's metadata and its name (a scene's: that of its first emitter or none)."""
        with open(base + ".sigmf-meta", encoding="utf-8") as file:
            meta = json.load(file)
        return meta, meta.get("global", {}).get("quorvin:modulation", "")

    def __len__(self) -> int:
        return len(self._bases)

    def item(self, position: int) -> tuple[np.ndarray, dict[str, Any]]:
        base = self._bases[position]
        samples, meta = read_sigmf(base)
        fields = meta["global"]
        own = {key[len("quorvin:"):]: value for key, value in fields.items() if key.startswith("quorvin:")}
        if self.scenes:
            rate = float(fields["core:sample_rate"])
            boxes, seed = _boxes(meta.get("annotations", []), rate)
            labels = {"scene": _scene_number(base, position), "run_seed": own.get("run_seed", seed),
                      "sample_rate": rate, "emitters": own.get("emitters", 0), "boxes": boxes,
                      "num_samples": len(samples)}
            return samples, {key: value for key, value in labels.items() if value is not None}
        labels = {"modulation": own.get("modulation"), "class_index": classes.index(own["modulation"]), **own,
                  "sample_rate": float(fields["core:sample_rate"]), "num_samples": len(samples)}
        return samples, labels

    def symbols(self, position: int) -> np.ndarray:
        path = self._bases[self._position(position)] + ".symbols.npy"
        if not os.path.exists(path):
            return np.zeros(0, dtype=SYMBOLS_DTYPE)
        return np.load(path).view(SYMBOLS_DTYPE)


def _scene_number(base: str, position: int) -> int:
    found = re.search(r"_(\d+)$", base)
    return int(found.group(1)) if found else position + 1


def _boxes(annotations: list[dict[str, Any]], sample_rate: float) -> tuple[dict[str, np.ndarray], Optional[int]]:
    """A scene's annotations as its table of boxes (a column per label, a row per emitter) and
    the run seed its emitters name (the scene's, as Dataset items hold it)."""
    rows, seed = [], None
    for note in annotations:
        row = {key[len("core:"):]: note[key] for key in ("core:sample_start", "core:sample_count",
                                                         "core:freq_lower_edge", "core:freq_upper_edge") if key in note}
        row.update({key[len("quorvin:"):]: value for key, value in note.items() if key.startswith("quorvin:")})
        row["class_index"] = classes.index(row["modulation"])
        row["sample_rate"] = sample_rate
        seed = row.pop("run_seed", seed)
        rows.append(row)
    rows.sort(key=lambda row: row.get("emitter", 0))  # SigMF lists them by start; the table by emitter
    keys = list(dict.fromkeys(key for row in rows for key in row))
    boxes = {}
    for key in keys:
        cells = [row.get(key) for row in rows]
        kinds = {type(cell) for cell in cells if cell is not None}
        if kinds == {int}:
            boxes[key] = np.array([_ABSENT_WHOLE if c is None else c for c in cells], dtype=np.int64)
        elif kinds <= {int, float}:
            boxes[key] = np.array([np.nan if c is None else c for c in cells], dtype=np.float64)
        else:
            boxes[key] = np.array(["" if c is None else str(c) for c in cells])
    return boxes, seed


class Shards(WrittenRun):
    """Several parts of one run as one dataset: with ``interleave`` the shards 0/N .. N-1/N in
    that order, item p from shard p mod N (the unsharded run's order), else one after another."""

    def __init__(self, parts: Sequence[WrittenRun], interleave: bool) -> None:
        self.parts = list(parts)
        self.interleave = interleave
        self.scenes = any(part.scenes for part in self.parts)
        if any(part.scenes != self.scenes for part in self.parts):
            raise ValueError("parts of one run are all scenes or all single signals")
        self.has_symbols = all(part.has_symbols for part in self.parts)
        self.names = _catalogue_order(name for part in self.parts for name in part.names)
        sizes = [len(part) for part in self.parts]
        self._length = sum(sizes)
        count = len(sizes)
        if interleave:
            for shard, size in enumerate(sizes):
                due = (self._length - shard + count - 1) // count
                if size != due:
                    raise ValueError(f"shard {shard}/{count} holds {size} items where a run of {self._length} has {due} "
                                     "(a shard missing, stopped early or given out of order)")
        self._starts = np.cumsum([0] + sizes)

    def __len__(self) -> int:
        return self._length

    def _where(self, position: int) -> tuple[WrittenRun, int]:
        if self.interleave:
            return self.parts[position % len(self.parts)], position // len(self.parts)
        part = int(np.searchsorted(self._starts, position, side="right")) - 1
        return self.parts[part], position - int(self._starts[part])

    def item(self, position: int) -> tuple[np.ndarray, dict[str, Any]]:
        part, row = self._where(position)
        return part.item(row)

    def items(self, positions: Sequence[int]) -> list[tuple[np.ndarray, dict[str, Any]]]:
        wanted = [self._position(p) for p in positions]
        by_part: dict[int, list[int]] = {}
        for k, p in enumerate(wanted):
            by_part.setdefault(id(self._where(p)[0]), []).append(k)
        out: list[Any] = [None] * len(wanted)
        for ks in by_part.values():
            part = self._where(wanted[ks[0]])[0]
            for k, item in zip(ks, part.items([self._where(wanted[k])[1] for k in ks])):
                out[k] = item
        return out

    def symbols(self, position: int) -> np.ndarray:
        part, row = self._where(self._position(position))
        return part.symbols(row)


def _part(path: str) -> WrittenRun:
    """One source: a container, a manifest, a collection, or a folder holding one of them."""
    if os.path.isdir(path):
        names = sorted(os.listdir(path))
        containers = [name for name in names if _CONTAINER.fullmatch(name)]
        if "manifest.csv" in names:
            return _part(os.path.join(path, "manifest.csv"))
        if containers:
            return open_run([os.path.join(path, name) for name in containers])
        collections = [name for name in names if name.endswith(".sigmf-collection")]
        if len(collections) == 1:
            return SigmfFolder(os.path.join(path, collections[0]))
        raise ValueError(f"{path}: holds no manifest.csv, dataset*.h5 or single .sigmf-collection to read a run by")
    if not os.path.exists(path):
        raise FileNotFoundError(f"{path}: no such file or folder")
    if path.endswith(".h5"):
        return Container(path)
    if path.endswith(".csv"):
        header, rows = _manifest_rows(path)
        at = header.index("sample_file")
        held = list(dict.fromkeys(row[at].split("#")[0] for row in rows if "#" in row[at]))
        if held:  # a container run's manifest names the container's rows
            folder = os.path.dirname(os.path.abspath(path))
            return open_run([os.path.join(folder, name) for name in held])
        return SigmfFolder(path)
    if path.endswith(".sigmf-collection"):
        return SigmfFolder(path)
    raise ValueError(f"{path}: not a container (.h5), manifest (.csv), .sigmf-collection or folder")


def _shard_of(path: str) -> Optional[tuple[int, int]]:
    found = _CONTAINER.search(os.path.basename(path))
    return (int(found.group(1)), int(found.group(2))) if found and found.group(1) else None


def open_run(source: str | os.PathLike | Sequence[str | os.PathLike],
             interleave: Optional[bool] = None) -> WrittenRun:
    """The written run at ``source``: a container, a manifest, a ``.sigmf-collection``, a folder
    holding one of them (``manifest.csv`` first, then ``dataset*.h5``, then one collection), or a
    list of these, the shards of one run. Shards ``dataset-K-of-N.h5`` are put in the unsharded
    run's order (item p from shard p mod N); other lists go one after another, unless
    ``interleave=True`` says they are shards 0/N .. N-1/N in that order."""
    if isinstance(source, (str, os.PathLike)):
        return _part(os.fspath(source))
    paths = [os.fspath(path) for path in source]
    if not paths:
        raise ValueError("source: no files or folders given")
    shards = [_shard_of(path) for path in paths]
    if interleave is None:
        interleave = all(shards) and len({count for _, count in shards}) == 1  # type: ignore[misc]
        if interleave:
            paths = [path for _, path in sorted(zip(shards, paths))]
            if [shard for shard, _ in sorted(shards)] != list(range(shards[0][1])):  # type: ignore[index]
                raise ValueError(f"source: containers of shards {sorted(s for s, _ in shards)} "  # type: ignore[misc]
                                 f"of {shards[0][1]}, not every shard")  # type: ignore[index]
    parts = [_part(path) for path in paths]
    return parts[0] if len(parts) == 1 else Shards(parts, bool(interleave))

"""PyTorch views of a quorvin.Dataset; torch is imported only when this module is.

``TorchDataset(ds)[i]`` is ``(tensor of shape (2, L) float32, class index)``: I and Q as two
channels. Items depend only on their position, so a ``DataLoader`` gives the same batches for
any ``num_workers`` and any ``DistributedSampler`` split. ``TorchStream`` is the view for
training: shuffled every epoch, split across workers and ranks, fresh items each epoch.
"""

from __future__ import annotations

from typing import Any, Callable, Iterator, Optional, Sequence

import numpy as np
import torch
import torch.utils.data

from . import Dataset, _core, _flag, _whole, classes
from .detection import frame_boxes
from .files import WrittenRun, open_run

__all__ = ["TorchDataset", "TorchStream", "FileDataset", "as_tensor", "epoch_seed", "scene_collate", "scene_target", "shuffled",
           "symbol_tensors"]

_LARGEST_SEED = 2**32 - 1
_CHUNK = 4096  # positions a reader works out at a time


def as_tensor(samples: np.ndarray) -> torch.Tensor:
    """Complex samples as a (2, L) float32 tensor, I then Q; (N, L) samples as (N, 2, L)."""
    return torch.from_numpy(np.stack([samples.real, samples.imag], axis=-2).astype(np.float32, copy=False))


def _mix(values: np.ndarray) -> np.ndarray:
    """SplitMix64's output step on uint64 values (wrapping, as the core's seeds use it)."""
    x = values + np.uint64(0x9E3779B97F4A7C15)
    x = (x ^ (x >> np.uint64(30))) * np.uint64(0xBF58476D1CE4E5B9)
    x = (x ^ (x >> np.uint64(27))) * np.uint64(0x94D049BB133111EB)
    return x ^ (x >> np.uint64(31))


def _mix_one(value: int) -> int:
    """SplitMix64's output step on one 64-bit value."""
    return int(_mix(np.array([value], dtype=np.uint64))[0])


def epoch_seed(seed: int, epoch: int) -> int:
    """The run seed of epoch ``epoch`` of a stream over a dataset of run seed ``seed``.

    Epoch 0 is the dataset itself; epoch e > 0 is the low 32 bits of
    splitmix64(seed + e * 2**32), so ``Dataset(config, n, epoch_seed(seed, e))`` holds that
    epoch's items and any epoch is made again from the two numbers alone.
    """
    if epoch == 0:
        return seed
    return _mix_one(seed | ((epoch & _LARGEST_SEED) << 32)) & _LARGEST_SEED


def shuffled(slots: np.ndarray, size: int, key: int) -> np.ndarray:
    """Where a seeded permutation of ``range(size)`` sends each of ``slots``.

    A four-round Feistel network on the smallest even number of bits covering ``size``, walked
    again from any value at or past ``size`` until it falls inside: a bijection that needs no
    table, so a plan of any length is shuffled in constant memory.
    """
    half = max(1, ((size - 1).bit_length() + 1) // 2)
    shift, mask = np.uint64(half), np.uint64((1 << half) - 1)
    keys = [np.uint64(_mix_one(key ^ round_)) for round_ in range(4)]
    out = np.asarray(slots, dtype=np.uint64).copy()
    todo = np.arange(len(out))
    while len(todo):
        left, right = out[todo] >> shift, out[todo] & mask
        for round_key in keys:
            left, right = right, left ^ (_mix(right ^ round_key) & mask)
        out[todo] = (left << shift) | right
        todo = todo[out[todo] >= np.uint64(size)]
    return out


def _label_keys(labels: Optional[Sequence[str]]) -> list[str]:
    """The label keys asked for beside the class, each one an item may have."""
    if labels is None:
        return []
    if isinstance(labels, str) or not all(isinstance(key, str) for key in labels):
        raise TypeError(f"labels takes a list of label keys, not {labels!r}")
    known = _core.label_keys()
    for key in labels:
        if key not in known:
            raise ValueError(f"labels: no label {key!r}; the labels are {', '.join(known)}")
    return list(labels)


def scene_target(labels: dict[str, Any], class_names: Optional[Sequence[str]] = None) -> dict[str, torch.Tensor]:
    """A scene's boxes as detection models take them: ``boxes`` float32 (N, 4), each
    (sample_start, freq_lower_edge, sample_start + sample_count, freq_upper_edge), that is x0, y0,
    x1, y1 with time across in samples and frequency up in Hz, and ``labels`` int64 (N,), the
    emitters' class indices among ``class_names`` (else the catalogue's); a standard's emitter
    gives one box per frame, as the detection export does."""
    if not len(labels["boxes"]):  # a capture of the floor alone (Noise) has no box
        return {"boxes": torch.zeros((0, 4), dtype=torch.float32), "labels": torch.zeros(0, dtype=torch.int64)}
    boxes = frame_boxes(labels["boxes"])
    corners = np.stack([boxes["sample_start"], boxes["freq_lower_edge"],
                        boxes["sample_start"] + boxes["sample_count"], boxes["freq_upper_edge"]], axis=1)
    names = list(classes) if class_names is None else list(class_names)
    indices = [names.index(name) for name in boxes["modulation"]]
    return {"boxes": torch.as_tensor(corners, dtype=torch.float32), "labels": torch.as_tensor(indices, dtype=torch.int64)}


def scene_collate(items: Sequence[tuple[torch.Tensor, dict[str, torch.Tensor]]]) -> tuple[torch.Tensor, list]:
    """A DataLoader's ``collate_fn`` for scenes: captures stacked (N, 2, L), targets as a list (each
    scene has its own number of boxes)."""
    return torch.stack([tensor for tensor, _ in items]), [target for _, target in items]


class TorchDataset(torch.utils.data.Dataset):
    """A map-style PyTorch dataset over a quorvin.Dataset.

    The target is the class index: the catalogue's (``quorvin.classes``), or with
    ``contiguous_classes`` 0..K-1 over the dataset's own names (``ds.names``, the run's order),
    as a K-class model needs. With ``labels`` (keys such as ``["snr_db", "symbol_rate"]``) the
    target is instead a dict of tensors: ``class_index`` (int64) and each key (float32, NaN
    where an item has none), which a DataLoader stacks per key. ``transform(tensor, labels)``
    replaces the target altogether; its labels hold the class index chosen. With ``symbols`` each
    item gains a third element, the symbols it transmits (``Dataset.symbols``) as a dict of
    tensors: ``index``, ``symbol`` and ``bits`` (int64), ``instant`` (float64, samples) and
    ``value`` ((n, 2) float32, I then Q), empty for names without symbols; their number varies
    from item to item, so batch them with a collate that keeps lists (``collate_fn=list``).
    """

    def __init__(self, dataset: Dataset, transform: Optional[Callable[[torch.Tensor, dict], Any]] = None,
                 contiguous_classes: bool = False, labels: Optional[Sequence[str]] = None,
                 symbols: bool = False) -> None:
        if not isinstance(dataset, (Dataset, WrittenRun)):
            raise TypeError(f"dataset takes a quorvin.Dataset or a written run (quorvin.files.open_run), not {dataset!r}")
        self.dataset = dataset
        self.transform = transform
        self.contiguous_classes = _flag("contiguous_classes", contiguous_classes)
        self.labels = _label_keys(labels)
        self.symbols = _flag("symbols", symbols)
        #: The names the class indices count: the dataset's with contiguous_classes, else every one.
        self.class_names: list[str] = list(dataset.names) if self.contiguous_classes else list(classes)

    def __len__(self) -> int:
        return len(self.dataset)

    def __getitem__(self, position: int) -> Any:
        item = self.target(*self.dataset[position])
        if not self.symbols:
            return item
        return (*item, symbol_tensors(self.dataset.symbols(position)))

    def target(self, samples: np.ndarray, labels: dict[str, Any]) -> Any:
        """One item as (tensor, target) from its samples and labels."""
        tensor = as_tensor(samples)
        if self.contiguous_classes and "modulation" in labels:
            labels = {**labels, "class_index": self.class_names.index(labels["modulation"])}
        if self.transform:
            return self.transform(tensor, labels)
        if "boxes" in labels:  # a scene: its boxes and classes (DataLoader: collate_fn=scene_collate)
            return tensor, scene_target(labels, self.class_names)
        if not self.labels:
            return tensor, labels["class_index"]
        return tensor, {"class_index": torch.tensor(labels["class_index"]),
                        **{key: torch.tensor(_number(key, labels.get(key)), dtype=torch.float32) for key in self.labels}}

    def batch(self, samples: np.ndarray, columns: dict[str, np.ndarray]) -> Any:
        """A batch from ``Dataset.frames``: an (N, 2, L) tensor and the targets as tensors."""
        tensor = as_tensor(samples)
        class_index = columns["class_index"]
        if self.contiguous_classes:
            class_index = np.array([self.class_names.index(name) for name in columns["modulation"]], dtype=np.int64)
        if not self.labels:
            return tensor, torch.from_numpy(class_index)
        targets = {"class_index": torch.from_numpy(class_index)}
        for key in self.labels:
            column = columns.get(key, np.full(len(class_index), np.nan))
            if column.dtype.kind not in "fiu":
                raise ValueError(f"labels: {key!r} is text, not a number")
            column = np.where(column == -1, np.nan, column) if column.dtype.kind in "iu" else column
            targets[key] = torch.from_numpy(column.astype(np.float32))
        return tensor, targets


def symbol_tensors(sent: np.ndarray) -> dict[str, torch.Tensor]:
    """Symbol records (``quorvin.SYMBOLS_DTYPE``) as tensors: ``index``, ``symbol`` and ``bits``
    int64, ``instant`` float64 (samples), ``value`` (n, 2) float32, I then Q."""
    value = np.stack([sent["value"].real, sent["value"].imag], axis=-1).astype(np.float32)
    return {"index": torch.from_numpy(sent["index"].copy()),
            "symbol": torch.from_numpy(sent["symbol"].astype(np.int64)),
            "bits": torch.from_numpy(sent["bits"].astype(np.int64)),
            "instant": torch.from_numpy(sent["instant"].copy()),
            "value": torch.from_numpy(value)}


def _number(key: str, value: Any) -> float:
    """A numeric label as a float, NaN where the item has none; text is refused."""
    if value is None:
        return float("nan")
    if isinstance(value, str):
        raise ValueError(f"labels: {key!r} is text ({value!r}), not a number")
    return float(value)


class TorchStream(torch.utils.data.IterableDataset):
    """The dataset's items as a stream for training, split across DataLoader workers and ranks.

    Each epoch visits every position once in a seeded permutation (``shuffle``, on by default):
    slot k of the permutation goes to the one reader with k mod (ranks x workers) equal to its
    own number (rank x workers + worker), so readers never repeat each other. The permutation
    of epoch e is keyed by splitmix64(splitmix64(``seed``) xor e), ``seed`` defaulting to the dataset's. With
    ``fresh_items`` (the default) epoch e > 0 holds new items, those of the same dataset with run
    seed ``epoch_seed(ds.seed, e)``; epoch 0 holds the dataset's own. ``repeat`` runs epoch
    after epoch forever within one iteration; without it one iteration is one epoch, chosen
    with ``set_epoch(e)`` before the DataLoader's iteration starts (as with DistributedSampler).
    A reader with no positions (more readers than items) ends at once, with ``repeat`` too.

    With ``batch_size`` the stream yields whole batches, each made by one ``Dataset.frames``
    call ((N, 2, L) tensor, targets): use it with ``DataLoader(stream, batch_size=None)``.
    ``contiguous_classes``, ``labels``, ``transform`` and ``symbols`` are TorchDataset's
    (``transform`` is for single items only); with ``symbols`` a batch's third element is the
    list of its items' symbol tensors, worked out in the same ``frames`` call.
    """

    def __init__(self, dataset: Dataset, rank: int = 0, world_size: int = 1, repeat: bool = False,
                 transform: Optional[Callable[[torch.Tensor, dict], Any]] = None, shuffle: bool = True,
                 seed: Optional[int] = None, fresh_items: bool = True, contiguous_classes: bool = False,
                 labels: Optional[Sequence[str]] = None, batch_size: Optional[int] = None, symbols: bool = False) -> None:
        self.items = TorchDataset(dataset, transform, contiguous_classes, labels, symbols)
        self.world_size = _whole("world_size", world_size, 1, 2**31 - 1)
        self.rank = _whole("rank", rank, 0, self.world_size - 1)
        self.repeat = _flag("repeat", repeat)
        self.shuffle = _flag("shuffle", shuffle)
        self.seed = dataset.seed if seed is None else _whole("seed", seed, 0, _LARGEST_SEED)
        self.fresh_items = _flag("fresh_items", fresh_items)
        self.batch_size = None if batch_size is None else _whole("batch_size", batch_size, 1, 2**20)
        if self.batch_size is not None and transform is not None:
            raise ValueError("transform applies to single items: give it or batch_size, not both")
        self.epoch = 0

    @property
    def class_names(self) -> list[str]:
        """The names the class indices count."""
        return self.items.class_names

    def set_epoch(self, epoch: int) -> None:
        """The epoch the next iteration gives (the first, with ``repeat``)."""
        self.epoch = _whole("epoch", epoch, 0, _LARGEST_SEED)

    def positions(self, epoch: int, reader: int, readers: int) -> Iterator[int]:
        """The plan positions reader ``reader`` of ``readers`` visits in epoch ``epoch``, in order."""
        size = len(self.items)
        key = _mix_one(_mix_one(self.seed) ^ epoch)
        for start in range(reader, size, readers * _CHUNK):
            slots = np.arange(start, min(size, start + readers * _CHUNK), readers, dtype=np.uint64)
            yield from (shuffled(slots, size, key) if self.shuffle else slots).tolist()

    def __iter__(self) -> Iterator[Any]:
        info = torch.utils.data.get_worker_info()
        workers, worker = (info.num_workers, info.id) if info else (1, 0)
        readers, reader = self.world_size * workers, self.rank * workers + worker
        if reader >= len(self.items):
            return  # else repeat would go round an empty share forever
        epoch = self.epoch
        while True:
            dataset = self.items.dataset
            if self.fresh_items and epoch:
                dataset = Dataset(dataset.config, dataset.files_per_modulation, epoch_seed(dataset.seed, epoch),
                                  dataset.double_precision)
            positions = self.positions(epoch, reader, readers)
            symbols = self.items.symbols
            if self.batch_size is None:
                for position in positions:
                    item = self.items.target(*dataset[position])
                    yield (*item, symbol_tensors(dataset.symbols(position))) if symbols else item
            else:
                while batch := [position for _, position in zip(range(self.batch_size), positions)]:
                    made = dataset.frames(batch, symbols=symbols)
                    tensors = self.items.batch(*made[:2])
                    yield (*tensors, [symbol_tensors(sent) for sent in made[2]]) if symbols else tensors
            if not self.repeat:
                return
            epoch += 1


class FileDataset(TorchDataset):
    """TorchDataset over a run already written (``source``: a container, a manifest, a SigMF
    collection, a folder or a list of shards, as ``quorvin.files.open_run`` takes them), with
    TorchDataset's items, targets and options: ``FileDataset("run/manifest.csv")`` in place of
    ``TorchDataset(Dataset(...))``. Items are read on request, a DataLoader's batch in one read
    where the files allow (``__getitems__``); each worker opens the files itself."""

    def __init__(self, source: Any, interleave: Optional[bool] = None, **options: Any) -> None:
        run = source if isinstance(source, WrittenRun) else open_run(source, interleave)
        super().__init__(run, **options)
        if self.symbols and not run.has_symbols:
            raise ValueError(f"symbols: {source!r} holds no symbols (written without --save-symbols)")

    def __getitems__(self, positions: Sequence[int]) -> list[Any]:
        items = [self.target(*item) for item in self.dataset.items(positions)]
        if self.symbols:
            return [(*item, symbol_tensors(self.dataset.symbols(p))) for item, p in zip(items, positions)]
        return items

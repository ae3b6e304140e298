"""PyTorch views of a quorvin.Dataset; torch is imported only when this module is.

``TorchDataset(ds)[i]`` is ``(tensor of shape (2, L) float32, class index)``: I and Q as two
channels. Items depend only on their position, so a ``DataLoader`` gives the same batches for
any ``num_workers`` and any ``DistributedSampler`` split.
"""

from __future__ import annotations

from typing import Any, Callable, Iterator, Optional

import numpy as np
import torch
import torch.utils.data

from . import Dataset, _flag, _whole

__all__ = ["TorchDataset", "TorchStream", "as_tensor"]


def as_tensor(samples: np.ndarray) -> torch.Tensor:
    """Complex samples as a (2, L) float32 tensor, I then Q."""
    return torch.from_numpy(np.stack([samples.real, samples.imag]).astype(np.float32, copy=False))


class TorchDataset(torch.utils.data.Dataset):
    """A map-style PyTorch dataset over a quorvin.Dataset.

    ``transform(tensor, labels)`` replaces the default ``(tensor, labels["class_index"])``.
    """

    def __init__(self, dataset: Dataset, transform: Optional[Callable[[torch.Tensor, dict], Any]] = None) -> None:
        self.dataset = dataset
        self.transform = transform

    def __len__(self) -> int:
        return len(self.dataset)

    def __getitem__(self, position: int) -> Any:
        samples, labels = self.dataset[position]
        tensor = as_tensor(samples)
        return self.transform(tensor, labels) if self.transform else (tensor, labels["class_index"])


class TorchStream(torch.utils.data.IterableDataset):
    """The dataset's positions as a stream, split across DataLoader workers and distributed ranks.

    Position p goes to the one reader with p mod (ranks x workers) equal to its own number, so
    readers never repeat each other; with ``repeat`` the positions run round again forever. A
    reader with no positions (more readers than items) ends at once, with ``repeat`` too.
    """

    def __init__(self, dataset: Dataset, rank: int = 0, world_size: int = 1, repeat: bool = False,
                 transform: Optional[Callable[[torch.Tensor, dict], Any]] = None) -> None:
        self.items = TorchDataset(dataset, transform)
        self.world_size = _whole("world_size", world_size, 1, 2**31 - 1)
        self.rank = _whole("rank", rank, 0, self.world_size - 1)
        self.repeat = _flag("repeat", repeat)

    def __iter__(self) -> Iterator[Any]:
        info = torch.utils.data.get_worker_info()
        workers, worker = (info.num_workers, info.id) if info else (1, 0)
        positions = range(self.rank * workers + worker, len(self.items), self.world_size * workers)
        if not positions:
            return  # else repeat would go round an empty range forever
        while True:
            for position in positions:
                yield self.items[position]
            if not self.repeat:
                return

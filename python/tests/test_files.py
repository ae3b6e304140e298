"""Written runs read back item by item: the same items as the Dataset that wrote them, under
DataLoader workers of every start method, in memory that does not grow with the run."""

import os
import pickle
import resource
import subprocess

import numpy as np
import pytest

import quorvin
from quorvin.files import open_run

torch = pytest.importorskip("torch")
h5py = pytest.importorskip("h5py")
HDF5 = os.environ.get("QUORVIN_CLI_HDF5", "1") != "0"
CLI = os.environ.get("QUORVIN_CLI", "quorvin-cli")

from quorvin.torch import FileDataset, TorchDataset  # noqa: E402

NAMES = ["AM", "QPSK", "GMSK"]


def dataset(files=3):
    config = quorvin.Config(NAMES, sample_rate=50e3, samples_per_file=256, num_symbols=100)
    return quorvin.Dataset(config, files_per_modulation=files, seed=5)


@pytest.fixture(scope="module")
def written(tmp_path_factory):
    """One run written as SigMF (with symbols), one container, and two shard containers."""
    root = tmp_path_factory.mktemp("run")
    ds = dataset()
    ds.write(root / "sigmf", "sigmf", manifest=root / "sigmf" / "manifest.csv", save_symbols=True)
    if HDF5:
        ds.write(root / "h5", "hdf5", save_symbols=True)
        for k in (1, 0):
            ds.write(root / "shards", "hdf5", shard=(k, 2))
    return root


SOURCES = ["sigmf/manifest.csv", "sigmf/dataset.sigmf-collection", "sigmf", "h5/dataset.h5", "shards",
           ["shards/dataset-1-of-2.h5", "shards/dataset-0-of-2.h5"]]


@pytest.mark.parametrize("source", SOURCES, ids=["manifest", "collection", "folder", "container", "shard_folder",
                                                  "shard_list"])
def test_written_items_are_the_datasets(written, source):
    if "sigmf" not in str(source) and not HDF5:
        pytest.skip("quorvin-cli was built without HDF5")
    run = open_run([written / s for s in source] if isinstance(source, list) else written / source)
    ds = dataset()
    assert len(run) == len(ds) and run.names == ds.names
    for position in range(len(ds)):
        samples, labels = run[position]
        expected, own = ds[position]
        assert samples.tobytes() == expected.tobytes()
        if "sigmf" not in str(source):
            own.pop("run_seed")  # a container records no run seed
        assert labels == own
        if "shards" not in str(source):
            assert run.symbols(position).tobytes() == ds.symbols(position).tobytes()
    batch = run.items([7, 0, 7, 3])
    assert [s.tobytes() for s, _ in batch] == [run[p][0].tobytes() for p in (7, 0, 7, 3)]


@pytest.mark.parametrize("context", ["fork", "spawn", "forkserver"])
def test_loaders_of_every_start_method_give_the_generated_batches(written, context):
    source = written / ("h5/dataset.h5" if HDF5 else "sigmf")
    reading = FileDataset(source, contiguous_classes=True, labels=["snr_db"])
    reading[0]  # a handle open in the parent before the workers start
    making = TorchDataset(dataset(), contiguous_classes=True, labels=["snr_db"])
    loader = torch.utils.data.DataLoader(reading, batch_size=4, num_workers=2, multiprocessing_context=context)
    for (x, y), (x0, y0) in zip(loader, torch.utils.data.DataLoader(making, batch_size=4), strict=True):
        assert torch.equal(x, x0) and torch.equal(y["class_index"], y0["class_index"])
        assert torch.equal(y["snr_db"], y0["snr_db"])
    assert pickle.loads(pickle.dumps(reading.dataset))[2][0].tobytes() == reading.dataset[2][0].tobytes()


def test_shards_in_the_wrong_order_or_missing_are_refused(written):
    if not HDF5:
        pytest.skip("quorvin-cli was built without HDF5")
    with pytest.raises(ValueError, match=r"source: containers of shards \[1\] of 2, not every shard"):
        open_run([written / "shards/dataset-1-of-2.h5"])
    run = open_run([written / "shards/dataset-1-of-2.h5", written / "shards/dataset-0-of-2.h5"], interleave=False)
    assert run[0][0].tobytes() == dataset()[1][0].tobytes()  # one after another, as told


def test_read_calls_past_their_limit_point_to_the_item_readers(written):
    base = written / "sigmf" / "QPSK_signal_1"
    with pytest.raises(ValueError) as raised:
        quorvin.read_sigmf(base, limit=1000)
    assert str(raised.value) == (f"{base}.sigmf-data: read_sigmf would load 2048 bytes of samples, more than "
                                 "limit=1000; read it item by item with quorvin.files.open_run or "
                                 "quorvin.torch.FileDataset, or give limit=None")
    assert len(quorvin.read_sigmf(base, limit=2048)[0]) == 256
    if HDF5:
        with pytest.raises(ValueError, match="read_hdf5 would load 18432 bytes of samples, more than limit=18431"):
            quorvin.read_hdf5(written / "h5" / "dataset.h5", limit=18431)


def rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def test_reading_a_run_larger_than_the_budget_keeps_memory_flat(tmp_path):
    if not HDF5:
        pytest.skip("quorvin-cli was built without HDF5")
    # 2048 frames of 8192 samples: 128 MiB of samples read through a 24 MiB budget.
    subprocess.run([CLI, "-m", "BPSK,QPSK", "--files-per-modulation", "1024", "--samples-per-file", "8192",
                    "--seed", "1", "--format", "hdf5", "--no-progress", "-o", str(tmp_path), "--jobs", "2"],
                   check=True, capture_output=True)
    loader = torch.utils.data.DataLoader(FileDataset(tmp_path / "dataset.h5"), batch_size=64, shuffle=True)
    first = None
    for k, (x, _) in enumerate(loader):
        if k == 2:
            first = rss_kib()
    assert rss_kib() - first < 24 * 1024

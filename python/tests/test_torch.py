"""The PyTorch views: the same batches for any number of workers and any split."""

import itertools

import pytest

torch = pytest.importorskip("torch")

import quorvin  # noqa: E402
from quorvin.torch import TorchDataset, TorchStream  # noqa: E402


@pytest.fixture(scope="module")
def dataset():
    config = quorvin.Config(["QPSK", "GMSK", "AM"], signal_model="exact", sample_rate=50e3, samples_per_file=128)
    return quorvin.Dataset(config, files_per_modulation=8, seed=9)


def batches(loader):
    return [(x.clone(), y.clone()) for x, y in loader]


def test_items_are_two_channel_tensors_with_their_class(dataset):
    x, y = TorchDataset(dataset)[17]  # the run goes in catalogue order: AM, QPSK, then GMSK
    samples, labels = dataset[17]
    assert x.shape == (2, 128) and x.dtype == torch.float32
    assert torch.equal(x[0], torch.from_numpy(samples.real)) and torch.equal(x[1], torch.from_numpy(samples.imag))
    assert y == labels["class_index"] == quorvin.classes.index("GMSK")


def test_same_batches_for_any_number_of_workers(dataset):
    loaders = [torch.utils.data.DataLoader(TorchDataset(dataset), batch_size=5, num_workers=k) for k in (0, 1, 3)]
    first = batches(loaders[0])
    for loader in loaders[1:]:
        for (x0, y0), (x, y) in zip(first, batches(loader), strict=True):
            assert torch.equal(x0, x) and torch.equal(y0, y)


def test_distributed_split_covers_every_item_once(dataset):
    seen = []
    for rank in (0, 1):
        sampler = torch.utils.data.DistributedSampler(TorchDataset(dataset), num_replicas=2, rank=rank, shuffle=False)
        seen += list(sampler)
    assert sorted(seen) == list(range(len(dataset)))


def test_stream_shards_by_worker_and_rank(dataset):
    whole = {int(torch.sum(x).item() * 1e6): y for x, y in TorchDataset(dataset)}
    got = []
    for rank in (0, 1):
        loader = torch.utils.data.DataLoader(TorchStream(dataset, rank=rank, world_size=2), batch_size=None, num_workers=2)
        got += [int(torch.sum(x).item() * 1e6) for x, _ in loader]
    assert sorted(got) == sorted(whole)


class WorkerInfo:
    """What get_worker_info tells worker `id` of `num_workers`."""

    def __init__(self, num_workers, id):
        self.num_workers, self.id = num_workers, id


@pytest.mark.parametrize(
    "files, world_size, rank, workers, worker, expected",
    [
        (0, 1, 0, 1, 0, []),  # an empty dataset
        (1, 1, 0, 3, 2, []),  # more workers than items: the third has none
        (1, 1, 0, 3, 0, [0, 0, 0, 0]),  # and the first goes round as before
        (2, 4, 3, 1, 0, []),  # more ranks than items
        (2, 4, 1, 1, 0, [1, 1, 1, 1]),
    ],
    ids=["empty", "idle_worker", "busy_worker", "idle_rank", "busy_rank"],
)
def test_a_repeating_reader_with_no_positions_ends(monkeypatch, files, world_size, rank, workers, worker, expected):
    config = quorvin.Config(["QPSK"], signal_model="exact", sample_rate=50e3, samples_per_file=16)
    ds = quorvin.Dataset(config, files_per_modulation=files, seed=1)
    monkeypatch.setattr(torch.utils.data, "get_worker_info", lambda: WorkerInfo(workers, worker))
    stream = TorchStream(ds, rank=rank, world_size=world_size, repeat=True,
                         transform=lambda x, labels: labels["file_index"] - 1)
    assert list(itertools.islice(stream, 4)) == expected


@pytest.mark.parametrize(
    "options, error, message",
    [
        ({"world_size": 0}, ValueError, "world_size takes a whole number from 1 to 2147483647, not 0"),
        ({"rank": 2, "world_size": 2}, ValueError, "rank takes a whole number from 0 to 1, not 2"),
        ({"rank": 0.5}, TypeError, "rank takes an integer, not 0.5"),
        ({"repeat": "yes"}, TypeError, "repeat takes True or False, not 'yes'"),
    ],
)
def test_stream_arguments_are_checked(dataset, options, error, message):
    with pytest.raises(error) as raised:
        TorchStream(dataset, **options)
    assert str(raised.value) == message


@pytest.mark.parametrize("context", ["spawn", "forkserver"])
def test_workers_started_afresh_get_the_same_batches(dataset, context):
    # Such workers receive the dataset pickled (macOS, Windows and CUDA start them so).
    expected = batches(torch.utils.data.DataLoader(TorchDataset(dataset), batch_size=5))
    loader = torch.utils.data.DataLoader(TorchDataset(dataset), batch_size=5, num_workers=2,
                                         multiprocessing_context=context)
    for (x0, y0), (x, y) in zip(expected, batches(loader), strict=True):
        assert torch.equal(x0, x) and torch.equal(y0, y)

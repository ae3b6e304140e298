"""The PyTorch views: the same batches for any number of workers and any split."""

import itertools
import math

import numpy as np
import pytest

torch = pytest.importorskip("torch")

import quorvin  # noqa: E402
from quorvin.torch import TorchDataset, TorchStream, epoch_seed, shuffled  # noqa: E402


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
    stream = TorchStream(ds, rank=rank, world_size=world_size, repeat=True, shuffle=False, fresh_items=False,
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


def identity(x, labels):
    """An item as (its class, the seeds that make it): the same pair only for the same item."""
    return labels["class_index"], labels["symbol_seed"], labels["noise_seed"]


def chi_square_bounds(dof, z=3.09):
    """Wilson and Hilferty's normal approximation of the chi-square quantiles 0.001 and 0.999."""
    return [dof * (1 - 2 / (9 * dof) + sign * z * math.sqrt(2 / (9 * dof))) ** 3 for sign in (-1, 1)]


def batch_statistic(classes_of_batches, k):
    """Pearson's statistic of each batch's class counts against equal shares, summed over batches."""
    total = 0.0
    for classes in classes_of_batches:
        counts = np.bincount(classes, minlength=k)
        expected = len(classes) / k
        total += float(np.sum((counts - expected) ** 2 / expected))
    return total


@pytest.fixture(scope="module")
def four_names():
    config = quorvin.Config("BPSK,QPSK,8PSK,GMSK", signal_model="exact", sample_rate=50e3, samples_per_file=16)
    return quorvin.Dataset(config, files_per_modulation=250, seed=31)


@pytest.mark.parametrize("shuffle", [True, False])
def test_stream_batches_hold_classes_as_the_multinomial_law_says(four_names, shuffle):
    """A 2-worker loader over a repeating stream: two epochs of 20 batches of 50, class counts
    per batch against equal shares. Drawing 50 of 1000 without replacement shrinks the variance
    by (1000 - 50) / 999, well inside the bounds; plan order fails them by far."""
    stream = TorchStream(four_names, repeat=True, shuffle=shuffle, contiguous_classes=True, transform=identity)
    loader = torch.utils.data.DataLoader(stream, batch_size=50, num_workers=2)
    batches = [(c.numpy(), list(zip(s.tolist(), n.tolist()))) for c, s, n in itertools.islice(loader, 40)]
    low, high = chi_square_bounds(20 * 3)
    for epoch in (batches[:20], batches[20:]):
        statistic = batch_statistic([c for c, _ in epoch], 4)
        assert (low < statistic < high) == shuffle, statistic
        assert sorted(np.concatenate([c for c, _ in epoch]).tolist()) == sorted([0, 1, 2, 3] * 250)
    first, second = ({s for _, seeds in epoch for s in seeds} for epoch in (batches[:20], batches[20:]))
    assert len(first) == len(second) == 1000
    assert not first & second  # fresh items each epoch, from its own seeds
    if shuffle:  # epoch 1 is the dataset of its epoch seed, in another order
        again = quorvin.Dataset(four_names.config, 250, epoch_seed(31, 1))
        assert second == {identity(None, again[p][1])[1:] for p in range(len(again))}


def test_an_epoch_is_made_again_from_the_seed_and_its_number(four_names):
    def epoch_of(stream, epoch):
        stream.set_epoch(epoch)
        return list(itertools.islice(stream, 30))

    one, two = (TorchStream(four_names, transform=identity) for _ in range(2))
    assert epoch_of(one, 3) == epoch_of(two, 3) != epoch_of(two, 4)
    assert epoch_of(one, 0) != epoch_of(TorchStream(four_names, transform=identity, seed=5), 0)
    assert epoch_seed(31, 0) == 31 and epoch_seed(31, 1) != epoch_seed(31, 2)


@pytest.mark.parametrize("size", [1, 2, 3, 5, 64, 1000, 4096 * 2 + 7])
def test_the_shuffle_is_a_permutation(size):
    moved = shuffled(np.arange(size, dtype=np.uint64), size, key=17)
    assert sorted(moved.tolist()) == list(range(size))
    if size >= 64:
        assert np.mean(moved == np.arange(size)) < 0.1


@pytest.mark.parametrize("size, readers", [(1, 1), (5, 3), (1000, 4), (4096 * 3 + 5, 6)])
def test_readers_share_an_epoch_without_overlap(four_names, size, readers):
    stream = TorchStream(four_names)
    stream.items.dataset = type("Sized", (), {"__len__": lambda self: size})()  # positions needs only the length
    shares = [list(stream.positions(2, reader, readers)) for reader in range(readers)]
    assert sorted(itertools.chain(*shares)) == list(range(size))


def test_ranks_and_workers_split_each_epoch(monkeypatch, four_names):
    seen = []
    for rank, worker in itertools.product(range(2), range(2)):
        monkeypatch.setattr(torch.utils.data, "get_worker_info", lambda worker=worker: WorkerInfo(2, worker))
        stream = TorchStream(four_names, rank=rank, world_size=2, transform=identity)
        stream.set_epoch(1)
        seen += [item[1:] for item in stream]
    again = quorvin.Dataset(four_names.config, 250, epoch_seed(31, 1))
    assert sorted(seen) == sorted(identity(None, again[p][1])[1:] for p in range(len(again)))


@pytest.mark.parametrize("labels", [None, ["snr_db", "symbol_rate", "message_frequency"]])
def test_whole_batches_are_the_collated_items(labels):
    config = quorvin.Config("QPSK,AM", signal_model="exact", sample_rate=50e3, samples_per_file=32)
    ds = quorvin.Dataset(config, files_per_modulation=20, seed=4)
    single = TorchStream(ds, contiguous_classes=True, labels=labels)
    whole = TorchStream(ds, contiguous_classes=True, labels=labels, batch_size=8)
    items = list(torch.utils.data.DataLoader(single, batch_size=8))
    batches = list(whole)
    assert len(items) == len(batches) == 5
    for (x0, y0), (x, y) in zip(items, batches, strict=True):
        assert torch.equal(x0, x)
        if labels is None:
            assert torch.equal(y0, y) and set(y.tolist()) <= {0, 1}
        else:
            assert set(y) == {"class_index", *labels}
            for key in y:
                assert torch.equal(y0[key], y[key]) or torch.allclose(y0[key], y[key], equal_nan=True), key
            assert torch.isnan(y["symbol_rate"][y["class_index"] == 0]).all()  # AM has no symbol rate


def test_contiguous_classes_count_the_chosen_names(dataset):
    items = TorchDataset(dataset, contiguous_classes=True)
    assert items.class_names == ["AM", "QPSK", "GMSK"] == dataset.names
    assert [items[p][1] for p in (0, 8, 16)] == [0, 1, 2]
    x, y = TorchDataset(dataset, labels=["snr_db"])[9]
    assert y["class_index"] == quorvin.classes.index("QPSK") and y["snr_db"] == np.float32(dataset[9][1]["snr_db"])


@pytest.mark.parametrize(
    "make, error, message",
    [
        (lambda ds: TorchStream(ds, labels=["snr"]), ValueError, "labels: no label 'snr'; the labels are "),
        (lambda ds: TorchStream(ds, labels="snr_db"), TypeError, "labels takes a list of label keys, not 'snr_db'"),
        (lambda ds: TorchStream(ds, batch_size=0), ValueError, "batch_size takes a whole number from 1 to 1048576, not 0"),
        (lambda ds: TorchStream(ds, batch_size=4, transform=identity), ValueError,
         "transform applies to single items: give it or batch_size, not both"),
        (lambda ds: TorchStream(ds, shuffle=1), TypeError, "shuffle takes True or False, not 1"),
        (lambda ds: TorchStream(ds).set_epoch(-1), ValueError, "epoch takes a whole number from 0 to 4294967295, not -1"),
        (lambda ds: next(iter(TorchStream(ds, labels=["modulation"]))), ValueError,
         "labels: 'modulation' is text ('"),
        (lambda ds: TorchDataset([1]), TypeError, "dataset takes a quorvin.Dataset or a written run (quorvin.files.open_run), not [1]"),
    ],
)
def test_stream_options_are_checked(dataset, make, error, message):
    with pytest.raises(error) as raised:
        make(dataset)
    assert str(raised.value).startswith(message)


def test_items_may_carry_their_symbols_as_targets(dataset):
    items = TorchDataset(dataset, symbols=True)
    loader = torch.utils.data.DataLoader(items, batch_size=4, collate_fn=list)
    for position, (tensor, class_index, sent) in enumerate(itertools.chain.from_iterable(loader)):
        expected = dataset.symbols(position)
        assert tensor.shape == (2, 128) and class_index == dataset[position][1]["class_index"]
        assert sent["bits"].tolist() == expected["bits"].tolist()
        assert sent["instant"].numpy().tobytes() == expected["instant"].tobytes()
        assert np.array_equal(sent["value"][:, 0].numpy() + 1j * sent["value"][:, 1].numpy(), expected["value"])


def test_stream_batches_may_carry_their_symbols(dataset):
    stream = TorchStream(dataset, shuffle=False, batch_size=5, symbols=True)
    seen = 0
    for tensor, class_index, sent in stream:
        assert tensor.shape[0] == len(class_index) == len(sent)
        for position in range(seen, seen + len(sent)):
            expected = dataset.symbols(position)
            assert sent[position - seen]["bits"].tolist() == expected["bits"].tolist()
            assert sent[position - seen]["instant"].numpy().tobytes() == expected["instant"].tobytes()
        seen += len(sent)
    assert seen == len(dataset)

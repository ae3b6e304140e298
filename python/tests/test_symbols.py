"""The transmitted symbols: Dataset.symbols, --save-symbols' .npy files, and a numpy receiver."""

import os
import subprocess

import numpy as np
import pytest

import quorvin

CLI = os.environ.get("QUORVIN_CLI", "quorvin-cli")
EXACT = dict(signal_model="exact", sample_rate=1e6, samples_per_file=4096, snr=(np.inf, np.inf))


def rrc(t, a=0.35):
    """The root-raised cosine at t symbol periods (the two singular points nudged off)."""
    t = np.where(np.abs(np.abs(t) - 1 / (4 * a)) < 1e-9, t + 1e-7, np.where(np.abs(t) < 1e-9, 1e-9, t))
    return (np.sin(np.pi * t * (1 - a)) + 4 * a * t * np.cos(np.pi * t * (1 + a))) / (np.pi * t * (1 - (4 * a * t) ** 2))


def qpsk_check(x, sent):
    """A matched filter at the labelled instants and a quadrant decision read every QPSK symbol
    and its Gray bits that the labels give (those whose pulse lies inside the file); their number."""
    assert sent.dtype == quorvin.SYMBOLS_DTYPE and np.all(np.diff(sent["index"]) == 1)
    x = x.astype(complex)
    sps = np.diff(sent["instant"]).mean()
    inside = sent[(sent["instant"] > 20 * sps) & (sent["instant"] < len(x) - 1 - 20 * sps)]
    k = np.floor(inside["instant"])[:, None].astype(int) + np.arange(-int(20 * sps), int(20 * sps) + 1)
    w = rrc((k - inside["instant"][:, None]) / sps)
    y = (x[k] * w).sum(axis=1) / np.sqrt((w ** 2).sum(axis=1) * sps)
    s = np.round(np.angle(y) / (np.pi / 2)).astype(int) % 4  # QPSK: 1, j, -1, -j
    assert np.array_equal(s, inside["symbol"])
    assert np.array_equal(s ^ (s >> 1), inside["bits"])  # Gray around the circle
    return len(inside)


def test_a_numpy_receiver_recovers_every_qpsk_bit_from_the_written_files(tmp_path):
    subprocess.run([CLI, "-m", "QPSK,AM", "--samples-per-file", "4096", "--sample-rate", "1000000", "--rolloff-min",
                    "0.35", "--rolloff-max", "0.35", "--filter-span", "40", "--snr-min", "inf", "--snr-max", "inf",
                    "--frequency-offset-max", "0", "--save-symbols", "--format", "sigmf",
                    "--seed", "1", "-q", "--no-progress", "-o", str(tmp_path)], check=True)
    assert not (tmp_path / "AM_signal_1.symbols.npy").exists()  # analog names transmit no symbols
    x = np.fromfile(tmp_path / "QPSK_signal_1.sigmf-data", dtype="<c8")
    assert qpsk_check(x, np.load(tmp_path / "QPSK_signal_1.symbols.npy")) > 300


def test_frames_with_symbols_give_every_items_records_beside_the_same_samples():
    config = quorvin.Config("QPSK", **EXACT, rolloff=(0.35, 0.35), filter_span=40, frequency_offset=(0, 0),
                            timing_error=(-3, 3))
    dataset = quorvin.Dataset(config, files_per_modulation=5, seed=2)
    samples, columns, sent = dataset.frames([4, 0, 2], symbols=True)
    plain, plain_columns = dataset.frames([4, 0, 2])
    assert samples.tobytes() == plain.tobytes() and columns.keys() == plain_columns.keys()
    for row, position in enumerate([4, 0, 2]):
        assert sent[row].tobytes() == dataset.symbols(position).tobytes()
        assert qpsk_check(samples[row], sent[row]) > 300


def test_the_python_records_are_the_command_lines_for_the_same_seed(tmp_path):
    names = ["QPSK", "GMSK", "CSS", "LFM-data", "LFM-radar", "AM"]
    run = [CLI, "--signal-model", "exact", "--samples-per-file", "4096", "--sample-rate", "1000000",
           "--files-per-modulation", "2", "--save-symbols", "--format", "sigmf", "--seed", "7", "-q", "--no-progress"]
    subprocess.run(run + ["-m", ",".join(names), "-o", str(tmp_path / "all")], check=True)
    subprocess.run(run + ["-m", "CSS", "-o", str(tmp_path / "one")], check=True)
    config = quorvin.Config(names, signal_model="exact", samples_per_file=4096, sample_rate=1e6)
    dataset = quorvin.Dataset(config, files_per_modulation=2, seed=7)
    samples, columns, sent = dataset.frames(range(len(dataset)), symbols=True)
    for row, (name, index) in enumerate(zip(columns["modulation"], columns["file_index"])):
        stem = str(tmp_path / "all" / f"{name}_signal_{index}")
        assert samples[row].tobytes() == open(stem + ".sigmf-data", "rb").read()
        if name in ("LFM-radar", "AM"):  # a radar's pulses and an analog carrier send no symbols
            assert not os.path.exists(stem + ".symbols.npy") and len(sent[row]) == 0
        else:
            assert len(sent[row]) > 0 and np.load(stem + ".symbols.npy").tobytes() == sent[row].tobytes()
    # generate: the file of a run of that name alone.
    _, _, css = quorvin.generate("CSS", config, seed=7, index=2, symbols=True)
    assert len(css) > 0 and np.load(tmp_path / "one" / "CSS_signal_2.symbols.npy").tobytes() == css.tobytes()


def test_written_records_are_the_datasets_and_no_sample_changes(tmp_path):
    dataset = quorvin.Dataset(quorvin.Config(["QPSK", "4FSK", "AM"], **EXACT), files_per_modulation=1, seed=3)
    dataset.write(tmp_path / "with", "csv", save_symbols=True)
    dataset.write(tmp_path / "without", "csv")
    for name in ("QPSK", "4FSK", "AM"):
        sample_file = f"{name}_signal_1.csv"
        assert (tmp_path / "with" / sample_file).read_bytes() == (tmp_path / "without" / sample_file).read_bytes()
    sent = {dataset[p][1]["modulation"]: dataset.symbols(p) for p in range(len(dataset))}
    for name in ("QPSK", "4FSK"):
        assert np.load(tmp_path / "with" / f"{name}_signal_1.symbols.npy").tobytes() == sent[name].tobytes()
    assert len(sent["AM"]) == 0
    assert set(sent["4FSK"]["symbol"]) == {0, 1, 2, 3} and set(sent["4FSK"]["bits"]) == {0, 1, 3, 2}


def test_the_container_holds_each_files_symbols_after_one_another(tmp_path):
    h5py = pytest.importorskip("h5py")
    dataset = quorvin.Dataset(quorvin.Config(["QPSK", "AM", "4FSK"], **EXACT), files_per_modulation=2, seed=4)
    dataset.write(tmp_path, "hdf5", save_symbols=True)
    with h5py.File(tmp_path / "dataset.h5") as f:
        records, offsets = f["symbols"][:], list(f["symbol_offsets"][:])
    ends = offsets[1:] + [len(records)]
    for position in range(len(dataset)):
        held = records[offsets[position]:ends[position]].astype(quorvin.SYMBOLS_DTYPE)
        assert held.tobytes() == dataset.symbols(position).tobytes()

"""The package against quorvin-cli itself: the same checks, the same plan, the same bytes."""

import os
import subprocess

import numpy as np
import pytest

import quorvin

CLI = os.environ.get("QUORVIN_CLI", "quorvin-cli")


def cli(tmp_path, *arguments):
    subprocess.run([CLI, *arguments, "--no-progress", "-o", str(tmp_path / "out")], check=True, capture_output=True)
    return tmp_path / "out"


@pytest.mark.parametrize(
    "modulations, options, message",
    [
        (["QPSK"], {"sample_rate": "10k"}, "Invalid Sample Rate."),
        (["QPSK"], {"snr": (10, "x")}, "Invalid SNR Max."),
        ([], {}, "No modulation selected."),
        (["qpsk"], {}, "unknown modulation 'qpsk'"),
        (["QPSK"], {"pulse": "rect"}, "--pulse applies to --signal-model exact only"),
        (["QPSK"], {"signal_model": "exact", "rolloff": (0.2, 1.5)}, "--rolloff-max takes a number from 0 to 1, not '1.5'"),
        (["4FSK"], {"signal_model": "exact"}, "4FSK does not fit in the band of the sample rate"),
    ],
)
def test_refused_values_raise_the_programs_own_message(modulations, options, message):
    with pytest.raises(ValueError, match=message.replace("(", r"\(").replace(")", r"\)")):
        quorvin.Config(modulations, **options)


@pytest.mark.parametrize(
    "options, arguments",
    [
        ({}, []),
        ({"signal_model": "exact", "sample_rate": 100e3, "samples_per_file": 512, "snr": (0, 20)},
         ["--signal-model", "exact", "--sample-rate", "100000.0", "--samples-per-file", "512", "--snr-min", "0",
          "--snr-max", "20"]),
    ],
    ids=["classic", "exact"],
)
def test_items_are_the_command_lines_recordings_byte_for_byte(tmp_path, options, arguments):
    names = ["AM", "QPSK", "GMSK", "CW"]
    ds = quorvin.Dataset(quorvin.Config(names, num_symbols=300, **options), files_per_modulation=3, seed=21)
    out = cli(tmp_path, "-m", ",".join(names), "--num-symbols", "300", "--files-per-modulation", "3",
              "--seed", "21", "--format", "sigmf", "--manifest", str(tmp_path / "m.csv"), *arguments)
    rows = quorvin.read_manifest(tmp_path / "m.csv")
    rows = rows.to_dict("records") if hasattr(rows, "to_dict") else rows
    assert len(ds) == len(rows) == 12
    for position in reversed(range(len(ds))):  # any order gives the same item
        samples, labels = ds[position]
        recorded, meta = quorvin.read_sigmf(out / rows[position]["sample_file"])
        assert samples.dtype == np.complex64
        assert samples.tobytes() == recorded.tobytes()
        assert labels["modulation"] == rows[position]["modulation"] == meta["global"]["quorvin:modulation"]
        assert labels["class_index"] == int(rows[position]["class_index"]) == quorvin.classes.index(labels["modulation"])
        assert labels["snr_db"] == pytest.approx(float(rows[position]["snr_db"]), rel=0, abs=0)


def test_generate_is_a_files_own_item_in_either_precision():
    config = quorvin.Config(["QPSK"], signal_model="exact", sample_rate=50e3, samples_per_file=256)
    single, labels = quorvin.generate("QPSK", config, seed=4, index=2)
    double, _ = quorvin.generate("QPSK", config, seed=4, index=2, double_precision=True)
    item, _ = quorvin.Dataset(config, files_per_modulation=2, seed=4)[1]
    assert single.shape == (256,) and double.dtype == np.complex128
    assert single.tobytes() == item.tobytes()
    assert np.array_equal(double.astype(np.complex64), single)
    assert labels["file_index"] == 2 and labels["num_samples"] == 256


def test_any_order_of_a_long_plan_gives_the_in_order_items():
    # Long enough that random access re-draws from kept positions rather than from the start.
    config = quorvin.Config(["BPSK", "FM", "8PSK"], signal_model="exact", sample_rate=50e3, samples_per_file=32)
    in_order = [quorvin.Dataset(config, files_per_modulation=70, seed=9)[i] for i in range(210)]
    ds = quorvin.Dataset(config, files_per_modulation=70, seed=9)
    for position in np.random.default_rng(2).permutation(210):
        samples, labels = ds[int(position)]
        assert samples.tobytes() == in_order[position][0].tobytes() and labels == in_order[position][1]
    assert ds[-1][1] == in_order[-1][1]
    assert [labels["file_index"] for _, labels in in_order[68:72]] == [69, 70, 1, 2]


def test_csv_reader_reads_the_sample_text(tmp_path):
    out = cli(tmp_path, "-m", "BPSK", "--num-symbols", "50", "--seed", "2")
    samples = quorvin.read_csv(out / "BPSK_signal_1.csv")
    item, _ = quorvin.Dataset(quorvin.Config(["BPSK"], num_symbols=50), 1, seed=2, double_precision=True)[0]
    assert np.allclose(samples, item, rtol=1e-5, atol=1e-6)  # the text keeps six significant digits


def test_sigmf_reader_checks_the_pair(tmp_path):
    out = cli(tmp_path, "-m", "AM", "--num-symbols", "40", "--seed", "3", "--format", "sigmf")
    with open(out / "AM_signal_1.sigmf-data", "ab") as data:
        data.write(b"\0" * 8)
    with pytest.raises(ValueError, match="holds 41 samples, its metadata says 40"):
        quorvin.read_sigmf(out / "AM_signal_1")


def walked_draws(seed, skipped, wanted):
    """The plan's 15-bit generator walked one value at a time: `wanted` values after `skipped`."""
    state, values = seed, []
    for step in range(skipped + wanted):
        state = (state * 214013 + 2531011) & 0xFFFFFFFF
        if step >= skipped:
            values.append((state >> 16) & 0x7FFF)
    return values


def test_a_far_item_is_what_walking_the_plan_gives():
    # The classic model draws three values per analog file and four per digital file, so QPSK
    # file 50001 starts 100000 * 3 + 50000 * 4 values in.
    ds = quorvin.Dataset(quorvin.Config(["AM", "QPSK"], num_symbols=8), files_per_modulation=100_000, seed=3)
    _, labels = ds[150_000]
    rate, snr, timing, offset = walked_draws(3, 100_000 * 3 + 50_000 * 4, 4)
    assert (labels["modulation"], labels["file_index"]) == ("QPSK", 50_001)
    assert labels["symbol_rate"] == rate / 32767.0 * (5000 - 1000) + 1000
    assert labels["snr_db"] == snr / 32767.0 * (30 - 10) + 10
    assert labels["timing_error"] == timing / 32767.0 * 0.1
    assert labels["frequency_offset"] == offset / 32767.0 * 100


def test_any_item_of_the_longest_plan_draws_one_file_record():
    ds = quorvin.Dataset(quorvin.Config(quorvin.classes, num_symbols=8), files_per_modulation=2**31 - 1, seed=5)
    assert len(ds) == len(quorvin.classes) * (2**31 - 1)
    for count, position in enumerate([-1, 0, 3 * 10**6, len(ds) // 2, -2], start=1):
        _, labels = ds[position]
        assert ds._plan.files_drawn == count  # the records drawn do not grow with the position
    assert (labels["modulation"], labels["file_index"]) == (quorvin.classes[-1], 2**31 - 2)

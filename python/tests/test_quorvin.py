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


def test_the_channel_path_rebuilds_a_faded_item_and_its_labels_reach_python():
    """One fading tap at no delay and phase noise: the item is the clean item of the same plan times
    the tap's gain path and the phase path; the total carrier offset is among the labels."""
    options = {"signal_model": "exact", "sample_rate": 50e3, "samples_per_file": 2048, "snr": ("inf", "inf"),
               "frequency_offset": (0, 0)}
    clean = quorvin.Dataset(quorvin.Config(["QPSK", "AM"], **options), files_per_modulation=2, seed=3)
    faded = quorvin.Dataset(quorvin.Config(["QPSK", "AM"], fading="rayleigh", fading_delays=[0], fading_gains=[0],
                                           doppler=(30, 30), carrier_phase=True, phase_noise=(2, 2), **options),
                            files_per_modulation=2, seed=3)
    for position in range(len(faded)):
        x, labels = faded[position]
        channel = faded.channel(position)
        assert channel["fading_taps"].shape == (1, 2048) and channel["phase"].shape == (2048,)
        assert channel["phase"][0] == labels["carrier_phase"]
        gain = channel["fading_taps"][0]
        assert labels["fading_taps"].startswith(repr(gain[0].real)[:8])
        rebuilt = clean[position][0] * gain * np.exp(1j * channel["phase"])
        assert np.max(np.abs(x - rebuilt)) < 1e-5
        assert np.ptp(np.abs(gain)) > 0.01
        assert labels["total_carrier_offset"] == 0.0
    assert clean.channel(0) == {}

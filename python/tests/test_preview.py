"""The previews render every class and show what they claim."""

import os
import subprocess

import numpy as np
import pytest

pytest.importorskip("matplotlib")

import quorvin  # noqa: E402
from quorvin import preview  # noqa: E402

CLI = os.environ.get("QUORVIN_CLI", "quorvin-cli")


@pytest.fixture(scope="module")
def run(tmp_path_factory):
    out = tmp_path_factory.mktemp("run")
    subprocess.run([CLI, "-m", "every", "--signal-model", "exact", "--sample-rate", "50000",
                    "--samples-per-file", "1024", "--files-per-modulation", "2", "--seed", "5", "--format", "sigmf",
                    "--analog-fc", "3000", "--manifest", str(out / "m.csv"), "--no-progress", "-o", str(out)],
                   check=True, capture_output=True)
    return out


def test_every_class_is_drawn_and_the_summary_has_the_drawn_parameters(run, tmp_path):
    drawn = preview.draw_preview(str(run / "m.csv"), str(tmp_path / "p.png"))
    # every name but AM-SSB and the standards'
    assert drawn == [name for name in quorvin.classes if name not in ("AM-SSB", "ADS-B", "POCSAG", "AIS", "APRS", "BLE", "802.11a/g")]
    parameters = preview.draw_summary(str(run / "m.csv"), str(tmp_path / "s.png"))
    assert {"snr_db", "symbol_rate", "amplitude", "start_offset"} <= set(parameters)
    assert not {"class_index", "file_index", "num_samples", "symbol_seed", "noise_seed"} & set(parameters)  # not drawn
    for picture in ("p.png", "s.png"):
        assert (tmp_path / picture).read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert preview.main([str(run / "m.csv"), "-o", str(tmp_path / "cli.png")]) == 0


@pytest.mark.parametrize("lengths", [["--samples-per-file", "512"], ["--num-symbols", "80"]], ids=["frames", "offsets"])
def test_an_hdf5_runs_manifest_is_drawn_from_its_container(tmp_path, lengths):
    pytest.importorskip("h5py")
    if os.environ.get("QUORVIN_CLI_HDF5", "1") == "0":
        pytest.skip("quorvin-cli was built without HDF5")
    names = ["AM", "QPSK", "8FSK"]
    subprocess.run([CLI, "-m", ",".join(names), "--signal-model", "exact", "--sample-rate", "50000", *lengths,
                    "--files-per-modulation", "2", "--seed", "6", "--format", "hdf5", "--manifest",
                    str(tmp_path / "m.csv"), "--no-progress", "-o", str(tmp_path / "h")], check=True, capture_output=True)
    # Found from the manifest alone, which names the container from its own folder.
    assert preview.draw_preview(str(tmp_path / "m.csv"), str(tmp_path / "p.png")) == names
    samples, _, _ = quorvin.read_hdf5(tmp_path / "h" / "dataset.h5")
    for row in range(6):  # each row read alone is the container's own
        alone = preview._container_row(str(tmp_path / "h" / "dataset.h5"), row)
        assert alone.tobytes() == np.asarray(samples[row]).tobytes()


def test_the_spectrum_of_a_cw_file_peaks_at_its_labelled_carrier(run):
    samples, meta = quorvin.read_sigmf(run / "CW_signal_1")
    frequencies, power = preview.spectrum(samples, meta["global"]["core:sample_rate"])
    g = meta["global"]
    carrier = g["quorvin:carrier_frequency"] + g["quorvin:frequency_offset"] + g["quorvin:mix_frequency"]
    assert abs(frequencies[np.argmax(power)] - carrier) <= 50000 / 1024


@pytest.fixture(scope="module")
def empty_recordings(tmp_path_factory):
    out = tmp_path_factory.mktemp("empty")
    subprocess.run([CLI, "-m", "AM,QPSK", "--num-symbols", "0", "--seed", "1", "--format", "sigmf",
                    "--manifest", str(out / "m.csv"), "--no-progress", "-o", str(out)], check=True, capture_output=True)
    return out


def header_only(text):
    return text.splitlines()[0] + "\n"


@pytest.mark.parametrize(
    "source, edit, arguments, message",
    [
        ("run", header_only, [], "m.csv: no rows, nothing to draw"),
        ("run", lambda text: text.replace(",true,", ",false,"), [], "m.csv: no saved recordings to draw"),
        ("run", lambda text: text.replace("sample_rate", "rate", 1), [], "m.csv: no sample_rate column"),
        ("run", None, ["--per-class", "0"], "per_class takes a whole number from 1, not 0"),
        ("empty_recordings", None, [], "AM_signal_1.sigmf-data: 0 samples, nothing to draw"),
    ],
    ids=["header_only", "none_saved", "no_sample_rate", "per_class_0", "no_samples"],
)
def test_what_cannot_be_drawn_is_one_line_naming_the_file(request, tmp_path, capsys, source, edit, arguments, message):
    folder = request.getfixturevalue(source)
    manifest = folder / "m.csv"
    if edit:
        manifest = tmp_path / "m.csv"
        manifest.write_text(edit((folder / "m.csv").read_text()))
    assert preview.main([str(manifest), "--folder", str(folder), "-o", str(tmp_path / "p.png"), *arguments]) == 1
    error = capsys.readouterr().err
    assert error.endswith(f"{message}\n") and error.count("\n") == 1
    assert error.startswith("python3 -m quorvin.preview: ")
    assert not (tmp_path / "p.png").exists()

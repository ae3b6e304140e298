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
    subprocess.run([CLI, "-m", "all,CW,QAM1024", "--signal-model", "exact", "--sample-rate", "50000",
                    "--samples-per-file", "1024", "--files-per-modulation", "2", "--seed", "5", "--format", "sigmf",
                    "--analog-fc", "3000", "--manifest", str(out / "m.csv"), "--no-progress", "-o", str(out)],
                   check=True, capture_output=True)
    return out


def test_every_class_is_drawn_and_the_summary_has_the_drawn_parameters(run, tmp_path):
    drawn = preview.draw_preview(str(run / "m.csv"), str(tmp_path / "p.png"))
    assert drawn == quorvin.classes
    parameters = preview.draw_summary(str(run / "m.csv"), str(tmp_path / "s.png"))
    assert {"snr_db", "symbol_rate", "amplitude", "start_offset"} <= set(parameters)
    for picture in ("p.png", "s.png"):
        assert (tmp_path / picture).read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert preview.main([str(run / "m.csv"), "-o", str(tmp_path / "cli.png")]) == 0


def test_the_spectrum_of_a_cw_file_peaks_at_its_labelled_carrier(run):
    samples, meta = quorvin.read_sigmf(run / "CW_signal_1")
    frequencies, power = preview.spectrum(samples, meta["global"]["core:sample_rate"])
    g = meta["global"]
    carrier = g["quorvin:carrier_frequency"] + g["quorvin:frequency_offset"] + g["quorvin:mix_frequency"]
    assert abs(frequencies[np.argmax(power)] - carrier) <= 50000 / 1024

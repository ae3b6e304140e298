"""Which files the preview draws, on which SNR axis, and that every symbol it reads is drawn:
checked on the figures' data, not by looking."""

import math
import os
import subprocess

import numpy as np
import pytest

import quorvin
from quorvin import preview

CLI = os.environ.get("QUORVIN_CLI", "quorvin-cli")


def row(name, index, snr, es_n0=None, saved=True):
    return {"modulation": name, "file_index": index, "saved": "true" if saved else "false", "snr_db": snr,
            "es_n0_db": es_n0, "eb_n0_db": None if es_n0 is None else es_n0 - 3}


# QPSK files 1..9 at Es/N0 = 2 x their index (their per-sample SNR 9 dB lower); AM files at SNR 5, 15.
ROWS = ([row("QPSK", i, 2 * i - 9, 2 * i) for i in range(1, 10)] + [row("AM", 1, 5), row("AM", 2, 15)]
        + [row("QPSK", 10, 55, 64, saved=False)])


def indices(chosen):
    return {name: [[r["file_index"] for r in panel] for panel in panels] for name, panels in chosen.items()}


@pytest.mark.parametrize("options, expected", [
    # Spread over the SNR from the highest down; the rest pooled to the panel nearest in SNR.
    (dict(per_class=3), {"QPSK": [[9, 8], [6, 7, 5], [3, 4, 2, 1]], "AM": [[2], [1]]}),
    (dict(per_class=1), {"QPSK": [[9, 8, 7, 6, 5, 4, 3, 2, 1]], "AM": [[2, 1]]}),
    (dict(per_class=2, names="AM"), {"AM": [[2], [1]]}),
    (dict(per_class=2, names=["QPSK"], snr=(10, 14), definition="esn0"), {"QPSK": [[7], [6, 5]]}),
    # The range is on the run's axis: Es/N0 for files with symbols, the SNR for the others.
    (dict(per_class=9, snr=(14, None), definition="esn0"), {"QPSK": [[9], [8], [7]], "AM": [[2]]}),
    (dict(per_class=9, snr=(None, 0), definition="snr"), {"QPSK": [[4], [3], [2], [1]]}),
    (dict(per_class=9, snr=(3, 3), definition="ebn0"), {"QPSK": [[3]]}),
    (dict(names="QPSK", snr=(50, 60)), {}),  # the unsaved file is never drawn
])
def test_files_are_chosen_by_name_and_snr(options, expected):
    assert indices(preview.choose_files(ROWS, **options)) == expected


@pytest.mark.parametrize("options, message", [
    (dict(names="QPSK,QPKS"), "names: no name 'QPKS'; the names are AM, "),
    (dict(snr=(20, 10)), "snr takes (low, high) in dB with low <= high, not (20, 10)"),
    (dict(snr=("x", 10)), "snr takes (low, high) in dB, not ('x', 10)"),
    (dict(snr=5), "snr takes (low, high) in dB, not 5"),
])
def test_a_wrong_filter_is_refused_naming_it(options, message):
    with pytest.raises(ValueError) as error:
        preview.choose_files(ROWS, **options)
    assert str(error.value).startswith(message)


@pytest.mark.parametrize("labels, definition, title", [
    (row("QPSK", 3, 3.26, 12.34), "esn0", "QPSK #3: Es/N0 12.3 dB"),
    (row("QPSK", 3, 3.26, 12.34), "ebn0", "QPSK #3: Eb/N0 9.3 dB"),
    (row("QPSK", 3, 3.26, 12.34), "snr", "QPSK #3: SNR 3.3 dB"),
    (row("AM", 1, 4.96), "esn0", "AM #1: SNR 5.0 dB"),  # no symbols: the per-sample SNR whatever the axis
    (row("QPSK", 4, math.inf, math.inf), "esn0", "QPSK #4: Es/N0 inf dB"),
])
def test_a_title_gives_the_snr_on_the_runs_axis(labels, definition, title):
    assert preview._title(labels["modulation"], labels, definition).startswith(title)


def make(folder, names, *options):
    subprocess.run([CLI, "-m", names, "--signal-model", "exact", "--sample-rate", "100000", "--samples-per-file", "1024",
                    "--format", "sigmf", "--manifest", str(folder / "m.csv"), "--no-progress", "-q", "-o", str(folder),
                    *options], check=True, capture_output=True)
    return preview._rows(str(folder / "m.csv"))


@pytest.mark.parametrize("options, definition", [
    ([], "snr"),
    (["--snr-definition", "esn0"], "esn0"),
    (["--snr-definition", "ebn0"], "ebn0"),
    (["--snr-definition", "esn0", "--snr-min", "5", "--snr-max", "5"], "esn0"),  # a sweep's folder
])
def test_the_runs_snr_axis_is_told_from_its_labels(tmp_path, options, definition):
    rows = make(tmp_path, "QPSK,8PSK,2FSK,AM", "--files-per-modulation", "30", "--seed", "3", *options)
    assert preview.snr_definition_of(rows) == definition


@pytest.fixture(scope="module")
def axis():
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, axis = plt.subplots()
    yield axis
    plt.close(figure)


def plotted(axis, marker):
    """The points of the axis' lines drawn with `marker`, as complex numbers (x + jy)."""
    lines = [line for line in axis.lines if line.get_marker() == marker and line.get_linestyle() == "None"]
    if not lines:
        return np.zeros(0, complex)
    return np.concatenate([np.asarray(line.get_xdata(), float) + 1j * np.asarray(line.get_ydata(), float)
                           for line in lines])


def inside(axis, points):
    (x0, x1), (y0, y1) = axis.get_xlim(), axis.get_ylim()
    return (x0 <= points.real) & (points.real <= x1) & (y0 <= points.imag) & (points.imag <= y1)


@pytest.mark.parametrize("snr, clipped", [(40, False), (-5, True)], ids=["clean", "noisy"])
def test_every_keyed_symbol_is_drawn_those_off_the_axis_on_its_edge(tmp_path, axis, snr, clipped):
    # Many samples per symbol: a high Es/N0 is a low per-sample SNR, which a phase step would not read.
    rows = make(tmp_path, "4FSK", "--files-per-modulation", "1", "--seed", "4", "--snr-definition", "esn0",
                "--snr-min", str(snr), "--snr-max", str(snr), "--samples-per-symbol-min", "40",
                "--samples-per-symbol-max", "40", "--fsk-index-min", "1", "--fsk-index-max", "1")
    samples = preview._samples(str(tmp_path), rows[0])
    axis.clear()
    drawn = preview._draw_symbols(axis, samples, "4FSK", rows[0])
    points = np.concatenate([plotted(axis, "."), plotted(axis, "x")])
    start, rate = rows[0]["start_offset"], rows[0]["realised_symbol_rate"]
    whole = math.floor(start + 1023 * rate / 100000) - math.ceil(start)  # symbols wholly inside the file
    assert drawn.symbols == len(points) == whole
    assert inside(axis, points).all() and drawn.clipped == len(plotted(axis, "x"))
    assert (drawn.clipped > 0) == clipped and ("off the axis on its edge (x)" in drawn.text) == clipped
    if not clipped:  # at Es/N0 40 dB each symbol sits on one of its labelled tones
        tones = preview.tone_levels("4FSK", rows[0]) / 1e3
        spacing = tones[1] - tones[0]
        assert np.abs(points.imag[:, None] - tones[None, :]).min(axis=1).max() < 0.05 * spacing


def check_linear_panel(axis, drawn, points):
    """Every point read is drawn inside the axis, those beyond it on its edge, marked."""
    shown = np.concatenate([plotted(axis, "."), plotted(axis, "x")])
    assert drawn.symbols == len(shown) == len(points) and inside(axis, shown).all()
    reach = axis.get_xlim()[1] / 1.05
    outside = (np.abs(points.real) > reach) | (np.abs(points.imag) > reach)
    assert drawn.clipped == outside.sum() == len(plotted(axis, "x"))
    assert np.array_equal(np.sort_complex(plotted(axis, "x")),
                          np.sort_complex(np.clip(points.real[outside], -reach, reach)
                                          + 1j * np.clip(points.imag[outside], -reach, reach)))


def test_a_dense_constellation_is_filled_from_the_files_nearest_in_snr(tmp_path, axis):
    rows = make(tmp_path, "QAM256", "--files-per-modulation", "40", "--seed", "5", "--snr-definition", "esn0",
                "--snr-min", "10", "--snr-max", "40", "--samples-per-symbol-min", "12", "--samples-per-symbol-max", "16")
    [[own, *companions]] = preview.choose_files(rows, per_class=1, definition="esn0")["QAM256"]
    samples = preview._samples(str(tmp_path), own)
    alone = len(preview.symbol_points(samples, "QAM256", own))
    wanted = preview.symbols_wanted("QAM256")
    assert alone < 100 and wanted == 1024
    pooled = preview.pooled_points(str(tmp_path), "QAM256", companions, wanted - alone)
    # Files read in order of nearness in SNR, until enough: one fewer would not have been.
    counts = [len(points) for points in pooled]
    assert alone + sum(counts) >= wanted > alone + sum(counts[:-1])
    assert pooled[0].tobytes() == preview.symbol_points(preview._samples(str(tmp_path), companions[0]), "QAM256",
                                                        companions[0]).tobytes()
    axis.clear()
    drawn = preview._draw_symbols(axis, samples, "QAM256", own, pooled)
    assert drawn.pooled_files == len(pooled)
    assert f"{alone} symbols at labelled instants + {sum(counts)} of {len(pooled)} more files" in drawn.text
    check_linear_panel(axis, drawn, np.concatenate([preview.symbol_points(samples, "QAM256", own), *pooled]))


def test_a_noisy_constellations_points_beyond_the_axis_are_on_its_edge(tmp_path, axis):
    rows = make(tmp_path, "QPSK", "--files-per-modulation", "1", "--seed", "7", "--snr-definition", "esn0",
                "--snr-min", "-15", "--snr-max", "-15")
    samples = preview._samples(str(tmp_path), rows[0])
    axis.clear()
    drawn = preview._draw_symbols(axis, samples, "QPSK", rows[0])
    assert drawn.clipped > 0 and "off the axis on its edge (x)" in drawn.text
    check_linear_panel(axis, drawn, preview.symbol_points(samples, "QPSK", rows[0]))


def test_the_command_line_filters_and_says_when_nothing_is_left(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    make(tmp_path, "QPSK,GMSK,AM", "--files-per-modulation", "4", "--seed", "6", "--snr-definition", "esn0",
         "--snr-min", "0", "--snr-max", "20")
    manifest = str(tmp_path / "m.csv")
    assert preview.draw_preview(manifest, str(tmp_path / "p.png"), names="GMSK,AM", snr=(5, None)) == ["AM", "GMSK"]
    assert preview.main([manifest, "-o", str(tmp_path / "q.png"), "-m", "QPSK", "--snr-min", "0"]) == 0
    assert preview.main([manifest, "-o", str(tmp_path / "r.png"), "-m", "QPSK", "--snr-min", "40", "--snr-max", "50"]) == 1
    assert capsys.readouterr().err == (f"python3 -m quorvin.preview: {manifest}: no saved recordings of QPSK with Es/N0 "
                                       "from 40 to 50 dB to draw\n")
    assert not (tmp_path / "r.png").exists()
    with pytest.raises(ValueError, match="snr_definition takes snr, esn0, ebn0, not 'es'"):
        preview.draw_preview(manifest, str(tmp_path / "s.png"), snr_definition="es")

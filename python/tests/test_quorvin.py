"""The package against quorvin-cli itself: the same checks, the same plan, the same bytes."""

import csv
import math
import os
import pickle
import subprocess
import sys
import warnings

import numpy as np
import pytest

import quorvin
from quorvin import _core

CLI = os.environ.get("QUORVIN_CLI", "quorvin-cli")


def cli(tmp_path, *arguments):
    subprocess.run([CLI, *arguments, "--no-progress", "-o", str(tmp_path / "out")], check=True, capture_output=True)
    return tmp_path / "out"


# Written out here: what -m takes besides names.
KNOWN_SELECTIONS = "all, every, am, ssb, fm, psk, qam, apsk, fsk, msk, ook, ask, dsb, noise"


@pytest.mark.parametrize(
    "modulations, options, message",
    [
        (["QPSK"], {"sample_rate": "10k"}, "Invalid Sample Rate. sample_rate takes a number above 0, not '10k'"),
        (["QPSK"], {"snr": (10, "x")},
         "Invalid SNR Max. snr (maximum) takes a finite number, or inf at both ends for no noise, not 'x'"),
        (["QPSK"], {"snr_max": "x"},
         "Invalid SNR Max. snr_max takes a finite number, or inf at both ends for no noise, not 'x'"),
        ([], {}, "No modulation selected."),
        ("", {}, "No modulation selected."),
        (["qpsk"], {}, "unknown modulation 'qpsk'; did you mean QPSK? The known ones are " + ", ".join(quorvin.classes) + "; or " + KNOWN_SELECTIONS),
        ("QPSK,bogus", {}, "unknown modulation 'bogus'; the known ones are " + ", ".join(quorvin.classes) + "; or " + KNOWN_SELECTIONS),
        (["QPSK"], {"bogus": 1}, "unknown argument bogus"),
        (["QPSK"], {"signal_model": "classic", "pulse": "rect"}, "pulse applies to signal_model='exact' only"),
        (["QPSK"], {"signal_model": "exact", "rolloff": (0.2, 1.5)},
         "rolloff (maximum) takes a number from 0 to 1, not '1.5'"),
        (["QPSK"], {"signal_model": "exact", "rolloff_max": 1.5}, "rolloff_max takes a number from 0 to 1, not '1.5'"),
        (["QPSK"], {"signal_model": "exact", "adc_bits": (0, 4)},
         "adc_bits take 1 to 32 bits each, or 0 both for no quantisation"),
        (["QPSK"], {"snr": (0, 20), "snr_min": 5}, "snr_min and snr both given: give one of them"),
        (["QPSK"], {"snr_max": 5, "snr": (0, 20)}, "snr and snr_max both given: give one of them"),
        (["4FSK"], {"signal_model": "exact", "symbol_rate": (1000, 5000)}, "4FSK does not fit in the band of the sample rate"),
        (["QPSK"], {"snr": (-800, 0)},
         "snr (minimum) takes a number from -600 to 600 dB in the exact model (or inf for both: no noise), not '-800'"),
        (["QPSK"], {"per_name": {"QPSK": {"snr": (-1000, 0)}}}, "per_name takes NAME:KEY=LOW..HIGH entries"),
        (["QPSK", "AM"], {"per_name": {"AM": {"symbol_rate": (1000, 2000)}}},
         "per_name: 'AM:symbol-rate=1000..2000' gives a rate to AM, which has no symbols"),
        (["QPSK"], {"per_name": {"QPSK": {"snr": (0, 5)}, "FM": {"snr": (0, 5)}}},
         "per_name: 'FM:snr=0..5' names FM, which is not among the run's names"),
        (["QPSK"], {"per_name": {"QPSK": {"symbol_rate": (1000, 2000), "samples_per_symbol": (4, 8)}}},
         "per_name gives QPSK both a symbol rate and samples per symbol: 'QPSK:symbol-rate=1000..2000' and "
         "'QPSK:samples-per-symbol=4..8'"),
    ],
)
def test_refused_values_raise_a_message_naming_the_keyword(modulations, options, message):
    with pytest.raises(ValueError) as raised:
        quorvin.Config(modulations, **options)
    assert str(raised.value).startswith(message)


@pytest.mark.parametrize(
    "arguments, options, cli_message, python_message",
    [
        (["--signal-model", "exact", "--rolloff-max", "1.5"], {"signal_model": "exact", "rolloff": (0.2, 1.5)},
         "--rolloff-max takes a number from 0 to 1, not '1.5'",
         "rolloff (maximum) takes a number from 0 to 1, not '1.5'"),
        (["--sample-rate", "10k"], {"sample_rate": "10k"},
         "Invalid Sample Rate. --sample-rate takes a number above 0, not '10k'",
         "Invalid Sample Rate. sample_rate takes a number above 0, not '10k'"),
        (["--signal-model", "classic", "--pulse", "rect"], {"signal_model": "classic", "pulse": "rect"}, "--pulse applies to --signal-model exact only",
         "pulse applies to signal_model='exact' only"),
        (["--signal-model", "exact", "--adc-bits-max", "4"], {"signal_model": "exact", "adc_bits": (0, 4)},
         "--adc-bits-min and --adc-bits-max take 1 to 32", "adc_bits take 1 to 32"),
        (["--signal-model", "exact", "--fading", "rician", "--clock-ppm-max", "900", "--samples-per-file", "67108864"],
         {"signal_model": "exact", "fading": "rician", "clock_ppm": (0, 900), "samples_per_file": 67108864},
         "with these --fading and --clock-ppm-min/max settings", "with these fading and clock_ppm settings"),
        (["--signal-model", "exact", "--symbol-rate-max", "20000", "--analog-fc", "6000"],
         {"signal_model": "exact", "symbol_rate": (1000, 20000), "analog_fc": 6000},
         "Raise --sample-rate or narrow --analog-fc (or --analog-fc-min/max), --frequency-offset-min/max, "
         "--mix-frequency, --message-frequency-max.",
         "Raise sample_rate or narrow analog_fc (or analog_fc_min/analog_fc_max), frequency_offset, mix_frequency, "
         "message_frequency (maximum)."),
        (["--signal-model", "exact", "--symbol-rate-max", "20000"], {"signal_model": "exact", "symbol_rate_max": 20000},
         "narrow --symbol-rate-max, --frequency-offset-min/max, --mix-frequency, --rolloff-max.",
         "narrow symbol_rate_max, frequency_offset, mix_frequency, rolloff (maximum)."),
    ],
    ids=["range_end", "box", "exact_only", "both_ends", "pairs_named_whole", "band_analog", "band_digital"],
)
def test_each_front_end_names_the_refused_option_its_own_way(arguments, options, cli_message, python_message):
    names = "AM,QPSK" if "analog_fc" in options else "QPSK"
    run = subprocess.run([CLI, "-m", names, *arguments], capture_output=True, text=True)
    assert run.returncode == 2 and cli_message in run.stderr, run.stderr
    with pytest.raises(ValueError) as raised:
        quorvin.Config(names, **options)
    assert python_message in str(raised.value)


@pytest.mark.parametrize("option, keyword, end, flag, default", _core.options(),
                         ids=[row[0] for row in _core.options()])
def test_every_declared_option_is_a_keyword_of_its_own(option, keyword, end, flag, default):
    """Each option of the core is reached by its keyword, with its default text: a pair's two ends
    at once, or one end as keyword_min / keyword_max; no other option shares the keyword."""
    model = {} if keyword == "signal_model" else {"signal_model": "exact"}
    texts = {"--signal-model": "exact"} if model else {}
    rows = _core.options()
    other_end = [row[4] for row in rows if row[1] == keyword and row[0] != option]
    if end:
        assert len(other_end) == 1 and not [row for row in rows if row[1] == f"{keyword}_{end}"]
        pair = (default, *other_end) if end == "min" else (*other_end, default)
        assert quorvin.Config("QPSK", **model, **{keyword: pair}).options[option] == default
        keyword = f"{keyword}_{end}"
    else:
        assert not other_end
    value = True if flag else default
    assert quorvin.Config("QPSK", **model, **{keyword: value}).options == {**texts, option: "true" if flag else default}


@pytest.mark.parametrize("given, names", [("QPSK", ["QPSK"]), ("QPSK,GMSK", ["QPSK", "GMSK"]),
                                          ("QPSK, AM", ["QPSK", "AM"]), (("AM",), ["AM"])])
def test_a_name_or_a_comma_separated_list_is_taken_as_a_list(given, names):
    config = quorvin.Config(given, num_symbols=8)
    assert config.modulations == names
    ds, expected = quorvin.Dataset(config, 2, seed=3), quorvin.Dataset(quorvin.Config(names, num_symbols=8), 2, seed=3)
    assert ds.names == expected.names and ds[1][0].tobytes() == expected[1][0].tobytes()


@pytest.mark.parametrize(
    "signal_model, names",
    [("exact", ["QPSK", "GMSK", "AM"]), ("classic", ["AM", "QPSK", "FM"])],  # classic files differ in length
)
def test_frames_are_the_items_stacked(signal_model, names):
    options = {"signal_model": "exact", "sample_rate": 50e3, "samples_per_file": 64} if signal_model == "exact" \
        else {"num_symbols": 20}
    ds = quorvin.Dataset(quorvin.Config(names, **options), files_per_modulation=3, seed=8)
    positions = [5, 0, -1, 5, 3]
    samples, columns = ds.frames(np.array(positions))
    items = [ds[p] for p in positions]
    longest = max(len(x) for x, _ in items)
    assert samples.dtype == np.complex64 and samples.shape == (len(positions), longest)
    for row, (x, labels) in zip(samples, items, strict=True):
        assert row[: len(x)].tobytes() == x.tobytes() and not row[len(x):].any()
    for key, column in columns.items():
        assert len(column) == len(positions)
        for value, (_, labels) in zip(column, items, strict=True):
            expected = labels.get(key)
            if expected is None:
                assert value in ("", -1) or np.isnan(value), key
            else:
                assert value == expected, key
    assert set(columns) == set().union(*(labels for _, labels in items))


@pytest.mark.parametrize(
    "positions, error, message",
    [
        ([1.5], TypeError, "positions takes an integer, not 1.5"),
        ("12", TypeError, "positions takes a sequence of integers, not '12'"),
        (7, TypeError, "positions takes a sequence of integers, not 7"),
        (np.zeros((2, 2), dtype=int), TypeError, "positions takes a 1-D array of integers, not one of int64 and shape (2, 2)"),
        (np.zeros(2), TypeError, "positions takes a 1-D array of integers, not one of float64 and shape (2,)"),
        ([0, 6], IndexError, "positions: 6 is outside a dataset of 6 items"),
        ([-7], IndexError, "positions: -7 is outside a dataset of 6 items"),
    ],
)
def test_frames_refuse_positions_that_are_not_items(positions, error, message):
    ds = quorvin.Dataset(quorvin.Config("QPSK,AM", num_symbols=8), files_per_modulation=3, seed=1)
    with pytest.raises(error) as raised:
        ds.frames(positions)
    assert str(raised.value) == message


def test_frames_of_no_positions_are_empty():
    samples, columns = quorvin.Dataset(quorvin.Config("QPSK", num_symbols=8), 2, seed=1).frames([])
    assert samples.shape == (0, 0) and list(columns) == ["num_samples"]


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
        recorded, meta = quorvin.read_sigmf(tmp_path / rows[position]["sample_file"])  # named from the manifest's folder
        assert samples.dtype == np.complex64
        assert samples.tobytes() == recorded.tobytes()
        assert labels["modulation"] == rows[position]["modulation"] == meta["global"]["quorvin:modulation"]
        assert labels["class_index"] == int(rows[position]["class_index"]) == quorvin.classes.index(labels["modulation"])
        assert labels["snr_db"] == pytest.approx(float(rows[position]["snr_db"]), rel=0, abs=0)


@pytest.mark.parametrize("reader", ["pandas", "csv"])
def test_manifest_numbers_read_back_bit_for_bit(tmp_path, monkeypatch, reader):
    if reader == "pandas":
        pytest.importorskip("pandas")
    else:
        monkeypatch.setitem(sys.modules, "pandas", None)  # as on a machine without it
    names = ["AM", "QPSK", "GMSK", "FM", "8PSK"]
    options = {"signal_model": "exact", "sample_rate": 100e3, "samples_per_file": 300, "snr": (-7.3, 21.9)}
    ds = quorvin.Dataset(quorvin.Config(names, **options), files_per_modulation=8, seed=13)
    cli(tmp_path, "-m", ",".join(names), "--files-per-modulation", "8", "--seed", "13", "--signal-model", "exact",
        "--sample-rate", "100000", "--samples-per-file", "300", "--snr-min", "-7.3", "--snr-max", "21.9",
        "--format", "sigmf", "--manifest", str(tmp_path / "m.csv"))
    rows = quorvin.read_manifest(tmp_path / "m.csv")
    rows = rows.to_dict("records") if reader == "pandas" else rows
    compared = 0
    for position, row in enumerate(rows):
        _, labels = ds[position]
        for key, value in labels.items():
            if not isinstance(value, float) or key not in row:
                continue
            read = row[key] if reader == "pandas" else float(row[key] or "nan")
            assert read == value or (np.isnan(read) and np.isnan(value)), (position, key, read, value)
            compared += 1
    assert compared > 10 * len(rows)


def test_manifest_columns_have_one_type_whichever_names_fill_them(tmp_path):
    pandas = pytest.importorskip("pandas")
    # Names with and without a sideband, AM's rows first and many of them: pandas reads a long file
    # in pieces, and one piece of sideband empty and another of text gave the column mixed types.
    cli(tmp_path, "-m", "AM,AM-SSB,QPSK", "--files-per-modulation", "3", "--seed", "5", "--signal-model", "exact",
        "--samples-per-file", "64", "--format", "sigmf", "--manifest", str(tmp_path / "m.csv"))
    with open(tmp_path / "m.csv", newline="", encoding="utf-8") as f:
        header, *rows = list(csv.reader(f))
    rows = [row for row in rows if row[3] == "AM"] * 6000 + [row for row in rows if row[3] != "AM"] * 100
    with open(tmp_path / "long.csv", "w", newline="", encoding="utf-8") as f:
        csv.writer(f, lineterminator="\n").writerows([header, *rows])
    with pytest.warns(pandas.errors.DtypeWarning):  # the file does make pandas' guess fail
        pandas.read_csv(tmp_path / "long.csv")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        frame = quorvin.read_manifest(tmp_path / "long.csv")
    assert list(frame.columns) == header and len(frame) == len(rows) == 18600
    kinds = {"sideband": "text", "settings_file": "text", "fading": "text", "mix_frequency": "real",
             "snr_db": "real", "symbol_seed": "whole", "filter_span": "whole", "file_index": "whole", "saved": "bool"}
    dtypes = {"text": object, "real": np.float64, "whole": np.int64, "bool": np.bool_}
    for name, kind in kinds.items():
        assert frame[name].dtype == dtypes[kind], name
        column = frame[name].tolist()
        assert all(isinstance(value, type(column[0])) for value in column), name
        # Each cell against its text: "" stays "", an empty number is NaN or -1.
        expected = [row[header.index(name)] for row in rows]
        if kind == "real":
            expected = [float(text) if text else math.nan for text in expected]
            assert np.array_equal(column, expected, equal_nan=True), name
        elif kind == "whole":
            assert column == [int(text) if text else -1 for text in expected], name
        elif kind == "bool":
            assert column == [text == "true" for text in expected], name
        else:
            assert column == expected, name
    assert set(frame["sideband"]) == {"", "upper", "lower"} and set(frame["symbol_seed"][frame.modulation == "AM"]) == {-1}


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
    assert samples.dtype == np.complex64  # as read_sigmf and Dataset give
    assert np.allclose(samples, item, rtol=1e-5, atol=1e-6)  # the text keeps six significant digits


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
    ds = quorvin.Dataset(quorvin.Config(["AM", "QPSK"], signal_model="classic", num_symbols=8), files_per_modulation=100_000,
                         seed=3)
    _, labels = ds[150_000]
    rate, snr, timing, offset = walked_draws(3, 100_000 * 3 + 50_000 * 4, 4)
    assert (labels["modulation"], labels["file_index"]) == ("QPSK", 50_001)
    assert labels["symbol_rate"] == rate / 32767.0 * (5000 - 1000) + 1000
    assert labels["snr_db"] == snr / 32767.0 * (30 - 10) + 10
    assert labels["timing_error"] == timing / 32767.0 * 0.1
    assert labels["frequency_offset"] == offset / 32767.0 * 100


def test_any_item_of_the_longest_plan_draws_one_file_record():
    # A standard's frame needs more than 8 symbols: every other name.
    names = [name for name in quorvin.classes if name not in ("ADS-B", "POCSAG", "AIS", "APRS", "BLE", "802.11a/g")]
    ds = quorvin.Dataset(quorvin.Config(names, num_symbols=8), files_per_modulation=2**31 - 1, seed=5)
    assert len(ds) == len(names) * (2**31 - 1)
    for count, position in enumerate([-1, 0, 3 * 10**6, len(ds) // 2, -2], start=1):
        _, labels = ds[position]
        assert ds._plan.files_drawn == count  # the records drawn do not grow with the position
    assert (labels["modulation"], labels["file_index"]) == (names[-1], 2**31 - 2)


CONFIG = quorvin.Config(["QPSK"], signal_model="exact", sample_rate=50e3, samples_per_file=64)


@pytest.mark.parametrize(
    "make, error, message",
    [
        (lambda: quorvin.Config(["QPSK"], signal_model="exact", carrier_phase="false"), TypeError,
         "carrier_phase takes True or False, not 'false'"),
        (lambda: quorvin.Config(["QPSK"], signal_model="exact", carrier_phase=1), TypeError,
         "carrier_phase takes True or False, not 1"),
        (lambda: quorvin.Config(b"QPSK"), TypeError,
         "modulations takes a name, a comma-separated list or a list of names, not b'QPSK'"),
        (lambda: quorvin.Config(["QPSK", 4]), TypeError,
         "modulations takes a name, a comma-separated list or a list of names, not ['QPSK', 4]"),
        (lambda: quorvin.Dataset(CONFIG, 2.9, 1), TypeError, "files_per_modulation takes an integer, not 2.9"),
        (lambda: quorvin.Dataset(CONFIG, "2", 1), TypeError, "files_per_modulation takes an integer, not '2'"),
        (lambda: quorvin.Dataset(CONFIG, True, 1), TypeError, "files_per_modulation takes an integer, not True"),
        (lambda: quorvin.Dataset(CONFIG, -1, 1), ValueError,
         "files_per_modulation takes a whole number from 0 to 2147483647, not -1"),
        (lambda: quorvin.Dataset(CONFIG, 2, 2**32), ValueError,
         "seed takes a whole number from 0 to 4294967295, not 4294967296"),
        (lambda: quorvin.Dataset(CONFIG, 2, 1.0), TypeError, "seed takes an integer, not 1.0"),
        (lambda: quorvin.Dataset(CONFIG, 2, 1, double_precision="no"), TypeError,
         "double_precision takes True or False, not 'no'"),
        (lambda: quorvin.Dataset(["QPSK"], 2, 1), TypeError, "config takes a quorvin.Config, not ['QPSK']"),
        (lambda: quorvin.Dataset(CONFIG, 2, 1)[1.5], TypeError, "Dataset index takes an integer, not 1.5"),
        (lambda: quorvin.Dataset(CONFIG, 2, 1)["1"], TypeError, "Dataset index takes an integer, not '1'"),
        (lambda: quorvin.Dataset(CONFIG, 2, 1)[2], IndexError, "Dataset index 2 is outside a dataset of 2 items"),
        (lambda: quorvin.Dataset(CONFIG, 2, 1)[-3], IndexError, "Dataset index -3 is outside a dataset of 2 items"),
        (lambda: quorvin.Dataset(CONFIG, 0, 1)[0], IndexError, "Dataset index 0 is outside a dataset of 0 items"),
        (lambda: quorvin.generate("QPSK", CONFIG, index=0), ValueError,
         "index takes a whole number from 1 to 2147483647, not 0"),
        (lambda: quorvin.generate("QPSK", CONFIG, index=1.0), TypeError, "index takes an integer, not 1.0"),
        (lambda: quorvin.generate("all", CONFIG), ValueError, "name takes one modulation name, not 'all'"),
        (lambda: quorvin.generate("fsk", CONFIG), ValueError, "name takes one modulation name, not 'fsk'"),
        (lambda: quorvin.Config("QPSK", per_name={"QPSK": (0, 5)}), TypeError,
         "per_name takes {name: {keyword: (min, max)}}, not {'QPSK': (0, 5)}"),
        (lambda: quorvin.Config("QPSK", per_name={"QPSK": {5: (0, 5)}}), TypeError,
         "per_name: QPSK takes keywords (str) as keys, not 5"),
        (lambda: quorvin.Config("QPSK", per_name={"QPSK": {"snr": 5}}), ValueError,
         "per_name: QPSK's snr takes a (min, max) pair, not 5"),
        (lambda: quorvin.Config("QPSK", per_name={"QPSK": {"snr": (0,)}}), ValueError,
         "per_name: QPSK's snr takes a (min, max) pair, not (0,)"),
    ],
)
def test_values_that_would_be_coerced_are_refused(make, error, message):
    with pytest.raises(error) as raised:
        make()
    assert str(raised.value) == message


def test_numpy_integers_and_bools_are_taken():
    ds = quorvin.Dataset(CONFIG, np.int64(3), np.uint32(4), double_precision=np.bool_(False))
    assert ds[np.int32(2)][0].tobytes() == ds[2][0].tobytes()
    on = quorvin.Config(["QPSK"], signal_model="exact", carrier_phase=np.bool_(True))
    assert on.options["--carrier-phase"] == "true"
    assert "--carrier-phase" not in quorvin.Config(["QPSK"], signal_model="exact", carrier_phase=False).options


def test_all_is_the_command_lines_all(tmp_path):
    cli(tmp_path, "-m", "all", "--num-symbols", "8", "--seed", "6", "--manifest", str(tmp_path / "m.csv"))
    with open(tmp_path / "m.csv", newline="", encoding="utf-8") as file:
        names = [row["modulation"] for row in csv.DictReader(file)]
    ds = quorvin.Dataset(quorvin.Config(["all", "QPSK"], num_symbols=8), files_per_modulation=1, seed=6)
    assert len(names) == len(ds) == 22
    assert [ds[i][1]["modulation"] for i in range(len(ds))] == names


def test_every_is_the_command_lines_every_with_the_same_bytes(tmp_path):
    # The exact model's names follow the 24 classic ones, in class order; OFDM and the chirps after Noise.
    assert quorvin.classes[22:] == ["CW", "QAM1024", "OOK", "4ASK", "8ASK", "16ASK", "32ASK", "64ASK", "32PSK", "64PSK",
                                    "QAM512", "QAM2048", "QAM4096", "APSK128", "APSK256", "16FSK", "2GFSK", "4GFSK",
                                    "8GFSK", "16GFSK", "4MSK", "8MSK", "16MSK", "4GMSK", "8GMSK", "16GMSK", "AM-DSB-SC",
                                    "AM-LSB", "AM-USB", "Noise", *[f"OFDM-{k}" for k in (64, 72, 128, 180, 256, 300, 512, 600,
                                    900, 1024, 1200, 2048)], "LFM-radar", "LFM-data", "CSS", "ADS-B", "POCSAG", "AIS", "APRS", "BLE",
                                    "802.11a/g"]
    cli(tmp_path, "-m", "every", "--signal-model", "exact", "--sample-rate", "1000000", "--samples-per-file", "256",
        "--seed", "1", "--format", "sigmf", "--manifest", str(tmp_path / "m.csv"))
    ds = quorvin.Dataset(quorvin.Config("every", signal_model="exact", sample_rate=1e6, samples_per_file=256),
                         files_per_modulation=1, seed=1)
    with open(tmp_path / "m.csv", newline="", encoding="utf-8") as file:
        rows = list(csv.DictReader(file))
    # Every name but AM-SSB, whose every file is an AM-LSB or AM-USB file, and the standards'.
    every = [row["name"] for row in _core.catalogue() if row["in_every"]]
    assert every == [name for name in quorvin.classes if name not in ("AM-SSB", "ADS-B", "POCSAG", "AIS", "APRS", "BLE", "802.11a/g")]
    assert len(rows) == len(ds) == len(every)
    for i, row in enumerate(rows):
        samples, labels = ds[i]
        assert labels["modulation"] == row["modulation"] == every[i]
        assert (tmp_path / row["sample_file"]).read_bytes() == samples.astype("<c8").tobytes()


@pytest.mark.parametrize("double_precision", [False, True])
def test_config_and_dataset_survive_pickling(double_precision):
    config = quorvin.Config(["GMSK", "AM"], signal_model="exact", sample_rate=50e3, samples_per_file=128,
                            snr=(0, 10), carrier_phase=True)
    ds = quorvin.Dataset(config, files_per_modulation=4, seed=12, double_precision=double_precision)
    ds[5]  # a plan part-way through travels as a fresh one
    copy = pickle.loads(pickle.dumps(ds))
    assert (copy.files_per_modulation, copy.seed, copy.double_precision) == (4, 12, double_precision)
    assert copy.config.modulations == config.modulations and copy.config.options == config.options
    assert len(copy) == len(ds) == 8
    for position in (7, 0, 3):
        (samples, labels), (expected, expected_labels) = copy[position], ds[position]
        assert samples.dtype == expected.dtype and samples.tobytes() == expected.tobytes()
        assert labels == expected_labels
    assert repr(pickle.loads(pickle.dumps(config))) == repr(config)


def as_ci16(meta, full_scale):
    """The metadata of 40 cf32_le samples said of their bytes as 80 ci16_le samples of ``full_scale``."""
    text = meta.read_text().replace('"cf32_le"', f'"ci16_le", "quorvin:full_scale": {full_scale}')
    meta.write_text(text.replace('"core:sample_count": 40', '"core:sample_count": 80'))


@pytest.mark.parametrize(
    "damage, message",
    [
        (lambda data, meta: data.write_bytes(data.read_bytes() + b"\0" * 3),
         "AM_signal_1.sigmf-data: 323 bytes, not a whole number of 8-byte cf32_le samples"),
        (lambda data, meta: data.write_bytes(data.read_bytes()[:-3]),
         "AM_signal_1.sigmf-data: 317 bytes, not a whole number of 8-byte cf32_le samples"),
        (lambda data, meta: data.write_bytes(data.read_bytes() + b"\0" * 8),
         "AM_signal_1.sigmf-data holds 41 samples, its metadata says 40"),
        (lambda data, meta: meta.write_text(meta.read_text()[:-5]), "AM_signal_1.sigmf-meta: not JSON"),
        (lambda data, meta: meta.write_text(meta.read_text().replace('"annotations"', '"notes"')),
         "AM_signal_1.sigmf-meta: no annotations/0/core:sample_count"),
        (lambda data, meta: meta.write_text(meta.read_text().replace('"core:sample_count": 40', '"core:sample_count": "40"')),
         "AM_signal_1.sigmf-meta: core:sample_count '40' is not a sample count"),
        (lambda data, meta: meta.write_text(meta.read_text().replace("cf32_le", "cf64_le")),
         "AM_signal_1.sigmf-meta: datatype cf64_le, not cf32_le or ci16_le"),
        (lambda data, meta: meta.write_text(meta.read_text().replace('"core:num_channels": 1', '"core:num_channels": 2')),
         "AM_signal_1.sigmf-meta: core:num_channels 2, not 1"),
        (lambda data, meta: as_ci16(meta, "1e400"),
         "AM_signal_1.sigmf-meta: quorvin:full_scale inf is not a number above 0 and at most 1e38"),
        (lambda data, meta: as_ci16(meta, "1e300"),
         "AM_signal_1.sigmf-meta: quorvin:full_scale 1e+300 is not a number above 0 and at most 1e38"),
    ],
    ids=["stray_bytes", "cut_mid_sample", "extra_sample", "cut_meta", "no_annotations", "count_as_text", "datatype",
         "two_channels", "infinite_full_scale", "full_scale_past_complex64"],
)
def test_sigmf_reader_refuses_a_damaged_pair_naming_the_file(tmp_path, damage, message):
    out = cli(tmp_path, "-m", "AM", "--num-symbols", "40", "--seed", "3", "--format", "sigmf")
    damage(out / "AM_signal_1.sigmf-data", out / "AM_signal_1.sigmf-meta")
    with pytest.raises(ValueError) as raised:
        quorvin.read_sigmf(out / "AM_signal_1")
    assert str(raised.value).startswith(str(out / message))


def test_ci16_recordings_are_the_float_ones_to_half_a_level_at_a_full_scale_of_four_rms(tmp_path):
    """ci16_le holds each of I and Q as round(x 32767 / full scale); the full scale, 4 times the
    nominal RMS of unit signal power plus the labelled SNR's noise, reads back from the metadata."""
    options = {"sample_rate": 100e3, "samples_per_file": 4096, "snr": (-5, 20)}
    floats = cli(tmp_path / "f", "-m", "QPSK,AM", "--sample-rate", "100000", "--samples-per-file", "4096",
                 "--snr-min", "-5", "--snr-max", "20", "--seed", "4", "--format", "sigmf")
    written = quorvin.Dataset(quorvin.Config(["QPSK", "AM"], datatype="ci16_le", **options), 1, seed=4)
    written.write(tmp_path / "i", format="sigmf")
    for name in ("QPSK_signal_1", "AM_signal_1"):
        exact, _ = quorvin.read_sigmf(floats / name)
        levels, meta = quorvin.read_sigmf(tmp_path / "i" / name)
        snr = meta["global"]["quorvin:snr_db"]
        full_scale = 4 * math.sqrt(1 + 10 ** (-snr / 10))
        assert meta["global"]["core:datatype"] == "ci16_le"
        assert meta["global"]["quorvin:full_scale"] == pytest.approx(full_scale, rel=1e-12)
        step = full_scale / 32767
        assert np.max(np.abs(levels.real - exact.real)) <= step / 2 * 1.001
        assert np.max(np.abs(levels.imag - exact.imag)) <= step / 2 * 1.001
        assert (tmp_path / "i" / f"{name}.sigmf-data").stat().st_size == 4 * 4096
    with pytest.raises(ValueError, match="datatype applies to format 'sigmf' only, not 'csv'"):
        written.write(tmp_path / "c", format="csv")


@pytest.mark.parametrize("modulation, seed, options, stem", [
    # A pulse at a duty cycle of 5 % peaks at sqrt(20) = 4.5 times the file's RMS.
    ("LFM-radar", 3, {"duty_cycle": (0.05, 0.05), "samples_per_file": 16384}, "LFM-radar_signal_1"),
    # A scene's pulse, far above its floor.
    ("LFM-radar", 3, {"scene": "wideband", "emitters": (1, 1), "duty_cycle": (0.05, 0.05), "sample_rate": 20000000,
                   "samples_per_file": 65536}, "scene_signal_1"),
    # 2^21 samples of Gaussian noise, one of whose 2^22 values passes 4 times the RMS.
    ("Noise", 8, {"samples_per_file": 2097152}, "Noise_signal_1"),
], ids=["radar_pulse", "scene_pulse", "long_noise"])
def test_ci16_full_scale_holds_peaks_beyond_four_rms_with_none_at_the_rail(tmp_path, modulation, seed, options, stem):
    """Both front ends write the same ci16_le bytes, none at +-32767, within half a level of the
    float samples of the same seed."""
    arguments = ["-m", modulation, "--seed", str(seed), "--format", "sigmf"]
    for key, value in options.items():  # the keyword's option: a (min, max) pair's two
        option = "--" + key.replace("_", "-")
        pair = isinstance(value, tuple)
        arguments += [f"{option}-min", str(value[0]), f"{option}-max", str(value[1])] if pair else [option, str(value)]
    floats = cli(tmp_path / "f", *arguments)
    ints = cli(tmp_path / "i", *arguments, "--datatype", "ci16_le")
    config = quorvin.Config([modulation], datatype="ci16_le", **options)
    quorvin.Dataset(config, 1, seed=seed).write(tmp_path / "p", format="sigmf")
    exact, _ = quorvin.read_sigmf(floats / stem)
    levels, meta = quorvin.read_sigmf(ints / stem)
    assert (tmp_path / "p" / f"{stem}.sigmf-data").read_bytes() == (ints / f"{stem}.sigmf-data").read_bytes()
    assert quorvin.read_sigmf(tmp_path / "p" / stem)[1]["global"]["quorvin:full_scale"] == meta["global"]["quorvin:full_scale"]
    rms = np.sqrt(np.mean(np.abs(exact.astype(np.complex128)) ** 2))
    # A peak beyond the nominal full scale (4 RMS), one level below the rail once written.
    assert max(np.max(np.abs(exact.real)), np.max(np.abs(exact.imag))) > 4 * rms
    assert np.max(np.abs(np.fromfile(ints / f"{stem}.sigmf-data", dtype="<i2"))) == 32766
    margin = meta["global"]["quorvin:full_scale"] / 32767 / 2 + 2 * np.finfo(np.float32).eps * np.abs(exact)
    assert np.all(np.abs(levels.real - exact.real) <= margin) and np.all(np.abs(levels.imag - exact.imag) <= margin)


@pytest.mark.parametrize("text, message", [("1,2\n3\n", "not a sample file of I,Q lines"),
                                           ("1,2,3\n", "3 numbers a line, not I,Q")])
def test_csv_reader_refuses_other_text_naming_the_file(tmp_path, text, message):
    (tmp_path / "x.csv").write_text(text)
    with pytest.raises(ValueError) as raised:
        quorvin.read_csv(tmp_path / "x.csv")
    assert str(raised.value).startswith(f"{tmp_path / 'x.csv'}: {message}")


def test_the_package_version_is_the_programs():
    printed = subprocess.run([CLI, "-V"], check=True, capture_output=True, text=True).stdout.split()
    assert printed == ["quorvin-cli", quorvin.__version__]


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


def test_a_config_file_gives_the_command_lines_items(tmp_path):
    path = tmp_path / "d.toml"
    path.write_text('modulations = ["QPSK", "AM", "GMSK"]\nsignal-model = "exact"\nsample-rate = 100000\n'
                    'samples-per-file = 300\nsnr-min = -3.5\nfiles-per-modulation = 2\nseed = 17\n'
                    'fading = "rician"\ncarrier-phase = true\nformat = "sigmf"\nmanifest = "' +
                    str(tmp_path / "m.csv") + '"\n')
    subprocess.run([CLI, "--config", str(path), "--no-progress", "-q", "-o", str(tmp_path / "out")], check=True)
    ds = quorvin.Dataset.from_file(path)
    rows = quorvin.read_manifest(tmp_path / "m.csv")
    rows = rows.to_dict("records") if hasattr(rows, "to_dict") else rows
    assert len(ds) == len(rows) == 6
    for position, row in enumerate(rows):
        recorded, _ = quorvin.read_sigmf(tmp_path / row["sample_file"])
        assert ds[position][0].tobytes() == recorded.tobytes()
    assert quorvin.Config.from_file(path).options == ds.config.options


# Bad files of options, and what each front end makes of a good one: test_config_front_ends.py.


def test_the_default_is_the_exact_model_and_every_name_fits_with_its_own_samples_per_symbol(tmp_path):
    # A bare run of the classic model's 24 names: the exact model, each digital name at 2 to 16 samples per symbol,
    # or from the fewest at which it fits the band (M-FSK: (M - 1) h + 2 at h = 1) to 8 times that.
    subprocess.run([CLI, "-m", "all,CW,QAM1024", "--files-per-modulation", "4", "--seed", "2", "--num-symbols", "50",
                    "--manifest", str(tmp_path / "m.csv"), "-q", "-o", str(tmp_path)], check=True)
    rows = list(csv.DictReader(open(tmp_path / "m.csv", newline="")))
    assert len(rows) == 4 * 24 and {row["signal_model"] for row in rows} == {"exact"}
    fsk = {"2FSK": 2, "4FSK": 4, "8FSK": 8}
    for row in rows:
        if row["symbol_rate"] == "":
            continue
        per_symbol = float(row["sample_rate"]) / float(row["symbol_rate"])
        fewest = 2.0
        if row["modulation"] in fsk:  # the widest FSK band and the 100 Hz offset must fit in fs / 2
            fewest = (fsk[row["modulation"]] + 1) / (1 - 2 * 100 / float(row["sample_rate"]))
        assert fewest * (1 - 1e-9) <= per_symbol <= 8 * fewest * (1 + 1e-9), row["modulation"]
    assert quorvin.Dataset(quorvin.Config("QPSK"), 1, seed=1)[0][1]["signal_model"] == "exact"

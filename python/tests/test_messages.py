"""Mistakes a user makes, each refused (or warned of) with a message that names what was meant,
as quorvin-cli's own refusals of the same mistakes do."""

import os
import subprocess
import sys
import warnings

import pytest

import quorvin
from quorvin import distributed

CLI = os.environ.get("QUORVIN_CLI", "quorvin-cli")
KNOWN = "The known ones are " + ", ".join(quorvin.classes) + "; or all, every, " + \
    ", ".join(dict.fromkeys(row["group"] for row in quorvin._core.catalogue()))


@pytest.mark.parametrize("modulations, options, message", [
    ("qpsk", {}, "unknown modulation 'qpsk'; did you mean QPSK? " + KNOWN),
    ("QAM-16", {}, "unknown modulation 'QAM-16'; did you mean QAM16? " + KNOWN),
    ("QPSK,QPKS", {}, "unknown modulation 'QPKS'; did you mean QPSK? " + KNOWN),
    ("QAM", {}, "unknown modulation 'QAM'; did you mean qam? " + KNOWN),
    ("zzz", {}, "unknown modulation 'zzz'; t" + KNOWN[1:]),
    ("QPSK", {"sampel_rate": 1e5}, "unknown argument sampel_rate; did you mean sample_rate?"),
    ("QPSK", {"snr_mni": 3}, "unknown argument snr_mni; did you mean snr_min?"),
    ("QPSK", {"frobnicate": 1}, "unknown argument frobnicate"),
    # The core's refusals of a choice suggest the nearest, in the command line's words.
    ("QPSK", {"pulse": "rct"}, "pulse takes rrc, rect or linear, not 'rct'; did you mean rect?"),
    ("QPSK", {"fading": "raylegh"}, "fading takes none, rayleigh or rician, not 'raylegh'; did you mean rayleigh?"),
    ("QPSK", {"signal_model": "exakt"}, "signal_model takes classic or exact, not 'exakt'; did you mean exact?"),
])
def test_a_mistake_is_refused_naming_what_was_meant(modulations, options, message):
    with pytest.raises(ValueError) as raised:
        quorvin.Config(modulations, **options)
    assert str(raised.value) == message


@pytest.mark.parametrize("text, message", [
    ('modulations = "QPSK"\nsampel-rate = 3\n', "line 2: unknown key 'sampel-rate'; did you mean sample-rate?"),
    # The key is told before the missing seed: the seed is not what is wrong.
    ('modulations = "QPSK"\nsnr-mni = 3\nseed = 1\n', "line 2: unknown key 'snr-mni'; did you mean snr-min?"),
    ('modulations = "QPSK"\nsnr-min = 3\n', "no seed, so no reproducible dataset"),
])
def test_a_misspelt_key_of_a_config_file_is_named_before_a_missing_seed(tmp_path, text, message):
    path = tmp_path / "typo.toml"
    path.write_text(text)
    with pytest.raises(ValueError) as raised:
        quorvin.Dataset.from_file(path)
    assert str(raised.value) == f"--config {path}: {message}"


@pytest.mark.parametrize("arguments, options, cli_text, python_text", [
    (["--snr-min", "20", "--snr-max", "0"], {"snr": (20, 0)}, "--snr-min 20 is above --snr-max 0",
     "snr (minimum) 20 is above snr (maximum) 0"),
    (["--amplitude-min", "2"], {"amplitude_min": 2}, "--amplitude-min 2 is above --amplitude-max 1",
     "amplitude_min 2 is above amplitude (maximum) 1"),
])
def test_a_reversed_range_is_warned_of_as_the_command_line_warns(tmp_path, arguments, options, cli_text, python_text):
    told = subprocess.run([CLI, "-m", "QPSK", *arguments, "--num-symbols", "10", "-q", "-o", str(tmp_path)],
                          capture_output=True, text=True)
    drawn = "; values are drawn between the two all the same"
    assert (told.returncode, told.stderr) == (0, f"quorvin-cli: warning: {cli_text}{drawn}\n")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        config = quorvin.Config("QPSK", **options)
    assert [(w.category, str(w.message), w.filename) for w in caught] == [(UserWarning, python_text + drawn, __file__)]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        quorvin.Dataset(config, 1, 1)[0]  # told once, where the settings were given


def test_read_hdf5_of_a_folder_names_what_in_it_can_be_read(tmp_path):
    with pytest.raises(ValueError) as raised:
        quorvin.read_hdf5(tmp_path)
    assert str(raised.value) == (f"{tmp_path}: a folder, not an HDF5 container; give read_hdf5 the dataset.h5 of a "
                                 "--format hdf5 run, or read_sigmf a recording")
    (tmp_path / "QPSK_signal_1.sigmf-meta").write_text("{}")
    with pytest.raises(ValueError) as raised:
        quorvin.read_hdf5(tmp_path)
    assert str(raised.value) == (f"{tmp_path}: a folder, not an HDF5 container; its SigMF recordings are read one by "
                                 "one with read_sigmf")
    (tmp_path / "dataset-1-of-2.h5").write_bytes(b"")
    with pytest.raises(ValueError) as raised:
        quorvin.read_hdf5(tmp_path)
    assert str(raised.value) == (f"{tmp_path}: a folder, not an HDF5 container; read_hdf5 reads the container in it, "
                                 f"{tmp_path / 'dataset-1-of-2.h5'}")


@pytest.mark.parametrize("arguments, message", [
    (["-m", "QPSK", "--seed", "1", "--sampel-rate", "3"], "unrecognized arguments: --sampel-rate 3; did you mean --sample-rate?"),
    (["-m", "QPSK", "--seed", "1", "--schedulr=tcp://h:1"], "unrecognized arguments: --schedulr=tcp://h:1; did you mean --scheduler or --scheduler-file?"),
    (["-m", "QPSK", "--seed", "1", "--frobnicate"], "unrecognized arguments: --frobnicate"),
    (["merge", "-o", "m.csv", "--shrads", "2"], "unrecognized arguments: --shrads; did you mean --shards?"),
    (["-m", "QPSK", "--seed", "1", "--connect-timeout", "0"], "--connect-timeout takes a number of seconds above 0, not 0.0"),
])
def test_the_distributed_command_line_suggests_its_own_options(capsys, arguments, message):
    with pytest.raises(SystemExit) as ended:
        distributed.main(arguments)
    assert ended.value.code == 2
    assert capsys.readouterr().err.splitlines()[-1] == f"python3 -m quorvin.distributed{' merge' * (arguments[0] == 'merge')}: error: {message}"


@pytest.mark.parametrize("where, message", [
    # Nothing listens on the discard port: refused at once, or within the timeout.
    (["--scheduler", "tcp://127.0.0.1:9"], "cannot reach the Dask scheduler of --scheduler tcp://127.0.0.1:9 within 1 s ("),
    (["--scheduler-file", "MISSING"], "cannot reach the Dask scheduler of --scheduler-file MISSING within 1 s (MISSING: No such file or directory)"),
    (["--scheduler-file", "NOT-JSON"], "cannot reach the Dask scheduler of --scheduler-file NOT-JSON within 1 s (the file holds no "
     "scheduler's address (JSON with \"address\"))"),
])
def test_an_unreachable_scheduler_is_one_line_and_status_one(tmp_path, where, message):
    pytest.importorskip("distributed")
    (tmp_path / "NOT-JSON").write_text("address = 1\n")
    where = [str(tmp_path / w) if w in ("MISSING", "NOT-JSON") else w for w in where]
    message = message.replace("MISSING", str(tmp_path / "MISSING")).replace("NOT-JSON", str(tmp_path / "NOT-JSON"))
    ended = subprocess.run([sys.executable, "-m", "quorvin.distributed", "-m", "QPSK", "--seed", "1", *where,
                            "--connect-timeout", "1", "-o", str(tmp_path / "out")], capture_output=True, text=True, timeout=60)
    assert ended.returncode == 1
    assert ended.stderr.startswith("quorvin.distributed: " + message) and ended.stderr.count("\n") == 1, ended.stderr
    assert not (tmp_path / "out").exists()

"""One table of --config files through the four front ends that read them: quorvin-cli --config,
quorvin.Config.from_file, quorvin.Dataset.from_file and python3 -m quorvin.distributed --config.
A good file makes the same items everywhere (quorvin-cli's SigMF bytes); a bad one the same
refusal, word for word ({F} stands for the file as named)."""

import os
import subprocess

import pytest

import quorvin
from quorvin import distributed

CLI = os.environ.get("QUORVIN_CLI", "quorvin-cli")

KNOWN = ", ".join(quorvin.classes)
SELECTIONS = ", ".join(quorvin._SELECTIONS)

GOOD = {
    "lists_comments_and_a_trailing_comma": (
        "# a run of two names\n"
        'modulations = [\n  "QPSK",  # the first\n  "AM",\n]\n'
        'signal-model = "exact"\nsample-rate = 50000\nsamples-per-file = 256\nseed = 3\n'),
    "short_name_numbers_and_flags": (
        'm = "GMSK, FM"\nseed = 5\nfiles-per-modulation = 2\nsnr-min = 0\nsnr-max = 10.5\n'
        "carrier-phase = true\nsave-symbols = false\nnum-symbols = 64\nsample-rate = 1e5\n"),
    # A flag set false is one not given: the classic model takes the file though carrier-phase is the exact model's.
    "literal_text_and_the_classic_model": (
        "modulations = 'BPSK'\nseed = 0\nsignal-model = \"classic\"\nnum-symbols = 50\nsave-settings = false\n"
        "carrier-phase = false\n"),
    "quoted_key_and_the_largest_seed": '"modulations" = "QPSK"\nseed = 4294967295\nper-name = "QPSK:snr=5..10"\n',
}

BAD = {
    "text_unquoted": ("modulations = QPSK\nseed = 1\n",
                      '--config {F}: line 1: modulations = QPSK: a text is written in quotes (modulations = "QPSK")'),
    "list_item_unquoted": ("modulations = [QPSK]\nseed = 1\n",
                           '--config {F}: line 1: modulations = QPSK: a text is written in quotes '
                           '(modulations = "QPSK")'),
    "list_not_closed": ('seed = 1\nmodulations = ["QPSK"\nsample-rate = 1000\n',
                        "--config {F}: line 2: the list of modulations is not closed (a ] is missing)"),
    "list_not_closed_at_the_end": ('seed = 1\nmodulations = ["QPSK",\n',
                                   "--config {F}: line 2: the list of modulations is not closed (a ] is missing)"),
    "text_not_closed": ('seed = 1\nmodulations = "QPSK\n',
                        '--config {F}: line 2: the text of modulations is not closed (a " is missing)'),
    "key_given_twice": ('modulations = "AM"\nseed = 1\nsnr-min = 1\nsnr-min = 2\n',
                        "--config {F}: line 4: the key snr-min is given again (first on line 3); give it once"),
    "flag_given_twice_once_false": ('modulations = "AM"\nseed = 1\nsave-settings = false\nsave-settings = true\n',
                                    "--config {F}: line 4: the key save-settings is given again (first on line 3); "
                                    "give it once"),
    "names_given_twice": ('modulations = ["AM"]\nseed = 1\nmodulations = "FM"\n',
                          "--config {F}: line 3: the key modulations is given again (first on line 1); give it once"),
    "alias_beside_its_name": ('modulations = ["AM"]\nseed = 1\nm = "FM"\n',
                              "--config {F}: line 3: m and modulations (line 1) both give --modulations; give one "
                              "of them"),
    "flag_yes": ('modulations = "AM"\nseed = 1\nsave-settings = "yes"\n',
                 '--config {F}: line 3: save-settings takes true or false, not "yes"'),
    "flag_quoted_true": ('modulations = "AM"\nseed = 1\nsave-settings = "true"\n',
                         '--config {F}: line 3: save-settings takes true or false, not "true"'),
    "flag_one": ('modulations = "AM"\nseed = 1\ncarrier-phase = 1\n',
                 "--config {F}: line 3: carrier-phase takes true or false, not 1"),
    "number_given_true": ('modulations = "AM"\nseed = 1\nsample-rate = true\n',
                          "--config {F}: line 3: sample-rate takes a number above 0, not true"),
    "list_for_one_value": ('modulations = "AM"\nseed = 1\nsample-rate = [1, 2]\n',
                           "--config {F}: line 3: sample-rate takes one value, not a list: a number above 0, "
                           "not [1, 2]"),
    "names_as_a_number": ("modulations = 4\nseed = 1\n",
                          '--config {F}: line 1: modulations takes a text of names or a list of texts ("QPSK,AM" or '
                          '["QPSK", "AM"]), not 4'),
    "unknown_key": ('modulations = "AM"\nseed = 1\nsample-rte = 3\n',
                    "--config {F}: line 3: unknown key 'sample-rte'; did you mean sample-rate?"),
    "python_keyword_as_key": ('modulations = "AM"\nseed = 1\nsample_rate = 3\n',
                              "--config {F}: line 3: unknown key 'sample_rate'; did you mean sample-rate?"),
    "section": ('modulations = "AM"\n[run]\nseed = 1\n',
                "--config {F}: line 2: sections ('[run]') are not taken; write each key at the top level"),
    "inline_table": ('modulations = "AM"\nseed = 1\nper-name = {QPSK = 1}\n',
                     "--config {F}: line 3: per-name: inline tables ({...}) are not taken"),
    "no_equals": ('modulations = "AM"\nseed = 1\nsample-rate 1000\n',
                  "--config {F}: line 3: takes lines of key = value, not 'sample-rate 1000'"),
    "more_after_the_value": ('modulations = "AM"\nseed = 1\nsample-rate = 1000 Hz\n',
                             "--config {F}: line 3: after the value of sample-rate only a comment may follow, "
                             "not 'Hz'"),
    "no_value": ('modulations = "AM"\nseed = 1\nsample-rate =\n', "--config {F}: line 3: sample-rate has no value"),
    "bad_escape": ('modulations = "A\\M"\nseed = 1\n',
                   "--config {F}: line 1: the text of modulations holds \\M, which is no escape "
                   '(\\" \\\\ \\n \\t \\r are)'),
    "seed_negative": ('modulations = "AM"\nseed = -1\n',
                      "--config {F}: line 2: seed takes a whole number from 0 to 4294967295, not '-1'"),
    "jobs_zero": ('modulations = "AM"\nseed = 1\njobs = 0\n',
                  "--config {F}: line 3: jobs takes a whole number of files at once from 1 to 1024, not '0'"),
    "format_unknown": ('modulations = "AM"\nseed = 1\nformat = "wav"\n',
                       "--config {F}: line 3: format takes csv, sigmf or hdf5, not 'wav'"),
    # Values the options' own reader refuses: the form's message first where the box has one.
    "box_value": ('modulations = "QPSK"\nseed = 1\nsymbol-rate-min = 0\n',
                  "--config {F}: Invalid Symbol Rate Min. --symbol-rate-min takes a number above 0, not '0'"),
    "box_text": ('modulations = "QPSK"\nseed = 1\nsample-rate = "10k"\n',
                 "--config {F}: Invalid Sample Rate. --sample-rate takes a number above 0, not '10k'"),
    "exact_value": ('modulations = "QPSK"\nseed = 1\nsignal-model = "exact"\nrolloff-max = 2\n',
                    "--config {F}: --rolloff-max takes a number from 0 to 1, not '2'"),
    "exact_whole_number": ('modulations = "QPSK"\nseed = 1\nscene = "wideband"\nemitters-max = 65\n',
                           "--config {F}: --emitters-max takes a whole number from 1 to 64, not '65'"),
    "unknown_name": ('modulations = "QPSKK"\nseed = 1\n',
                     f"--config {{F}}: unknown modulation 'QPSKK'; did you mean QPSK? Known: {KNOWN}; or {SELECTIONS}"),
    "too_large": ("#" * (2**20 + 1),
                  "--config {F} holds 1048577 bytes; it takes a regular file of options of at most 1 MiB"),
    "fifo": (None, "--config {F} is not a regular file; it takes a regular file of options of at most 1 MiB"),
    "folder": ("folder", "--config {F} is a folder; it takes a regular file of options of at most 1 MiB"),
    "missing": ("missing", "--config {F} cannot be read"),
}


def _file(tmp_path, text):
    path = tmp_path / "run.toml"
    if text is None:
        os.mkfifo(path)  # which opening would wait on for a writer
    elif text == "folder":
        path.mkdir()
    elif text != "missing":
        path.write_bytes(text.encode())
    return path


def _cli_refusal(path):
    run = subprocess.run([CLI, "--config", str(path), "--no-progress", "-q", "-o", str(path.parent / "out")],
                         capture_output=True, text=True, timeout=60)
    assert run.returncode == 2, run.stderr
    told = run.stderr.removeprefix("quorvin-cli: ")
    return told.removesuffix("\nRun with --help for the options.\n").removesuffix("\n")


def _python_refusal(read, path):
    with pytest.raises((ValueError, FileNotFoundError)) as raised:
        read(path)
    return str(raised.value)


def _distributed_refusal(path, capsys):
    try:
        status = distributed.main(["--config", str(path)])
    except SystemExit as exited:  # a file that gives no entries is refused with the command line
        status = exited.code
    assert status == 2
    return capsys.readouterr().err.removeprefix("quorvin.distributed: ").removesuffix("\n")


@pytest.mark.parametrize("text, message", BAD.values(), ids=BAD.keys())
def test_a_bad_file_is_refused_alike_by_every_front_end(tmp_path, capsys, text, message):
    path = _file(tmp_path, text)
    expected = message.replace("{F}", str(path))
    told = {
        "quorvin-cli": _cli_refusal(path),
        "Config.from_file": _python_refusal(quorvin.Config.from_file, path),
        "Dataset.from_file": _python_refusal(quorvin.Dataset.from_file, path),
        "quorvin.distributed": _distributed_refusal(path, capsys),
    }
    assert told == dict.fromkeys(told, expected)


@pytest.mark.parametrize("text", GOOD.values(), ids=GOOD.keys())
def test_a_good_file_makes_the_same_items_in_every_front_end(tmp_path, text):
    path = _file(tmp_path, text)
    subprocess.run([CLI, "--config", str(path), "--format", "sigmf", "--manifest", str(tmp_path / "m.csv"),
                    "--no-progress", "-q", "-o", str(tmp_path / "out")], check=True, timeout=120)
    rows = quorvin.read_manifest(tmp_path / "m.csv")
    rows = rows.to_dict("records") if hasattr(rows, "to_dict") else rows
    recorded = [quorvin.read_sigmf(tmp_path / row["sample_file"])[0].tobytes() for row in rows]
    from_file = quorvin.Dataset.from_file(path)
    config = quorvin.Config.from_file(path)
    _, _, from_command = distributed._request(["--config", str(path)])
    datasets = {
        "Dataset.from_file": from_file,
        "Config.from_file": quorvin.Dataset(config, from_file.files_per_modulation, from_file.seed),
        "quorvin.distributed": from_command,
    }
    for name, dataset in datasets.items():
        assert [dataset[p][0].tobytes() for p in range(len(dataset))] == recorded, name


@pytest.mark.parametrize("file, arguments, expected", [
    # The command line's value is told as typed there, without the file's name.
    ('modulations = "AM"\nseed = 1\nsample-rate = 1000\n', ["--sample-rate", "x"],
     "Invalid Sample Rate. --sample-rate takes a number above 0, not 'x'"),
    ('modulations = "AM"\nseed = 1\n', ["-m", "QPSKK"],
     f"unknown modulation 'QPSKK'; did you mean QPSK? Known: {KNOWN}; or {SELECTIONS}"),
    # A file's value the command line replaces is never read.
    ('modulations = "AM"\nseed = 1\nsample-rate = "10k"\n', ["--sample-rate", "20000"], None),
    # The file's refusal is still told when the command line gives other options.
    ('modulations = "AM"\nseed = 1\nsnr-min = "x"\n', ["--sample-rate", "20000"],
     "--config {F}: Invalid SNR Min. --snr-min takes a finite number, or inf at both ends for no noise, not 'x'"),
])
def test_the_command_line_wins_over_the_file(tmp_path, capsys, file, arguments, expected):
    path = _file(tmp_path, file)
    run = subprocess.run([CLI, "--config", str(path), *arguments, "--no-progress", "-q", "-o", str(tmp_path / "out")],
                         capture_output=True, text=True, timeout=60)
    if expected is None:
        assert run.returncode == 0, run.stderr
        _, texts, dataset = distributed._request(["--config", str(path), *arguments])
        assert texts["--sample-rate"] == "20000" and len(dataset) == 1
        return
    told = run.stderr.removeprefix("quorvin-cli: ").removesuffix("\nRun with --help for the options.\n")
    assert told.removesuffix("\n") == expected.replace("{F}", str(path))
    assert distributed.main(["--config", str(path), *arguments]) == 2
    assert capsys.readouterr().err == f"quorvin.distributed: {expected.replace('{F}', str(path))}\n"

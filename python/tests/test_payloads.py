"""A standard's payload given by the user: quorvin-cli --payload FILE, a --config file's payload key
and Config(payloads=[...]) send the same bytes in the same files, and refuse alike."""

import os
import subprocess

import pytest

import quorvin

CLI = os.environ.get("QUORVIN_CLI", "quorvin-cli")

# A published identification (KLM1023) and airborne velocity ME field.
GIVEN = [bytes.fromhex("202CC371C32CE0"), bytes.fromhex("99440994083817")]
OPTIONS = {"samples_per_file": 40000, "snr": ("inf", "inf")}


def _payload_file(tmp_path):
    path = tmp_path / "payloads.txt"
    path.write_text("".join(payload.hex(" ").upper() + "\r\n" for payload in GIVEN))
    return path


def test_the_command_line_the_config_file_and_python_send_the_same(tmp_path):
    path = _payload_file(tmp_path)
    subprocess.run([CLI, "-m", "ADS-B", "--payload", str(path), "--samples-per-file", "40000", "--snr-min", "inf",
                    "--snr-max", "inf", "--files-per-modulation", "3", "--seed", "9", "--format", "sigmf",
                    "--manifest", str(tmp_path / "m.csv"), "--no-progress", "-q", "-o", str(tmp_path / "out")],
                   check=True, timeout=120)
    rows = quorvin.read_manifest(tmp_path / "m.csv")
    rows = rows.to_dict("records") if hasattr(rows, "to_dict") else rows
    recorded = [quorvin.read_sigmf(tmp_path / row["sample_file"])[0].tobytes() for row in rows]
    config_file = tmp_path / "run.toml"
    config_file.write_text(f'modulations = "ADS-B"\npayload = "{path}"\nsamples-per-file = 40000\nsnr-min = "inf"\n'
                           'snr-max = "inf"\nfiles-per-modulation = 3\nseed = 9\n')
    datasets = {
        "payloads": quorvin.Dataset(quorvin.Config("ADS-B", payloads=GIVEN, **OPTIONS), 3, 9),
        "Config.from_file": quorvin.Dataset.from_file(config_file),
    }
    for name, dataset in datasets.items():
        assert [dataset[p][0].tobytes() for p in range(len(dataset))] == recorded, name
        # File k sends entry k, again from the first past the last.
        labels = [dataset[p][1] for p in range(len(dataset))]
        assert [label.get("call_sign") for label in labels] == ["KLM1023", None, "KLM1023"], name
        assert labels[1]["east_velocity"] == -8 and labels[1]["north_velocity"] == -159, name


@pytest.mark.parametrize("names, payloads, error, message", [
    ("AIS", [bytes(21), b"\x01\x02"], ValueError,
     "payloads[0] ('000000000000000000000000000000000000000000'): AIS cannot send it: the payload is a position report, "
     "message type 1, 2 or 3 (its first 6 bits), not 0"),
    ("ADS-B", [GIVEN[0], b"\x01\x02"], ValueError,
     "payloads[1] ('0102'): ADS-B cannot send it: the payload is the 56-bit ME field: 7 bytes, not 2"),
    ("ADS-B,QPSK", GIVEN, ValueError,
     "payloads applies to the standards' emitters (ADS-B, POCSAG, AIS, APRS, BLE, 802.11a/g), not to QPSK"),
    ("POCSAG", [b"caf\xe9"], ValueError,
     "payloads[0] ('636166E9'): POCSAG cannot send it: the payload is the message's text: numeric (0-9 * U space - ) () "
     "or 7-bit ASCII without NUL"),
    ("ADS-B", b"\x20\x2c", TypeError, "payloads takes a list of bytes objects, one a file, not b' ,'"),
    ("ADS-B", ["202CC371C32CE0"], TypeError, "payloads takes a list of bytes objects, one a file, not one holding '202CC371C32CE0'"),
    ("ADS-B", [], ValueError, "payloads takes one bytes object or more, not an empty list"),
])
def test_a_payload_that_cannot_be_sent_is_refused_naming_its_entry(names, payloads, error, message):
    with pytest.raises(error) as refused:
        quorvin.Config(names, payloads=payloads)
    assert str(refused.value) == message


def test_a_missing_file_is_refused_by_every_front_end_alike(tmp_path):
    missing = tmp_path / "none.txt"
    config_file = tmp_path / "run.toml"
    config_file.write_text(f'modulations = "ADS-B"\npayload = "{missing}"\nseed = 1\n')
    run = subprocess.run([CLI, "--config", str(config_file), "--no-progress", "-q", "-o", str(tmp_path / "out")],
                         capture_output=True, text=True, timeout=60)
    told = f"--config {config_file}: --payload {missing} cannot be read"
    assert run.returncode == 2 and run.stderr == f"quorvin-cli: {told}\n"
    with pytest.raises(FileNotFoundError) as refused:
        quorvin.Config.from_file(config_file)
    assert str(refused.value) == told

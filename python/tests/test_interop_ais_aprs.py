"""AIS and APRS recordings written by quorvin-cli, FM-discriminated to audio here and decoded by
independent receivers packaged by Debian: multimon-ng's AFSK1200 demodulator and direwolf's atest
for APRS, gnuais for AIS. Every frame a file's labels place must decode, with the fields its
labels give. Each decoder is optional: a test is skipped, with its reason, where it is absent."""

import glob
import math
import os
import re
import shutil
import subprocess
import wave

import numpy as np
import pytest

import quorvin

CLI = os.environ.get("QUORVIN_CLI", "quorvin-cli")


def recordings(tmp_path, name, *options):
    """Each file of a run of `name` at 25 dB: its samples and global metadata."""
    out = tmp_path / name
    subprocess.run([CLI, "-m", name, "--signal-model", "exact", "--files-per-modulation", "3", "--seed", "9",
                    "--snr-min", "25", "--snr-max", "25", "--frequency-offset-min", "-500",
                    "--frequency-offset-max", "500", "--format", "sigmf", "-o", str(out), *options],
                   check=True, capture_output=True)
    files = sorted(glob.glob(str(out / f"{name}_signal_*.sigmf-data")))
    assert files
    for path in files:
        samples, meta = quorvin.read_sigmf(path)
        yield samples, meta["global"]


def audio(samples, rate, full_scale_hz):
    """The discriminator's output, Hz of instantaneous frequency, as 16-bit audio with
    `full_scale_hz` at half scale; its mean (the carrier's offset) taken out."""
    x = samples.astype(np.complex128)
    hz = np.angle(x[1:] * np.conj(x[:-1])) * rate / (2 * math.pi)
    hz -= np.mean(hz[np.abs(x[1:]) > 0.5])
    return np.clip(np.round(hz / full_scale_hz * 16384), -32767, 32767).astype("<i2")


def labels_of(meta, key):
    return meta.get("quorvin:" + key)


def aprs_lines(meta):
    """The frame as TNC-2 text (source>destination,path:information) and its count."""
    via = labels_of(meta, "aprs_via")
    head = labels_of(meta, "aprs_source") + ">" + labels_of(meta, "aprs_destination") + ("," + via if via else "")
    return head + ":" + labels_of(meta, "aprs_info"), len(labels_of(meta, "frame_starts"))


def needs(program, package):
    if shutil.which(program) is None:
        pytest.skip(f"{program} is not installed (Debian's optional package {package}: see scripts/install-deps.sh)")


APRS_OPTIONS = ("--num-symbols", "6000")


def test_multimon_ng_decodes_every_aprs_frame(tmp_path):
    needs("multimon-ng", "multimon-ng")
    for samples, meta in recordings(tmp_path, "APRS", *APRS_OPTIONS):
        assert meta["core:sample_rate"] == 22050  # the rate its AFSK1200 demodulator reads
        raw = tmp_path / "aprs.raw"
        audio(samples, 22050, 5000).tofile(raw)
        run = subprocess.run(["multimon-ng", "-q", "-t", "raw", "-a", "AFSK1200", str(raw)],
                             capture_output=True, text=True, timeout=120, check=True)
        # "AFSK1200: fm SRC-1 to DEST-0 via PATH UI^ pid=F0" then the information field on its own line.
        found = re.findall(r"AFSK1200: fm (\S+) to (\S+)(?: via (\S+))? UI\S* +pid=F0\n(.*)\n", run.stdout)
        _, count = aprs_lines(meta)
        assert len(found) == count, run.stdout
        destination = labels_of(meta, "aprs_destination")
        for source, to, via, info in found:
            assert source == labels_of(meta, "aprs_source")
            assert to in (destination, destination + "-0")
            assert via == (labels_of(meta, "aprs_via") or "")
            assert info == labels_of(meta, "aprs_info")


def test_direwolf_decodes_every_aprs_frame(tmp_path):
    needs("atest", "direwolf")
    for samples, meta in recordings(tmp_path, "APRS", *APRS_OPTIONS):
        path = tmp_path / "aprs.wav"
        with wave.open(str(path), "wb") as w:
            w.setnchannels(1)
            w.setsampwidth(2)
            w.setframerate(int(meta["core:sample_rate"]))
            w.writeframes(audio(samples, meta["core:sample_rate"], 5000).tobytes())
        run = subprocess.run(["atest", "-B", "1200", str(path)], capture_output=True, text=True, timeout=120, check=True)
        plain = re.sub(r"\x1b\[[0-9;]*[A-Za-z]", "", run.stdout)
        decoded = re.findall(r"^\[\d+\] (.*)$", plain, re.M)
        line, count = aprs_lines(meta)
        assert decoded == [line] * count, plain
        # Its position as the information field writes it, read back to the labels' degrees.
        lat = re.match(r"!(\d\d)(\d\d\.\d\d)([NS])/(\d{3})(\d\d\.\d\d)([EW])", labels_of(meta, "aprs_info"))
        latitude = (int(lat[1]) + float(lat[2]) / 60) * (1 if lat[3] == "N" else -1)
        longitude = (int(lat[4]) + float(lat[5]) / 60) * (1 if lat[6] == "E" else -1)
        assert latitude == pytest.approx(labels_of(meta, "latitude"), abs=1e-9)
        assert longitude == pytest.approx(labels_of(meta, "longitude"), abs=1e-9)


def unarmour(payload):
    """An AIVDM sentence's payload as its bits: each character's 6-bit value, most significant first."""
    bits = ""
    for c in payload:
        v = ord(c) - 48
        bits += format(v - 8 if v > 40 else v, "06b")
    return bits


def test_gnuais_decodes_every_ais_burst(tmp_path):
    needs("gnuais", "gnuais")
    work = tmp_path / "gnuais"
    work.mkdir()
    # Its configuration from the folder it runs in: both channels of the sound, nothing else.
    (work / "gnuais.conf").write_text("SoundChannels both\n")
    for samples, meta in recordings(tmp_path, "AIS", "--num-symbols", "6000", "--ais-gap-max", "2"):
        assert meta["core:sample_rate"] == 48000  # the rate it reads
        raw = work / "ais.raw"
        # Its raw input is 16-bit stereo: the same audio on both channels (A and B), low enough for
        # its level check, a tenth of a second of silence either side for its filters to fill and drain.
        quiet = np.zeros(4800, dtype="<i2")
        np.repeat(np.concatenate([quiet, audio(samples, 48000, 48000), quiet]), 2).astype("<i2").tofile(raw)
        run = subprocess.run(["gnuais", "-l", str(raw), "-o", "stderr", "-e", "DEBUG"], cwd=work,
                             capture_output=True, text=True, timeout=120)
        said = run.stdout + run.stderr
        count = len(labels_of(meta, "frame_starts"))
        assert re.search(rf"A: Received correctly: {count} packets, wrong CRC: 0", said), said[-2000:]
        sentences = re.findall(r"^ch A type (\d) mmsi (\d+): lat (\S+) lon (\S+) course (\S+) speed (\S+) .*heading (\d+) "
                               r"\(!AIVDM,1,1,,A,([^,]+),0\*", said, re.M)
        assert len(sentences) == count, said[-2000:]
        for kind, mmsi, lat, lon, course, speed, heading, payload in sentences:
            assert int(kind) == labels_of(meta, "ais_message_type")
            assert int(mmsi) == labels_of(meta, "mmsi")
            # Worked out in single precision (a unit in the last place is 4e-6 degrees near 60): the
            # payload below is the exact check.
            assert float(lat) == pytest.approx(labels_of(meta, "latitude"), abs=1e-5)
            assert float(lon) == pytest.approx(labels_of(meta, "longitude"), abs=1e-5)
            assert float(course) == pytest.approx(labels_of(meta, "course_over_ground"), abs=0.5)
            assert float(speed) == pytest.approx(labels_of(meta, "speed_over_ground"), abs=1e-9)
            assert int(heading) == labels_of(meta, "true_heading")
            assert unarmour(payload) == labels_of(meta, "ais_payload")

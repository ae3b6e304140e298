"""ADS-B and POCSAG recordings read by independent decoders packaged by Debian: dump1090-mutability
for the squitters (8-bit unsigned I/Q at 2.4 MHz, the rate it samples at) and multimon-ng for the
pages (an FM discriminator's audio, signed 16-bit at 22050 Hz). Every frame the labels list must
be decoded, each with the fields the labels give. Each decoder is optional: its tests skip without it."""

import json
import math
import os
import re
import shutil
import subprocess

import numpy as np
import pytest

CLI = os.environ.get("QUORVIN_CLI", "quorvin-cli")
DUMP1090 = "dump1090-mutability"
MULTIMON = "multimon-ng"


def needs(program):
    return pytest.mark.skipif(shutil.which(program) is None, reason=f"{program} is not installed (optional)")


def record(folder, name, files, options):
    """quorvin-cli's SigMF files of `name`; each as (complex samples, sample rate, labels)."""
    subprocess.run([CLI, "-m", name, "--files-per-modulation", str(files), "--format", "sigmf", "--seed", "11",
                    "--no-progress", "-q", "-o", str(folder)] + options, check=True)
    out = []
    for i in range(1, files + 1):
        stem = folder / f"{name}_signal_{i}"
        meta = json.loads(stem.with_suffix(".sigmf-meta").read_text())["global"]
        x = np.fromfile(stem.with_suffix(".sigmf-data"), dtype="<c8").astype(np.complex128)
        out.append((x, meta["core:sample_rate"], {k.removeprefix("quorvin:"): v for k, v in meta.items()}))
    return out


def resample(x, rate, new_rate, taps_per_side=24):
    """x read at new_rate by a Hann-windowed sinc whose cut-off is the lower rate's half."""
    step = rate / new_rate
    cut = 0.5 * min(1.0, new_rate / rate)  # cycles per input sample
    reach = taps_per_side * max(1.0, step)
    t = np.arange(0.0, len(x) - 1, step)
    k = np.floor(t).astype(np.int64)[:, None] + np.arange(-math.ceil(reach), math.ceil(reach) + 1)[None, :]
    d = t[:, None] - k
    w = 2 * cut * np.sinc(2 * cut * d) * np.where(np.abs(d) < reach, 0.5 + 0.5 * np.cos(np.pi * d / reach), 0.0)
    inside = (k >= 0) & (k < len(x))
    return (np.where(inside, x[np.clip(k, 0, len(x) - 1)], 0) * w).sum(axis=1)


# ---- ADS-B ----

def cu8(x):
    """Interleaved unsigned 8-bit I/Q about 127.5, the loudest sample at 100."""
    y = x * (100.0 / max(np.abs(x).max(), 1e-12))
    iq = np.empty(2 * len(y))
    iq[0::2], iq[1::2] = y.real + 127.5, y.imag + 127.5
    return np.clip(np.round(iq), 0, 255).astype(np.uint8)


def dump1090_messages(path):
    """Each message dump1090 prints: its hex, then its `Key: value` lines."""
    text = subprocess.run([DUMP1090, "--ifile", str(path)], check=True, capture_output=True, text=True).stdout
    messages = []
    for line in text.splitlines():
        if re.fullmatch(r"\*[0-9a-f]+;", line):
            messages.append({"hex": line[1:-1].upper()})
        elif messages and ":" in line:
            key, _, value = line.strip().partition(":")
            messages[-1][key] = value.strip()
    return messages


@needs(DUMP1090)
@pytest.mark.parametrize("options", [
    ["--snr-min", "inf", "--snr-max", "inf"],
    ["--snr-min", "25", "--snr-max", "30", "--frequency-offset-min", "-200e3", "--frequency-offset-max", "200e3",
     "--clock-ppm-min", "-100", "--clock-ppm-max", "100", "--carrier-phase"],
], ids=["noise_free", "noise_offsets_and_clock"])
def test_dump1090_decodes_every_squitter_to_its_labels(tmp_path, options):
    for n, (x, rate, labels) in enumerate(record(tmp_path, "ADS-B", 6, options + ["--num-symbols", "6000"])):
        path = tmp_path / f"{n}.cu8"
        cu8(resample(x, rate, 2.4e6)).tofile(path)
        messages = dump1090_messages(path)
        codes = [int(c) for c in labels["type_codes"]]
        where = f"file {n + 1}: {messages}"
        assert len(messages) == len(labels["frame_starts"]) == len(codes), where
        for m, code in zip(messages, codes):
            assert m["CRC"] == "000000" and m["hex"].startswith("8D"), where  # DF 17, parity whole
            assert m["ICAO Address"].split()[0] == labels["icao_address"], where
            assert int(m["hex"][8:10], 16) >> 3 == code, where
            if code == 4:
                assert m["Ident"] == labels["call_sign"], where
            elif 9 <= code <= 18:
                assert m["Altitude"] == f"{labels['altitude']} ft barometric", where
                if m.get("CPR decoding") == "global":
                    lat, lon = (float(m[k].split()[0]) for k in ("CPR latitude", "CPR longitude"))
                    # The label is the odd report's position, printed to 5 decimals; an even report
                    # decoded last gives its own, within a CPR step: 360/60/2^17 degrees of latitude,
                    # 360/NL/2^17 of longitude (NL zones, at least 1).
                    odd = m["CPR odd flag"] == "odd"
                    assert abs(lat - labels["latitude"]) < (0.6e-5 if odd else 5e-5), where
                    assert abs(lon - labels["longitude"]) < (0.6e-5 if odd else 360 / 2 ** 17), where
            else:
                assert code == 19, where
                east, north = labels["east_velocity"], labels["north_velocity"]
                speed = math.hypot(east, north)
                heading = math.degrees(math.atan2(east, north)) % 360
                assert abs(int(m["Speed"].split()[0]) - speed) < 1, where
                # dump1090 prints whole degrees of a heading it reckons a little coarsely (211 of 210.95
                # shown as 212), so the heading is checked to 2 degrees and the velocities exactly in
                # the bits dump1090 read.
                assert min(abs(int(m["Heading"]) - heading), 360 - abs(int(m["Heading"]) - heading)) < 2, where
                me = int(m["hex"][8:22], 16)
                field = lambda first, count: me >> (57 - first - count) & ((1 << count) - 1)  # noqa: E731
                assert (field(15, 10) - 1) * (-1 if field(14, 1) else 1) == east, where
                assert (field(26, 10) - 1) * (-1 if field(25, 1) else 1) == north, where
                # dump1090 names the vertical rate's source GNSS where the source bit is set, which
                # the standard's table calls barometric; the value is what is checked.
                assert int(m["Vertical rate"].split()[0]) == labels["vertical_rate"], where


# ---- POCSAG ----

AUDIO_RATE = 22050


def discriminator_audio(x, rate):
    """The instantaneous frequency (a higher frequency a higher value) at 22050 Hz, signed 16-bit,
    9 kHz to 20000."""
    hz = np.angle(x[1:] * np.conj(x[:-1])) * rate / (2 * np.pi)
    audio = resample(hz, rate, AUDIO_RATE)
    return np.clip(np.round(audio * 20000 / 9000), -32767, 32767).astype("<i2")


def multimon_pages(path, invert=False):
    """(rate, address, function, kind, text) of each page multimon-ng prints."""
    command = [MULTIMON, "-q", "-t", "raw", "-a", "POCSAG512", "-a", "POCSAG1200", "-a", "POCSAG2400"]
    text = subprocess.run(command + (["-i"] if invert else []) + [str(path)], check=True, capture_output=True,
                          text=True).stdout
    pages = []
    for line in text.splitlines():
        found = re.match(r"POCSAG(\d+): Address: +(\d+) +Function: (\d)(?: +(Alpha|Numeric): +(.*))?$", line)
        assert found, f"an unexpected line from {MULTIMON}: {line!r}"
        rate, address, function, kind, body = found.groups()
        # Fill: numeric spaces; alphanumeric zero bits, shown as at most two <NUL> (fewer than 20 bits).
        body = re.sub(r"(<NUL>){1,2}$", "", body or "") if kind == "Alpha" else (body or "").rstrip(" ")
        pages.append((rate, int(address), int(function), kind, body))
    return pages


@needs(MULTIMON)
@pytest.mark.parametrize("options", [
    ["--snr-min", "inf", "--snr-max", "inf"],
    ["--snr-min", "20", "--snr-max", "25", "--frequency-offset-min", "-1000", "--frequency-offset-max", "1000",
     "--clock-ppm-min", "-100", "--clock-ppm-max", "100", "--carrier-phase"],
    ["--snr-min", "inf", "--snr-max", "inf", "--num-symbols", "8000", "--pocsag-bit-rate-min", "1"],
], ids=["noise_free", "noise_offsets_and_clock", "pages_repeated"])
def test_multimon_decodes_every_page_to_its_labels(tmp_path, options):
    kinds = set()
    for n, (x, rate, labels) in enumerate(record(tmp_path, "POCSAG", 8, options)):
        path = tmp_path / f"{n}.raw"
        discriminator_audio(x, rate).tofile(path)
        pages = multimon_pages(path)
        where = f"file {n + 1}: {pages}"
        assert len(pages) == len(labels["frame_starts"]) >= 1, where
        # The standard's function bits by convention: 0 a numeric message, 3 an alphanumeric one.
        kind = {0: "Numeric", 3: "Alpha"}[labels["pocsag_function"]]
        for page in pages:
            assert page == (labels["pocsag_bit_rate"], labels["pocsag_address"], labels["pocsag_function"], kind,
                            labels["pocsag_text"]), where
        kinds.add(kind)
        if n == 0:
            # A 1 is the lower tone: read with the tones swapped, nothing decodes.
            assert multimon_pages(path, invert=True) == [], "pages decoded with the tones swapped"
    if "--pocsag-bit-rate-min" not in options:
        assert kinds == {"Numeric", "Alpha"}

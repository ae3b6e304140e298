#!/usr/bin/python3
"""Packet error rates of the standards' files against Eb/N0, measured with the files' own labels,
drawn over their theory. quorvin-cli writes each name with --snr-definition ebn0 and
--save-symbols, no carrier offset; receivers written here read the samples and labels only
(timing known: the labelled bit instants and frame starts), and a packet is in error when any of
its bits is:

  ADS-B   noncoherent pulse-position: each bit's two half-bit chips summed, the larger the bit.
          Orthogonal signals detected noncoherently: 1/2 exp(-Eb/2N0). A packet: the squitter's
          112 bits.
  POCSAG  noncoherent 2FSK: each bit correlated with the two tones (+-4.5 kHz, orthogonal to a
          few per cent), 1/2 exp(-Eb/2N0). A packet: the transmission after its preamble.
          For both, the share of a bit's energy the sums gather, measured on noise-free files,
          moves the theory (solid); dotted the ideal receiver's.
  AIS     the same two-tone receiver at +-h/2 bit rates, each line bit (NRZI undone from
  BLE     neighbouring decisions). Index 0.5 tones are not orthogonal and the Gaussian filter's
          interference changes both tones' sums, so the theory (solid) is this receiver's exact
          error rate on the noise-free files' own bits (`fsk_theory`); dotted noncoherent FSK of
          index 0.5 without interference.
  APRS    an FM discriminator, then the mark and space tones' correlations over each bit. No simple
          closed form: the reference (dashed) is the same receiver on frames made here from the
          labelled line bits and deviation, with the bench's own noise.
  802.11  each frame from its labelled start: a flat channel estimate from the long training
          symbols, max-log soft bits, deinterleaving, depuncturing, soft Viterbi (wifi_receiver.py);
          a packet is the SERVICE and PSDU bits. Theory: the union bound at 6 and 12 Mb/s; at every
          rate a cross at the standard's minimum sensitivity (PER 10 %) for a 10 dB noise figure.
          Python Viterbi is slow: one file of a few hundred packets a point.

A packet of n independent bits each wrong with probability p: 1 - (1 - p)^n. Each standard is a
row of STANDARDS: its options, receiver, packets, theory or reference and Eb/N0 grid.

Usage: bench/per_curves.py [QUORVIN_CLI] [--png docs/per_curves.png] [--names ADS-B,802.11-6]
Prints each point (name, Eb/N0, PER, theory, packets); exit status 1 when a point with 30 packet
errors or more and a PER of 0.9 or less lies further than its margin (0.5 dB) from its theory or
reference (above a bound only), or a 802.11 rate's PER stays above 10 % up to its standard's Eb/N0."""

import argparse
import dataclasses
import json
import math
import os
import subprocess
import sys
import tempfile
from typing import Callable

import numpy as np

from ber_curves import label_axes, save_figure  # noqa: E402  (bench/ is the script's own folder)
import wifi_receiver  # noqa: E402


def noncoherent_orthogonal(ebn0_db):
    """Bit error rate of binary orthogonal signals detected noncoherently."""
    return 0.5 * math.exp(-0.5 * 10 ** (ebn0_db / 10))


def noncoherent_fsk(ebn0_db, h):
    """Bit error rate of binary FSK of index h, rectangular, by the two tones' correlations over a
    bit detected noncoherently: equal-energy signals of correlation |rho| = |sin(pi h)/(pi h)|,
    a, b = sqrt(Eb/2N0 (1 -+ sqrt(1 - rho^2))) in `quadratic_error`."""
    g = 10 ** (ebn0_db / 10)
    rho = abs(math.sin(math.pi * h) / (math.pi * h))
    root = math.sqrt(1 - rho * rho)
    return float(quadratic_error(math.sqrt(g / 2 * (1 - root)), math.sqrt(g / 2 * (1 + root))))


def i0e(z):
    """I0(z) exp(-z), its asymptotic series where I0 would overflow."""
    z = np.asarray(z, dtype=float)
    small = np.i0(np.minimum(z, 300.0)) * np.exp(-np.minimum(z, 300.0))
    w = np.maximum(z, 1.0)
    big = (1 + 1 / (8 * w) + 9 / (128 * w * w)) / np.sqrt(2 * np.pi * w)
    return np.where(z < 300.0, small, big)


def marcum_q1(a, b):
    """Q1(a, b) = integral from b of x exp(-(x^2 + a^2)/2) I0(ax) dx (arrays alike), by the
    trapezoid rule over 14 standard deviations past b, the integrand as x exp(-(x - a)^2/2) I0e(ax)."""
    a, b = np.broadcast_arrays(np.asarray(a, dtype=float), np.asarray(b, dtype=float))
    x = b[..., None] + np.linspace(0.0, 1.0, 4001) * (np.maximum(a - b, 0.0) + 14.0)[..., None]
    y = x * np.exp(-(x - a[..., None]) ** 2 / 2) * i0e(a[..., None] * x)
    return np.sum((y[..., 1:] + y[..., :-1]) / 2 * np.diff(x, axis=-1), axis=-1)


def q_function(v):
    return 0.5 * math.erfc(v / math.sqrt(2))


# The K = 7 rate 1/2 code's first error events by weight: (distance, events).
EVENTS_HALF = [(10, 11), (12, 38), (14, 193), (16, 1331), (18, 7275)]


def wifi_union_bound(rate_mbps):
    """The packet error bound of a rate 1/2 BPSK or QPSK 802.11a/g rate: each of the L decoded bits
    starts an error event with at most sum_d a_d Q(sqrt(2 d R Eb/N0)) (soft decisions), Eb/N0 that
    at the decoder: the labelled one (over the whole 80-sample symbol's energy of 52 subcarriers)
    times 48/52 (pilots) and 64/80 (guard)."""
    at_decoder = 10 * math.log10(48 / 52 * 64 / 80)

    def bound(ebn0_db, sizes):
        g = 10 ** ((ebn0_db + at_decoder) / 10)
        event = min(1.0, sum(a * q_function(math.sqrt(2 * d * 0.5 * g)) for d, a in EVENTS_HALF))
        return float(np.mean(1 - (1 - event) ** sizes))
    return bound


# The standard's minimum sensitivities (dBm, PER 10 % for 1000-octet PSDUs) by rate.
SENSITIVITY_DBM = {6: -82, 9: -81, 12: -79, 18: -77, 24: -74, 36: -70, 48: -66, 54: -65}


def wifi_required_ebn0(rate_mbps, noise_figure_db=10.0):
    """The labelled Eb/N0 of the standard's minimum sensitivity for a receiver of this noise figure:
    SNR over 20 MHz = sensitivity + 174 - 10 log10(20e6) - NF, Eb/N0 = SNR x 80 / data bits a symbol."""
    snr = SENSITIVITY_DBM[rate_mbps] + 174 - 10 * math.log10(20e6) - noise_figure_db
    return snr + 10 * math.log10(80 / (rate_mbps * 4))


@dataclasses.dataclass
class File:
    x: np.ndarray  # complex samples
    fs: float
    symbols: np.ndarray  # the --save-symbols records
    labels: dict


# A bit-by-bit receiver gives, for each labelled bit, the magnitudes of its two matched sums (a 1's,
# a 0's) and the samples each sums: a 1 where the first is the larger.

def adsb_sums(f: File):
    """Each bit's two half-bit chips, each summed over its samples (a pulse first is a 1)."""
    half = f.fs / 1e6 / 2
    width = int(round(half))
    t = f.symbols["instant"]
    first = np.ceil(t - half).astype(np.int64)[:, None] + np.arange(width)[None, :]
    second = np.ceil(t).astype(np.int64)[:, None] + np.arange(width)[None, :]
    return np.abs(f.x[first].sum(axis=1)), np.abs(f.x[second].sum(axis=1)), width


def tone_correlations(y, fs, t, spb, tones):
    """Each bit's samples (the bit centred on its instant) correlated with each tone (Hz): the
    complex sums, tone by tone, and each sample's time from its bit's instant (s)."""
    width = int(math.floor(spb))
    k = np.ceil(t - spb / 2).astype(np.int64)[:, None] + np.arange(width)[None, :]
    seconds = (k - t[:, None]) / fs
    return [(y[k] * np.exp(-2j * np.pi * tone * seconds)).sum(axis=1) for tone in tones], seconds


def tone_sums(y, fs, t, spb, tones):
    """The magnitudes of `tone_correlations`, tone by tone, and the samples summed."""
    sums, seconds = tone_correlations(y, fs, t, spb, tones)
    return [np.abs(v) for v in sums] + [seconds.shape[1]]


def pocsag_sums(f: File):
    """The two tones (the lower one a 1)."""
    x = f.x * np.exp(-2j * np.pi * f.labels["total_carrier_offset"] * np.arange(len(f.x)) / f.fs)
    return tuple(tone_sums(x, f.fs, f.symbols["instant"], f.fs / f.labels["realised_symbol_rate"], (-4500.0, 4500.0)))


def fsk_tones(f: File):
    """AIS's and BLE's two frequencies, +-h/2 bit rates (the labelled symbol's value is the
    frequency in bit rates), the upper one a 1's."""
    tone = float(np.abs(f.symbols["value"][0])) * f.labels["realised_symbol_rate"]
    return tone, -tone


def fsk_sums(f: File):
    return tuple(tone_sums(f.x, f.fs, f.symbols["instant"], f.fs / f.labels["realised_symbol_rate"], fsk_tones(f)))


def fsk_theory(clean: list, packets) -> Callable[[float, np.ndarray], float]:
    """The packet error rate of the two-tone receiver on these noise-free files' own bits. Each
    bit's decision |X|^2 < |Y|^2 (X the sent tone's sum, Y the other's) with X, Y complex Gaussian
    about their noise-free sums, each of variance mu = width N0 and cross-covariance
    E[n_X n_Y*] = N0 sum exp(-j 2 pi (f_X - f_Y) s) over the bit's samples (N0 = fs/Rb over Eb/N0
    at unit power), errs with Q1(a, b) - 1/2 exp(-(a^2 + b^2)/2) I0(ab), v = 1/sqrt(mu^2 - |mu_XY|^2),
    alpha1 = mu(|X|^2 + |Y|^2) - 2 Re(X* Y mu_XY), alpha2 = |X|^2 - |Y|^2,
    a, b = sqrt(v (alpha1 v -+ alpha2)/2) (the quadratic form of two correlated complex Gaussians).
    So the Gaussian filter's intersymbol interference, in both the energy gathered and the tones'
    overlap, is the files' own; the bits' windows do not overlap, so their errors are independent."""
    a0, b0, groups = [], [], []
    for f in clean:
        spb = f.fs / f.labels["realised_symbol_rate"]
        upper, lower = fsk_tones(f)
        (one, zero), seconds = tone_correlations(f.x, f.fs, f.symbols["instant"], spb, (upper, lower))
        sent_one = f.symbols["bits"] == 1
        x, y = np.where(sent_one, one, zero), np.where(sent_one, zero, one)
        mu = seconds.shape[1] * spb  # at Eb/N0 = 1: N0 = spb
        apart = np.where(sent_one, upper - lower, lower - upper)[:, None]
        cross = spb * np.exp(-2j * np.pi * apart * seconds).sum(axis=1)
        v = 1 / np.sqrt(mu * mu - np.abs(cross) ** 2)
        alpha1 = mu * (np.abs(x) ** 2 + np.abs(y) ** 2) - 2 * (np.conj(x) * y * cross).real
        alpha2 = np.abs(x) ** 2 - np.abs(y) ** 2
        groups += [p + sum(len(a) for a in a0) for p in packets(f)]
        a0.append(np.sqrt(v * (alpha1 * v - alpha2) / 2))
        b0.append(np.sqrt(v * (alpha1 * v + alpha2) / 2))
    a0, b0 = np.concatenate(a0), np.concatenate(b0)
    # a and b grow as sqrt(Eb/N0): evaluate the distinct bits once per Eb/N0
    keys, inverse = np.unique(np.round(np.stack([a0, b0], axis=1), 3), axis=0, return_inverse=True)
    inverse = inverse.ravel()
    cache = {}

    def per(ebn0_db, sizes=None):
        key = round(float(ebn0_db), 3)
        if key not in cache:
            scale = math.sqrt(10 ** (key / 10))
            p = quadratic_error(keys[:, 0] * scale, keys[:, 1] * scale)[inverse]
            cache[key] = float(np.mean([1 - np.prod(1 - p[g]) for g in groups]))
        return cache[key]
    return per


def quadratic_error(a, b):
    """Q1(a, b) - 1/2 exp(-(a^2 + b^2)/2) I0(ab) (arrays alike)."""
    return marcum_q1(a, b) - 0.5 * np.exp(-(a - b) ** 2 / 2) * i0e(a * b)


def aprs_audio(x, fs):
    """The FM discriminator's output (Hz): the phase step between neighbouring samples."""
    d = np.angle(x[1:] * np.conj(x[:-1])) * fs / (2 * np.pi)
    return np.concatenate([d[:1], d])


def aprs_sums(f: File):
    """The discriminator's audio correlated with the mark (1200 Hz, a 1) and space (2200 Hz) tones."""
    return tuple(tone_sums(aprs_audio(f.x, f.fs), f.fs, f.symbols["instant"],
                           f.fs / f.labels["realised_symbol_rate"], (1200.0, 2200.0)))


def aprs_reference(f: File, ebn0_db, rng):
    """The same frame's line bits made here: phase-continuous mark and space audio (unit peak)
    frequency modulating the carrier at the labelled deviation, at unit power, the bench's own
    white noise at this Eb/N0; the same receiver's wrong bits."""
    t = f.symbols["instant"]
    spb = f.fs / f.labels["realised_symbol_rate"]
    n = np.arange(int(np.ceil(t[0] - spb / 2)), int(np.ceil(t[-1] + spb / 2)) + 1)
    which = np.clip(np.searchsorted(t + spb / 2, n), 0, len(t) - 1)
    audio_hz = np.where(f.symbols["bits"][which] == 1, 1200.0, 2200.0)
    audio = np.cos(2 * np.pi * np.cumsum(audio_hz) / f.fs)
    y = np.zeros(len(f.x), dtype=complex)
    y[n] = np.exp(2j * np.pi * f.labels["aprs_deviation"] * np.cumsum(audio) / f.fs)
    n0 = spb / 10 ** (ebn0_db / 10)
    y += math.sqrt(n0 / 2) * (rng.standard_normal(len(y)) + 1j * rng.standard_normal(len(y)))
    mark, space, _ = aprs_sums(File(y, f.fs, f.symbols, f.labels))
    return (mark > space).astype(np.uint64) != f.symbols["bits"]


def frames_of(f: File) -> list:
    """The labelled symbols' positions, frame by frame (by the frames' first and last instants)."""
    t = f.symbols["instant"]
    return [np.flatnonzero((t >= a) & (t <= b)) for a, b in zip(f.labels["frame_starts"], f.labels["frame_ends"])]


def adsb_packets(f: File) -> list:
    return [p for p in frames_of(f) if len(p) == 112]


def pocsag_packets(f: File) -> list:
    return [p[576:] for p in frames_of(f)]


def ais_packets(f: File) -> list:
    """From the last training bit on (NRZI: the start flag's first bit is read against it)."""
    return [p[23:] for p in frames_of(f)]


def aprs_packets(f: File) -> list:
    """After the 24 opening flags, less the last one's last bit."""
    return [p[191:] for p in frames_of(f)]


def ble_packets(f: File) -> list:
    """After the preamble: access address, PDU and CRC."""
    return [p[8 if f.labels["ble_phy"] == "LE 1M" else 16:] for p in frames_of(f)]


def bitwise(sums, packets):
    """A packet reader of a bit-by-bit receiver: each packet wrong or not, and its bits."""
    def read(f: File):
        one, zero, _ = sums(f)
        wrong = (one > zero).astype(np.uint64) != f.symbols["bits"]
        return [(bool(wrong[p].any()), len(p)) for p in packets(f)]
    return read


def wifi_read(f: File):
    """Every PPDU decoded (SERVICE and PSDU): wrong or not, and its bits."""
    frames = list(zip(f.labels["frame_starts"], f.labels["frame_ends"]))
    decoded, sent = wifi_receiver.packets(f.x, frames, f.symbols, int(f.labels["wifi_rate"]), f.labels["wifi_length"],
                                          f.fs / f.labels["realised_symbol_rate"])
    return [(bool(w), decoded.shape[1]) for w in (decoded != sent).any(axis=1)]


def independent_bits(bit_error):
    """Packets of n independent bits, each wrong with probability p: 1 - (1 - p)^n."""
    return lambda ebn0_db, sizes: float(np.mean(1 - (1 - bit_error(ebn0_db)) ** sizes))


@dataclasses.dataclass
class Standard:
    name: str  # the curve's name
    modulation: str  # the catalogue name
    options: list
    read: Callable[[File], list]  # each packet: (wrong, bits)
    theory: Callable[[float, np.ndarray], float] | None  # PER at Eb/N0 (dB) of packets of these sizes
    grid: np.ndarray  # Eb/N0, dB
    files: int = 1
    sums: Callable[[File], tuple] | None = None  # a bit-by-bit receiver's: its share gathered is measured
    clean_theory: Callable | None = None  # (noise-free files, packets) -> the theory of their own bits
    reference: Callable | None = None  # a measured reference in place of a formula: (file, Eb/N0, rng) -> wrong bits
    packets: Callable[[File], list] | None = None
    required: float | None = None  # the standard's Eb/N0 for PER 10 %, where it is drawn
    margin: float = 0.5  # dB from theory or reference allowed
    bound: bool = False  # the theory an upper bound: only points above it by more than the margin fail


def pocsag(rate_index, rate):
    return Standard(f"POCSAG-{rate}", "POCSAG",
                    ["--pocsag-bit-rate-min", str(rate_index), "--pocsag-bit-rate-max", str(rate_index),
                     "--num-symbols", "120000"],
                    bitwise(pocsag_sums, pocsag_packets), independent_bits(noncoherent_orthogonal),
                    np.arange(9.0, 15.5, 1.0), files=4, sums=pocsag_sums)


def wifi(rate_mbps, grid, files=1):
    index = sorted(SENSITIVITY_DBM).index(rate_mbps)
    return Standard(f"802.11-{rate_mbps}", "802.11a/g",
                    ["--wifi-rate-min", str(index), "--wifi-rate-max", str(index), "--wifi-length-min", "100",
                     "--wifi-length-max", "100", "--wifi-gap-min", "34", "--wifi-gap-max", "34", "--num-symbols", "10000"],
                    wifi_read, wifi_union_bound(rate_mbps) if rate_mbps in (6, 12)
                    else None, grid, files=files, required=wifi_required_ebn0(rate_mbps), bound=True)


STANDARDS = [
    Standard("ADS-B", "ADS-B", ["--num-symbols", "200000"], bitwise(adsb_sums, adsb_packets),
             independent_bits(noncoherent_orthogonal), np.arange(7.0, 14.5, 1.0), sums=adsb_sums),
    pocsag(1, 1200),
    pocsag(2, 2400),
    Standard("AIS", "AIS", ["--ais-gap-min", "1", "--ais-gap-max", "1", "--num-symbols", "100000"],
             bitwise(fsk_sums, ais_packets), independent_bits(lambda v: noncoherent_fsk(v, 0.5)),
             np.arange(17.0, 24.5, 1.0), clean_theory=fsk_theory, packets=ais_packets, files=2, sums=fsk_sums),
    Standard("BLE", "BLE", ["--ble-phy-min", "0", "--ble-phy-max", "0", "--ble-modulation-index-min", "0.5",
                            "--ble-modulation-index-max", "0.5", "--ble-adv-interval-min", "32",
                            "--ble-adv-interval-max", "32", "--num-symbols", "400000"],
             bitwise(fsk_sums, ble_packets), independent_bits(lambda v: noncoherent_fsk(v, 0.5)),
             np.arange(13.0, 21.5, 1.0), clean_theory=fsk_theory, packets=ble_packets, files=12, sums=fsk_sums),
    Standard("APRS", "APRS", ["--aprs-gap-min", "24", "--aprs-gap-max", "24", "--num-symbols", "40000"],
             bitwise(aprs_sums, aprs_packets), None, np.arange(17.0, 23.25, 0.5), files=4, sums=aprs_sums,
             reference=aprs_reference, packets=aprs_packets),
    wifi(6, np.arange(1.5, 5.75, 0.5)),
    wifi(12, np.arange(1.5, 5.75, 0.5)),
    wifi(24, np.arange(4.5, 8.75, 0.5)),
    wifi(54, np.arange(9.5, 13.75, 0.5)),
]


def files(cli, s: Standard, ebn0_db, folder):
    """The files of one point; ebn0_db None for noise-free ones."""
    snr = "inf" if ebn0_db is None else str(ebn0_db)
    subprocess.run([cli, "-m", s.modulation, "--signal-model", "exact", "--frequency-offset-min", "0",
                    "--frequency-offset-max", "0", "--snr-definition", "ebn0", "--snr-min", snr, "--snr-max", snr,
                    "--files-per-modulation", str(s.files), "--save-symbols", "--format", "sigmf", "--seed", "7",
                    "--no-progress", "-q", "-o", folder] + s.options, check=True)
    for i in range(1, s.files + 1):
        stem = os.path.join(folder, f"{s.modulation.replace('/', '_')}_signal_{i}")
        with open(stem + ".sigmf-meta") as meta_file:
            meta = json.load(meta_file)["global"]
        yield File(np.fromfile(stem + ".sigmf-data", dtype="<c8").astype(np.complex128), meta["core:sample_rate"],
                   np.load(stem + ".symbols.npy"), {k.removeprefix("quorvin:"): v for k, v in meta.items()})


def efficiency(cli, s: Standard, folder):
    """The share of a bit's energy the receiver's sums gather, from noise-free files: the mean
    squared magnitude of the sent bit's sum over (its samples x the bit's energy, fs/Rb at unit
    power), which multiplies Eb/N0 at the decision. 1 for a filter matched to the whole bit, and
    for rows without such sums."""
    if s.sums is None or s.theory is None:
        return 1.0
    gathered = []
    for f in files(cli, s, None, folder):
        one, zero, width = s.sums(f)
        sent = np.where(f.symbols["bits"] == 1, one, zero)
        gathered.append(np.mean(sent ** 2) / (width * f.fs / f.labels["realised_symbol_rate"]))
    return float(np.mean(gathered))


def measure(cli, s: Standard, ebn0_db, folder):
    """Packet errors, every packet's size in bits, and the reference's packet errors (rows with one)."""
    errors = reference_errors = 0
    sizes = []
    rng = np.random.default_rng(11)
    for f in files(cli, s, ebn0_db, folder):
        read = s.read(f)
        errors += sum(wrong for wrong, _ in read)
        sizes += [size for _, size in read]
        if s.reference is not None:
            wrong = s.reference(f, ebn0_db, rng)
            reference_errors += sum(bool(wrong[p].any()) for p in s.packets(f))
    return errors, np.array(sizes), reference_errors


def equivalent_db(per, expected_at):
    """The Eb/N0 at which the decreasing `expected_at` gives `per`, by bisection."""
    low, high = -5.0, 30.0
    for _ in range(60):
        mid = (low + high) / 2
        low, high = (mid, high) if expected_at(mid) > per else (low, mid)
    return low


def along(points, per):
    """The Eb/N0 at which a measured curve [(Eb/N0, PER)] crosses `per`, log-linearly; nan outside."""
    points = [(e, p) for e, p in points if p > 0]
    for (e0, p0), (e1, p1) in zip(points, points[1:]):
        if p1 <= per <= p0 and p0 > p1:
            return e0 + (e1 - e0) * math.log(p0 / per) / math.log(p0 / p1)
    return float("nan")


@dataclasses.dataclass
class Point:
    ebn0: float
    per: float
    errors: int
    packets: int
    expected: float | None  # the theory or the reference, at the receiver's share gathered
    ideal: float | None  # the theory of the ideal receiver
    sizes: np.ndarray  # every packet's bits


def run_row(cli, s: Standard, top):
    """Every point of one row, printed as measured, and the row's theory at the receiver's share
    gathered (None for rows measured against a reference or a requirement)."""
    clean = os.path.join(top, f"{s.name}-clean")
    if s.clean_theory is not None:
        expected_at = s.clean_theory(list(files(cli, s, None, clean)), s.packets)
    elif s.theory is not None:
        shift = 10 * math.log10(efficiency(cli, s, clean))
        if s.sums is not None:
            print(f"{s.name}: the receiver gathers {shift:+.2f} dB of each bit's energy")
        expected_at = lambda ebn0, sizes: s.theory(ebn0 + shift, sizes)  # noqa: E731
    else:
        expected_at = None
    points = []
    for ebn0 in s.grid:
        errors, sizes, reference_errors = measure(cli, s, float(ebn0), os.path.join(top, f"{s.name}-{ebn0}"))
        if expected_at is not None:
            expected = expected_at(ebn0, sizes)
        else:
            expected = reference_errors / len(sizes) if s.reference is not None else None
        ideal = s.theory(ebn0, sizes) if s.theory is not None else None
        points.append(Point(float(ebn0), errors / len(sizes), errors, len(sizes), expected, ideal, sizes))
        shown = "" if expected is None else f"{'theory' if expected_at else 'reference'} {expected:.3e}"
        print(f"{s.name:12s} {ebn0:5.1f} dB  PER {errors / len(sizes):.3e}  {shown:20s}  "
              f"errors {errors:5d} of {len(sizes):5d}", flush=True)
    return points, expected_at


def offsets(points, expected_at):
    """Each point's distance (dB) from its theory or, without one, its reference (positive: fewer
    errors than it), where it has 30 packet errors or more and a PER of 0.9 or less (where the
    curve is steep enough to read a distance off); nan elsewhere."""
    reference = [(p.ebn0, p.expected) for p in points]
    out = []
    for p in points:
        if p.errors < 30 or p.per > 0.9 or p.expected is None:
            out.append(float("nan"))
        elif expected_at is not None:
            out.append(equivalent_db(p.per, lambda v, q=p: expected_at(v, q.sizes)) - p.ebn0)
        else:
            out.append(along(reference, p.per) - p.ebn0)
    return out


# Panels of the figure: rows whose names start so.
PANELS = [("ADS-B and POCSAG", ("ADS-B", "POCSAG")), ("AIS, BLE, APRS", ("AIS", "BLE", "APRS")),
          ("802.11a/g, 100-octet PSDUs, soft Viterbi", ("802.11",))]


def draw(rows, measured, png):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    panels = [(title, [s for s in rows if s.name.startswith(prefixes)]) for title, prefixes in PANELS]
    panels = [p for p in panels if p[1]]
    fig, axes = plt.subplots(1, len(panels), figsize=(6.5 * len(panels), 5), squeeze=False)
    for ax, (title, members) in zip(axes[0], panels):
        for s, marker in zip(members, "osd^vp*"):
            points = measured[s.name]
            xs = [p.ebn0 for p in points]
            kind = ("union bound" if s.bound else "theory") if s.theory is not None else "reference"
            colour = None
            if any(p.expected is not None for p in points):
                colour = ax.semilogy(xs, [p.expected for p in points], "-" if s.theory else "--",
                                     label=f"{s.name} {kind}")[0].get_color()
                if s.theory is not None:
                    ax.semilogy(xs, [p.ideal for p in points], ":", color=colour)
            shown = [p for p in points if p.per > 0]
            colour = ax.semilogy([p.ebn0 for p in shown], [p.per for p in shown], marker, color=colour,
                                 label=f"{s.name} measured")[0].get_color()
            if s.required is not None:
                first = s is next(m for m in members if m.required is not None)
                ax.semilogy([s.required], [0.1], "x", markersize=10, color=colour,
                            label="the standard's PER 10 % (x, each rate's colour)" if first else None)
        required = [s.required for s in members if s.required is not None]
        if required:  # room for the legend right of the measured curves
            ax.set_xlim(right=max(required) + 3.0)
        label_axes(ax, "packet error rate", (1e-3, 1.1), title)
        if required:
            ax.legend(fontsize=8, loc="lower right")
    save_figure(fig, png)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("cli", nargs="?", default="build/default/cli/quorvin-cli")
    parser.add_argument("--png", default="docs/per_curves.png")
    parser.add_argument("--names", help="comma-separated curve names (default: every row)")
    args = parser.parse_args()
    rows = [s for s in STANDARDS if not args.names or s.name in args.names.split(",")]
    measured = {}
    bad = []
    with tempfile.TemporaryDirectory() as top:
        for s in rows:
            points, expected_at = run_row(args.cli, s, top)
            measured[s.name] = points
            for p, off in zip(points, offsets(points, expected_at)):
                if not math.isnan(off):
                    print(f"{s.name:12s} {p.ebn0:5.1f} dB  {off:+.2f} dB from its "
                          f"{'theory' if expected_at else 'reference'}")
                    if off < -s.margin or (off > s.margin and not s.bound):
                        bad.append(f"{s.name} at {p.ebn0} dB: {off:+.2f} dB")
            if s.required is not None:
                at = along([(p.ebn0, p.per) for p in points], 0.1)
                print(f"{s.name}: PER 10 % at {at:.2f} dB, the standard's {s.required:.2f} dB")
                if not any(p.per <= 0.1 for p in points if p.ebn0 <= s.required):
                    bad.append(f"{s.name}: PER above 10 % up to the standard's {s.required:.2f} dB")
    draw(rows, measured, args.png)
    for line in bad:
        print("outside its margin:", line)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())

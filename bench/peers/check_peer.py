#!/usr/bin/env python3
"""Checks that the benchmark's generators made the same kind of signal, so that their speeds are
compared on the same work.

Reads cf32 files (interleaved little-endian float32 I,Q: the peers' output and Quorvin's
.sigmf-data) and measures, blind, from an averaged periodogram:
  - the power (mean |x|^2),
  - the spectrum centre: the power-weighted mean frequency of the spectrum once the noise floor
    is taken off (the flat noise would only pull it towards 0 Hz),
  - the symbol rate: the area of that noise-free spectrum over the height of its flat top,
  - the SNR: the noise floor from the bins well outside the signal's band, spread over the whole
    band, against the rest of the power.
With --pulse gmsk (a GMSK signal, whose spectrum has no flat top and wider skirts) the noise floor
is read beyond 1.6 Rs of the centre and the spectrum's width (area over the height at its centre)
must agree between the files within 1.5 % rather than equal the symbol rate.
Each figure must lie within a tolerance of what was asked for; the exit status is 1 if any does
not, 2 for bad arguments or files.

Usage: check_peer.py --sample-rate FS --symbol-rate RS --offset HZ --snr DB [--pulse rrc|gmsk] FILE...
"""
import argparse
import sys

import numpy as np

SEGMENT = 4096  # periodogram length: 10 Hz bins at 40 kHz, about 490 segments in 2 M samples


def measure(samples, sample_rate, skirt=0.8):
    usable = len(samples) // SEGMENT * SEGMENT
    if usable == 0:
        raise ValueError(f"fewer than {SEGMENT} samples")
    window = np.hanning(SEGMENT).astype(np.float32)
    segments = samples[:usable].reshape(-1, SEGMENT) * window
    spectrum = np.fft.fftshift(np.mean(np.abs(np.fft.fft(segments, axis=1)) ** 2, axis=0))
    power = float(np.mean(np.abs(samples).astype(np.float64) ** 2))
    spectrum *= power / spectrum.sum()  # bins now add up to the power
    frequencies = np.fft.fftshift(np.fft.fftfreq(SEGMENT, 1.0 / sample_rate))

    bin_width = sample_rate / SEGMENT

    # First pass: the quietest third of the bins is noise whenever the signal fills less than
    # two thirds of the band (fs/Rs above about 2), which places the signal.
    floor = float(np.mean(np.sort(spectrum)[: SEGMENT // 3]))
    centre, symbol_rate = shape(np.clip(spectrum - floor, 0.0, None), frequencies, bin_width, None)

    # Second pass: the noise floor from the bins beyond 0.8 Rs of the centre (the pulse ends at
    # (1 + roll-off) Rs / 2, 0.675 Rs for a roll-off of 0.35), then the figures.
    outside = np.abs(frequencies - centre) > skirt * symbol_rate
    floor = float(np.mean(spectrum[outside]))
    centre, symbol_rate = shape(np.clip(spectrum - floor, 0.0, None), frequencies, bin_width, symbol_rate)
    noise = floor * SEGMENT
    snr_db = 10 * np.log10((power - noise) / noise)
    return dict(power=power, symbol_rate=symbol_rate, centre=centre, snr_db=snr_db)


def shape(clean, frequencies, bin_width, symbol_rate):
    """The power-weighted mean frequency and the symbol rate of a noise-free spectrum.

    A raised-cosine spectrum (what a root-raised-cosine pulse gives) has the area of a rectangle
    Rs wide at the height of its flat top, whatever the roll-off, so the area over the flat top's
    height is the symbol rate. The area is a sum over thousands of bins and the top a mean over
    hundreds, so both are steady where the edges, single bins on a slope, are not.
    """
    centre = float(np.sum(clean * frequencies) / np.sum(clean))
    if symbol_rate is None:
        symbol_rate = np.sum(clean) * bin_width / clean.max()  # the peak bin: a little narrow
    # The flat top spans (1 - roll-off) Rs: the middle 0.4 Rs lies inside it for roll-offs to 0.6.
    top = float(np.mean(clean[np.abs(frequencies - centre) < 0.2 * symbol_rate]))
    return centre, float(np.sum(clean) * bin_width / top)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sample-rate", type=float, required=True, help="Hz")
    parser.add_argument("--symbol-rate", type=float, required=True, help="Hz")
    parser.add_argument("--offset", type=float, required=True, help="carrier offset, Hz")
    parser.add_argument("--snr", type=float, required=True, help="per-sample SNR over the whole band, dB")
    parser.add_argument("--pulse", choices=["rrc", "gmsk"], default="rrc")
    parser.add_argument("files", nargs="+")
    arguments = parser.parse_args()

    # Tolerances: four to five times the spread of each figure over seeds (2 M samples: power
    # 0.02 %, centre 4.5 Hz, symbol rate 0.3 %, SNR 0.01 dB), so that a wrong scale, rate, noise
    # level, or a missing or mirrored offset fails while chance does not. The spreads of the
    # centre and the symbol rate shrink with the square root of the file's length.
    expected_power = 1 + 10 ** (-arguments.snr / 10)

    gmsk = arguments.pulse == "gmsk"
    first_width = []  # gmsk: the first file's width, which the others must match

    def checks(samples):
        symbols = samples * arguments.symbol_rate / arguments.sample_rate
        centre_tolerance = 1.3 * arguments.symbol_rate / np.sqrt(symbols)
        rate_tolerance = 0.015 * np.sqrt(2e6 / samples)
        return [  # figure, wanted, within, format
            ("power", expected_power, lambda got: abs(got / expected_power - 1) <= 0.01, "{:.4f}"),
            ("centre", arguments.offset, lambda got: abs(got - arguments.offset) <= centre_tolerance, "{:.1f} Hz"),
            ("symbol_rate", arguments.symbol_rate,
             lambda got: abs(got / arguments.symbol_rate - 1) <= rate_tolerance, "{:.0f} Hz") if not gmsk else
            ("symbol_rate", first_width[0] if first_width else None,
             lambda got: not first_width or abs(got / first_width[0] - 1) <= 0.015, "{:.0f} Hz"),
            ("snr_db", arguments.snr, lambda got: abs(got - arguments.snr) <= 0.3, "{:.2f} dB"),
        ]

    failed = 0
    for path in arguments.files:
        try:
            samples = np.fromfile(path, dtype="<c8")
            figures = measure(samples, arguments.sample_rate, 1.6 if gmsk else 0.8)
        except (OSError, ValueError) as error:
            print(f"check_peer.py: {path}: {error}", file=sys.stderr)
            return 2
        parts, bad = [], []
        for name, want, ok, form in checks(len(samples)):
            got, label = figures[name], name.replace("_db", "").replace("_", " ")
            if gmsk and name == "symbol_rate":
                label = "width"
            parts.append(f"{label} {form.format(got)}" + (f" (want {form.format(want)})" if want is not None else ""))
            if not ok(got):
                bad.append(label)
        if gmsk and not first_width:
            first_width.append(figures["symbol_rate"])
        verdict = "ok" if not bad else "MISMATCH: " + ", ".join(bad)
        print(f"{path}: {len(samples)} samples; " + "; ".join(parts) + f": {verdict}")
        failed += bool(bad)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""The GNU Radio peer of the exact QPSK benchmark: a GNU Radio 3.10 flowgraph of

    random symbols 0..3 -> QPSK constellation -> root-raised-cosine interpolator -> carrier offset
    -> white Gaussian noise -> head (N samples) -> file sink (cf32)

An integer fs/Rs uses an FIR interpolator; any other a rational resampler (37/10 for 3.7) whose
taps are the same pulse, or with --resampler pfb the polyphase arbitrary resampler that GNU
Radio's own PSK modulator uses. The offset and noise come either from a signal source into a
multiplier and a noise source into an adder (the default: the least work), or, with --channel,
from channels.channel_model, which also runs a timing resampler and a multipath FIR.

The pulse spans 10 symbols; the signal has unit power and the noise 10^(-SNR/10) of it over
the whole band, as in Quorvin's exact model. It prints the CPU seconds (user + system, all of
the flowgraph's threads) of running the flowgraph alone: Python's and GNU Radio's start-up and
the flowgraph's construction do not count.
"""
import argparse
import fractions
import resource
import sys

import numpy as np
from gnuradio import analog, blocks, channels, digital, filter, gr

SPAN = 10  # symbols


def cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def unit_power(taps, interpolation):
    # An interpolator by L passes sum(h^2)/L of a unit-power symbol stream to each output sample.
    taps = np.asarray(taps, dtype=np.float64)
    return list(taps * np.sqrt(interpolation / np.sum(taps**2)))


def pulse_shaper(ratio, rolloff, resampler):
    if resampler != "pfb" and abs(ratio - round(ratio)) < 1e-9:
        interpolation = round(ratio)
        taps = filter.firdes.root_raised_cosine(1.0, interpolation, 1.0, rolloff, SPAN * interpolation + 1)
        return filter.interp_fir_filter_ccf(interpolation, unit_power(taps, interpolation))
    if resampler == "pfb":
        filters = 32
        # The bank's prototype runs at `filters` samples per input sample, here per symbol.
        taps = filter.firdes.root_raised_cosine(1.0, filters, 1.0, rolloff, SPAN * filters + 1)
        return filter.pfb_arb_resampler_ccf(ratio, unit_power(taps, filters), filters)
    exact = fractions.Fraction(ratio).limit_denominator(1000)
    up, down = exact.numerator, exact.denominator
    taps = filter.firdes.root_raised_cosine(1.0, up, 1.0, rolloff, SPAN * up + 1)  # at up x Rs
    return filter.rational_resampler_ccf(up, down, unit_power(taps, up), 0.0)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("output")
    parser.add_argument("samples", type=int)
    parser.add_argument("ratio", type=float, help="fs/Rs, samples per symbol")
    parser.add_argument("offset", type=float, help="carrier offset, cycles per sample (37 Hz at 40 kHz: 0.000925)")
    parser.add_argument("snr", type=float, help="per-sample SNR over the whole band, dB")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--rolloff", type=float, default=0.35)
    parser.add_argument("--resampler", choices=("rational", "pfb"), default="rational",
                        help="for a non-integer fs/Rs (default rational)")
    parser.add_argument("--channel", action="store_true", help="offset and noise from channels.channel_model")
    arguments = parser.parse_args()
    if arguments.samples <= 0 or arguments.ratio < 2 or abs(arguments.offset) >= 0.5:
        parser.error("need SAMPLES > 0, FS/RS >= 2 and |OFFSET| < 0.5")

    noise_voltage = 10 ** (-arguments.snr / 20)  # GNU Radio's complex noise: variance voltage^2 in all
    points = [complex(i, q) / np.sqrt(2) for i, q in ((1, 1), (-1, 1), (-1, -1), (1, -1))]

    graph = gr.top_block()
    symbols = analog.random_uniform_source_b(0, 4, arguments.seed)  # 0..3
    mapper = digital.chunks_to_symbols_bc(points)
    shaper = pulse_shaper(arguments.ratio, arguments.rolloff, arguments.resampler)
    head = blocks.head(gr.sizeof_gr_complex, arguments.samples)
    sink = blocks.file_sink(gr.sizeof_gr_complex, arguments.output, False)
    sink.set_unbuffered(False)
    graph.connect(symbols, mapper, shaper)
    if arguments.channel:
        channel = channels.channel_model(noise_voltage=noise_voltage, frequency_offset=arguments.offset,
                                         epsilon=1.0, taps=[1.0], noise_seed=arguments.seed, block_tags=False)
        graph.connect(shaper, channel, head)
    else:
        carrier = analog.sig_source_c(1.0, analog.GR_COS_WAVE, arguments.offset, 1.0, 0.0)
        mixer = blocks.multiply_cc()
        noise = analog.noise_source_c(analog.GR_GAUSSIAN, noise_voltage, arguments.seed)
        adder = blocks.add_cc()
        graph.connect(shaper, (mixer, 0))
        graph.connect(carrier, (mixer, 1))
        graph.connect(mixer, (adder, 0))
        graph.connect(noise, (adder, 1))
        graph.connect(adder, head)
    graph.connect(head, sink)

    start = cpu_seconds()
    graph.run()
    sink.close()
    seconds = cpu_seconds() - start
    print(f"cpu_seconds {seconds:.6f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

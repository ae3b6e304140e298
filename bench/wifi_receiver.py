"""A plain 802.11a/g OFDM receiver in numpy for the packet error rate bench: timing known (each
frame's labelled start), one channel estimate per frame from the two long training symbols,
max-log soft bits, the two deinterleaver permutations, depuncturing and a soft Viterbi decoder of
the K = 7 code (133, 171 octal). Written from the standard's public text; it reads the samples, the
frame starts, the rate and length labels and the data symbols' instants only."""

import numpy as np

# Mb/s: (coded bits a subcarrier, code rate as (k, n))
RATES = {6: (1, (1, 2)), 9: (1, (3, 4)), 12: (2, (1, 2)), 18: (2, (3, 4)),
         24: (4, (1, 2)), 36: (4, (3, 4)), 48: (6, (2, 3)), 54: (6, (3, 4))}

# The long training symbol on subcarriers -26 .. 26.
LONG_TRAINING = np.array([1, 1, -1, -1, 1, 1, -1, 1, -1, 1, 1, 1, 1, 1, 1, -1, -1, 1, 1, -1, 1, -1, 1, 1, 1, 1, 0,
                          1, -1, -1, 1, 1, -1, 1, -1, 1, -1, -1, -1, -1, -1, 1, 1, -1, -1, 1, -1, 1, -1, 1, 1, 1, 1])
SUBCARRIERS = np.arange(-26, 27)
DATA = np.array([k for k in SUBCARRIERS if k not in (-21, -7, 0, 7, 21)])

# Gray levels of one axis, by the axis's bits (first bit the most significant).
AXIS_LEVELS = {1: {0b0: -1, 0b1: 1},
               2: {0b00: -3, 0b01: -1, 0b11: 1, 0b10: 3},
               3: {0b000: -7, 0b001: -5, 0b011: -3, 0b010: -1, 0b110: 1, 0b111: 3, 0b101: 5, 0b100: 7}}
SCALE = {1: 1.0, 2: 1 / np.sqrt(2), 4: 1 / np.sqrt(10), 6: 1 / np.sqrt(42)}

# Kept coded bits of each puncturing period (A, B alternating).
KEPT = {(1, 2): [1, 1], (2, 3): [1, 1, 1, 0], (3, 4): [1, 1, 1, 0, 0, 1]}

GENERATORS = (0o133, 0o171)


def parity(v):
    return np.array([bin(int(a)).count("1") & 1 for a in np.ravel(v)]).reshape(np.shape(v))


# Trellis: state = the last 6 input bits, the newest the most significant; register = input << 6 | state.
_STATES = np.arange(64)
_NEXT_PREDECESSORS = np.stack([((_STATES & 31) << 1) | b for b in (0, 1)], axis=1)  # (64 next, 2)
_INPUT_OF_NEXT = _STATES >> 5
_REGISTERS = (_INPUT_OF_NEXT[:, None] << 6) | _NEXT_PREDECESSORS
_OUTPUTS = np.stack([parity(_REGISTERS & g) for g in GENERATORS], axis=-1)  # (64, 2, 2) 0/1


def interleaver(ncbps, nbpsc):
    """j[k]: the position sent of coded bit k of one OFDM symbol."""
    k = np.arange(ncbps)
    i = (ncbps // 16) * (k % 16) + k // 16
    s = max(nbpsc // 2, 1)
    return s * (i // s) + (i + ncbps - (16 * i) // ncbps) % s


def soft_bits(z, nbpsc):
    """Max-log soft values of each point's bits (positive for a 1), first bit first: (points, nbpsc)."""
    if nbpsc == 1:
        return z.real[:, None]
    half = nbpsc // 2
    levels = AXIS_LEVELS[half]
    out = []
    for axis in (z.real, z.imag):
        y = axis / SCALE[nbpsc]
        for bit in range(half):
            mask = 1 << (half - 1 - bit)
            ones = np.array([v for c, v in levels.items() if c & mask])
            zeros = np.array([v for c, v in levels.items() if not c & mask])
            out.append(np.min((y[:, None] - zeros) ** 2, axis=1) - np.min((y[:, None] - ones) ** 2, axis=1))
    return np.stack(out, axis=1)


def depuncture(soft, rate):
    """The mother code's A, B soft pairs (0 where a bit was not sent): (batch, steps, 2)."""
    kept = np.array(KEPT[rate], dtype=bool)
    batch, sent = soft.shape
    periods = sent // kept.sum()
    full = np.zeros((batch, periods * len(kept)))
    full[:, np.tile(kept, periods)] = soft[:, :periods * kept.sum()]
    return full.reshape(batch, -1, 2)


def viterbi(pairs):
    """The most likely input bits of a batch of soft pairs (batch, steps, 2), from state 0."""
    batch, steps, _ = pairs.shape
    metric = np.full((batch, 64), -np.inf)
    metric[:, 0] = 0
    signs = 2.0 * _OUTPUTS - 1  # (64, 2 predecessors, 2 outputs)
    choices = np.empty((steps, batch, 64), dtype=np.uint8)
    for t in range(steps):
        branch = np.einsum("bo,npo->bnp", pairs[:, t], signs)
        candidates = metric[:, _NEXT_PREDECESSORS] + branch
        best = np.argmax(candidates, axis=2)
        choices[t] = best
        metric = np.take_along_axis(candidates, best[..., None], axis=2)[..., 0]
    state = np.argmax(metric, axis=1)
    bits = np.empty((batch, steps), dtype=np.uint8)
    rows = np.arange(batch)
    for t in range(steps - 1, -1, -1):
        bits[:, t] = state >> 5
        state = _NEXT_PREDECESSORS[state, choices[t, rows, state]]
    return bits


def fft_at(x, start):
    """The 53 subcarriers -26 .. 26 of the symbol whose 64-sample window begins at `start` (a
    fractional sample): the window taken 4 samples early (inside the cyclic guard) from a whole
    sample, each subcarrier turned back by its share of that advance, so every window of a frame
    reads the same channel."""
    n = int(np.floor(start)) - 4
    return np.fft.fft(x[n:n + 64])[SUBCARRIERS % 64] * np.exp(-2j * np.pi * SUBCARRIERS * (n - start) / 64)


def packets(x, frames, symbols, rate_mbps, length, samples_per_symbol=80.0):
    """Each frame's decoded SERVICE and PSDU bits and, decoded alike from the labelled coded bits,
    the ones sent: (decoded, sent), each (frames, 16 + 8 length). `frames`: each frame's first and
    last instant; `samples_per_symbol` the 4 us symbol's samples as realised."""
    nbpsc, rate = RATES[rate_mbps]
    ncbps = 48 * nbpsc
    inverse = interleaver(ncbps, nbpsc)
    instants = symbols["instant"]
    soft_rows, true_rows = [], []
    for t0, t1 in frames:
        scale = samples_per_symbol / 80
        # The files' channel is flat (one gain, the timing turned back in fft_at): one estimate from
        # both long training symbols' 52 subcarriers, 104 looks, so its noise costs ~0.04 dB.
        used = LONG_TRAINING != 0
        looks = [fft_at(x, t0 + at * scale)[used] / LONG_TRAINING[used] for at in (192, 256)]
        h = np.mean(looks)
        mine = symbols[(instants >= t0) & (instants <= t1)]
        starts = np.unique(mine["instant"])
        soft, sent = [], []
        for start in starts:
            z = (fft_at(x, start) / h)[DATA + 26]
            soft.append(soft_bits(z, nbpsc).ravel()[inverse])
            labelled = mine["bits"][mine["instant"] == start].astype(np.int64)
            line = (labelled[:, None] >> np.arange(nbpsc - 1, -1, -1)) & 1
            sent.append(2.0 * line.ravel()[inverse] - 1)
        soft_rows.append(np.concatenate(soft))
        true_rows.append(np.concatenate(sent))
    size = 16 + 8 * length
    decoded = viterbi(depuncture(np.array(soft_rows), rate))[:, :size]
    sent = viterbi(depuncture(np.array(true_rows), rate))[:, :size]
    return decoded, sent

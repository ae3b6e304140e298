"""The packet error rate bench's own receivers and formulas (bench/per_curves.py and
bench/wifi_receiver.py), against encoders, tables and Monte Carlo written here."""

import math
import sys
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))
per_curves = pytest.importorskip("per_curves")
wifi = pytest.importorskip("wifi_receiver")


def encode(bits):
    """The K = 7 rate 1/2 code as a shift register: A by 133, B by 171 (octal), newest bit first."""
    register = [0] * 6
    out = []
    for b in bits:
        taps = [b] + register
        out.append(taps[0] ^ taps[2] ^ taps[3] ^ taps[5] ^ taps[6])  # 1011011
        out.append(taps[0] ^ taps[1] ^ taps[2] ^ taps[3] ^ taps[6])  # 1111001
        register = taps[:6]
    return np.array(out)


@pytest.mark.parametrize("rate, sent_of_six", [((1, 2), [0, 1, 2, 3, 4, 5]), ((2, 3), [0, 1, 2, 4, 5, 6]),
                                               ((3, 4), [0, 1, 2, 5])])
def test_viterbi_reads_punctured_noisy_codewords(rate, sent_of_six):
    rng = np.random.default_rng(3)
    bits = rng.integers(0, 2, size=(4, 240))
    coded = np.array([encode(b) for b in bits])
    period = {(1, 2): 2, (2, 3): 4, (3, 4): 6}[rate]
    kept = np.zeros(period, bool)
    kept[[i for i in sent_of_six if i < period]] = True
    sent = coded[:, np.tile(kept, coded.shape[1] // period)]
    soft = 2.0 * sent - 1 + 0.45 * rng.standard_normal(sent.shape)
    assert np.array_equal(wifi.viterbi(wifi.depuncture(soft, rate)), bits)


def test_interleaver_is_a_permutation_with_the_first_steps_by_hand():
    for nbpsc in (1, 2, 4, 6):
        j = wifi.interleaver(48 * nbpsc, nbpsc)
        assert sorted(j) == list(range(48 * nbpsc))
    assert list(wifi.interleaver(48, 1)[:4]) == [0, 3, 6, 9] and wifi.interleaver(48, 1)[16] == 1
    # 16-QAM: bits alternate their significance within a point (s = 2): k = 1 goes to 13, not 12
    assert list(wifi.interleaver(192, 4)[:3]) == [0, 13, 24]


@pytest.mark.parametrize("nbpsc, point, label", [(1, -1, "0"), (2, 1 - 1j, "10"), (4, -3 - 3j, "0000"),
                                                 (4, 3 + 1j, "1011"), (4, -1 + 3j, "0110"),
                                                 (6, 7 - 7j, "100000"), (6, -1 + 5j, "010101")])
def test_soft_bits_signs_are_the_gray_labels(nbpsc, point, label):
    z = np.array([point * wifi.SCALE[nbpsc]])
    assert "".join("1" if v > 0 else "0" for v in wifi.soft_bits(z, nbpsc)[0]) == label


def test_marcum_q_and_orthogonal_fsk_closed_forms():
    for b in (0.5, 2.0, 4.0):
        assert per_curves.marcum_q1(0.0, b) == pytest.approx(math.exp(-b * b / 2), rel=1e-4)
    for ebn0 in (4.0, 10.0, 14.0):
        assert per_curves.noncoherent_fsk(ebn0, 1.0) == pytest.approx(per_curves.noncoherent_orthogonal(ebn0),
                                                                      rel=1e-4)


def test_two_correlated_gaussians_magnitude_order_against_monte_carlo():
    """fsk_theory's per-bit form, v = 1/sqrt(mu^2 - |c|^2): P(|X| < |Y|)."""
    rng = np.random.default_rng(5)
    n = 400000
    for x_mean, y_mean, c in [(2.5, 0.8 + 0.6j, 0.3 + 0.2j), (3.0 + 1j, -1.2j, -0.5 + 0.1j)]:
        z1 = (rng.standard_normal(n) + 1j * rng.standard_normal(n)) / math.sqrt(2)
        z2 = (rng.standard_normal(n) + 1j * rng.standard_normal(n)) / math.sqrt(2)
        nx, ny = z1, np.conj(c) * z1 + math.sqrt(1 - abs(c) ** 2) * z2  # unit variances, E[nx ny*] = c
        measured = np.mean(np.abs(x_mean + nx) < np.abs(y_mean + ny))
        v = 1 / math.sqrt(1 - abs(c) ** 2)
        alpha1 = abs(x_mean) ** 2 + abs(y_mean) ** 2 - 2 * (np.conj(x_mean) * y_mean * c).real
        alpha2 = abs(x_mean) ** 2 - abs(y_mean) ** 2
        a, b = math.sqrt(v * (alpha1 * v - alpha2) / 2), math.sqrt(v * (alpha1 * v + alpha2) / 2)
        assert per_curves.quadratic_error(a, b) == pytest.approx(measured, rel=0.03)

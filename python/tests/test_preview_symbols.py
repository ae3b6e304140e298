"""The preview's reading of the labels, checked against textbook constellations and tones:
the right labels put the symbols on their points, a wrong label does not. No pictures needed."""

import numpy as np
import pytest

import quorvin
from quorvin import preview

FS = 100000.0


def textbook(name):
    """Unit-energy points: QPSK {1, j, -1, -j}, OQPSK's diagonal, Pi/4-DQPSK's eight phases,
    square QAM16 on the odd grid over sqrt(10)."""
    if name in ("BPSK", "QPSK", "8PSK"):
        m = {"BPSK": 2, "QPSK": 4, "8PSK": 8}[name]
        return np.exp(2j * np.pi * np.arange(m) / m)
    if name == "OQPSK":
        return np.exp(1j * (np.pi / 4 + np.pi / 2 * np.arange(4)))
    if name == "Pi/4-DQPSK":
        return np.exp(1j * np.pi / 4 * np.arange(8))
    grid = np.array([-3, -1, 1, 3])
    return (grid[:, None] + 1j * grid[None, :]).ravel() / np.sqrt(10)


def evm_db(points, ideal):
    nearest = ideal[np.argmin(np.abs(points[:, None] - ideal[None, :]), axis=1)]
    return 10 * np.log10(np.mean(np.abs(points - nearest) ** 2) / np.mean(np.abs(nearest) ** 2))


def item(name, **options):
    config = quorvin.Config(name, signal_model="exact", sample_rate=FS, samples_per_file=4096, snr=(200, 200),
                            frequency_offset=(1500, 1500), timing_error=(0.05, 0.05), carrier_phase=True, **options)
    return quorvin.Dataset(config, 1, 4)[0]


@pytest.mark.parametrize("name", ["BPSK", "QPSK", "8PSK", "OQPSK", "Pi/4-DQPSK", "QAM16"])
def test_the_cores_constellation_is_the_textbooks(name):
    ours, theirs = quorvin._core.constellation(name), textbook(name)
    assert len(ours) == len(theirs)
    assert np.abs(ours[:, None] - theirs[None, :]).min(axis=1).max() < 1e-9


@pytest.mark.parametrize("name, side", [("QAM256", 16), ("QAM1024", 32), ("QAM4096", 64)])
def test_a_square_qams_constellation_is_its_whole_odd_grid(name, side):
    odd = np.arange(-side + 1, side, 2)
    grid = (odd[:, None] + 1j * odd[None, :]).ravel() / np.sqrt(2 * (side * side - 1) / 3)
    ours = quorvin._core.constellation(name)
    assert len(ours) == side * side

    def places(points):  # each point to a micro-unit, against last-bit differences
        return set(zip(np.round(points.real * 1e6).astype(int), np.round(points.imag * 1e6).astype(int)))

    assert places(ours) == places(grid)


@pytest.mark.parametrize("name, pulse, samples_per_symbol", [
    ("QPSK", "rrc", (3.3, 3.3)), ("QAM16", "rrc", (7.7, 7.7)), ("QAM16", "rect", (5, 5)),
    ("OQPSK", "linear", (6.2, 6.2)), ("Pi/4-DQPSK", "rrc", (4, 4)),
])
def test_the_labelled_instants_put_the_symbols_on_their_points_and_a_wrong_rate_does_not(name, pulse, samples_per_symbol):
    samples, labels = item(name, pulse=pulse, samples_per_symbol=samples_per_symbol)
    assert labels["timing_error"] == 0.05 and labels["total_carrier_offset"] == 1500 and labels["carrier_phase"] != 0
    right = preview.symbol_points(samples, name, labels)
    assert len(right) > 4096 / samples_per_symbol[0] - 20
    assert evm_db(right, textbook(name)) < -30
    wrong = dict(labels, realised_symbol_rate=labels["realised_symbol_rate"] * 1.01)
    assert evm_db(preview.symbol_points(samples, name, wrong), textbook(name)) > -15
    shifted = dict(labels, total_carrier_offset=1500 + labels["realised_symbol_rate"] / 200)
    assert evm_db(preview.symbol_points(samples, name, shifted), textbook(name)) > -15


@pytest.mark.parametrize("length", [2, 5, 17, 40000])
@pytest.mark.parametrize("frequency", [-0.4999, -0.37, 0.0, 0.0123, 0.4999])
def test_a_pure_tone_is_read_at_its_frequency_from_any_span(length, frequency):
    x = np.exp(2j * np.pi * frequency * np.arange(length + 7) + 0.3j)
    low = np.array([0, 7])  # two spans, of the tone at different phases
    found = preview.tone_frequencies(x, low, low + length - 1, 1.0)
    assert np.abs(found - frequency).max() < 1e-5


@pytest.mark.parametrize("name, h", [("4FSK", 1.0), ("MSK", 0.5)])
def test_a_keyed_files_symbols_sit_on_their_tones(name, h):
    samples, labels = item(name, samples_per_symbol=(9, 9), fsk_index=(h, h))
    rate = labels["realised_symbol_rate"]
    order = int(name[0]) if name[0].isdigit() else 2
    tones = h * rate / 2 * (2 * np.arange(order) - (order - 1))
    _, frequencies = preview.symbol_frequencies(samples, name, labels)
    assert len(frequencies) > 400
    assert np.abs(frequencies[:, None] - tones[None, :]).min(axis=1).max() < 0.02 * h * rate


@pytest.mark.parametrize("name, options", [
    ("QPSK", {"samples_per_symbol": (8, 8), "rolloff": (0.5, 0.5)}),
    ("AM-SSB", {"sideband": "upper", "analog_fc_min": 20000, "analog_fc_max": 20000}),
    ("AM-SSB", {"sideband": "lower", "analog_fc_min": -20000, "analog_fc_max": -20000}),
    ("FM", {"analog_fc_min": 5000, "analog_fc_max": 5000}),
    # Bands drawn as fractions of the sample rate, from their own labels.
    ("OFDM-64", {"ofdm_occupancy": (0.2, 0.2)}),
    ("CSS", {"chirp_bandwidth": (0.2, 0.2), "spreading_factor": (7, 7)}),
    ("LFM-radar", {"chirp_bandwidth": (0.1, 0.1), "pulse_width": (256, 256), "duty_cycle": (0.5, 0.5)}),
    ("LFM-data", {"chirp_bandwidth": (0.1, 0.1), "samples_per_symbol": (64, 64)}),
])
def test_the_labelled_band_holds_the_files_power(name, options):
    samples, labels = item(name, **options)
    low, high = preview.band(name, labels)
    power = np.abs(np.fft.fftshift(np.fft.fft(samples * np.hanning(len(samples))))) ** 2
    frequencies = np.fft.fftshift(np.fft.fftfreq(len(samples), 1 / FS))
    leak = 3 * FS / len(samples)  # the window's main lobe
    inside = (frequencies >= low - leak) & (frequencies <= high + leak)
    assert power[inside].sum() / power.sum() > 0.97
    assert FS / 100 < high - low < FS / 4  # neither empty nor the whole band

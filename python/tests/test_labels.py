"""The label keys an item may have are the manifest's columns: every key an item has is one."""

import pytest

import quorvin
from quorvin import _core


@pytest.mark.parametrize("options", [
    {},
    {"signal_model": "exact", "sample_rate": 100e3, "samples_per_file": 512, "fading": "rician", "doppler": (1, 5)},
], ids=["classic", "exact"])
def test_every_key_an_item_has_is_a_label_key(options):
    keys = _core.label_keys()
    assert len(set(keys)) == len(keys)
    dataset = quorvin.Dataset(quorvin.Config(["AM", "AM-SSB", "QPSK", "GMSK", "4FSK"], **options),
                              files_per_modulation=1, seed=3)
    for position in range(len(dataset)):
        _, labels = dataset[position]
        assert set(labels) <= set(keys), set(labels) - set(keys)

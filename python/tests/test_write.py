"""Dataset.write writes through quorvin-cli's own writers: the same files, byte for byte."""

import csv
import json
import os
import subprocess

import numpy as np
import pytest

import quorvin
from same_files import assert_same_files

CLI = os.environ.get("QUORVIN_CLI", "quorvin-cli")
NAMES = ["AM", "QPSK", "GMSK"]


def both(tmp_path, format, *arguments, **keywords):
    """The same run written by quorvin-cli and by Dataset.write: the two folders and the summary."""
    cli, python = tmp_path / "cli", tmp_path / "python"
    subprocess.run([CLI, "-m", ",".join(NAMES), "--files-per-modulation", "2", "--num-symbols", "64", "--seed", "5",
                    "--format", format, "--manifest", str(cli / "m.csv"), "-q", "--no-progress", "-o", str(cli),
                    *arguments], check=True, capture_output=True)
    dataset = quorvin.Dataset(quorvin.Config(NAMES, num_symbols=64), files_per_modulation=2, seed=5)
    summary = dataset.write(python, format, manifest=python / "m.csv", jobs=2, **keywords)
    assert summary["files_saved"] == 6 and summary["files_failed"] == 0 and summary["problems"] == []
    return cli, python, summary


@pytest.mark.parametrize("format, arguments, keywords", [
    ("csv", ["--save-settings"], {"save_settings": True}),
    ("sigmf", [], {}),
], ids=["csv", "sigmf"])
def test_sample_files_and_manifest_are_the_command_lines(tmp_path, format, arguments, keywords):
    cli, python, summary = both(tmp_path, format, *arguments, **keywords)
    assert summary["container"] is None
    assert_same_files(python, cli)


def test_container_holds_the_command_lines_samples_and_labels(tmp_path):
    pytest.importorskip("h5py")
    if os.environ.get("QUORVIN_CLI_HDF5", "1") == "0":
        pytest.skip("built without HDF5")
    cli, python, summary = both(tmp_path, "hdf5")
    assert summary["container"] == str(python / "dataset.h5")
    assert sorted(os.listdir(python)) == ["dataset.h5", "m.csv"]  # no temporary left
    assert (python / "m.csv").read_bytes() == (cli / "m.csv").read_bytes()
    samples, labels, classes = quorvin.read_hdf5(python / "dataset.h5")
    cli_samples, cli_labels, cli_classes = quorvin.read_hdf5(cli / "dataset.h5")
    assert classes == cli_classes == quorvin.classes
    assert [s.tobytes() for s in samples] == [s.tobytes() for s in cli_samples]
    assert labels.keys() == cli_labels.keys()
    for key, column in labels.items():
        np.testing.assert_array_equal(column, cli_labels[key], err_msg=key)


def test_each_recording_names_the_program_that_wrote_it(tmp_path):
    # The one difference between the two writers' recordings: core:recorder and the annotation's
    # core:generator, the same text, "quorvin-cli 0.1.0" or "quorvin-python 0.1.0".
    cli, python, _ = both(tmp_path, "sigmf")
    for folder, program in ((cli, "quorvin-cli"), (python, "quorvin-python")):
        with open(folder / "QPSK_signal_2.sigmf-meta", encoding="utf-8") as file:
            meta = json.load(file)
        names = {meta["global"]["core:recorder"], *(a["core:generator"] for a in meta["annotations"])}
        assert names == {f"{program} {quorvin.__version__}"}, folder


def test_a_manifest_that_cannot_be_written_is_refused_before_any_file(tmp_path):
    dataset = quorvin.Dataset(quorvin.Config("AM", num_symbols=16), files_per_modulation=1, seed=1)
    with pytest.raises(OSError, match="no-folder/m.csv: cannot be written"):
        dataset.write(tmp_path / "out", manifest=tmp_path / "no-folder" / "m.csv")
    assert os.listdir(tmp_path / "out") == []
    with pytest.raises(ValueError, match="format takes csv, sigmf or hdf5, not 'wav'"):
        dataset.write(tmp_path / "out", "wav")


def test_a_container_in_a_build_without_hdf5_is_refused(tmp_path):
    if os.environ.get("QUORVIN_CLI_HDF5", "1") != "0":
        pytest.skip("this build has HDF5")
    dataset = quorvin.Dataset(quorvin.Config("AM", num_symbols=16), files_per_modulation=1, seed=1)
    # The refusal says why: the option that left it out, or the library to install.
    with pytest.raises(ValueError, match=r"^format hdf5: this build has no HDF5 support \((it was built with "
                       r"-DQUORVIN_HDF5=OFF|the HDF5 C library was not found .*libhdf5-dev.*)\)$"):
        dataset.write(tmp_path, "hdf5")
    assert os.listdir(tmp_path) == []



# One HDF5 run of four 64 k-sample frames, written by quorvin-cli and by Dataset.write.
FRAMES = ["-m", "AM,QPSK", "--files-per-modulation", "2", "--signal-model", "exact", "--sample-rate", "100000",
          "--samples-per-file", "65536", "--seed", "3", "--format", "hdf5", "--no-progress"]
WRITE = """
import json, sys, quorvin
config = quorvin.Config(["AM", "QPSK"], signal_model="exact", sample_rate=100e3, samples_per_file=65536)
try:
    print(json.dumps(quorvin.Dataset(config, files_per_modulation=2, seed=3).write(sys.argv[1], "hdf5", manifest=sys.argv[2])))
except OSError as error:
    print(json.dumps(str(error)))
"""


def fault_outcomes(tmp_path, prepare, file_size_limit=None):
    """quorvin-cli's and Dataset.write's outcomes of FRAMES with `prepare` done to each folder's
    dataset.h5, each in a process whose files may grow to `file_size_limit` bytes: (status,
    stderr, stdout) and Dataset.write's summary, or its OSError's text."""
    import json
    import resource
    import sys

    def limit():
        if file_size_limit is not None:
            resource.setrlimit(resource.RLIMIT_FSIZE, (file_size_limit, file_size_limit))

    cli, python = tmp_path / "cli", tmp_path / "python"
    for folder in (cli, python):
        folder.mkdir()
        prepare(folder / "dataset.h5")
    result = subprocess.run([CLI, *FRAMES, "--manifest", str(cli / "m.csv"), "-o", str(cli)], capture_output=True,
                            text=True, preexec_fn=limit)
    written = subprocess.run([sys.executable, "-c", WRITE, str(python), str(python / "m.csv")], capture_output=True,
                             text=True, preexec_fn=limit, check=True)
    return (result.returncode, result.stderr, result.stdout), json.loads(written.stdout)


def hdf5_build():
    if os.environ.get("QUORVIN_CLI_HDF5", "1") == "0":
        pytest.skip("built without HDF5")


# A container that cannot be opened is refused before any file, by both front ends in the same words.
def test_a_container_that_cannot_be_opened_is_refused_alike(tmp_path):
    hdf5_build()
    (status, error, out), refusal = fault_outcomes(tmp_path, lambda path: path.mkdir())
    assert refusal.startswith(f"{tmp_path}/python/dataset.h5: ")
    assert status == 1 and out == ""
    assert error == "quorvin-cli: " + refusal.replace("/python/", "/cli/") + "\n"
    for folder in ("cli", "python"):
        assert os.listdir(tmp_path / folder) == ["dataset.h5"]


# A container that fails while it is written (a full disk: here a file-size limit met while a
# file is added, or only when the container is finished) stops the run; the manifest, whose rows
# name its places, goes with it. Both front ends keep neither and name both; no file counts as
# saved, since none is anywhere.
@pytest.mark.parametrize("file_size_limit, files_done", [(200_000, range(1, 5)), (2_150_000, [4])],
                         ids=["adding", "finishing"])
def test_a_container_that_fails_takes_its_manifest_alike(tmp_path, file_size_limit, files_done):
    hdf5_build()
    (status, error, out), summary = fault_outcomes(tmp_path, lambda path: None, file_size_limit=file_size_limit)
    container, manifest = str(tmp_path / "python" / "dataset.h5"), str(tmp_path / "python" / "m.csv")
    assert summary["container"] is None and summary["files_saved"] == 0
    assert summary["files_failed"] in files_done
    assert summary["problems"] == [f"{container}: File too large",
                                   f"{manifest}: not saved, its rows name places in {container}, which was not saved"]
    assert status == 1 and "Dataset saved" not in out
    assert out.endswith(f"Failed to save manifest to {tmp_path}/cli/m.csv\n")
    for problem in summary["problems"]:
        assert problem.replace("/python/", "/cli/") in error
    for folder in ("cli", "python"):
        assert os.listdir(tmp_path / folder) == []


CHANNEL = dict(signal_model="exact", sample_rate=50e3, samples_per_file=300, fading="rayleigh", doppler=(40, 40),
               carrier_phase=True, phase_noise=(3, 3))


@pytest.mark.parametrize("format, ending", [("csv", ".csv"), ("sigmf", ".sigmf-data")])
def test_channel_files_hold_the_datasets_channel(tmp_path, format, ending):
    dataset = quorvin.Dataset(quorvin.Config(["QPSK", "AM", "GMSK"], **CHANNEL), files_per_modulation=2, seed=7)
    summary = dataset.write(tmp_path, format, save_channel=True)
    assert summary["files_saved"] == 6 and summary["problems"] == []
    for position in range(len(dataset)):
        labels = dataset[position][1]
        stem = tmp_path / f"{labels['modulation']}_signal_{labels['file_index']}"
        channel, expected = quorvin.read_channel(str(stem) + ending), dataset.channel(position)
        assert channel.keys() == {"fading_taps", "phase"}
        # Each part rounded once to float32, as the samples are; the phase whole.
        assert channel["fading_taps"].dtype == np.complex64 and channel["fading_taps"].shape == (3, 300)
        assert channel["fading_taps"].tobytes() == expected["fading_taps"].astype(np.complex64).tobytes()
        assert channel["phase"].dtype == np.float64 and channel["phase"].tobytes() == expected["phase"].tobytes()
        header = (tmp_path / (stem.name + ".phase.npy")).read_bytes()[:128]
        assert header.startswith(b"\x93NUMPY\x01\x00") and (10 + int.from_bytes(header[8:10], "little")) % 64 == 0


def test_channel_files_only_for_the_stages_a_file_drew(tmp_path):
    exact = dict(signal_model="exact", sample_rate=50e3, samples_per_file=100)
    fading_only = quorvin.Dataset(quorvin.Config(["QPSK", "AM"], fading="rician", **exact), 1, seed=2)
    fading_only.write(tmp_path / "fading", save_channel=True)
    assert sorted(os.listdir(tmp_path / "fading")) == ["AM_signal_1.csv", "AM_signal_1.taps.npy",
                                                       "QPSK_signal_1.csv", "QPSK_signal_1.taps.npy"]
    assert quorvin.read_channel(tmp_path / "fading" / "AM_signal_1.csv").keys() == {"fading_taps"}
    still = quorvin.Dataset(quorvin.Config(["QPSK", "AM"], **exact), 1, seed=2)
    still.write(tmp_path / "still", save_channel=True)
    assert sorted(os.listdir(tmp_path / "still")) == ["AM_signal_1.csv", "QPSK_signal_1.csv"]
    assert quorvin.read_channel(tmp_path / "still" / "AM_signal_1.csv") == {}
    # A later run without the channel takes away the channel files of the sample files it replaces.
    fading_only.write(tmp_path / "still", save_channel=True)
    still.write(tmp_path / "still")
    assert sorted(os.listdir(tmp_path / "still")) == ["AM_signal_1.csv", "QPSK_signal_1.csv"]


def test_container_channel_datasets_hold_the_datasets_channel(tmp_path):
    h5py = pytest.importorskip("h5py")
    if os.environ.get("QUORVIN_CLI_HDF5", "1") == "0":
        pytest.skip("built without HDF5")
    dataset = quorvin.Dataset(quorvin.Config(["QPSK", "AM", "GMSK"], **CHANNEL), files_per_modulation=2, seed=7)
    dataset.write(tmp_path, "hdf5", save_channel=True)
    with h5py.File(tmp_path / "dataset.h5") as container:
        taps, phase = container["channel_taps"][...], container["channel_phase"][...]
    assert taps.shape == (6, 3, 300) and taps.dtype == np.complex64 and phase.shape == (6, 300)
    for position in range(len(dataset)):
        expected = dataset.channel(position)
        assert taps[position].tobytes() == expected["fading_taps"].astype(np.complex64).tobytes()
        assert phase[position].tobytes() == expected["phase"].tobytes()
    with pytest.raises(OSError, match="--save-channel .*--samples-per-file"):
        quorvin.Dataset(quorvin.Config("QPSK", signal_model="exact", phase_noise=(1, 1)), 1, seed=1).write(
            tmp_path / "varied", "hdf5", save_channel=True)


def test_save_channel_is_refused_for_the_classic_model(tmp_path):
    with pytest.raises(ValueError, match="save_channel applies to signal_model='exact' only"):
        quorvin.Dataset(quorvin.Config("QPSK", signal_model="classic"), 1, seed=1).write(tmp_path / "p", save_channel=True)
    run = subprocess.run([CLI, "-m", "QPSK", "--signal-model", "classic", "--save-channel", "-o", str(tmp_path / "c")],
                         capture_output=True, text=True)
    assert run.returncode == 2 and "--save-channel applies to --signal-model exact only" in run.stderr
    assert not (tmp_path / "p").exists() and not (tmp_path / "c").exists()


def test_a_shard_is_the_command_lines_and_written_again_the_same(tmp_path):
    """A shard run again over its own files (its worker died) leaves the same bytes, and clears the
    temporary a killed writer left."""
    subprocess.run([CLI, "-m", ",".join(NAMES), "--files-per-modulation", "3", "--num-symbols", "64", "--seed", "5",
                    "--shard", "1/4", "--format", "sigmf", "--manifest", str(tmp_path / "cli" / "m.csv"), "-q",
                    "--no-progress", "-o", str(tmp_path / "cli")], check=True, capture_output=True)
    dataset = quorvin.Dataset(quorvin.Config(NAMES, num_symbols=64), files_per_modulation=3, seed=5)
    folder = tmp_path / "python"
    told = []
    for _ in range(2):
        summary = dataset.write(folder, "sigmf", manifest=folder / "m.csv", shard=(1, 4),
                                progress=lambda *counts: told.append(counts))
        assert summary["files_saved"] == 2 and summary["problems"] == []
        (folder / ".qv-p0badf00.partial").write_bytes(b"left by a killed writer")  # a POSIX writer's name
    (folder / ".qv-p0badf00.partial").unlink()
    rows = csv.DictReader((folder / "m.csv").read_text(encoding="utf-8").splitlines())
    lengths = [int(row["num_samples"]) for row in rows]
    assert told == [(1, 2, lengths[0]), (2, 2, sum(lengths))] * 2
    assert "dataset-1-of-4.sigmf-collection" in os.listdir(folder)
    assert_same_files(folder, tmp_path / "cli")


@pytest.mark.parametrize("shard, error, message", [
    ((4, 4), ValueError, r"shard \(K\) takes a whole number from 0 to 3, not 4"),
    ((0, 0), ValueError, r"shard \(N\) takes a whole number from 1 to 4294967295, not 0"),
    ("1/4", TypeError, "shard takes a pair"),
], ids=["k-beyond-n", "no-shards", "text"])
def test_a_shard_outside_the_run_is_refused(tmp_path, shard, error, message):
    dataset = quorvin.Dataset(quorvin.Config("AM", num_symbols=16), files_per_modulation=1, seed=1)
    with pytest.raises(error, match=message):
        dataset.write(tmp_path, shard=shard)

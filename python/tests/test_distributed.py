"""Runs on a real Dask cluster (a scheduler and two worker processes) make quorvin-cli's unsharded
run byte for byte, a worker killed mid-run included; shard manifests merge into the run's."""

import os
import signal
import subprocess
import sys
import threading
import time

import pytest

import quorvin
from same_files import assert_same_files
from quorvin.distributed import generate, main, merge_manifests, shard_manifest_path

CLI = os.environ.get("QUORVIN_CLI", "quorvin-cli")
# 22 names x 14 files = 308 short recordings.
NAMES, FILES, SEED = "all", 14, 11
OPTIONS = {"signal_model": "exact", "sample_rate": 100000, "samples_per_file": 256}
ARGUMENTS = ["-m", NAMES, "--files-per-modulation", str(FILES), "--seed", str(SEED), "--signal-model", "exact",
             "--sample-rate", "100000", "--samples-per-file", "256", "-q", "--no-progress"]


def command_line_run(folder, *extra):
    subprocess.run([CLI, *ARGUMENTS, "-o", str(folder), "--manifest", str(folder / "manifest.csv"), *extra],
                   check=True, capture_output=True)
    return folder


@pytest.fixture(scope="module")
def client():
    """A scheduler and two worker processes; the tests that need one skip without Dask (the merge needs none)."""
    distributed = pytest.importorskip("distributed")
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0")
    with distributed.Client(cluster) as connected:
        yield connected
    cluster.close()


@pytest.fixture(scope="module")
def unsharded(tmp_path_factory):
    return command_line_run(tmp_path_factory.mktemp("cli"), "--format", "sigmf")


def test_a_run_on_two_workers_is_the_unsharded_run(client, unsharded, tmp_path):
    told = []
    path = generate(quorvin.Config(NAMES, **OPTIONS), FILES, SEED, tmp_path / "ds", client,
                    progress=lambda *counts: told.append(counts))
    assert path == str(tmp_path / "ds" / "manifest.csv")
    assert_same_files(tmp_path / "ds", unsharded)
    assert told[-1] == (308, 308, 308 * 256)
    assert all(later[0] >= earlier[0] for earlier, later in zip(told, told[1:]))


def test_a_worker_killed_while_it_writes_changes_nothing(client, unsharded, tmp_path):
    folder = tmp_path / "ds"
    pids = client.run(os.getpid)
    victim = sorted(pids.values())[0]
    outcome = {}
    run = threading.Thread(target=lambda: outcome.update(path=generate(
        quorvin.Config(NAMES, **OPTIONS), FILES, SEED, folder, client, shards=4)))
    run.start()
    # Killed as soon as files are being put in place: some done, a temporary open.
    deadline, writing = time.monotonic() + 30, False
    while time.monotonic() < deadline and not writing:
        names = os.listdir(folder) if folder.exists() else []
        writing = len(names) > 40 and any(name.endswith(".partial") for name in names)
    assert writing and run.is_alive()
    os.kill(victim, signal.SIGKILL)
    run.join(60)
    assert outcome.get("path") == str(folder / "manifest.csv")
    assert victim not in client.run(os.getpid).values()  # the engine replaced the worker
    assert_same_files(folder, unsharded)  # the manifest too: every row once, in plan order


def test_a_file_that_failed_is_named_after_the_merge(client, tmp_path):
    folder = tmp_path / "ds"
    folder.mkdir()
    (folder / "AM_signal_2.csv").write_text("kept")
    (folder / "AM_signal_2.csv").chmod(0o444)  # refused even to root
    with pytest.raises(RuntimeError, match=r"^not every file was saved: .*AM_signal_2.csv.*; .*manifest.csv says"):
        generate(quorvin.Config("AM", num_symbols=16), 3, 1, folder, client, format="csv")
    rows = quorvin.read_manifest(folder / "manifest.csv")
    saved = list(rows["saved"]) if hasattr(rows, "columns") else [row["saved"] == "true" for row in rows]
    assert saved == [True, False, True] and (folder / "AM_signal_2.csv").read_text() == "kept"


def test_the_command_line_runs_on_dask_scheduler_and_dask_worker_processes(unsharded, tmp_path):
    pytest.importorskip("distributed")
    plan = tmp_path / "scheduler.json"
    started = [subprocess.Popen(["dask-scheduler", "--scheduler-file", str(plan), "--port", "0",
                                 "--dashboard-address", ":0"], stderr=subprocess.DEVNULL)]
    try:
        deadline = time.monotonic() + 30
        while not plan.exists() and time.monotonic() < deadline:
            time.sleep(0.05)
        started.append(subprocess.Popen(["dask-worker", "--scheduler-file", str(plan), "--nworkers", "2",
                                         "--nthreads", "1", "--no-dashboard"], stderr=subprocess.DEVNULL))
        subprocess.run([sys.executable, "-m", "quorvin.distributed", "--scheduler-file", str(plan),
                        *ARGUMENTS, "--format", "sigmf", "-o", str(tmp_path / "ds")], check=True, timeout=60,
                       stderr=subprocess.DEVNULL)
    finally:
        for process in reversed(started):
            process.terminate()
            process.wait(30)
    assert_same_files(tmp_path / "ds", unsharded)


def test_hdf5_shards_are_indexed_by_the_merged_manifest(client, tmp_path):
    h5py = pytest.importorskip("h5py")
    if os.environ.get("QUORVIN_CLI_HDF5", "1") == "0":
        pytest.skip("built without HDF5")
    reference = command_line_run(tmp_path / "cli", "--format", "hdf5")
    path = generate(quorvin.Config(NAMES, **OPTIONS), FILES, SEED, tmp_path / "ds", client, format="hdf5", shards=3)
    assert sorted(os.listdir(tmp_path / "ds")) == ["dataset-0-of-3.h5", "dataset-1-of-3.h5", "dataset-2-of-3.h5",
                                                   "manifest.csv"]
    iq, _, _ = quorvin.read_hdf5(reference / "dataset.h5")
    rows = quorvin.read_manifest(path)
    places = list(rows["sample_file"]) if hasattr(rows, "columns") else [row["sample_file"] for row in rows]
    assert places[:4] == ["dataset-0-of-3.h5#0", "dataset-1-of-3.h5#0", "dataset-2-of-3.h5#0", "dataset-0-of-3.h5#1"]
    for position, place in enumerate(places):
        container, row = place.split("#")
        with h5py.File(tmp_path / "ds" / container) as file:
            assert file["iq"][int(row)].tobytes() == iq[position].tobytes(), place


@pytest.fixture(scope="module")
def shard_manifests(tmp_path_factory):
    """quorvin-cli --shard K/3 runs (classic, CSV) with their manifests beside the merged one."""
    folder = tmp_path_factory.mktemp("shards")
    common = ["-m", "QPSK,AM,GMSK", "--files-per-modulation", "4", "--num-symbols", "16", "--seed", "3",
              "--signal-model", "classic", "-q", "--no-progress", "-o", str(folder / "ds")]
    subprocess.run([CLI, *common, "--manifest", str(folder / "whole.csv")], check=True, capture_output=True)
    for k in range(3):
        subprocess.run([CLI, *common, "--shard", f"{k}/3", "--manifest", shard_manifest_path(folder / "m.csv", k, 3)],
                       check=True, capture_output=True)
    return folder, [shard_manifest_path(folder / "m.csv", k, 3) for k in range(3)]


def test_the_merge_command_makes_the_unsharded_manifest(shard_manifests):
    folder, shards = shard_manifests
    subprocess.run([sys.executable, "-m", "quorvin.distributed", "merge", "--seed", "3", "-o", str(folder / "m.csv"),
                    *shards], check=True)
    assert (folder / "m.csv").read_bytes() == (folder / "whole.csv").read_bytes()


@pytest.mark.parametrize("order, change, message", [
    ([1, 0, 2], None, "row 1 would be AM file 2, out of plan order"),
    ([0, 1], None, "row 3 would be AM file 4, out of plan order"),
    ([0, 1, 2], lambda text: text[:text.rstrip("\n").rfind("\n") + 1],
     "3 files, where shard 1/3 of a run of 11 files has 4"),
    ([0, 1, 2], lambda text: text.replace("sample_file", "file", 1), "columns differ"),
    ([0, 1, 2], lambda text: text[:-1], "last line is not complete"),
], ids=["out-of-order", "one-missing", "stopped-early", "other-columns", "cut-short"])
def test_the_merge_refuses_shards_that_do_not_make_a_run(shard_manifests, tmp_path, order, change, message):
    folder, shards = shard_manifests
    given = [shards[k] for k in order]
    if change is not None:
        altered = tmp_path / "altered.csv"
        with open(given[1], encoding="utf-8", newline="") as file:
            altered.write_text(change(file.read()), encoding="utf-8", newline="")
        given[1] = altered
    with pytest.raises(ValueError, match=message):
        merge_manifests(given, tmp_path / "m.csv", seed=3)
    assert not (tmp_path / "m.csv").exists()


@pytest.mark.parametrize("keywords, message", [
    ({"format": "wav"}, "format takes csv, sigmf or hdf5, not 'wav'"),
    ({"shards": 0}, "shards takes a whole number from 1 to 4294967295, not 0"),
    ({"shards": 2.0}, "shards takes a whole number from 1 to 4294967295, not 2.0"),
], ids=["format", "no-shards", "float-shards"])
def test_generate_refuses_before_any_file(client, tmp_path, keywords, message):
    with pytest.raises(ValueError, match=message):
        generate(quorvin.Config("AM", num_symbols=16), 2, 1, tmp_path / "ds", client, **keywords)
    assert not (tmp_path / "ds").exists()


def test_the_command_line_names_a_refused_option_as_given(capsys):
    assert main(["-m", "QPSK", "--seed", "1", "--sample-rate", "10k"]) == 2
    assert capsys.readouterr().err == ("quorvin.distributed: Invalid Sample Rate. --sample-rate takes a number above 0, "
                                         "not '10k'\n")


# Scene runs: a capture has one manifest row per emitter (one for a capture of the floor alone),
# so shards are merged capture by capture. 5 names x 4 scenes, Noise's among them.
SCENE_NAMES = ["QPSK", "Noise", "AM", "CW", "QAM16"]
SCENE_ARGUMENTS = ["-m", ",".join(SCENE_NAMES), "--signal-model", "exact", "--scene", "wideband", "--emitters-min",
                   "1", "--emitters-max", "3", "--sample-rate", "1000000", "--samples-per-file", "4096",
                   "--files-per-modulation", "4", "--seed", "1", "-q", "--no-progress"]


def scene_run(folder, manifest, *extra):
    subprocess.run([CLI, *SCENE_ARGUMENTS, "-o", str(folder), "--manifest", str(manifest), *extra], check=True,
                   capture_output=True)


@pytest.fixture(scope="module")
def scene_shards(tmp_path_factory):
    """The unsharded scene run and its --shard K/3 runs, per format, manifests beside the merged one."""
    made = {}
    for format in ("sigmf", "hdf5"):
        if format == "hdf5" and os.environ.get("QUORVIN_CLI_HDF5", "1") == "0":
            continue
        folder = tmp_path_factory.mktemp(format)
        scene_run(folder / "whole", folder / "whole.csv", "--format", format)
        for k in range(3):
            scene_run(folder / "ds", shard_manifest_path(folder / "m.csv", k, 3), "--format", format, "--shard",
                      f"{k}/3")
        made[format] = folder, [shard_manifest_path(folder / "m.csv", k, 3) for k in range(3)]
    return made


def test_a_scene_run_on_two_workers_is_the_unsharded_run(client, tmp_path):
    reference = tmp_path / "cli"
    scene_run(reference, reference / "manifest.csv", "--format", "sigmf")
    config = quorvin.Config(SCENE_NAMES, scene="wideband", emitters=(1, 3), samples_per_file=4096, sample_rate=1e6)
    generate(config, 4, 1, tmp_path / "ds", client, shards=8)
    assert_same_files(tmp_path / "ds", reference)


@pytest.mark.parametrize("format", ["sigmf", "hdf5"])
def test_merged_scene_shards_make_the_unsharded_manifest(scene_shards, format):
    if format not in scene_shards:
        pytest.skip("built without HDF5")
    folder, shards = scene_shards[format]
    subprocess.run([sys.executable, "-m", "quorvin.distributed", "merge", "-o", str(folder / "m.csv"), *shards],
                   check=True)
    merged = (folder / "m.csv").read_text().splitlines()
    whole = (folder / "whole.csv").read_text().replace("whole/", "ds/").splitlines()
    if format == "hdf5":  # each shard's own container: capture p is row p // 3 of shard p % 3's
        places = sorted({line.split(",")[0] for line in merged[1:]}, key=lambda place: place.split("#")[::-1])
        assert places[:4] == ["ds/dataset-0-of-3.h5#0", "ds/dataset-1-of-3.h5#0", "ds/dataset-2-of-3.h5#0",
                              "ds/dataset-0-of-3.h5#1"]
        merged, whole = ([line.split(",", 1)[1] for line in lines] for lines in (merged, whole))
    assert merged == whole
    assert len(whole) > 21  # several emitters in most of the 20 captures


@pytest.mark.parametrize("order, change, message", [
    ([1, 0, 2], None, r"m\.csv\.shard-1-of-3: file 1 would be scene 2 \(AM\), out of plan order"),
    ([0, 1, 2], lambda lines: lines[:-1], r"altered\.csv: 19 files in all, not 4 for each name \(a shard that stopped early\)"),
    ([0, 1, 2], lambda lines: lines[:1] + lines[2:], r"altered\.csv: line 2 holds emitter 2 where emitter a capture's first \(1\) was due"),
], ids=["out-of-order", "stopped-early", "first-emitter-lost"])
def test_the_merge_refuses_scene_shards_naming_the_shard(scene_shards, tmp_path, order, change, message):
    folder, shards = scene_shards["sigmf"]
    given = [shards[k] for k in order]
    if change is not None:
        with open(given[1], encoding="utf-8", newline="") as file:
            lines = file.read().splitlines(keepends=True)
        (tmp_path / "altered.csv").write_text("".join(change(lines)), encoding="utf-8", newline="")
        given[1] = tmp_path / "altered.csv"
    with pytest.raises(ValueError, match=message):
        merge_manifests(given, tmp_path / "m.csv")
    assert not (tmp_path / "m.csv").exists()


# A seed-2 shard 1/3 between seed-1 shards 0 and 2 of QPSK,AM x 3 (shard 1 holds AM file 2 and
# QPSK file 2): refused in every format, naming the shard and what differs.
ANOTHER_RUN = {
    "sigmf": ([], "{shards[1]}: a shard of the run of seed 2 ({tmp_path}/ds/AM_signal_2.sigmf-meta), not of seed 1 "
                  "as {shards[0]} (shards of different runs)"),
    "hdf5": ([], "{shards[1]}: a shard of the run of seed 2 ({tmp_path}/ds/dataset-1-of-3.h5), not of seed 1 as "
                 "{shards[0]} (shards of different runs)"),
    "csv": (["--seed", "1"], "{shards[1]}: AM file 2 has other seeds than the run of seed 1 gives it (shards of "
                             "different runs)"),
    "csv-scenes": (["--seed", "1"], "{shards[1]}: scene 2's emitter 1 (AM) has other seeds than the run of seed 1 "
                                    "gives it (shards of different runs)"),
    "csv-no-seed": ([], "{shards[0]}: its files name no run seed (CSV files keep none): give the run's seed "
                        "(--seed N) so that shards of different runs are told apart"),
    "given-seed": (["--seed", "2"], "{shards[0]}: a shard of the run of seed 1 ({tmp_path}/ds/AM_signal_1.sigmf-meta), "
                                    "not of seed 2 given to the merge (shards of different runs)"),
}


@pytest.mark.parametrize("case", list(ANOTHER_RUN))
def test_the_merge_refuses_a_shard_of_another_run(tmp_path, case):
    if case == "hdf5" and os.environ.get("QUORVIN_CLI_HDF5", "1") == "0":
        pytest.skip("built without HDF5")
    format = {"csv-scenes": "csv", "csv-no-seed": "csv", "given-seed": "sigmf"}.get(case, case)
    scenes = ["--scene", "wideband", "--emitters-min", "1", "--emitters-max", "2", "--sample-rate", "1000000",
              "--samples-per-file", "4096"] if case == "csv-scenes" else ["--num-symbols", "16"]
    common = ["-m", "QPSK,AM", "--files-per-modulation", "3", *scenes, "-q", "--no-progress", "--format", format,
              "-o", str(tmp_path / "ds")]
    shards = [shard_manifest_path(tmp_path / "m.csv", k, 3) for k in range(3)]
    for k, seed in enumerate((1, 2, 1)):
        subprocess.run([CLI, *common, "--seed", str(seed), "--shard", f"{k}/3", "--manifest", shards[k]], check=True,
                       capture_output=True)
    given, message = ANOTHER_RUN[case]
    merge = subprocess.run([sys.executable, "-m", "quorvin.distributed", "merge", "-o", str(tmp_path / "m.csv"), *given,
                            *shards], capture_output=True, text=True)
    assert (merge.returncode, merge.stderr) == (1, f"quorvin.distributed: {message.format(shards=shards, tmp_path=tmp_path)}\n")
    assert not (tmp_path / "m.csv").exists()

"""A run made on a Dask cluster (Debian's ``python3-distributed``), shard by shard.

``generate(config, files_per_modulation, seed, folder, client)`` splits the run into N shards
(plan positions p with p mod N = K, as ``quorvin-cli --shard K/N``), writes each on a worker
through the core (``Dataset.write`` with a shard), every file renamed into place only when
complete, then merges the shards' manifests (and SigMF collections) into one in plan order. A shard's files, manifest and
container depend only on the seed, so a shard the engine runs again (its worker died) writes the
same bytes over the same names; the temporaries a killed writer left are cleared by the next
shard in that folder and once more at the end.

``python3 -m quorvin.distributed`` starts the same from the command line, and
``python3 -m quorvin.distributed merge -o manifest.csv SHARD-MANIFESTS...`` merges the manifests
of ``--shard K/N`` runs made elsewhere (a Slurm job array, a Kubernetes indexed Job).
"""

from __future__ import annotations

import argparse
import csv
import json
import os
import re
import sys
import time
import uuid
from typing import Any, Callable, Sequence

from . import _CONTROL, _DECLARED, Config, Dataset, _core, _read_config_file, _suggestion

__all__ = ["generate", "merge_manifests", "shard_manifest_path"]

# Seconds between a shard's progress messages: a file's worth of work or a quarter second.
_PROGRESS_INTERVAL = 0.25
# Seconds between looks at the shards: what a run may end later than its last shard.
_POLL_INTERVAL = 0.01


def shard_manifest_path(manifest: str | os.PathLike, shard: int, shards: int) -> str:
    """Where shard K of N keeps its manifest until the merge: beside the merged one (so its file
    names are seen from the same folder), hidden: ``.manifest.csv.shard-K-of-N``."""
    folder, name = os.path.split(os.fspath(manifest))
    return os.path.join(folder, f".{name}.shard-{shard}-of-{shards}")


def _records(text: str) -> list[str]:
    """A manifest's lines, each with its "\\n", a line break inside a quoted cell kept in its line."""
    records, start, quoted = [], 0, False
    for at, character in enumerate(text):
        if character == '"':
            quoted = not quoted
        elif character == "\n" and not quoted:
            records.append(text[start:at + 1])
            start = at + 1
    if start < len(text) or quoted:
        raise ValueError("its last line is not complete")
    return records


def _captures(rows: list[str], header: str, source: str) -> list[list[str]]:
    """A manifest's rows by the file they label: one row each in a run of single signals; in a scene
    run a capture's rows, its emitters 1, 2, ... (one row with an empty emitter for a capture of
    the floor alone), so a scene may have any number of rows."""
    columns = next(csv.reader([header]))
    if "emitter" not in columns or "file_index" in columns:
        return [[row] for row in rows]
    emitter_at = columns.index("emitter")
    captures: list[list[str]] = []
    for number, (row, cells) in enumerate(zip(rows, csv.reader(rows)), 2):
        emitter = cells[emitter_at] if emitter_at < len(cells) else ""
        if emitter in ("", "1"):
            captures.append([row])
        elif captures and emitter == str(len(captures[-1]) + 1):
            captures[-1].append(row)
        else:
            due = f"{len(captures[-1]) + 1} or " if captures else ""
            raise ValueError(f"{source}: line {number} holds emitter {emitter} where emitter {due}a capture's first "
                             "(1) was due (rows lost)")
    return captures


def _check_plan_order(captures: list[list[str]], header: str, sources: Sequence[str]) -> None:
    """Files must run through the plan: each name's files 1 .. F in turn, F the same for every name
    (a scene's first emitter is of the name at its place, and its capture is scene_signal_<p + 1>).
    ``sources[p % len(sources)]`` is the file capture p came from, named in a refusal."""
    columns = next(csv.reader([header]))
    scenes = "file_index" not in columns
    try:
        name_at, index_at = columns.index("modulation"), columns.index("emitter" if scenes else "file_index")
        file_at = columns.index("sample_file")
    except ValueError:
        raise ValueError(f"{sources[0]}: not a manifest (no sample_file, modulation, file_index or emitter "
                         "column)") from None
    firsts = list(csv.reader([capture[0] for capture in captures]))
    names = [row[name_at] for row in firsts]
    files = next((p for p, name in enumerate(names) if name != names[0]), len(names))
    for position, (name, row) in enumerate(zip(names, firsts)):
        source = sources[position % len(sources)]
        index = str(position % files + 1) if scenes else row[index_at]
        first = names[position - position % files]
        number = re.search(r"_(\d+)\.[^/\\]*$", row[file_at]) if scenes else None
        if index != str(position % files + 1) or name != first or (number and number[1] != str(position + 1)) or (
                position % files == 0 and position and name == names[position - 1]):
            what = f"scene {number[1] if number else position + 1} ({name})" if scenes else f"{name} file {index}"
            raise ValueError(f"{source}: {'file' if scenes else 'row'} {position + 1} would be {what}, out of plan "
                             "order (shards given in another order than 0..N-1, or of different runs)")
    if names and len(names) % files:
        # Capture p comes from shard p mod N: the one that would have held the next stopped early.
        raise ValueError(f"{sources[len(names) % len(sources)]}: {len(names)} files in all, not {files} for each "
                         "name (a shard that stopped early)")


def _run_seed(path: str, rows: list[list[str]], header: str) -> tuple[int, str] | None:
    """The run seed a shard's files name and the file that names it: its first SigMF recording that
    can be read (``quorvin:run_seed``), or its HDF5 container (attribute ``run_seed``, read with
    h5py where it is installed); None for CSV files, which keep no seed."""
    columns = next(csv.reader([header]))
    folder = os.path.dirname(path)
    at = columns.index("metadata_file") if "metadata_file" in columns else None
    for capture in rows[:16]:  # a run's recordings all have metadata, or none has
        cells = next(csv.reader(capture[:1]))
        if at is not None and at < len(cells) and cells[at]:
            metadata = os.path.join(folder, cells[at])
            try:
                with open(metadata, encoding="utf-8") as file:
                    seed = json.load(file).get("global", {}).get("quorvin:run_seed")
            except (OSError, ValueError, AttributeError):
                continue  # a file that failed: the next one tells
            return (seed, metadata) if isinstance(seed, int) else None
        container = cells[0].rpartition("#")[0] if cells and "#" in cells[0] else ""
        if container.endswith(".h5"):
            return _container_seed(os.path.join(folder, container))
    return None


def _container_seed(container: str) -> tuple[int, str] | None:
    try:
        import h5py  # noqa: PLC0415 (only for HDF5 shards)
    except ImportError:
        return None
    try:
        with h5py.File(container, "r") as file:
            seed = file.attrs.get("run_seed")
    except OSError as error:
        raise ValueError(f"{container}: cannot be read ({error})") from None
    return (int(seed), container) if seed is not None else None


def _check_one_run(paths: Sequence[str], parts: list[list[list[str]]], header: str, seed: int | None) -> int:
    """The run seed of the shards: ``seed`` when given, else the one shard 0's files name. Refuses a
    shard whose files name another, and shards that name none when none is given (CSV files)."""
    first = (seed, None, "given to the merge") if seed is not None else None
    for path, part in zip(paths, parts):
        told = _run_seed(path, part, header)
        if told is None:
            continue
        if first is None:
            first = told + (f"as {path}",)
        elif told[0] != first[0]:
            raise ValueError(f"{path}: a shard of the run of seed {told[0]} ({told[1]}), not of seed {first[0]} "
                             f"{first[2]} (shards of different runs)")
    if first is None:
        raise ValueError(f"{paths[0]}: its files name no run seed (CSV files keep none): give the run's seed "
                         "(--seed N) so that shards of different runs are told apart")
    return first[0]


def _check_file_seeds(paths: Sequence[str], parts: list[list[list[str]]], header: str, seed: int) -> None:
    """Refuses a shard holding a file whose symbol or noise seed is not the one the run of ``seed``
    gives it (a file's from its name and index, a scene emitter's from the scene's place), and a
    shard whose files hold no seed at all (a run without --seed)."""
    columns = next(csv.reader([header]))
    if "symbol_seed" not in columns or "noise_seed" not in columns:
        raise ValueError(f"{paths[0]}: no symbol_seed and noise_seed columns, so its run cannot be checked")
    at = [columns.index(key) for key in ("modulation", "symbol_seed", "noise_seed")]
    scenes = "file_index" not in columns
    index_at = columns.index("emitter" if scenes else "file_index")
    for shard, (path, part) in enumerate(zip(paths, parts)):
        seeded = not part
        for place, capture in enumerate(part):
            position = shard + place * len(paths)
            for cells in csv.reader(capture):
                name, told = cells[at[0]], [cells[k] for k in at[1:]]
                if not cells[index_at] or not any(told):
                    continue  # a capture of the floor alone, or a file that draws no engine
                seeded = True
                number = int(cells[index_at])
                due = (_core.scene_emitter_seeds(seed, position, number, name) if scenes else
                       _core.file_seeds(seed, name, number))
                if any(cell and cell != str(value) for cell, value in zip(told, due)):
                    what = f"scene {position + 1}'s emitter {number} ({name})" if scenes else f"{name} file {number}"
                    raise ValueError(f"{path}: {what} has other seeds than the run of seed {seed} gives it "
                                     "(shards of different runs)")
        if not seeded:
            raise ValueError(f"{path}: its files hold no seeds (a run without --seed), so they are no shard of the "
                             f"run of seed {seed}")


def merge_manifests(shards: Sequence[str | os.PathLike], manifest: str | os.PathLike, seed: int | None = None) -> str:
    """Merges the manifests of shards 0/N .. N-1/N (``shards``, in that order, each written beside
    ``manifest``) into ``manifest``: file p from shard p mod N (a scene's rows together), so the
    result is byte for byte the manifest of the unsharded run. Refuses (ValueError naming the shard's
    file) shards with different columns, a shard with too few or too many files for its place (one
    stopped early, one missing), files out of plan order, and shards of different runs: a shard
    whose SigMF recordings or HDF5 container name another run seed than ``seed`` (by default the
    one shard 0's name), or holding a file whose symbol or noise seed is not the run's. CSV files
    name no seed: their shards need ``seed``. Written as every output file is, so
    ``manifest`` is either the whole merged manifest or left as it was. Returns ``manifest``'s path."""
    paths = [os.fspath(path) for path in shards]
    if not paths:
        raise ValueError("no shard manifests to merge")
    if seed is not None and (isinstance(seed, bool) or not isinstance(seed, int) or not 0 <= seed <= 2**32 - 1):
        raise ValueError(f"seed takes a whole number from 0 to {2**32 - 1}, not {seed!r}")
    header, parts = None, []
    for path in paths:
        with open(path, encoding="utf-8", newline="") as file:
            text = file.read()
        try:
            records = _records(text)
        except ValueError as error:
            raise ValueError(f"{path}: {error}") from None
        if not records:
            raise ValueError(f"{path}: empty, not a manifest")
        if header is None:
            header = records[0]
        elif records[0] != header:
            raise ValueError(f"{path}: its columns differ from {paths[0]}'s")
        parts.append(_captures(records[1:], header, path))
    run_seed = _check_one_run(paths, parts, header or "", seed)
    count, total = len(parts), sum(len(part) for part in parts)
    for shard, (path, part) in enumerate(zip(paths, parts)):
        expected = (total - shard + count - 1) // count if total > shard else 0
        if len(part) != expected:
            raise ValueError(f"{path}: {len(part)} files, where shard {shard}/{count} of a run of {total} files has "
                             f"{expected} (a shard that stopped early or is missing)")
    captures = [parts[p % count][p // count] for p in range(total)]
    _check_plan_order(captures, header or "", paths)
    _check_file_seeds(paths, parts, header or "", run_seed)
    _core.write_file(os.fsdecode(manifest), "".join([header or "", *(row for c in captures for row in c)]).encode("utf-8"))
    return os.fspath(manifest)


def _merge_collections(shards: Sequence[str | os.PathLike], manifest: str | os.PathLike, collection: str | os.PathLike) -> None:
    """Merges the SigMF collections of shards 0/N .. N-1/N (``shards``) into ``collection``, their
    recordings in the plan order of the merged ``manifest``: the unsharded run's collection."""
    streams, first = [], None
    for path in shards:
        with open(path, encoding="utf-8") as f:
            listed = json.load(f)["collection"]
        first = first or listed
        streams.extend(listed["core:streams"])
    with open(manifest, newline="", encoding="utf-8") as f:
        order = {os.path.basename(row["metadata_file"])[: -len(".sigmf-meta")]: place
                 for place, row in enumerate(csv.DictReader(f))}
    streams.sort(key=lambda stream: order.get(stream["name"], len(order)))
    merged = {"collection": dict(first or {"core:version": "1.2.5"}, **{"core:streams": streams})}
    text = json.dumps(merged, indent=2, sort_keys=True, ensure_ascii=False) + "\n"
    _core.write_file(os.fsdecode(collection), text.encode("utf-8"))


def _write_shard(dataset: Dataset, shard: int, shards: int, folder: str, format: str, manifest: str,
                 options: dict[str, Any], topic: str | None) -> dict[str, Any]:
    """One shard on a worker: its files, its manifest (and container); the summary, with its samples."""
    samples = [0]
    report: Callable[[int, int, int], None] | None = None
    if topic is not None:
        from distributed import get_worker  # noqa: PLC0415 (on the worker)

        worker, last = get_worker(), [0.0]

        def report(done: int, total: int, samples_done: int) -> None:
            samples[0] = samples_done
            now = time.monotonic()
            if now - last[0] >= _PROGRESS_INTERVAL or done == total:
                last[0] = now
                worker.log_event(topic, (shard, done, samples_done))  # sent with the worker's next batch
    summary = dataset.write(folder, format, manifest=manifest, shard=(shard, shards), progress=report, **options)
    summary["samples"] = samples[0]
    return summary


def _default_client() -> Any:
    from distributed import default_client  # noqa: PLC0415

    try:
        return default_client()
    except ValueError:
        raise ValueError("client: no Dask client given and none started (distributed.Client(...))") from None


def generate(config: Config, files_per_modulation: int, seed: int, folder: str | os.PathLike, client: Any = None,
             format: str = "sigmf", manifest: str | os.PathLike | None = None, shards: int | None = None,
             compress: bool = False, save_settings: bool = False, save_channel: bool = False, jobs: int = 1,
             progress: Callable[[int, int, int], Any] | None = None, save_symbols: bool = False) -> str:
    """Makes the run ``quorvin-cli --seed seed -o folder --format format`` makes, on the workers of
    ``client`` (a ``distributed.Client``; the current one when None), and returns the path of its
    manifest (``manifest``, by default ``folder/manifest.csv``), merged from the shards' in plan
    order: files and manifest byte for byte the unsharded run's.

    ``folder`` (and the manifest's folder) must be one every worker reaches at the same path.
    ``shards`` (default: four per worker thread, at most one per file) sets N; each shard runs
    with ``jobs`` threads. With ``format="hdf5"`` each shard writes its container,
    ``dataset-K-of-N.h5``, and the merged manifest is their index: a row's ``sample_file`` is
    ``dataset-K-of-N.h5#j``, row j of shard K's container. ``progress(files_done, files_total,
    samples_done)`` is called on this side as shards report, a few times a second. ``compress``,
    ``save_settings``, ``save_channel`` and ``save_symbols`` are ``Dataset.write``'s.

    A file that failed is in the manifest (``saved`` 0) and raises RuntimeError naming it once the
    manifest is merged; an output that cannot be opened raises OSError; a shard whose worker died
    is run again by the engine."""
    if client is None:
        client = _default_client()
    dataset = Dataset(config, files_per_modulation, seed)
    folder = os.path.abspath(os.fspath(folder))
    manifest = os.path.abspath(os.fspath(manifest) if manifest is not None else os.path.join(folder, "manifest.csv"))
    total = len(dataset)
    threads = sum(client.nthreads().values()) or 1
    if shards is None:
        shards = max(1, min(total, 4 * threads))
    elif isinstance(shards, bool) or not isinstance(shards, int) or not 1 <= shards <= 2**32 - 1:
        raise ValueError(f"shards takes a whole number from 1 to {2**32 - 1}, not {shards!r}")
    if format not in ("csv", "sigmf", "hdf5"):
        raise ValueError(f"format takes csv, sigmf or hdf5, not {format!r}")
    os.makedirs(folder, exist_ok=True)
    options = {"compress": compress, "save_settings": save_settings, "save_channel": save_channel,
               "save_symbols": save_symbols, "jobs": jobs}
    paths = [shard_manifest_path(manifest, k, shards) for k in range(shards)]
    topic = f"quorvin-progress-{uuid.uuid4().hex}" if progress is not None else None
    counts: dict[int, tuple[int, int]] = {}  # shard -> (files done, samples done), as last reported
    if topic is not None:
        client.subscribe_topic(topic, lambda event: counts.__setitem__(event[1][0], tuple(event[1][1:])))
    token = uuid.uuid4().hex[:12]
    futures = [client.submit(_write_shard, dataset, k, shards, folder, format, paths[k], options, topic,
                             key=f"quorvin-shard-{k}-of-{shards}-{token}", pure=False) for k in range(shards)]
    try:
        summaries = _wait(futures, counts, progress, total)
    finally:
        if topic is not None:
            client.unsubscribe_topic(topic)
        for future in futures:
            future.cancel()
    for place in {folder, os.path.dirname(manifest)}:
        _core.remove_stale_temporaries(place)
    merge_manifests(paths, manifest, seed)
    # SigMF recordings: the shards' collections, each beside its shard's files, become the run's.
    collections = [os.path.join(folder, f"dataset-{k}-of-{shards}.sigmf-collection") for k in range(shards)]
    if format == "sigmf" and shards > 1 and all(os.path.exists(path) for path in collections):
        _merge_collections(collections, manifest, os.path.join(folder, "dataset.sigmf-collection"))
        paths += collections
    for path in paths:
        os.remove(path)
    problems = [problem for summary in summaries for problem in summary["problems"]]
    if problems:
        shown = "; ".join(problems[:5]) + (f"; and {len(problems) - 5} more" if len(problems) > 5 else "")
        raise RuntimeError(f"not every file was saved: {shown}; {manifest} says which")
    return manifest


def _wait(futures: list[Any], counts: dict[int, tuple[int, int]], progress: Callable[[int, int, int], Any] | None,
          total: int) -> list[dict[str, Any]]:
    """Every shard's summary, in shard order; progress told from ``counts`` (the shards' reports,
    filled in as they arrive) meanwhile, at most every _PROGRESS_INTERVAL. A shard run again after
    its worker died starts its count afresh."""
    told, last = (-1, -1), 0.0
    while True:
        finished = all(future.done() for future in futures)
        if finished:
            summaries = [future.result() for future in futures]  # raises a shard's error
            counts = {shard: (summary["files_saved"] + summary["files_failed"], summary["samples"])
                      for shard, summary in enumerate(summaries)}
        reports = list(counts.values())
        now = (sum(done for done, _ in reports), sum(samples for _, samples in reports))
        if progress is not None and now != told and (finished or time.monotonic() - last >= _PROGRESS_INTERVAL):
            told, last = now, time.monotonic()
            progress(now[0], total, now[1])
        if finished:
            return summaries
        time.sleep(_POLL_INTERVAL)


class _ProgressLine:
    """quorvin-cli's progress line on standard error: "files 12/40, 3.10 M samples/s, 9 s left",
    redrawn in place, then "files 40/40, 3.10 M samples/s, finished in 12 s"."""

    def __init__(self) -> None:
        self.start = time.monotonic()
        self.last = ""

    def __call__(self, done: int, total: int, samples: int) -> None:
        elapsed = max(time.monotonic() - self.start, 1e-9)
        rate = f"{samples / elapsed / 1e6:.2f} M samples/s"
        left = f"{(total - done) * elapsed / done:.0f} s left" if done else "starting"
        self.last = f"files {done}/{total}, {rate}"
        sys.stderr.write(f"\r\x1b[K{self.last}, {left}")
        sys.stderr.flush()

    def finish(self) -> None:
        sys.stderr.write(f"\r\x1b[K{self.last}, finished in {time.monotonic() - self.start:.0f} s\n")


# Seconds to wait for the scheduler of --scheduler or --scheduler-file before giving up.
_CONNECT_TIMEOUT = 10


def _parsed(parser: argparse.ArgumentParser, argv: Sequence[str]) -> argparse.Namespace:
    """argparse's reading of ``argv``, an unknown option refused with the nearest of the parser's own."""
    arguments, unknown = parser.parse_known_args(argv)
    if unknown:
        typed = next((word for word in unknown if word.startswith("-")), unknown[0])
        options = [option for action in parser._actions for option in action.option_strings if option.startswith("--")]
        meant = _suggestion(typed.partition("=")[0], options) if typed.startswith("-") else ""
        parser.error(f"unrecognized arguments: {' '.join(unknown)}{meant}")
    return arguments


def _arguments(argv: Sequence[str]) -> tuple[argparse.Namespace, dict[str, str], list[str]]:
    """This command's own arguments; the texts of quorvin-cli's options by long name, given here
    or by a --config file (those given here win), as quorvin-cli reads them; and which came from
    the file. Every quorvin-cli option is declared once, in the core: its run settings
    (_core.options) and its control options (_core.control_options) that apply here."""
    parser = argparse.ArgumentParser(
        prog="python3 -m quorvin.distributed",
        usage="%(prog)s -m NAMES --seed N [-o FOLDER] [--format csv|sigmf|hdf5] [--manifest FILE] "
              "[--scheduler ADDRESS | --scheduler-file FILE | --workers N] [quorvin-cli's run options]\n"
              "       %(prog)s merge -o FILE (SHARD-MANIFESTS... | --shards N)",
        description="Makes a seeded quorvin-cli run on a Dask cluster, shard by shard, and merges its manifest. "
                    "Takes quorvin-cli's options (-m, --seed, -o, --format, --manifest, the run's settings); "
                    "'merge -o FILE SHARDS...' merges --shard K/N manifests instead.",
        epilog="Run settings: every quorvin-cli option of the run (--sample-rate, --snr-min, ...), as quorvin-cli "
               "reads them.")
    parser.add_argument("--scheduler", help="the Dask scheduler's address (tcp://host:8786); without it a local "
                                            "cluster of --workers processes")
    parser.add_argument("--scheduler-file", help="the scheduler's address from the file dask-scheduler "
                                                 "--scheduler-file wrote")
    parser.add_argument("--workers", type=int, default=2, help="local cluster: worker processes (default 2)")
    parser.add_argument("--connect-timeout", type=float, default=_CONNECT_TIMEOUT, metavar="SECONDS",
                        help="how long to wait for the scheduler of --scheduler or --scheduler-file before giving up "
                             f"(default {_CONNECT_TIMEOUT})")
    parser.add_argument("--shards", type=int, help="N (default: four per worker thread)")
    names = _core.option_names()
    declared = [(names[option], "" if flag else "VALUE", "") for option, _, _, flag, _ in _DECLARED]
    # The shards make one run only with one seed: here it has no default.
    control = [(listed, kind, help + (" (required)" if listed == "--seed" else ""))
               for listed, kind, help, _, _, here in _CONTROL if here]
    for listed, kind, help in control + declared:
        option = listed.rpartition(",")[2]
        if option == "--modulations":
            parser.add_argument(*listed.split(","), dest=option, action="append", metavar="NAMES", help=help)
        elif kind:
            parser.add_argument(*listed.split(","), dest=option, metavar=kind.partition(" ")[0], help=help or None)
        else:
            parser.add_argument(*listed.split(","), dest=option, action="store_const", const="true",
                                help=help or None)
    arguments = _parsed(parser, argv)
    if not arguments.connect_timeout > 0:
        parser.error(f"--connect-timeout takes a number of seconds above 0, not {arguments.connect_timeout}")
    for option, value in (("--workers", arguments.workers), ("--shards", arguments.shards)):
        if value is not None and value < 1:
            parser.error(f"{option} takes a whole number from 1, not {value}")
    given = {key: value for key, value in vars(arguments).items() if key.startswith("--") and value is not None}
    if "--modulations" in given:
        given["--modulations"] = ",".join(given["--modulations"])
    for option, rule in (("--seed", r"\d+"), ("--jobs", r"\d+"), ("--format", r"(?i)csv|sigmf|hdf5")):
        text = given.get(option)
        if text is not None and not (re.fullmatch(rule, text) and (option == "--format" or
                                                                    (0 if option == "--seed" else 1) <= int(text) <=
                                                                    (2**32 - 1 if option == "--seed" else 1024))):
            parser.error(f"{option} takes {_core_takes(option)}, not '{text}'")
    texts = dict(given)
    config = given.pop("--config", None)
    texts.pop("--config", None)
    from_file: list[str] = []
    if config is not None:
        try:
            entries = _read_config_file(config)
        except (OSError, ValueError) as error:  # told as the run's other refusals are
            print(f"quorvin.distributed: {error}", file=sys.stderr)
            raise SystemExit(2) from None
        from_file = [option for option in entries if option not in texts]
        texts.update({option: entries[option] for option in from_file})
    if "--format" in texts:
        texts["--format"] = texts["--format"].lower()
    if "--seed" not in texts:
        parser.error("--seed is required: the shards make one run only with one seed")
    if not texts.get("--modulations"):
        parser.error("-m NAMES is required")
    arguments.config = config
    return arguments, texts, from_file


def _core_takes(option: str) -> str:
    """What a control option takes, as the core's table says."""
    return next(takes for listed, _, _, takes, _, _ in _CONTROL if listed.rpartition(",")[2] == option)


def _request(argv: Sequence[str]) -> tuple[argparse.Namespace, dict[str, str], Dataset]:
    """The command line read: its arguments, every option's text, and the run as a Dataset (whose
    refusals come before any worker starts), a refusal raised as ValueError in quorvin-cli's words."""
    arguments, texts, from_file = _arguments(argv)
    config = Config._from_texts(texts, arguments.config or "", from_file)
    return arguments, texts, Dataset(config, int(texts.get("--files-per-modulation", "1")), int(texts["--seed"]))


def _merge_main(argv: Sequence[str]) -> int:
    parser = argparse.ArgumentParser(prog="python3 -m quorvin.distributed merge",
                                     description="Merges the manifests of shards 0/N .. N-1/N, given in that order "
                                                 "and each written beside the merged one, into one in plan order.")
    parser.add_argument("-o", "--output", required=True, help="the merged manifest")
    parser.add_argument("--shards", type=int, metavar="N",
                        help="merge the N shards' manifests named as generate names them beside the output, "
                             ".<name>.shard-K-of-N, and remove them once merged")
    parser.add_argument("--seed", type=int, metavar="N",
                        help="the run's seed, checked against every file's seeds; needed for CSV shards, whose "
                             "files name none (SigMF recordings and HDF5 containers name theirs)")
    parser.add_argument("manifests", nargs="*", help="the shards' manifests, shard 0 first")
    arguments = _parsed(parser, argv)
    if (arguments.shards is None) == (not arguments.manifests):
        parser.error("give either the shards' manifests or --shards N")
    if arguments.shards is not None and arguments.shards < 1:
        parser.error(f"--shards takes a whole number from 1, not {arguments.shards}")
    if arguments.seed is not None and not 0 <= arguments.seed <= 2**32 - 1:
        parser.error(f"--seed takes a whole number from 0 to {2**32 - 1}, not {arguments.seed}")
    named = [shard_manifest_path(arguments.output, k, arguments.shards) for k in range(arguments.shards or 0)]
    try:
        merge_manifests(arguments.manifests or named, arguments.output, arguments.seed)
        for path in named:
            os.remove(path)
    except (OSError, ValueError) as error:
        print(f"quorvin.distributed: {_said(error)}", file=sys.stderr)
        return 1
    return 0


def _said(error: Exception) -> str:
    """An error in the system's words: "FILE: reason" for an OSError with a file."""
    if isinstance(error, OSError) and error.filename is not None and error.strerror:
        return f"{error.filename}: {error.strerror}"
    return str(error)


def _scheduler_address(arguments: argparse.Namespace) -> str:
    """--scheduler, or the address in --scheduler-file once it is there (a batch job's scheduler may
    write it a moment after this starts); OSError or ValueError when it is not within --connect-timeout."""
    if arguments.scheduler:
        return arguments.scheduler
    deadline = time.monotonic() + arguments.connect_timeout
    while not os.path.exists(arguments.scheduler_file) and time.monotonic() < deadline:
        time.sleep(0.1)
    with open(arguments.scheduler_file, encoding="utf-8") as file:
        try:
            address = json.load(file)["address"]
        except (ValueError, KeyError, TypeError):
            raise ValueError("the file holds no scheduler's address (JSON with \"address\")") from None
    if not isinstance(address, str):
        raise ValueError(f"the file's address {address!r} is no address")
    return address


def main(argv: Sequence[str] | None = None) -> int:
    """The command line: exit status 0 when every file was saved, 1 when any failed or the scheduler
    was not reached within --connect-timeout, 2 for usage."""
    argv = list(sys.argv[1:] if argv is None else argv)
    if argv[:1] == ["merge"]:
        return _merge_main(argv[1:])
    try:
        arguments, texts, dataset = _request(argv)
    except (TypeError, ValueError) as error:
        print(f"quorvin.distributed: {error}", file=sys.stderr)
        return 2
    config, files, seed = dataset.config, dataset.files_per_modulation, dataset.seed
    folder = texts.get("--output-folder", ".")
    from distributed import Client, LocalCluster  # noqa: PLC0415

    # A cluster of our own goes with us (its workers stop at once, even on Ctrl+C); one given lives on.
    given = arguments.scheduler or arguments.scheduler_file
    cluster = None if given else LocalCluster(n_workers=arguments.workers, threads_per_worker=1, processes=True,
                                              dashboard_address=":0")
    try:
        client = Client(_scheduler_address(arguments) if given else cluster, timeout=arguments.connect_timeout)
    except (OSError, TimeoutError, ValueError, TypeError) as error:  # no scheduler there, or no address of one
        if cluster is not None:
            cluster.close()
        where = f"--scheduler {arguments.scheduler}" if arguments.scheduler else f"--scheduler-file {arguments.scheduler_file}"
        print(f"quorvin.distributed: cannot reach the Dask scheduler of {where} within "
              f"{arguments.connect_timeout:g} s ({_said(error)})", file=sys.stderr)
        return 1
    shown = texts.get("--progress") == "true" or (texts.get("--no-progress") != "true" and sys.stderr.isatty())
    line = _ProgressLine() if shown else None  # timed from here: the cluster's start is not the run's
    try:
        path = generate(config, files, seed, folder, client, format=texts.get("--format", "csv"),
                        manifest=texts.get("--manifest"), shards=arguments.shards,
                        compress=texts.get("--compress") == "true", save_settings=texts.get("--save-settings") == "true",
                        save_channel=texts.get("--save-channel") == "true", jobs=int(texts.get("--jobs", "1")),
                        progress=line, save_symbols=texts.get("--save-symbols") == "true")
    except Exception as error:  # noqa: BLE001 (an output refused, files failed, a shard killed too often)
        path, failure = None, error
    finally:
        if line is not None:
            line.finish()
        client.close()
        if cluster is not None:
            cluster.close()
    if path is None:
        print(f"quorvin.distributed: {_said(failure)}", file=sys.stderr)
        return 1
    if texts.get("--quiet") != "true":
        print(f"Manifest saved to {path}")
    return 0


if __name__ == "__main__":
    # The package's module, not this __main__ copy, so workers find the shard's function by name.
    from quorvin.distributed import main as _main

    sys.exit(_main())

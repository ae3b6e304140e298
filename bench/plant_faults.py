#!/usr/bin/python3
"""Plants one-line faults in the sources, one at a time, and tells which of them no test of meaning
catches. Each fault is a (file, exact original text, replacement) in bench/planted_faults.txt,
chosen so that one label of the files (or one promise of README) becomes untrue; the original
must occur exactly once in its file, so a fault whose source has moved fails loudly rather than
planting nothing. For each fault the script writes the replacement into the worktree's file,
rebuilds incrementally, runs the tests (the whole CTest suite except the two byte corpora,
golden_corpus and exact_corpus, which would catch any change at all) and puts the file back: on
success, failure, Ctrl-C or SIGTERM alike. A copy of the original waits beside the build
(<build>/planted-faults/) until it is back; a run killed outright restores it at the next start.
The build is brought back to the clean sources at the end.

Usage: bench/plant_faults.py [--build-dir build/default] [--jobs 2] [--tests REGEX]
                             [--only NAME[,NAME...]] [--keep-going] [--no-baseline] [--list]
--tests REGEX   only the CTest tests matching REGEX (ctest -R), for a quick look at one stage
--only NAMES    only these faults (names as --list shows them)
--keep-going    run every selected test under each fault and list every one that fails (by
                default the tests stop at the first failure: one catching test is enough)
--no-baseline   skip the clean run first (which proves the selected tests pass unplanted)
Prints each fault with the tests that caught it; exit status 1 when a fault went uncaught or did
not build, 2 when the clean sources already fail or the list does not match the sources, 130 when
interrupted."""

import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ElementTree

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FAULT_LIST = os.path.join(ROOT, "bench", "planted_faults.txt")
CORPORA = "^(golden_corpus|exact_corpus)$"


class Fault:
    def __init__(self, name, path, original, replacement, untrue):
        self.name, self.path, self.original, self.replacement, self.untrue = name, path, original, replacement, untrue


def read_faults(path):
    """Blocks of five lines, a blank line between: name, file, what becomes untrue, the original
    text after '- ', the replacement after '+ '. Lines starting with '#' are comments."""
    faults, block = [], []
    with open(path, encoding="utf-8") as f:
        lines = [line.rstrip("\n") for line in f if not line.startswith("#")]
    for line in lines + [""]:
        if line.strip():
            block.append(line)
            continue
        if not block:
            continue
        if len(block) != 5 or not block[3].startswith("- ") or not block[4].startswith("+ "):
            sys.exit(f"{path}: a fault is five lines (name, file, untrue, '- original', '+ replacement'): {block}")
        faults.append(Fault(block[0], block[1], block[3][2:], block[4][2:], block[2]))
        block = []
    names = [f.name for f in faults]
    if len(set(names)) != len(names):
        sys.exit(f"{path}: fault names repeat")
    return faults


def check_sources(faults):
    """Every original occurs exactly once in its file: the list still matches the sources."""
    problems = []
    for fault in faults:
        with open(os.path.join(ROOT, fault.path), encoding="utf-8") as f:
            count = f.read().count(fault.original)
        if count != 1:
            problems.append(f"{fault.name}: the original occurs {count} times in {fault.path}")
    return problems


class Planted:
    """One fault in its file for the length of a `with`; the original is kept in `keep` until the
    file is back, so that even a killed run leaves a way home."""

    def __init__(self, fault, keep):
        self.fault, self.keep = fault, keep
        self.target = os.path.join(ROOT, fault.path)
        self.saved = os.path.join(keep, fault.path.replace("/", "%"))

    def __enter__(self):
        with open(self.target, encoding="utf-8") as f:
            text = f.read()
        shutil.copy2(self.target, self.saved)
        try:
            with open(self.target, "w", encoding="utf-8") as f:
                f.write(text.replace(self.fault.original, self.fault.replacement, 1))
        except BaseException:
            self.__exit__()
            raise
        return self

    def __exit__(self, *_):
        shutil.copyfile(self.saved, self.target)
        os.remove(self.saved)


def restore_left_over(keep):
    for name in sorted(os.listdir(keep)):
        target = os.path.join(ROOT, name.replace("%", "/"))
        print(f"restoring {os.path.relpath(target, ROOT)}, left planted by an earlier run", file=sys.stderr)
        shutil.copyfile(os.path.join(keep, name), target)
        os.remove(os.path.join(keep, name))


def run(command, log):
    """Runs a command in its own process group (so that an interrupt stops all of it), its output
    to `log`; the exit status."""
    with open(log, "w", encoding="utf-8") as out:
        process = subprocess.Popen(command, cwd=ROOT, stdout=out, stderr=subprocess.STDOUT, start_new_session=True)
        try:
            return process.wait()
        except BaseException:
            os.killpg(process.pid, signal.SIGTERM)
            process.wait()
            raise


def build(args, log):
    return run(["cmake", "--build", args.build_dir, "-j", str(args.jobs)], log)


def failing_tests(args, work, log):
    """Runs the tests; the names of those that failed (empty: all passed)."""
    junit = os.path.join(work, "tests.xml")
    if os.path.exists(junit):
        os.remove(junit)
    command = ["ctest", "--test-dir", args.build_dir, "-j", str(args.jobs), "-E", CORPORA, "--no-tests=error",
               "--output-on-failure", "--output-junit", junit]
    if args.tests:
        command += ["-R", args.tests]
    if not args.keep_going:
        command.append("--stop-on-failure")
    status = run(command, log)
    failed = []
    if os.path.exists(junit):
        for case in ElementTree.parse(junit).getroot().iter("testcase"):
            if case.get("status") not in ("run", "notrun", "disabled") or case.find("failure") is not None:
                failed.append(case.get("name").split("  # GetParam()")[0])
    with open(log, encoding="utf-8") as f:
        output = f.read()
    if status != 0 and not failed:
        failed = re.findall(r"Test\s+#\d+: (\S+) .*\*\*\*", output) or ["(ctest failed: see " + log + ")"]
    # pytest runs as one CTest test: name the Python tests that failed within it.
    python = sorted(set(re.findall(r"^_+ (test\S*) _+$", output, re.MULTILINE)))
    return [f"{name} ({', '.join(python)})" if name.startswith("python") and python else name for name in failed]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build-dir", default="build/default")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--tests", help="only the CTest tests matching this regular expression")
    parser.add_argument("--only", action="append", default=[], help="only these faults (comma-separated, repeatable)")
    parser.add_argument("--keep-going", action="store_true", help="list every failing test, not the first")
    parser.add_argument("--no-baseline", action="store_true")
    parser.add_argument("--list", action="store_true", help="list the faults and exit")
    args = parser.parse_args()
    # A signal other than Ctrl-C ends the run the same way: the finally blocks put the files back.
    signal.signal(signal.SIGTERM, signal.default_int_handler)

    args.build_dir = os.path.join(ROOT, args.build_dir)
    keep = os.path.join(args.build_dir, "planted-faults")
    os.makedirs(keep, exist_ok=True)
    restore_left_over(keep)
    faults = read_faults(FAULT_LIST)
    if args.list:
        for fault in faults:
            print(f"{fault.name:24} {fault.path:28} {fault.untrue}")
        print("\n".join(check_sources(faults)) or "(every original occurs once in its file)")
        return 0
    wanted = {name for names in args.only for name in names.split(",") if name}
    unknown = wanted - {f.name for f in faults}
    if unknown:
        print("no such fault: " + ", ".join(sorted(unknown)), file=sys.stderr)
        return 2
    if wanted:
        faults = [f for f in faults if f.name in wanted]

    problems = check_sources(faults)
    if problems:
        print("\n".join(problems), file=sys.stderr)
        return 2
    work = tempfile.mkdtemp(prefix="planted-faults-")
    results = []
    interrupted = False
    try:
        if build(args, os.path.join(work, "build-clean.log")) != 0:
            print(f"the clean sources do not build: {work}/build-clean.log", file=sys.stderr)
            return 2
        if not args.no_baseline:
            failed = failing_tests(args, work, os.path.join(work, "tests-clean.log"))
            if failed:
                print("the clean sources already fail: " + ", ".join(failed), file=sys.stderr)
                return 2
        for number, fault in enumerate(faults, 1):
            print(f"[{number}/{len(faults)}] ", end="", flush=True)
            with Planted(fault, keep):
                log = os.path.join(work, fault.name)
                if build(args, log + "-build.log") != 0:
                    results.append((fault, None))
                    print(f"{fault.name}: DOES NOT BUILD (see {log}-build.log)", flush=True)
                    continue
                failed = failing_tests(args, work, log + "-tests.log")
            results.append((fault, failed))
            print(f"{fault.name}: " + ("caught by " + ", ".join(failed) if failed else "UNCAUGHT  (" + fault.untrue + ")"),
                  flush=True)
    except KeyboardInterrupt:
        interrupted = True
        print("\ninterrupted: the planted file is back", file=sys.stderr)
    finally:
        # The build follows the clean sources again (ccache hands back the objects).
        if build(args, os.path.join(work, "build-restored.log")) != 0:
            print(f"rebuilding the clean sources failed: {work}/build-restored.log", file=sys.stderr)
    uncaught = [f.name for f, failed in results if failed is not None and not failed]
    broken = [f.name for f, failed in results if failed is None]
    print(f"\n{len(results)} faults planted, {len(results) - len(uncaught) - len(broken)} caught, "
          f"{len(uncaught)} uncaught, {len(broken)} did not build; logs in {work}")
    for name in uncaught:
        print(f"  uncaught: {name}")
    return 130 if interrupted else 1 if uncaught or broken else 0


if __name__ == "__main__":
    sys.exit(main())

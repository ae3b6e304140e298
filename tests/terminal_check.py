#!/usr/bin/python3
"""quorvin-cli on a terminal (a pseudo-terminal): its progress line never shares a row with a
report line or a message, and when the run ends, finished or interrupted with Ctrl+C, the last
row on the screen is a final line, not a stale estimate.

Usage: terminal_check.py QUORVIN_CLI"""

import os
import pty
import re
import signal
import subprocess
import sys
import tempfile
import termios

PROGRESS = re.compile(r"files \d+/\d+, \d+\.\d\d M samples/s, \d+ s left")
FINAL = re.compile(r"files \d+/\d+, \d+\.\d\d M samples/s, (finished in|stopped after) \d+ s")
INTERRUPTED = "quorvin-cli: interrupted; finishing the files in progress (interrupt again to abandon them)"

# QPSK rather than an analog name: a classic analog file may fold its tone, which is told at the end.
UNMADE = ["--signal-model", "classic", "-m", "OQPSK,QPSK", "--symbol-rate-min", "6000", "--symbol-rate-max", "6000", "--files-per-modulation", "3",
          "-q"]
THREE_AM = ["-m", "AM", "--files-per-modulation", "3", "--num-symbols", "30000"]
# Each case: its name, its arguments, a file name held by a folder (its write fails with a message
# on standard error), whether standard output goes to a file instead of the terminal, whether
# Ctrl+C is pressed once three files are saved, and the exit status.
CASES = [
    ("report_on_the_terminal", ["-m", "all", "--files-per-modulation", "2", "--num-symbols", "3000", "-j", "2"], None,
     False, False, 0),
    ("failure_between_report_lines", THREE_AM, "AM_signal_2.csv", False, False, 1),
    ("failure_with_the_report_in_a_file", THREE_AM, "AM_signal_2.csv", True, False, 1),
    ("quiet_failures", UNMADE, None, False, False, 1),
    ("ctrl_c", ["-m", "all", "--files-per-modulation", "100", "--num-symbols", "20000", "-j", "2"], None, False, True,
     130),
]


def screen_rows(output):
    """The rows a terminal shows after `output`: a carriage return goes back to the row's start,
    where later characters overwrite earlier ones."""
    rows, row, column = [], [], 0
    for character in output.decode(errors="replace"):
        if character == "\r":
            column = 0
        elif character == "\n":
            rows.append("".join(row).rstrip())
            row, column = [], 0
        else:
            row[column:column + 1] = [character]
            column += 1
    return [row for row in rows + ["".join(row).rstrip()] if row]


def on_terminal(cli, arguments, folder, report_to_file, ctrl_c):
    """Runs quorvin-cli with a terminal as its standard streams; its exit status and the rows shown."""
    pid, terminal = pty.fork()
    if pid == 0:
        try:
            os.chdir(folder)
            attributes = termios.tcgetattr(0)
            attributes[3] |= termios.NOFLSH  # Ctrl+C must not discard what was already written
            termios.tcsetattr(0, termios.TCSANOW, attributes)
            if report_to_file:
                os.dup2(os.open("report.txt", os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644), 1)
            os.execv(cli, [cli, *arguments])
        finally:
            os._exit(127)
    output, pressed = b"", False
    while True:
        try:
            chunk = os.read(terminal, 65536)
        except OSError:  # EIO: the program, the terminal's last user, has ended
            break
        if not chunk:
            break
        output += chunk
        if ctrl_c and not pressed and output.count(b"Saved to") >= 3:
            os.write(terminal, b"\x03")
            pressed = True
    _, status = os.waitpid(pid, 0)
    os.close(terminal)
    return os.waitstatus_to_exitcode(status), screen_rows(output)


def problems(cli, case, work):
    name, arguments, blocked, report_to_file, ctrl_c, expected_status = case
    arguments = [*arguments, "--seed", "7", "--progress"]
    folder = os.path.join(work, name)
    for out in ("out", "piped"):
        os.makedirs(os.path.join(folder, out, blocked or ""))
    status, rows = on_terminal(cli, [*arguments, "-o", "out"], folder, report_to_file, ctrl_c)
    found = []
    if status != expected_status:
        found.append(f"status {status}, expected {expected_status}")
    if not rows or not FINAL.fullmatch(rows[-1]):
        found.append(f"the last row is not a final line: {rows[-1:]!r}")
    text_rows = rows[:-1]
    stale = [row for row in text_rows if "samples/s" in row]
    if stale:
        found.append(f"{len(stale)} rows keep progress text, the first: {stale[0]!r}")
    if ctrl_c:
        if INTERRUPTED not in text_rows:
            found.append("no row holds the interrupt's message alone")
        strays = [r for r in text_rows if r != INTERRUPTED and not re.fullmatch(r"\S+: Saved to out/\S+", r)]
        if strays:
            found.append(f"rows neither report nor message: {strays[:3]!r}")
        return found
    # The same run without a terminal and without progress: the rows must be exactly its text,
    # report lines and messages in the order written.
    plain = subprocess.run([cli, *arguments, "--no-progress", "-o", "piped"], cwd=folder, text=True,
                           stdout=subprocess.DEVNULL if report_to_file else subprocess.PIPE,
                           stderr=subprocess.PIPE if report_to_file else subprocess.STDOUT)
    text = plain.stderr if report_to_file else plain.stdout
    expected_rows = [row.replace("piped/", "out/") for row in text.splitlines()]
    if text_rows != expected_rows:
        found.append(f"rows {text_rows[:4]!r}..., expected {expected_rows[:4]!r}...")
    return found


def main():
    cli = os.path.abspath(sys.argv[1])
    signal.alarm(300)  # a hang fails the test instead of holding CTest
    failed = 0
    with tempfile.TemporaryDirectory() as work:
        for case in CASES:
            found = problems(cli, case, work)
            failed += bool(found)
            for problem in found:
                print(f"{case[0]}: {problem}")
    print(f"{len(CASES) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

"""The option table of docs/reference/options.md against the options the core declares and
quorvin-cli --help lists."""

import os
import re
import subprocess
from pathlib import Path

from quorvin import _core

OPTIONS = Path(__file__).resolve().parents[2] / "docs" / "reference" / "options.md"
CLI = os.environ.get("QUORVIN_CLI", "quorvin-cli")


def table_rows() -> list[tuple[list[str], str]]:
    """Each row's options, as named in its first cell, and its default cell.

    `--x-min/max` names both ends; `--a`, ..., `--b` every declared option from a to b."""
    text = OPTIONS.read_text(encoding="utf-8")
    start = text.index("| option | default | meaning |")
    declared = [option for option, *_ in _core.options()]
    rows = []
    for line in text[start:text.index("\n\n", start)].splitlines()[2:]:
        cells = [cell.strip() for cell in line.strip("|").split("|")]
        named: list[str] = []
        elided = False
        for option, ellipsis in re.findall(r"`(--[a-z0-9-]+(?:/max)?)`|(\.\.\.)", cells[0]):
            if ellipsis:
                elided = True
                continue
            ends = [option[:-len("/max")], option[:-len("min/max")] + "max"] if option.endswith("/max") else [option]
            if elided:  # the declared options between the last one named and this one
                named += declared[declared.index(named[-1]) + 1:declared.index(ends[0])]
                elided = False
            named += ends
        rows.append((named, cells[1]))
    return rows


def test_the_option_table_names_every_option_and_only_real_ones():
    named = [option for options, _ in table_rows() for option in options]
    assert [o for o, *_ in _core.options() if o not in named] == []  # a declared option missing from the table
    shown = subprocess.run([CLI, "--help"], check=True, capture_output=True, text=True).stdout
    assert [o for o in named if not re.search(re.escape(o) + r"\b", shown)] == []  # one quorvin-cli has not


def test_a_rows_plain_defaults_are_the_declared_ones():
    # A flag's default is told as off.
    defaults = {option: "off" if flag and default == "false" else default for option, _, _, flag, default in _core.options()}
    compared = 0
    for options, cell in table_rows():
        parts = [part.strip("` ") for part in cell.split(", ")]
        # Rows of declared options whose default cell is one value per option (not prose).
        if all(o in defaults for o in options) and len(parts) == len(options) and " " not in "".join(parts):
            assert parts == [defaults[o] for o in options], options
            compared += 1
    assert compared >= 15

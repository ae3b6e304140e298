#!/usr/bin/env python3
"""Runs the commands and snippets of README.md and of every .md under docs/ as written, in order,
in a fresh copy of the checkout.

README.md comes first, then the files under docs/ in the order of their paths, all in one folder:
a page may read what README's quick start and recipes wrote, as a reader who followed README
would have it. Every ```sh block runs in one bash session (so an `export` carries on to the
blocks after it, in later files too); consecutive ```python blocks of one file form one Python
session, as a reader pasting them into one interpreter would run them. Other blocks (the usage
line, formulas, a TOML file's text) are not commands. A comment on the line before a block's
opening fence changes how it is run:

    <!-- README test: skip: why -->      not run (say why: what runs it elsewhere)
    <!-- README test: needs torch -->    skipped, with its reason, where the module is missing

Usage: readme_commands.py [--keep] [FILE.md ...] (by default README.md and docs/**/*.md). Exits 1
naming the file and line of the block that failed; prints each block's place as it starts and
each skip with its reason.
"""

from __future__ import annotations

import argparse
import importlib.util
import os
import re
import shutil
import subprocess
import sys
import tempfile
from dataclasses import dataclass, field
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
DIRECTIVE = re.compile(r"<!--\s*README test:\s*(skip|needs)\s*:?\s*(.*?)\s*-->")


@dataclass
class Block:
    line: int  # the file's line of the opening fence
    language: str
    text: str
    skip: str | None = None  # why the block is not run
    needs: list[str] = field(default_factory=list)  # modules it imports from the optional set
    source: str = "README.md"  # the file, from the checkout's root


def documents() -> list[Path]:
    """README, then every page under docs/, in the order they are run."""
    return [ROOT / "README.md"] + sorted((ROOT / "docs").rglob("*.md"))


def source_name(path: Path) -> str:
    path = path.resolve()
    return str(path.relative_to(ROOT)) if path.is_relative_to(ROOT) else str(path)


def read_blocks(readme: Path) -> list[Block]:
    """Every fenced block of one Markdown file, with the directive of the line before it."""
    source = source_name(readme)
    lines = readme.read_text(encoding="utf-8").splitlines()
    blocks: list[Block] = []
    i = 0
    while i < len(lines):
        fence = re.match(r"^```(\w*)\s*$", lines[i])
        if not fence:
            i += 1
            continue
        end = i + 1
        while end < len(lines) and not lines[end].startswith("```"):
            end += 1
        if end == len(lines):
            raise SystemExit(f"{source} line {i + 1}: a block that never closes")
        block = Block(i + 1, fence.group(1), "\n".join(lines[i + 1:end]) + "\n", source=source)
        directive = DIRECTIVE.search(lines[i - 1]) if i > 0 else None
        if directive and directive.group(1) == "skip":
            block.skip = directive.group(2) or "marked not to run"
        elif directive:
            block.needs = directive.group(2).replace(",", " ").split()
        blocks.append(block)
        i = end + 1
    return blocks


def missing_modules(modules: list[str]) -> list[str]:
    return [m for m in modules if importlib.util.find_spec(m) is None]


def script_of(blocks: list[Block]) -> tuple[str, list[str]]:
    """The bash script that runs the blocks in order, and the skips' report lines."""
    script = ["set -euo pipefail"]
    skipped: list[str] = []
    python: list[Block] = []

    def end_python_session() -> None:
        if not python:
            return
        lines = ", ".join(str(b.line) for b in python)
        script.append(f"echo '== {python[0].source} lines {lines} (python)'")
        script.append("python3 - <<'QUORVIN_README_PYTHON'")
        script.extend(b.text.rstrip("\n") for b in python)
        script.append("QUORVIN_README_PYTHON")
        python.clear()

    for block in blocks:
        if block.language not in ("sh", "python"):
            continue
        absent = missing_modules(block.needs)
        if block.skip or absent:
            reason = block.skip or "needs " + ", ".join(absent) + ", not installed"
            skipped.append(f"{block.source} line {block.line}: skipped: {reason}")
            continue
        if python and python[0].source != block.source:
            end_python_session()  # each file's snippets are a session of their own
        if block.language == "python":
            python.append(block)
            continue
        end_python_session()
        script.append(f"echo '== {block.source} line {block.line} (sh)'")
        script.append(block.text.rstrip("\n"))
    end_python_session()
    return "\n".join(script) + "\n", skipped


def fresh_copy(target: Path) -> None:
    """The checkout's files as a clone would have them (tracked, and new ones not ignored)."""
    listed = subprocess.run(["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
                            cwd=ROOT, check=True, capture_output=True).stdout
    for name in filter(None, listed.decode().split("\0")):
        source = ROOT / name
        if not source.is_file() and not source.is_symlink():
            continue  # listed but deleted in the working tree
        destination = target / name
        destination.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(source, destination, follow_symlinks=False)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("files", nargs="*", type=Path, help="Markdown files, in order (default: README.md, docs/**/*.md)")
    parser.add_argument("--keep", action="store_true", help="keep the scratch copy and print where it is")
    args = parser.parse_args()
    script, skipped = script_of([block for path in args.files or documents() for block in read_blocks(path)])
    for line in skipped:
        print(line)
    scratch = Path(tempfile.mkdtemp(prefix="quorvin-readme-"))
    try:
        checkout = scratch / "quorvin"
        fresh_copy(checkout)
        (scratch / "readme.sh").write_text(script, encoding="utf-8")
        # The system's Python, as README's set-up installs its packages for it.
        env = dict(os.environ, PATH="/usr/bin:/bin:" + os.environ.get("PATH", ""))
        result = subprocess.run(["bash", str(scratch / "readme.sh")], cwd=checkout, env=env)
        if result.returncode != 0:
            print(f"readme_commands.py: the block announced last failed (status {result.returncode})", file=sys.stderr)
            return 1
        print("every command and snippet of README and docs ran")
        return 0
    finally:
        if args.keep:
            print(f"scratch copy kept in {scratch}")
        else:
            shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())

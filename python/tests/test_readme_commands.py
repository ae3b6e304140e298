"""scripts/readme_commands.py: which pages it runs, and how blocks of several pages become one script."""

import importlib.util
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]


def _module():
    found = importlib.util.spec_from_file_location("readme_commands", ROOT / "scripts" / "readme_commands.py")
    module = importlib.util.module_from_spec(found)
    sys.modules[found.name] = module  # its dataclasses look themselves up there
    found.loader.exec_module(module)
    return module


commands = _module()


def test_readme_first_then_every_page_under_docs():
    pages = [str(path.relative_to(ROOT)) for path in commands.documents()]
    assert pages[0] == "README.md"
    assert pages[1:] == sorted(pages[1:]) and all(page.startswith("docs/") for page in pages[1:])
    assert "docs/python.md" in pages and "docs/reference/options.md" in pages


def test_each_pages_snippets_are_a_python_session_of_their_own(tmp_path):
    first, second = tmp_path / "first.md", tmp_path / "second.md"
    first.write_text("```python\nx = 1\n```\n\n<!-- README test: skip: elsewhere -->\n```sh\nfalse\n```\n\n"
                     "```python\ny = x\n```\n", encoding="utf-8")
    second.write_text("```python\nz = 3\n```\n\n```toml\nnot = 'a command'\n```\n\n```sh\necho two\n```\n",
                      encoding="utf-8")
    blocks = commands.read_blocks(first) + commands.read_blocks(second)
    script, skipped = commands.script_of(blocks)
    assert skipped == [f"{first} line 6: skipped: elsewhere"]
    announced = [line for line in script.splitlines() if line.startswith("echo '==")]
    # The skipped block does not split first.md's session; the next page starts another.
    assert announced == [f"echo '== {first} lines 1, 10 (python)'", f"echo '== {second} lines 1 (python)'",
                         f"echo '== {second} line 9 (sh)'"]
    result = subprocess.run(["bash", "-c", script], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[-1] == "two"


def test_a_failing_block_is_named_by_page_and_line(tmp_path):
    page = tmp_path / "page.md"
    page.write_text("text\n\n```sh\nexit 3\n```\n", encoding="utf-8")
    script, _ = commands.script_of(commands.read_blocks(page))
    result = subprocess.run(["bash", "-c", script], capture_output=True, text=True)
    assert result.returncode == 3 and result.stdout == f"== {page} line 3 (sh)\n"

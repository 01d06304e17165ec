"""The examples in the public docstrings and in the README run as written, and the README's
sample output is what the command prints."""
import doctest
import re
import shlex
import subprocess
import sys
from pathlib import Path

import pytest

import morvel.models
import morvel.problem.rules
import morvel.problem.targets

ROOT = Path(__file__).resolve().parents[2]
_FENCE = re.compile(r"(?:<!-- docs-test: (?P<note>[^\n]*?) -->\n)?"
                    r"```(?P<lang>\w*)\n(?P<code>.*?)```", re.S)


@pytest.mark.parametrize("module", [morvel.problem.targets, morvel.problem.rules, morvel.models],
                         ids=lambda m: m.__name__)
def test_docstring_examples(module):
    result = doctest.testmod(module)
    assert result.attempted > 0 and result.failed == 0


def readme_blocks():
    """(language, code, note, the text block that follows it or None) of each fenced block."""
    text = (ROOT / "README.md").read_text()
    found = [(m.group("lang"), m.group("code"), m.group("note"), m.end())
             for m in _FENCE.finditer(text)]
    blocks = []
    for k, (lang, code, note, end) in enumerate(found):
        after = found[k + 1] if k + 1 < len(found) else None
        output = (after[1] if after and after[0] == "text" and
                  text[end:].lstrip("\n").startswith("```text") else None)
        blocks.append((lang, code, note, output))
    return blocks


def python_runs():
    """The scripts the README's python blocks make: each block alone, and the blocks whose
    note names an example script appended, in order, to that script."""
    alone, continued = [], {}
    for lang, code, note, _ in readme_blocks():
        if lang != "python" or (note or "").startswith("skip"):
            continue
        if note is None:
            alone.append(code)
            continue
        base = re.fullmatch(r"after (examples/\w+\.py)", note)
        assert base, f"unknown docs-test note {note!r}"
        continued.setdefault(base.group(1), (ROOT / base.group(1)).read_text())
        continued[base.group(1)] += "\n" + code
    return alone + list(continued.values())


def shell_runs():
    """(commands, expected output or None) of the README's sh blocks; `pip install` is
    left out (the tests run on an installed package)."""
    runs = []
    for lang, code, note, output in readme_blocks():
        if lang != "sh" or (note or "").startswith("skip"):
            continue
        commands = []
        for line in code.replace("\\\n", " ").splitlines():
            line = line.split("  #")[0].strip()
            commands += [c.strip() for c in line.split("&&")
                         if c.strip() and not c.strip().startswith("pip install")]
        if commands:
            runs.append((commands, output))
    return runs


def test_readme_marks_every_block_it_does_not_run():
    blocks = readme_blocks()
    assert len(python_runs()) >= 3 and len(shell_runs()) >= 3
    for lang, code, note, _ in blocks:
        assert lang in ("python", "sh", "text"), code
        assert note is None or re.fullmatch(r"skip \(.+\)|after examples/\w+\.py", note)


@pytest.mark.parametrize("script", python_runs(), ids=lambda s: s.splitlines()[0][:40])
def test_readme_python_runs(script, tmp_path):
    path = tmp_path / "snippet.py"  # a file: Dask's worker processes import the script
    path.write_text(script)
    out = subprocess.run([sys.executable, str(path)], cwd=ROOT, capture_output=True,
                         text=True, timeout=600)
    assert out.returncode == 0, out.stderr


@pytest.mark.parametrize("commands,expected", shell_runs(), ids=lambda c: str(c)[:40])
def test_readme_commands_run_and_print_what_it_shows(commands, expected):
    printed = ""
    for command in commands:
        words = shlex.split(command)
        program = {"morvel": [sys.executable, "-m", "morvel"],
                   "python": [sys.executable]}[words[0]]
        out = subprocess.run(program + words[1:], cwd=ROOT, capture_output=True, text=True,
                             timeout=600)
        assert out.returncode == 0, (command, out.stderr)
        printed = out.stdout
    if expected is not None:
        assert printed.rstrip() == expected.rstrip()

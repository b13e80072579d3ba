"""Every code block of README.md and docs/*.md runs as a reader would paste
it, and the README documents exactly the package's public names.

A document's blocks run in order in one scratch directory, against the
installed package: ``python`` blocks in a fresh interpreter (as a script, so
``if __name__ == "__main__"`` works), ``sh`` blocks with ``bash -e`` and the
interpreter's bin directory first on PATH, and a ``json`` block that is a key
record through ``quorvex check``. A block that must not run as it stands is
marked by ``<!-- not run: why -->`` on the line before its fence; the test
ids show how many blocks each document runs and how many are marked.
"""
import json
import os
import re
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

import pytest

import quorvex

ROOT = Path(__file__).resolve().parent.parent
DOCUMENTS = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
RUNNABLE = {"python", "sh", "json"}
TEXT = {"", "text"}  # synopses and listings, not code
NOT_RUN = re.compile(r"<!--\s*not run:\s*\S.*-->")
FENCE = re.compile(r"^```(\S*)\s*$")
BLOCK_TIMEOUT = 300


@dataclass
class Block:
    language: str
    code: str
    line: int  # of the opening fence, from 1
    marked: bool


def blocks_of(path):
    lines = path.read_text(encoding="utf-8").splitlines()
    blocks, index = [], 0
    while index < len(lines):
        opening = FENCE.match(lines[index])
        if not opening:
            index += 1
            continue
        end = next(i for i in range(index + 1, len(lines)) if lines[i].startswith("```"))
        before = next((lines[i] for i in range(index - 1, -1, -1) if lines[i].strip()), "")
        blocks.append(Block(opening.group(1), "\n".join(lines[index + 1:end]) + "\n", index + 1,
                            bool(NOT_RUN.search(before))))
        index = end + 1
    return blocks


def document_id(path):
    blocks = [b for b in blocks_of(path) if b.language in RUNNABLE]
    marked = sum(b.marked for b in blocks)
    return f"{path.relative_to(ROOT)}: {len(blocks) - marked} run, {marked} marked not run"


def environment():
    env = dict(os.environ)
    env["PATH"] = os.pathsep.join([os.path.dirname(sys.executable), env.get("PATH", "")])
    return env


def run_block(block, directory, number):
    if block.language == "python":
        script = directory / f"block_{number}.py"
        script.write_text(block.code, encoding="utf-8")
        command = [sys.executable, script.name]
    elif block.language == "sh":
        command = ["bash", "-e", "-o", "pipefail", "-c", block.code]
    else:
        record = json.loads(block.code)
        if "inputs" not in record:
            return None  # a JSON example that is not a key record: parsing it is the test
        (directory / f"block_{number}.jsonl").write_text(block.code, encoding="utf-8")
        command = [sys.executable, "-m", "quorvex", "check", f"block_{number}.jsonl"]
    return subprocess.run(command, cwd=directory, env=environment(), capture_output=True,
                          text=True, timeout=BLOCK_TIMEOUT)


@pytest.mark.parametrize("path", DOCUMENTS, ids=document_id)
def test_every_block_runs_as_pasted(path, tmp_path):
    blocks = blocks_of(path)
    unknown = [f"line {b.line}: {b.language}" for b in blocks
               if b.language not in RUNNABLE | TEXT]
    assert not unknown, f"blocks of a language the test cannot run: {unknown}"
    for number, block in enumerate(blocks):
        if block.marked or block.language not in RUNNABLE:
            continue
        result = run_block(block, tmp_path, number)
        if result is None:
            continue
        assert result.returncode == 0, (
            f"{path.name}, block at line {block.line} ({block.language}) exited "
            f"{result.returncode}\n--- code\n{block.code}--- stdout\n{result.stdout}"
            f"--- stderr\n{result.stderr}")


def test_the_marker_is_seen_and_needs_a_reason(tmp_path):
    document = tmp_path / "d.md"
    document.write_text("<!-- not run: builds -->\n\n```sh\nexit 1\n```\n"
                        "<!-- not run -->\n```sh\nexit 1\n```\n```python\nprint(1)\n```\n")
    assert [(b.language, b.marked, b.line) for b in blocks_of(document)] == [
        ("sh", True, 3), ("sh", False, 7), ("python", False, 10)]
    failing = run_block(blocks_of(document)[1], tmp_path, 1)
    assert failing.returncode == 1


def test_the_readme_documents_exactly_the_public_names():
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    documented = {name for name in re.findall(r"\bquorvex\.([A-Za-z_][A-Za-z0-9_]*)", readme)
                  if not name.startswith("__")}
    assert documented == set(quorvex.__all__)
    assert len(quorvex.__all__) == len(set(quorvex.__all__))


def test_the_readme_keeps_the_users_order():
    headings = re.findall(r"^## (.+)$", (ROOT / "README.md").read_text(encoding="utf-8"),
                          re.MULTILINE)
    order = ["Install", "A first key", "The command line", "Security model", "The Python API",
             "Records and checking", "Scaling", "Licence"]
    assert [h for h in headings if h in order] == order
    assert headings[-1] == "For developers"


@pytest.mark.parametrize("path", DOCUMENTS, ids=lambda p: str(p.relative_to(ROOT)))
def test_local_links_lead_somewhere(path):
    text = path.read_text(encoding="utf-8")
    anchors = {re.sub(r"[^\w\- ]", "", h).strip().lower().replace(" ", "-")
               for h in re.findall(r"^#+ (.+)$", text, re.MULTILINE)}
    for target in re.findall(r"\]\(([^)\s]+)\)", text):
        if target.startswith(("http://", "https://")):
            continue
        if target.startswith("#"):
            assert target[1:] in anchors, target
        else:
            assert (path.parent / target.split("#")[0]).exists(), target


def test_the_readme_says_how_to_start_and_how_long_the_tests_take():
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    assert "bash scripts/run-example" in readme
    assert re.search(r"bash scripts/test .*about \d+-\d+ minutes", readme)

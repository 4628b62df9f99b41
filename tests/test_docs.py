"""The documentation: its site builds without a warning, it names every public
object and command, and its examples run.

Examples are the fenced blocks of the pages under ``docs/``:

* ```` ```pycon ```` blocks are Python sessions (``>>>``), run with doctest;
* ```` ```console ```` blocks are shell sessions: each ``$ `` line is run with
  ``bash`` and what it prints (stdout and stderr) is compared with the lines
  below it as doctest compares (``...`` matches anything, runs of blanks are
  one blank).

The blocks of one page run in order in one fresh temporary directory, sharing
one Python namespace, so an example may use the files and names an earlier
one made. ```` ```python ```` and ```` ```sh ```` blocks are shown, never run
(they need a database or files a reader has). Examples need no database.
"""
from __future__ import annotations

import doctest
import importlib
import os
import re
import subprocess
import sys
import time
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
DOCS = ROOT / "docs"
PAGES = sorted(p for p in DOCS.rglob("*.md") if "_build" not in p.parts)
FENCE = re.compile(r"^(?P<indent> *)```(?P<lang>[A-Za-z{}-]*)[^\n]*\n(?P<body>.*?)^(?P=indent)```[ \t]*$",
                   re.S | re.M)
FLAGS = doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE


def _blocks(page: Path):
    """(language, first line number, text) of each fenced block of a page."""
    text = page.read_text(encoding="utf-8")
    for m in FENCE.finditer(text):
        line = text.count("\n", 0, m.start("body")) + 1
        indent = len(m.group("indent"))
        body = "".join(l[indent:] if l[:indent].strip() == "" else l
                       for l in m.group("body").splitlines(keepends=True))
        yield m.group("lang"), line, body


# --- the site ----------------------------------------------------------------------

def _sphinx_build(out: Path) -> subprocess.CompletedProcess:
    try:
        importlib.import_module("sphinx")
    except ImportError:
        pytest.fail("Sphinx is missing: scripts/setup.sh installs the docs extra "
                    "(pip install '.[docs]')")
    return subprocess.run(
        [sys.executable, "-m", "sphinx", "-b", "html", "-W", "-n", "--keep-going", "-E",
         "-q", "-d", str(out / "doctrees"), str(DOCS), str(out / "html")],
        capture_output=True, text=True, cwd=ROOT, timeout=300)


@pytest.fixture(scope="module")
def site(tmp_path_factory):
    out = tmp_path_factory.mktemp("docs")
    start = time.monotonic()
    proc = _sphinx_build(out)
    return out / "html", proc, time.monotonic() - start


def test_site_builds_without_a_warning(site):
    html, proc, seconds = site
    assert proc.returncode == 0 and not proc.stderr.strip(), (
        f"sphinx-build exited {proc.returncode}:\n{proc.stderr}{proc.stdout}")
    assert (html / "index.html").is_file()
    assert seconds < 120, f"the docs build took {seconds:.0f} s"


def _inventory(html: Path) -> set:
    from sphinx.util.inventory import InventoryFile
    with open(html / "objects.inv", "rb") as f:
        inv = InventoryFile.load(f, "", lambda base, uri: uri)
    # Sphinx >= 8.2 returns an _Inventory; older ones a dict of dicts.
    data = getattr(inv, "data", inv)
    return {(kind, name) for kind, entries in data.items() for name in entries}


def _public_names(module):
    names = getattr(module, "__all__", None)
    if names is None:
        names = [n for n, v in vars(module).items() if not n.startswith("_")
                 and getattr(v, "__module__", module.__name__) == module.__name__
                 and not isinstance(v, type(sys))]
    return names


API = ["voriviv", "voriviv.geofileops.gdb", "voriviv.geofileops.tab", "voriviv.geofileops.shp",
       "voriviv.pos", "voriviv.bounding_box", "voriviv.tileid", "voriviv.jobs",
       "voriviv.conversions", "voriviv.verify", "voriviv.connection", "voriviv.report", "voriviv.progress",
       "voriviv.errors"]
# Named in a module, documented where it lives.
ELSEWHERE = {"PathLike"}


def test_site_names_every_public_object(site):
    html, proc, _ = site
    assert proc.returncode == 0, proc.stderr
    documented = {name for _, name in _inventory(html)}
    missing = []
    for modname in API:
        module = importlib.import_module(modname)
        for name in _public_names(module):
            if name in ELSEWHERE:
                continue
            obj = getattr(module, name)
            qualified = f"{modname}.{name}"
            if qualified not in documented:
                missing.append(qualified)
            if isinstance(obj, type):  # and every public member of a class
                for member in vars(obj):
                    if not member.startswith("_") and f"{qualified}.{member}" not in documented:
                        missing.append(f"{qualified}.{member}")
    # The command-line module also offers names of the modules below it: each
    # must be documented where it lives.
    cli = importlib.import_module("voriviv.cli")
    for name in cli.__all__:
        obj = getattr(cli, name)
        homes = [m for m in API if getattr(importlib.import_module(m), name, None) is obj]
        qualified = [f"{m}.{name}" for m in homes] or [f"voriviv.cli.{name}"]
        if not any(q in documented for q in qualified):
            missing.append(qualified[0])
    assert not missing, "not in the API reference: " + ", ".join(missing)


def _subcommands():
    import argparse
    from voriviv.cli import build_parser
    for action in build_parser()._actions:
        if isinstance(action, argparse._SubParsersAction):
            return list(action.choices)
    return []


def test_site_has_every_command(site):
    html, proc, _ = site
    assert proc.returncode == 0, proc.stderr
    labels = {name for kind, name in _inventory(html) if kind == "std:label"}
    commands = _subcommands()
    assert {"gdb2pg", "run", "layers"} <= set(commands)
    missing = [c for c in commands if f"cli-{c}" not in labels]
    assert not missing, f"commands missing from the command-line page: {missing}"
    page = (html / "command-line.html").read_text(encoding="utf-8")
    for command in commands:
        assert f"usage: voriviv {command} " in page, command


# --- the examples ------------------------------------------------------------------

def _console(text: str):
    """(command, expected output) pairs of a console block."""
    pairs, command, expected = [], None, []
    for line in text.splitlines():
        if line.startswith("$ "):
            if command is not None:
                pairs.append((command, "\n".join(expected)))
            command, expected = line[2:], []
        elif command is not None:
            if command.endswith("\\"):
                command = command[:-1] + "\n" + line
            else:
                expected.append(line)
    if command is not None:
        pairs.append((command, "\n".join(expected)))
    return pairs


def _run_console(command: str, cwd: Path) -> str:
    env = dict(os.environ, COLUMNS="100")
    env["PATH"] = str(Path(sys.executable).parent) + os.pathsep + env.get("PATH", "")
    proc = subprocess.run(["bash", "-c", command], cwd=cwd, env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True, timeout=120,
                          stdin=subprocess.DEVNULL)
    return proc.stdout


def _pages_with_examples():
    return [p for p in PAGES if any(lang in ("pycon", "console") for lang, _, _ in _blocks(p))]


@pytest.fixture
def converter_threads():
    """The converter modules' thread counts, put back after a page set them."""
    modules = [importlib.import_module(f"voriviv.geofileops.{m}") for m in ("gdb", "tab", "shp")]
    saved = [m.GEOFILEOPS_THREADS for m in modules]
    yield
    for m, n in zip(modules, saved):
        m.set_geofileops_threads(n)


@pytest.mark.parametrize("page", _pages_with_examples(), ids=lambda p: str(p.relative_to(DOCS)))
def test_examples_run(page, tmp_path, monkeypatch, converter_threads):
    monkeypatch.chdir(tmp_path)
    globs = {"__name__": "__docs__"}
    parser, checker = doctest.DocTestParser(), doctest.OutputChecker()
    failures = []
    for lang, line, body in _blocks(page):
        where = f"{page.relative_to(ROOT)}:{line}"
        if lang == "pycon":
            test = parser.get_doctest(body, globs, where, str(page), line - 1)
            runner = doctest.DocTestRunner(optionflags=FLAGS)
            out = []
            runner.run(test, out=out.append, clear_globs=False)
            globs.update(test.globs)   # a DocTest works on a copy of its namespace
            if runner.failures:
                failures.append("".join(out))
        elif lang == "console":
            for command, expected in _console(body):
                got = _run_console(command, tmp_path)
                if not checker.check_output(expected.strip() + "\n", got.strip() + "\n", FLAGS):
                    failures.append(f"{where}: $ {command}\nexpected:\n{expected}\ngot:\n{got}")
    assert not failures, "\n".join(failures)


def test_every_page_has_its_examples_found():
    # A typo in a fence (```pycon3) would silently turn an example off.
    for page in PAGES:
        for lang, line, body in _blocks(page):
            if body.lstrip().startswith(">>>"):
                assert lang == "pycon", f"{page.relative_to(ROOT)}:{line}: use ```pycon"
            if body.lstrip().startswith("$ "):
                assert lang in ("console", "text"), \
                    f"{page.relative_to(ROOT)}:{line}: use ```console"

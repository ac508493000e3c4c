"""The examples of the guide's pages (docs/guide/*.md, in the order of
docs/guide.md's table of contents) and of README.md, with the outputs pasted
there, and the storm-event output the guide quotes."""

import contextlib
import doctest
import io
import pathlib
import re
import subprocess
import sys

import pytest

import quellmar

ROOT = pathlib.Path(__file__).resolve().parent.parent
GUIDE = ROOT / "docs" / "guide.md"


def guide_pages():
    """The guide's pages, in the order of its table of contents."""
    toctree = re.search(r"```\{toctree\}\n(.*?)```", GUIDE.read_text(), flags=re.S).group(1)
    names = [line.strip() for line in toctree.splitlines() if line.strip() and not line.startswith(":")]
    return [ROOT / "docs" / f"{name}.md" for name in names]


# A block that says, in the paragraph just before it, that it "goes on from
# the block above" runs in the session of that block; every other block runs
# on its own, in a fresh session, as a reader pasting it alone would.
CONTINUES = re.compile(r"goes\s+on\s+from\s+the\s+(?:\w+\s+)?(?:one|block)\s+above")


def guide_sessions():
    """The pycon blocks of the guide, grouped into sessions in reading order,
    as (page, blocks); a session does not go on from one page to the next."""
    sessions = []
    for page in guide_pages():
        text = page.read_text()
        first = True
        for match in re.finditer(r"```pycon\n(.*?)\n```", text, flags=re.S):
            before = text[: match.start()].rstrip().rpartition("\n\n")[2]
            if not first and CONTINUES.search(before):
                sessions[-1][1].append(match.group(1))
            else:
                sessions.append((page, [match.group(1)]))
            first = False
    return sessions


def test_pycon_blocks_give_their_pasted_output():
    sessions = guide_sessions()
    assert sum(len(blocks) for _, blocks in sessions) > 10
    assert len({page for page, _ in sessions}) > 10
    attempted = 0
    for number, (page, blocks) in enumerate(sessions):
        test = doctest.DocTestParser().get_doctest("\n\n".join(blocks), {}, f"{page.name} session {number}",
                                                   str(page), 0)
        runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
        runner.run(test)
        result = runner.summarize(verbose=False)
        assert result.failed == 0, (page.name, blocks[0][:200])
        attempted += result.attempted
    assert attempted > 50


def test_storm_event_output_is_the_examples():
    text = "\n".join(page.read_text() for page in guide_pages())
    quoted = re.search(r"<!-- storm_event.py output -->\n```text\n(.*?)\n```", text, flags=re.S).group(1)
    done = subprocess.run([sys.executable, str(ROOT / "examples" / "storm_event.py")],
                          cwd=ROOT, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.rstrip("\n") == quoted


def test_readme_links_the_guide_and_no_figure_is_committed():
    readme = (ROOT / "README.md").read_text()
    assert "(docs/guide.md)" in readme
    # The figures are drawn when the site is built (the gallery), never
    # copied from a committed image.
    assert ".png)" not in readme
    assert not [p for p in (ROOT / "docs").rglob("*.png") if "_build" not in p.parts
                and "auto_examples" not in p.parts]
    assert all(page.exists() for page in guide_pages())
    assert "python -m pip install . && python examples/storm_event.py" in readme
    assert "python -m pip install \".[test]\" && python -m pytest tests" in readme


def test_readme_usage_prints_what_its_comments_say():
    readme = (ROOT / "README.md").read_text()
    source = re.search(r"## Use\n.*?```python\n(.*?)```", readme, flags=re.S).group(1)
    # The comment of each print: on its line, else on the next one.
    lines = source.splitlines()
    expected = []
    for i, line in enumerate(lines):
        if line.startswith("print("):
            comment = line.partition("# ")[2] or lines[i + 1].partition("# ")[2]
            expected.append(comment)
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        exec(compile(source, "README.md", "exec"), {"__name__": "readme"})
    printed = out.getvalue().splitlines()
    assert len(printed) == len(expected) == 4
    for line, comment in zip(printed, expected):
        assert comment.startswith(line), (line, comment)


API = ROOT / "docs" / "api"
MODULES = ["quellmar", "quellmar.utils", "quellmar.reach", "quellmar.reservoir",
           "quellmar.reservoir.reservoir_utils", "quellmar.rainfall_transform", "quellmar.rainfall_loss",
           "quellmar.baseflow", "quellmar.metrics"]


@pytest.mark.parametrize("dotted", MODULES)
def test_api_reference_has_one_entry_per_name_of_all(dotted):
    """Every name of a module's __all__ has its own entry in docs/api (a
    class, a function, or a submodule), none twice, and nothing else."""
    module = quellmar
    for part in dotted.split(".")[1:]:
        module = getattr(module, part)
    text = "\n".join(page.read_text() for page in sorted(API.glob("*.rst")))
    entries = re.findall(r"^\.\. (?:autoclass|autofunction|py:module):: (\S+)$", text, flags=re.M)
    here = [name for name in entries if name.rpartition(".")[0] == dotted]
    assert sorted(here) == sorted(f"{dotted}.{name}" for name in module.__all__)
    assert len(here) == len(set(here))
    # A class's entry holds one for each of its public methods and
    # attributes, in the order the module registers them.
    members = re.findall(r"^   \.\. auto(?:method|attribute):: (\S+)$", text, flags=re.M)
    for name in module.__all__:
        cls = getattr(module, name)
        if isinstance(cls, type):
            public = [f"{dotted}.{name}.{key}" for key in vars(cls) if not key.startswith("_")]
            assert [m for m in members if m.rpartition(".")[0] == f"{dotted}.{name}"] == public

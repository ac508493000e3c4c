"""The examples of docs/guide.md and README.md, with the outputs pasted
there, and the storm-event output the guide quotes."""

import contextlib
import doctest
import io
import pathlib
import re
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
GUIDE = ROOT / "docs" / "guide.md"


# A block that says, in the paragraph just before it, that it "goes on from
# the block above" runs in the session of that block; every other block runs
# on its own, in a fresh session, as a reader pasting it alone would.
CONTINUES = re.compile(r"goes\s+on\s+from\s+the\s+(?:\w+\s+)?(?:one|block)\s+above")


def guide_sessions():
    """The pycon blocks of the guide, grouped into sessions in reading order."""
    text = GUIDE.read_text()
    sessions = []
    for match in re.finditer(r"```pycon\n(.*?)\n```", text, flags=re.S):
        before = text[: match.start()].rstrip().rpartition("\n\n")[2]
        if sessions and CONTINUES.search(before):
            sessions[-1].append(match.group(1))
        else:
            sessions.append([match.group(1)])
    return sessions


def test_pycon_blocks_give_their_pasted_output():
    sessions = guide_sessions()
    assert sum(len(s) for s in sessions) > 10
    attempted = 0
    for number, blocks in enumerate(sessions):
        test = doctest.DocTestParser().get_doctest("\n\n".join(blocks), {}, f"guide.md session {number}",
                                                   str(GUIDE), 0)
        runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
        runner.run(test)
        result = runner.summarize(verbose=False)
        assert result.failed == 0, blocks[0][:200]
        attempted += result.attempted
    assert attempted > 50


def test_storm_event_output_is_the_examples():
    text = GUIDE.read_text()
    quoted = re.search(r"<!-- storm_event.py output -->\n```text\n(.*?)\n```", text, flags=re.S).group(1)
    done = subprocess.run([sys.executable, str(ROOT / "examples" / "storm_event.py")],
                          cwd=ROOT, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.rstrip("\n") == quoted


def test_readme_links_the_guide_and_figure():
    readme = (ROOT / "README.md").read_text()
    assert "(docs/guide.md)" in readme
    assert "(docs/storm_event.png)" in readme
    for figure in ("storm_event.png", "clark_truncation.png"):
        assert (ROOT / "docs" / figure).read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
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

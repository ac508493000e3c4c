"""Replays the coverage-guided fuzzer's inputs (tools/fuzz/) against the
installed module: the corpus, which reaches every part of the surface the
fuzzer has found, and every input that once made it fail.  Each must end in a
result or a documented exception, as in the fuzzer itself (tools/fuzz.sh)."""

import importlib.util
import pathlib

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
FUZZ = ROOT / "tools" / "fuzz"


def load_target():
    spec = importlib.util.spec_from_file_location("quellmar_fuzz_surface", FUZZ / "surface.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


target = load_target()
CORPUS = sorted((FUZZ / "corpus" / "surface").glob("*"))
REGRESSIONS = sorted(p for p in (FUZZ / "regressions").glob("*") if p.suffix != ".md")


def test_corpus_is_there_and_small():
    assert len(CORPUS) >= 50
    assert sum(p.stat().st_size for p in CORPUS) < 256 * 1024


def test_corpus_replays():
    for path in CORPUS:
        target.one_input(path.read_bytes())


def test_regression_inputs():
    for path in REGRESSIONS:
        target.one_input(path.read_bytes())


def test_the_target_reports_undocumented_outcomes(monkeypatch):
    """The check itself: a SystemError, or a panic with an unknown message,
    is a fault for the fuzzer."""

    def boom(src):
        raise SystemError("error return without exception set")

    monkeypatch.setattr(target, "_call", boom)
    with pytest.raises(target.FuzzFault, match="undocumented SystemError"):
        target.one_input(b"\x00")

    def panic(src):
        raise target.PanicException("internal code failed")

    monkeypatch.setattr(target, "_call", panic)
    with pytest.raises(target.FuzzFault, match="unknown message"):
        target.one_input(b"\x00")

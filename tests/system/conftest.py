"""Fixtures shared by the system tests: simulated boards under tmp_path."""

import os
import re
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "sim"))

from boardsim import Board  # noqa: E402


def pytest_collection_modifyitems(config, items):
    if os.geteuid() != 0:
        skip = pytest.mark.skip(reason="the simulated board's sandbox (mount, PID and network "
                                       "namespaces) needs root")
        for item in items:
            item.add_marker(skip)


@pytest.fixture(scope="session")
def arch():
    """The architecture of the bootmgr under test: "host" or "ppc"."""
    return os.environ.get("BOARDSIM_ARCH", "host")


@pytest.fixture
def board_factory(tmp_path):
    """board_factory(name="board", **choices) -> a fresh Board under tmp_path.

    The choices are those of Board.create / `bsim create`."""
    made = []

    def make(name="board", **choices):
        board = Board.create(tmp_path / name, **choices)
        made.append(board)
        return board

    yield make
    for board in made:
        board.release()


# What the sanitizers (ASan, UBSan, LSan) print when they find a fault.
SANITIZER_REPORT = re.compile(r"ERROR: (Address|Leak)Sanitizer|runtime error:|"
                              r"SUMMARY: (Address|Leak|UndefinedBehavior)Sanitizer")


def sanitizer_reports(root):
    """(file, first lines) of every sanitizer report left by the boards under
    root: their log/sanitizer.* files and the console or standard error of
    their last power-on."""
    found = []
    for log in sorted(Path(root).rglob("log")):
        if not (log / "devices.log").exists():
            continue
        texts = [p for p in sorted(log.glob("sanitizer*")) if p.is_file()]
        texts += [log / name for name in ("console.log", "stderr.log") if (log / name).exists()]
        for path in texts:
            text = path.read_text(encoding="latin-1", errors="replace")
            if path.name.startswith("sanitizer") or SANITIZER_REPORT.search(text):
                found.append((path, text[:4000]))
    return found


@pytest.fixture(autouse=True)
def no_sanitizer_report(tmp_path):
    """Fails a test whose board program was stopped or warned about by a
    sanitizer, even when the test's own checks passed. Set up before (so
    ended after) board_factory, which powers its boards off."""
    yield
    found = sanitizer_reports(tmp_path)
    if found:
        pytest.fail("sanitizer report on the board:\n" +
                    "\n".join(f"--- {path}\n{text}" for path, text in found), pytrace=False)

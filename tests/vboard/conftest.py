"""Fixtures of the virtual-board tests: boards under tmp_path that run the
board build of bootmgr on the real kernel in qemu-system-ppc."""

import os
import sys
from pathlib import Path

import pytest

# The simulator's package, and the simulated board's test helpers and tables
# (tests/system), which these scenarios run on the real kernel: last on the
# path, so that a test file here is never shadowed by one of the same name
# there.
TESTS = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(TESTS.parent / "sim"))
sys.path.append(str(TESTS / "system"))

from boardsim.vboard import VBoard  # noqa: E402


# How much of a board's console a failed test's report shows.
CONSOLE_TAIL = 3000


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    """A failed test's report ends with the tail of each of its boards'
    consoles: where the board stood when the test gave up on it."""
    outcome = yield
    report = outcome.get_result()
    if report.when != "call" or not report.failed:
        return
    for board in getattr(item, "vboards", []):
        text = board.console_text()
        report.sections.append((f"console of {board.path.name} (last {CONSOLE_TAIL} bytes)",
                                text[-CONSOLE_TAIL:]))


@pytest.fixture
def vboard_factory(tmp_path, request):
    """vboard_factory(name="vb", **choices) -> a fresh VBoard under tmp_path."""
    made = []
    request.node.vboards = made

    def make(name="vb", **choices):
        board = VBoard.create(tmp_path / name, **choices)
        made.append(board)
        return board

    yield make
    for board in made:
        board.release()


@pytest.fixture
def needs_root():
    if os.geteuid() != 0:
        pytest.skip("the network lab (namespaces, a tap device) needs root")

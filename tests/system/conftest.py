"""Fixtures shared by the system tests: simulated boards under tmp_path."""

import os
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

"""Fixtures of the virtual-board tests: boards under tmp_path that run the
board build of bootmgr on the real kernel in qemu-system-ppc."""

import os
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "sim"))

from boardsim.vboard import VBoard  # noqa: E402


@pytest.fixture
def vboard_factory(tmp_path):
    """vboard_factory(name="vb", **choices) -> a fresh VBoard under tmp_path."""
    made = []

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

"""Shared pieces of the rescue-download tests: the way into the rescue menu
of the real bootmgr, the installer's slot question, and looking at the
running program from outside its sandbox."""
import os
from pathlib import Path

from helpers import SLOT_QUESTION, new_board


def rescue_board(tmp_path, name="b", **choices):
    """A board whose boot settings ask for the rescue menu."""
    return new_board(tmp_path, name, env={"diagnostics": "rescue"}, **choices)


def install_into(con, slot, timeout=120):
    """Answers the installer's slot question; waits for its success line."""
    con.expect_exact(SLOT_QUESTION, timeout=timeout)
    con.send(f"{slot}\r")
    con.expect_exact(f"Image{slot} updated succeeded".encode(), timeout=timeout)


def program_pid(con):
    """Host pid of the program under test inside the power-on's sandbox."""
    wanted = os.path.basename(os.environ.get("BOOTMGR", "bootmgr"))
    todo = [con.pid]
    while todo:
        pid = todo.pop()
        try:
            children = Path(f"/proc/{pid}/task/{pid}/children").read_text().split()
            cmdline = Path(f"/proc/{pid}/cmdline").read_bytes().split(b"\0")
        except OSError:
            continue
        if any(os.path.basename(a.decode(errors="replace")) == wanted for a in cmdline):
            return pid
        todo.extend(int(c) for c in children)
    raise AssertionError("the program under test is not running")


def working_directory_is(con, board_path):
    """True when the program's working directory is board_path (as the
    program sees it)."""
    pid = program_pid(con)
    cwd = os.stat(f"/proc/{pid}/cwd")
    there = os.stat(f"/proc/{pid}/root{board_path}")
    return (cwd.st_dev, cwd.st_ino) == (there.st_dev, there.st_ino)

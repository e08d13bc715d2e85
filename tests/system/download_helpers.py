"""Shared pieces of the rescue-download tests: an installable image made by
the image tool, the way into the rescue menu of the real bootmgr, and
looking at the running program from outside its sandbox."""
import io
import os
import subprocess
import tarfile
import tempfile
import time
from pathlib import Path

from boardsim import Board

ARCH = os.environ.get("BOARDSIM_ARCH", "host")
# Keys are typed once the program waits in its read (see test_console).
SETTLE = 0.6 if ARCH == "ppc" else 0.25
OPTION = b"\r\nOption? : "
SLOT_QUESTION = b"Install image as image 1 or 2 (hit return to just boot image): "


def app_archive(marker):
    """A gzip tar holding a runnable application that prints the marker."""
    data = io.BytesIO()
    with tarfile.open(fileobj=data, mode="w:gz") as tar:
        script = f"#!/bin/sh\necho {marker}\n".encode()
        info = tarfile.TarInfo("home/bin/mp.elf.strip")
        info.size = len(script)
        info.mode = 0o755
        tar.addfile(info, io.BytesIO(script))
    return data.getvalue()


def app_image(marker="APP", version=(1, 2, 3, 4), payload=None):
    """An image file of one application component; its payload an archive
    printing the marker, or the bytes given (a slot takes any payload)."""
    with tempfile.TemporaryDirectory() as tmp:
        Path(tmp, "payload").write_bytes(app_archive(marker) if payload is None else payload)
        out = Path(tmp, "image")
        subprocess.run([os.environ["BMIMAGE"], "create", "-o", str(out), "--type", "app",
                        "--file", str(Path(tmp, "payload")),
                        "--version", ".".join(map(str, version))],
                       check=True, capture_output=True)
        return out.read_bytes()


def rescue_board(tmp_path, name="b", **choices):
    """A board whose boot settings ask for the rescue menu."""
    choices.setdefault("time_scale", 0.02)
    return Board.create(tmp_path / name, env={"diagnostics": "rescue"}, **choices)


def press(con, key, after=OPTION):
    con.expect_exact(after)
    time.sleep(SETTLE)
    con.send(key)


def answer(con, prompt, line):
    con.expect_exact(prompt)
    time.sleep(SETTLE)
    con.send(line + "\r")


def install_into(con, slot, timeout=120):
    """Answers the installer's slot question; waits for its success line."""
    con.expect_exact(SLOT_QUESTION, timeout=timeout)
    con.send(f"{slot}\r")
    con.expect_exact(f"Image{slot} updated succeeded".encode(), timeout=timeout)


def slot_image(board, slot):
    path = board.user / "images" / f"image{slot}"
    return path.read_bytes() if path.exists() else None


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

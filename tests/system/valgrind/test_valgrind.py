"""bootmgr under valgrind's memcheck on the simulated board, device layer
preloaded: a normal boot of the demo board into its application, and an
installation of an image holding every component type, and a USB install
from the rescue menu followed by the boot of what it installed. Each run must leave
no memcheck error (invalid access, uninitialised value, bad free, leak).

Run by CTest in the host tree (label valgrind); slow, so kept to three runs."""
import re
from pathlib import Path

import pytest
from boardsim import Board
from boardsim import default_board as demo
from download_helpers import install_into, rescue_board
from boardsim.console import press
from helpers import app_image, slot_image

# The tool itself, not the `valgrind` launcher: the launcher is a dynamic
# program, so the preloaded device layer would load into it (and take itself
# out of LD_PRELOAD for what follows). The tool is static and hands
# LD_PRELOAD on to bootmgr behind its own preloads.
VALGRIND_LIB = Path("/usr/libexec/valgrind")
MEMCHECK = VALGRIND_LIB / "memcheck-amd64-linux"
pytestmark = pytest.mark.skipif(not MEMCHECK.exists(), reason="valgrind is not installed")

# Inside the sandbox the host's /usr is the board's; the log goes to the
# board directory. The program's children (the shell, the application) run
# natively and say nothing: only bootmgr itself is checked.
OPTIONS = ("--error-exitcode=99 --leak-check=full --show-leak-kinds=definite,possible "
           "--errors-for-leak-kinds=definite,possible --child-silent-after-fork=yes "
           "--num-callers=30 --log-file=/.boardsim/log/valgrind.%p.log")

# What memcheck says when it finds something.
MEMCHECK_ERROR = re.compile(r"==\d+== (Invalid (read|write|free)|Conditional jump|"
                            r"Use of uninitialised|Syscall param|Mismatched free|"
                            r"Source and destination overlap|Argument .* fishy|"
                            r".* (definitely|possibly) lost in)")


@pytest.fixture
def under_valgrind(monkeypatch):
    monkeypatch.setenv("BOARDSIM_WRAPPER", f"{MEMCHECK} {OPTIONS}")
    monkeypatch.setenv("VALGRIND_LIB", str(VALGRIND_LIB))
    # What the launcher tells the tool it started (the tool insists on it).
    monkeypatch.setenv("VALGRIND_LAUNCHER", "/usr/bin/valgrind.bin")


def memcheck_logs(board):
    """Texts of valgrind's logs of the board's power-ons."""
    return [p.read_text(errors="replace") for p in sorted((board.path / "log").glob("valgrind.*.log"))]


def assert_no_memcheck_error(board):
    logs = memcheck_logs(board)
    assert logs, "valgrind did not run the program"
    for log in logs:
        assert "Memcheck, a memory error detector" in log, log
        assert not MEMCHECK_ERROR.search(log), log


def test_normal_boot_into_the_demo_application(tmp_path, under_valgrind):
    board = Board.create(tmp_path / "b", default=True, time_scale=0.02)
    con = board.power_on(timeout=120)
    con.expect_exact("Booting image '1'")
    con.expect_exact("Demo application from image slot 1,")
    con.expect_exact("demo> ")
    con.send("exit\r")
    off = board.wait_power_off(con)
    assert off.reason == "app-exit"
    # bootmgr replaced itself by the application: valgrind's log of it ends
    # there, with what it found up to the exec (nothing).
    assert_no_memcheck_error(board)
    assert board.eeprom(314) == 1


def test_install_of_every_component_type(tmp_path, under_valgrind):
    board = Board.create(tmp_path / "b", time_scale=0.02)
    filler = bytes(range(256)) * 64
    image = demo.make_image([
        {"type": "bootloader", "version": "2.1.0.4", "payload": filler, "boot_copy": True},
        {"type": "kernel", "version": "3.4.0.8", "payload": filler * 5},
        {"type": "rootfs", "version": "3.4.0.8", "payload": filler * 3},
        {"type": "devicetree", "version": "1.2.0.1", "payload": filler[:3000]},
        {"type": "diag", "version": "1.0.0.10", "payload": demo.archive(demo.diag_files("d", "1"))},
        {"type": "app", "version": "1.0.0.3",
         "payload": demo.archive(demo.demo_files("installed", "1.0.0.3"))},
    ], workdir=tmp_path)
    (board.path / "x.img").write_bytes(image)
    con = board.power_on(program=["probe_install", "/.boardsim/x.img", "0", "2"], timeout=300)
    con.expect(r"processVireoImage=(\d)")
    assert con.match.group(1) == b"1"
    off = board.wait_power_off(con)
    # 99 is valgrind's own status for an error found (leaks included).
    assert off.reason == "exit" and off.status == 0, board.console_text()
    assert_no_memcheck_error(board)
    assert any("ERROR SUMMARY: 0 errors" in log for log in memcheck_logs(board))
    assert board.partition("kernel")[:len(filler) * 5 + 16][16:] == filler * 5
    assert board.eeprom(256) == 2


def test_usb_install_from_the_rescue_menu_then_boot(tmp_path, under_valgrind):
    image = app_image("USB IMAGE RUNS", (1, 0, 0, 5))
    board = rescue_board(tmp_path, usb="plugged", **{"usb.new.img": image})
    con = board.power_on(timeout=120)
    press(con, "u")
    con.expect_exact(b"Choose file number to install (q to quit): ")
    con.send("1\r")
    install_into(con, 2)
    press(con, "e")
    con.expect_exact("USB IMAGE RUNS")
    off = board.wait_power_off(con)
    assert off.reason == "app-exit"
    assert slot_image(board, 2) == image and board.eeprom(256) == 2
    assert_no_memcheck_error(board)

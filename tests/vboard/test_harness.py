"""The virtual board's harness around QEMU: a missing piece is a clear
error and never a hang, `bsim show` decodes the board's own files, the
choices of a simulated board make the same state on a virtual one, a
power cut (QEMU killed) is reported as such, and a QEMU monitor that closes
is an error."""

import os
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest
from boardsim.board import Board, BoardError
from boardsim.default_board import APP_VERSIONS
from boardsim.vboard import LAYOUT, VBoard

REPO = Path(__file__).resolve().parents[2]


def test_missing_pieces_are_named(vboard_factory, monkeypatch, tmp_path):
    board = vboard_factory(default=True)
    monkeypatch.setenv("VBOARD_KERNEL", str(tmp_path / "no-vmlinux"))
    with pytest.raises(BoardError, match="kernel is not built: run scripts/vboard-build"):
        board.power_on()
    monkeypatch.delenv("VBOARD_KERNEL")
    monkeypatch.setenv("PATH", str(tmp_path))
    with pytest.raises(BoardError, match="qemu-system-ppc not found"):
        board.power_on()


def test_same_choices_same_state_on_both_back_ends(tmp_path):
    choices = dict(image_select=2, usb_boot=213, env={"diagnostics": "rescue", "shell": "on"})
    sim = Board.create(tmp_path / "sim", default=True, **choices)
    virt = VBoard.create(tmp_path / "virt", default=True, **choices)
    for offset in (256, 314, 315):
        assert sim.eeprom(offset) == virt.eeprom(offset)
    for name in ("uboot", "ubootenv", "devicetree", "kernel", "rfs", "rescue"):
        assert sim.partition(name) == virt.partition(name), name
    for slot in (1, 2):
        assert sim.user_file(f"images/image{slot}") == virt.user_file(f"images/image{slot}")
    assert virt.env() == sim.env()
    flash = (tmp_path / "virt/flash.img").read_bytes()
    assert len(flash) == 64 * 1024 * 1024
    offset, size = LAYOUT["rescue"]
    assert flash[offset:offset + size] == sim.partition("rescue")


def test_show_decodes_the_virtual_board(vboard_factory):
    board = vboard_factory(default=True, image_select=2)
    out = subprocess.run([sys.executable, str(REPO / "sim/bsim"), "show", str(board.path)],
                         check=True, capture_output=True, text=True).stdout
    assert "eeprom 256 image_select: 2 (0x02)" in out
    assert "eeprom 315 usb_boot: 255 (0xff)" in out
    assert f"slot2: application version {APP_VERSIONS[2]}" in out
    assert "kernel @0: kernel version 3.4.0.7" in out
    assert "images/image1 (" in out and "images/image2 (" in out


def test_bsim_cycle_counts_resets_and_refuses_what_the_board_cannot_do(vboard_factory):
    board = vboard_factory()
    bsim = [sys.executable, str(REPO / "sim/bsim")]
    refused = subprocess.run(bsim + ["run", str(board.path), "--arch", "host"],
                             capture_output=True, text=True, stdin=subprocess.DEVNULL)
    assert refused.returncode == 2 and "arch=host" in refused.stderr
    assert board.power_on_count() == 0
    cycle = subprocess.run(bsim + ["cycle", str(board.path), "2", "--program", "probe_devices", "shell",
                                   "reboot"], capture_output=True, text=True, stdin=subprocess.DEVNULL,
                           timeout=600)
    assert cycle.returncode == 0, cycle.stderr
    assert cycle.stderr.count("power-off: reset") == 2
    assert board.power_on_count() == 2


def test_a_killed_qemu_is_a_power_cut_and_the_files_stay(vboard_factory):
    board = vboard_factory(default=True)
    before = (board.path / "flash.img").read_bytes()
    con = board.power_on(timeout=120)
    con.expect_exact(b"Booting image '1'")
    time.sleep(0.5)
    board.power_cut()
    off = board.wait_power_off(con, timeout=30)
    assert off.reason == "power-cut"
    assert board.last_power_off().reason == "power-cut"
    after = (board.path / "flash.img").read_bytes()
    # Only the user partition may have changed (jffs2 writes at mount).
    user = LAYOUT["user"][0]
    assert after[:user] == before[:user]
    assert board.user_file("images/image1") is not None
    assert os.path.getsize(board.path / "vpd.bin") == 65536


def test_a_monitor_that_closes_early_is_an_error_not_a_hang(vboard_factory):
    # QEMU closes its monitor when it ends; the once-a-second wake-up of a
    # board that is on asks it while QEMU may be ending.
    board = vboard_factory(default=True)
    path = board.path / "state/monitor.sock"
    path.parent.mkdir(parents=True, exist_ok=True)
    with socket.socket(socket.AF_UNIX) as server:
        server.bind(str(path))
        server.listen(1)

        def close_at_once():
            conn, _ = server.accept()
            conn.sendall(b"QEMU 7.2 monitor\r\n")
            conn.close()

        peer = threading.Thread(target=close_at_once, daemon=True)
        peer.start()
        started = time.monotonic()
        with pytest.raises(BoardError, match="monitor closed"):
            board.monitor("info status", timeout=5)
        assert time.monotonic() - started < 5
        peer.join(timeout=5)

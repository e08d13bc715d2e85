"""The start-up sequence of bootmgr on the simulated board: the order of its
steps as the console, the device trace and the tools log show them, the
interrupt flag, and the board reset.

Slots hold junk unless a test needs a bootable one: extraction then fails
for both, which leads to the rescue menu, whose Reboot entry ends the
power-on. What comes before that is the start-up's own order."""
import gzip
import io
import os
import re
import subprocess
import tarfile
import time

import pexpect
import pytest
from boardsim import Board

JUNK = b"this is not an image file at all " * 4
OPTION = "Option? : "
USB_BYTE_READ = "i2c 1 write 0x54 [01 3b] mux=01"
IMAGE_BYTE_READ = "i2c 1 write 0x54 [01 00] mux=01"


def make_board(tmp_path, **choices):
    choices.setdefault("time_scale", 0.02)
    junk = tmp_path / "junk.img"
    junk.write_bytes(JUNK)
    choices.setdefault("slot1", junk)
    choices.setdefault("slot2", junk)
    return Board.create(tmp_path / "b", **choices)


def text_of(board):
    text = board.console_text()
    if isinstance(text, bytes):
        text = text.decode("latin-1")
    return text.replace("\r\n", "\n")


def log_of(board):
    return [line.strip() for line in board.device_log()]


def reboot_from_rescue(board, con):
    """Both slots failed and the rescue menu came up: take its Reboot."""
    con.expect_exact(OPTION, timeout=60)
    con.send("R")
    return board.wait_power_off(con)


def booting_lines(text):
    return re.findall(r"^Booting image '(\d+)'$", text, re.M)


def index_of(lines, wanted, start=0):
    for i in range(start, len(lines)):
        if lines[i] == wanted or lines[i].startswith(wanted):
            return i
    raise AssertionError(f"{wanted!r} not in the trace after line {start}")


class TestSlotChoice:
    @pytest.mark.parametrize("stored, first, second",
                             [(0, 1, 2), (1, 1, 2), (2, 2, 1), (3, 1, 2), (255, 1, 2)])
    def test_image_select_byte_then_the_other_slot(self, tmp_path, stored, first, second):
        board = make_board(tmp_path, image_select=stored)
        con = board.power_on()
        con.expect_exact(f"Booting image '{first}'")
        con.expect_exact(f"Booting image '{second}'")
        off = reboot_from_rescue(board, con)
        assert off.reason == "reset"
        assert booting_lines(text_of(board)) == [str(first), str(second)]
        # The USB-boot byte is read before the image-select byte.
        log = log_of(board)
        assert index_of(log, USB_BYTE_READ) < index_of(log, IMAGE_BYTE_READ)
        assert board.eeprom(256) == stored

    def test_second_slot_boots_after_the_first_comes_back(self, tmp_path):
        app = tmp_path / "app.tar.gz"
        make_app_archive(app)
        image = tmp_path / "good.img"
        subprocess.run([os.environ["BMIMAGE"], "create", "-o", str(image), "--type", "app",
                        "--file", str(app), "--version", "1.2.3.4"], check=True)
        board = make_board(tmp_path, image_select=1, booted_image=0, slot2=image)
        con = board.power_on()
        con.expect_exact("Booting image '1'")
        con.expect_exact("Booting image '2'")
        con.expect_exact("application of slot two runs", timeout=60)
        board.wait_power_off(con)
        assert booting_lines(text_of(board)) == ["1", "2"]
        assert board.eeprom(314) == 2


def make_app_archive(path):
    script = b"#!/bin/sh\necho application of slot two runs\n"
    buf = io.BytesIO()
    with tarfile.open(fileobj=buf, mode="w") as tar:
        for name, data, mode in (("home/bin/mp.elf.strip", script, 0o755),
                                 ("home/bin/install.sh", b"#!/bin/sh\n", 0o755),
                                 ("home/bin/env-setup", b"", 0o644)):
            info = tarfile.TarInfo(name)
            info.size = len(data)
            info.mode = mode
            tar.addfile(info, io.BytesIO(data))
    path.write_bytes(gzip.compress(buf.getvalue()))


class TestOrderOfSteps:
    def test_mount_comes_after_the_settings_and_before_the_slots(self, tmp_path):
        board = make_board(tmp_path)
        con = board.power_on()
        off = reboot_from_rescue(board, con)
        assert off.reason == "reset"
        log = log_of(board)
        # Flash and EEPROM opened, then the environment read, then the
        # EEPROM bytes of the boot decision.
        assert index_of(log, "i2c open 2") < index_of(log, "mtd open uboot")
        assert index_of(log, "mtd getinfo kernel") < index_of(log, "mtd read ubootenv off=0x00000004 len=8192")
        assert index_of(log, "mtd read ubootenv") < index_of(log, USB_BYTE_READ)
        tools = [line.strip() for line in board.tools_log()]
        mount = index_of(tools, "mount -o sync -t jffs2 /dev/mtd-user /user")
        assert mount < index_of(tools, "reboot")

    def test_rescue_request_comes_first_and_its_exit_goes_on(self, tmp_path):
        board = make_board(tmp_path, image_select=2, env={"diagnostics": "rescue"})
        con = board.power_on()
        con.expect_exact(OPTION)
        assert "Booting image" not in text_of(board)
        assert not any(USB_BYTE_READ in line for line in log_of(board))
        con.send("E")
        con.expect_exact("Booting image '2'")
        con.expect_exact("Booting image '1'")
        off = reboot_from_rescue(board, con)
        assert off.reason == "reset"
        log = log_of(board)
        assert index_of(log, USB_BYTE_READ) < index_of(log, IMAGE_BYTE_READ)

    def test_diagnostics_request_before_the_usb_byte(self, tmp_path):
        # The rescue partition is erased: the diagnostics boot finds nothing
        # there and the sequence goes on with the USB byte and the slots.
        board = make_board(tmp_path, image_select=1, env={"diagnostics": "diags"})
        con = board.power_on()
        con.expect_exact("y/N: ")
        assert "Booting image" not in text_of(board)
        con.send("n")
        con.expect_exact("Booting image '1'")
        off = reboot_from_rescue(board, con)
        assert off.reason == "reset"
        log = log_of(board)
        assert index_of(log, "mtd read rescue") < index_of(log, USB_BYTE_READ)
        assert booting_lines(text_of(board)) == ["1", "2"]


    def test_gdbserver_brings_up_the_management_port_before_booting(self, tmp_path):
        board = make_board(tmp_path, image_select=2, env={"gdbserver": "on"})
        con = board.power_on()
        prompts = ["Confirm: Use DHCP for network configuration? y/N: ", "IP addr    :"]
        seen = []
        while True:
            i = con.expect_exact(prompts + ["Booting image '2'"])
            if i == len(prompts):
                break
            seen.append(prompts[i])
            con.send("q\r")
        assert seen, "the management port dialogue did not run"
        off = reboot_from_rescue(board, con)
        assert off.reason == "reset"
        text = text_of(board)
        assert text.index(seen[0]) < text.index("Booting image '2'")


class TestUsbByte:
    def test_213_without_a_stick_times_out_then_boots_the_slot(self, tmp_path):
        board = make_board(tmp_path, usb_boot=213, image_select=2)
        con = board.power_on()
        con.expect_exact("USB mount timed out", timeout=120)
        con.expect_exact("Booting image '2'")
        off = reboot_from_rescue(board, con)
        assert off.reason == "reset"
        text = text_of(board)
        assert text.index("USB mount timed out") < text.index("Booting image '2'")
        assert "Booting image 'KV4410NX_OS.img' from USB stick." not in text

    def test_unusable_usb_boot_image_falls_back_to_the_slots(self, tmp_path):
        junk = tmp_path / "usb.img"
        junk.write_bytes(JUNK)
        board = make_board(tmp_path, usb_boot=213, usb="plugged", image_select=2,
                           **{"usb.KV4410NX_OS.img": junk})
        con = board.power_on()
        con.expect_exact("Booting image 'KV4410NX_OS.img' from USB stick.", timeout=120)
        con.expect_exact("USB Boot failed. Trying flash images.")
        off = reboot_from_rescue(board, con)
        assert off.reason == "reset"
        text = text_of(board)
        assert text.index("USB Boot failed. Trying flash images.\n") < text.index("Booting image '2'")
        assert booting_lines(text) == ["2", "1"]

    @pytest.mark.parametrize("value", [0, 212, 214, 255])
    def test_other_values_skip_usb_silently(self, tmp_path, value):
        board = make_board(tmp_path, usb_boot=value, image_select=1)
        con = board.power_on()
        off = reboot_from_rescue(board, con)
        assert off.reason == "reset"
        text = text_of(board)
        assert "USB" not in text
        assert booting_lines(text) == ["1", "2"]

    def test_unreachable_eeprom_boots_slot_1_without_usb(self, tmp_path):
        board = make_board(tmp_path, eeprom="absent", usb_boot=213, image_select=2)
        con = board.power_on()
        off = reboot_from_rescue(board, con)
        assert off.reason == "reset"
        text = text_of(board)
        assert "USB mount" not in text
        assert booting_lines(text) == ["1", "2"]


def interrupt_until(con, text, tries=10):
    """Sends the interrupt key until text shows. The program prints its
    prompt before it blocks in read(): a key that comes in between only
    sets the flag, so the next one is what ends the read."""
    for _ in range(tries):
        time.sleep(0.2)
        con.sendintr()
        if con.expect_exact([text, pexpect.TIMEOUT], timeout=1) == 0:
            return
    raise AssertionError(f"{text!r} never showed")


class TestSignalAndReset:
    def test_interrupt_sets_the_flag_and_ends_a_console_read(self, tmp_path):
        board = make_board(tmp_path)
        con = board.power_on(program=["probe_signal"])
        for round in (1, 2):
            con.expect_exact(f"waiting {round} flag=0")
            interrupt_until(con, "read=-1 errno=Interrupted system call flag=1")
        con.expect_exact("still running")
        off = board.wait_power_off(con)
        assert off.reason == "exit"
        assert off.status == 0

    def test_interrupt_while_bootmgr_waits_does_not_end_it(self, tmp_path):
        # Real time here: the key must arrive while bootmgr itself sleeps
        # before the reset, not while the shell runs a command.
        board = make_board(tmp_path, time_scale=1.0)
        con = board.power_on()
        con.expect_exact(OPTION, timeout=60)
        con.send("R")
        con.expect_exact("R")
        time.sleep(0.3)
        con.sendintr()
        off = board.wait_power_off(con)
        assert off.reason == "reset"
        assert "reboot" in [line.strip().split()[0] for line in board.tools_log() if line.strip()]

    def test_board_reset_waits_one_second_then_runs_reboot(self, tmp_path):
        board = make_board(tmp_path)
        con = board.power_on()
        off = reboot_from_rescue(board, con)
        assert off.reason == "reset"
        assert off.status == 0
        sleeps = [line for line in log_of(board) if line.startswith("clock sleep")]
        assert sleeps[-1] == "clock sleep 1000000us"
        tools = [line.strip() for line in board.tools_log() if line.strip()]
        assert tools[-1].startswith("reboot")

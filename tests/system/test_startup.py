"""The start-up sequence of bootmgr on the simulated board: the order of its
steps as the console, the device trace and the tools log show them, the
interrupt flag, and the board reset.

Slots hold junk unless a test needs a bootable one: extraction then fails
for both, which leads to the rescue menu, whose Reboot entry ends the
power-on. What comes before that is the start-up's own order."""
import re
import time

import pexpect
import pytest
from boardsim import default_board as demo
from helpers import (APP, USB_BOOT_IMAGE, check_console, component, console, new_board, on_stick,
                     reboot_from_rescue)

JUNK = b"this is not an image file at all " * 4
OPTION = "Option? : "
USB_BYTE_READ = "i2c 1 write 0x54 [01 3b] mux=01"
IMAGE_BYTE_READ = "i2c 1 write 0x54 [01 00] mux=01"


def make_board(tmp_path, **choices):
    choices.setdefault("slot1", JUNK)
    choices.setdefault("slot2", JUNK)
    return new_board(tmp_path, **choices)


def log_of(board):
    return [line.strip() for line in board.device_log()]


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
        assert booting_lines(console(board)) == [str(first), str(second)]
        # The USB-boot byte is read before the image-select byte.
        log = log_of(board)
        assert index_of(log, USB_BYTE_READ) < index_of(log, IMAGE_BYTE_READ)
        assert board.eeprom(256) == stored

    def test_second_slot_boots_after_the_first_comes_back(self, tmp_path):
        image = component(APP, demo.archive({
            "home/bin/mp.elf.strip": "#!/bin/sh\necho application of slot two runs\n",
            "home/bin/install.sh": "#!/bin/sh\n", "home/bin/env-setup": ""}), (1, 2, 3, 4))
        board = make_board(tmp_path, image_select=1, booted_image=0, slot2=image)
        con = board.power_on()
        con.expect_exact("Booting image '1'")
        con.expect_exact("Booting image '2'")
        con.expect_exact("application of slot two runs", timeout=60)
        board.wait_power_off(con)
        assert booting_lines(console(board)) == ["1", "2"]
        assert board.eeprom(314) == 2


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
        assert "Booting image" not in console(board)
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
        assert "Booting image" not in console(board)
        con.send("n")
        con.expect_exact("Booting image '1'")
        off = reboot_from_rescue(board, con)
        assert off.reason == "reset"
        log = log_of(board)
        assert index_of(log, "mtd read rescue") < index_of(log, USB_BYTE_READ)
        assert booting_lines(console(board)) == ["1", "2"]


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
        text = console(board)
        assert text.index(seen[0]) < text.index("Booting image '2'")


FROM_STICK = f"Booting image '{USB_BOOT_IMAGE}' from USB stick."
# The USB-boot byte and the stick come before the slots: (board choices,
# console text in this order, text never shown, the slots tried in order).
USB_BYTE = {
    "213 without a stick": (
        dict(usb_boot=213, image_select=2), ("USB mount timed out", "Booting image '2'"),
        (FROM_STICK,), ["2", "1"]),
    "213, unusable USB boot image": (
        dict(usb_boot=213, image_select=2, **on_stick({USB_BOOT_IMAGE: JUNK})),
        (FROM_STICK, "USB Boot failed. Trying flash images.\n", "Booting image '2'"), (), ["2", "1"]),
    **{f"{value}: no USB boot": (dict(usb_boot=value, image_select=1), (), ("USB",), ["1", "2"])
       for value in (0, 212, 214, 255)},
    "EEPROM unreachable: slot 1, no USB boot": (
        dict(eeprom="absent", usb_boot=213, image_select=2), (), ("USB mount",), ["1", "2"]),
}


@pytest.mark.parametrize("name", USB_BYTE)
def test_usb_boot_byte(tmp_path, name):
    choices, shows, hides, slots = USB_BYTE[name]
    board = make_board(tmp_path, **choices)
    con = board.power_on()
    assert reboot_from_rescue(board, con, timeout=120).reason == "reset"
    text = console(board)
    check_console(text, shows, hides)
    assert booting_lines(text) == slots


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

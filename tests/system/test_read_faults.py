"""Image files that shrink or fail while they are read: a USB stick pulled
or a file truncated during a USB boot or an installation from the stick,
and a read error on the stick's file. The component fails its CRC, or the
read counts as a failed write, in the usual messages; the board goes on
with its flash images and nothing unchecked reaches a slot or a partition.

The device layer counts the reads of stick files (usb_fail_read_at,
usb_shrink_at) and traces each one while a stick fault is set, so every
test also checks that its fault fell where it meant it to."""

import hashlib
import re

import pytest
from boardsim import default_board as demo

SCALE = 0.02
OS, BOOT, REPL2 = "KV4410NX_OS.img", "KV4410NX_Boot.img", "KV4410NX_replace2_OS.img"
USB_FAILED = "USB Boot failed. Trying flash images."


def app(label, version):
    return demo.make_image([dict(type="app", version=version,
                                 payload=demo.archive(demo.demo_files(label, version)))])


SLOT1, SLOT2 = app("image slot 1", "1.0.0.1"), app("image slot 2", "1.0.0.2")


def big_app(mib):
    """An application component of `mib` MiB with a good CRC: long enough
    for many reads, and (from 16 MiB) for the CRC to run beside the copy."""
    payload = hashlib.sha256(b"stick").digest() * (mib << 15)
    return demo.make_image([dict(type="app", version="9.0.0.1", payload=payload)])


def stick_board(board_factory, stick, **faults):
    return board_factory(slot1=SLOT1, slot2=SLOT2, image_select=1, usb_boot=213, usb="plugged",
                         time_scale=SCALE, **{f"usb.{n}": d for n, d in stick.items()}, **faults)


def console(board):
    return board.console_text().replace("\r\n", "\n")


def stick_reads(board):
    """(number, offset, length, path) of each traced read of a stick file."""
    found = []
    for line in board.device_log():
        m = re.fullmatch(r"usb read (\S+) off=0x([0-9a-f]+) len=(\d+) \(#(\d+)\)", line)
        if m:
            found.append((int(m[4]), int(m[2], 16), int(m[3]), m[1]))
    return found


def boots_slot1(board, con):
    con.expect_exact("Demo application from image slot 1,")
    con.expect_exact("demo> ")
    con.send("exit\r")
    off = board.wait_power_off(con)
    assert off.reason == "app-exit", off
    assert board.eeprom(314) == 1


# ---- the USB boot image ----

@pytest.mark.parametrize("mib", [6, 24], ids=["crc then copy", "crc beside the copy"])
def test_usb_image_truncated_during_the_crc_pass_boots_from_flash(board_factory, mib):
    image = big_app(mib)
    board = stick_board(board_factory, {OS: image}, usb_shrink_at=6, usb_shrink_to=1 << 20)
    con = board.power_on()
    con.expect_exact("Booting image 'KV4410NX_OS.img' from USB stick.")
    con.expect_exact("USB image CRC failed.")
    con.expect_exact(USB_FAILED)
    con.expect_exact("Booting image '1'")
    boots_slot1(board, con)
    assert f"usb shrink /mnt/usb/{OS} to 1048576 (read #6)" in board.device_log()
    assert (board.usb / OS).stat().st_size == 1 << 20
    # The walk read the header, the fault fell inside the component, and
    # reading went on past the new end (short reads, not a crash).
    reads = stick_reads(board)
    assert reads[0][1:3] == (0, 20)
    assert any(off >= 1 << 20 for n, off, _, _ in reads if n >= 6)
    assert "Failed to write application image output file." not in console(board)


@pytest.mark.parametrize("fail_at", [2, 5])
def test_read_error_on_the_usb_image_boots_from_flash(board_factory, fail_at):
    board = stick_board(board_factory, {OS: big_app(6)}, usb_fail_read_at=fail_at)
    con = board.power_on()
    con.expect_exact("Booting image 'KV4410NX_OS.img' from USB stick.")
    con.expect_exact("USB image CRC failed.")
    con.expect_exact(USB_FAILED)
    boots_slot1(board, con)
    assert f"usb fail read /mnt/usb/{OS} #{fail_at} EIO" in board.device_log()
    # The image was new: it entered the rejected list before being read.
    assert (board.user / "images" / "rejected" / hashlib.md5(big_app(6)).hexdigest()).exists()


def test_read_error_in_the_walk_reports_a_corrupted_usb_image(board_factory):
    board = stick_board(board_factory, {OS: big_app(1)}, usb_fail_read_at=1)
    con = board.power_on()
    con.expect_exact("Error: USB image corrupted or belongs to another switch type.")
    con.expect_exact(USB_FAILED)
    boots_slot1(board, con)


# ---- the installer reading the stick ----
#
# An application component smaller than one read window is read three times:
# the 20 header bytes of the walk (#1), the checksum pass from byte 4 (#2)
# and the write pass from byte 0 (#3); #4 finds the end of the file.

REPLACEMENT = app("replacement 2", "2.0.0.2")


@pytest.mark.parametrize("fault,at_offset,message", [
    (dict(usb_fail_read_at=2), 4, "Bad crc for APPLICATION: 0x"),
    (dict(usb_shrink_at=2, usb_shrink_to=100), 4, "Bad crc for APPLICATION: 0x"),
    (dict(usb_fail_read_at=3), 0, "Image2 update failed (err 5)"),
    (dict(usb_shrink_at=3, usb_shrink_to=100), 0, "Image2 update failed (err 5)"),
], ids=["error in the checksum pass", "shrunk before the checksum pass",
        "error in the write pass", "shrunk before the write pass"])
def test_replacement_that_fails_to_read_leaves_the_slot_unselected(board_factory, fault, at_offset,
                                                                    message):
    board = stick_board(board_factory, {REPL2: REPLACEMENT}, **fault)
    con = board.power_on()
    con.expect_exact(f"USB image (file '{REPL2}') replacement for image2 found")
    con.expect_exact(message)
    con.expect_exact("Booting image '1'")
    boots_slot1(board, con)
    text = console(board)
    assert "successfully replaced" not in text and "board will boot with" not in text
    assert board.eeprom(256) == 1
    number = fault.get("usb_fail_read_at") or fault["usb_shrink_at"]
    assert [off for n, off, _, _ in stick_reads(board) if n == number] == [at_offset]
    # A failed checksum writes nothing; a failed write pass leaves what it
    # wrote, never a slot whose bytes were not all checked.
    slot2 = (board.user / "images" / "image2").read_bytes()
    assert slot2 == SLOT2 if at_offset == 4 else slot2 != REPLACEMENT


def test_boot_loader_read_error_in_its_write_pass_neither_resets_nor_writes_unchecked(board_factory):
    loader = demo.make_image([dict(type="bootloader", version="3.0.0.9", payload=b"u" * 600,
                                   boot_copy=True)])
    board = stick_board(board_factory, {BOOT: loader}, usb_fail_read_at=4)
    before = board.partition("uboot")
    con = board.power_on()
    con.expect_exact("Boot image found on USB.")
    con.expect_exact("Uboot image update failed")
    boots_slot1(board, con)
    assert [off for n, off, _, _ in stick_reads(board) if n == 4] == [16]  # the payload
    assert board.partition("uboot") == before
    assert "ERROR: No valid image found" not in console(board)

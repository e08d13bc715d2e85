"""Rescue downloads on the virtual board: the file list of a real vfat
stick (long names, a folder left out) and the chosen file installed; and an
Xmodem download over the console, lrzsz's sx on the host side of QEMU's
serial line and busybox rx on the board's 16550, installed into a slot.
(The TFTP rescue by static address is in test_real_devices.py; the rescue's TFTP
questions offer no DHCP, which only the gdbserver boot uses: see
test_diagnostics.py.)"""

import random
import time

import helpers
from boardsim.console import BOOT_TIMEOUT, OPTION, SETTLE_TIMES, answer, press, type_now
from vboard_helpers import slot_image, usb_listing
from xmodem_peer import Line, open_download, run_sx

RUNNING = b"Running xmodem rescue.....\r\n"
BACK_TO_9600 = "       Change the baud rate back to 9600 bps, hit the <ENTER> key"
STILL_WAITING = "... Waiting for the <ENTER> key to be hit..."
RESCUE = {"env": {"diagnostics": "rescue"}}
# Keys on the raw serial line wait as long as those typed at the console.
SETTLE = SETTLE_TIMES["vboard"]


def test_usb_listing_from_the_vfat_stick_and_install(vboard_factory):
    wanted = helpers.demo_app("USB rescue", "3.0.0.1")
    files = {"Switch Image 3.0.0.1.img": wanted, "a.img": helpers.app_image("A"),
             "notes.txt": b"not an image\n"}
    board = vboard_factory(default=True, **RESCUE, **helpers.on_stick(files))
    (board.usb / "old").mkdir()
    (board.usb / "old" / "c.img").write_bytes(wanted)
    con = board.power_on(timeout=BOOT_TIMEOUT)
    shown = usb_listing(con)
    # The stick is made with the entries in name order; the folder is left out.
    assert shown == [(1, "Switch Image 3.0.0.1.img"), (2, "a.img"), (3, "notes.txt")]
    type_now(con, "1\r")
    con.expect_exact(b"Installing Switch Image 3.0.0.1.img")
    answer(con, helpers.SLOT_QUESTION, "1")
    con.expect_exact(b"Image1 updated succeeded", timeout=120)
    press(con, "r")
    assert board.wait_power_off(con, timeout=60).reason == "reset"
    assert slot_image(board, 1) == wanted
    assert board.eeprom(256) == 1


def enter_when_asked(line, since, timeout=60):
    """After the transfer: once the board asks for the speed back (shown
    after byte `since` of the line; the relay to sx may have read it),
    presses Enter; again only when it reminds (the Enter fell before the
    console's settings came back), so that no spare Enter reaches the slot
    question."""
    end = time.monotonic() + timeout
    while BACK_TO_9600.encode() not in line.seen[since:]:
        assert time.monotonic() < end, f"not asked; got {bytes(line.seen[-300:])!r}"
        line.read_chunk(0.5)
    time.sleep(2 * SETTLE)
    line.write(b"\r")
    pressed, after = time.monotonic(), len(line.seen)
    end = pressed + timeout
    while time.monotonic() < end:
        mark = len(line.seen)
        line.read_chunk(1.0)
        if b"Extracting images" in line.seen[after:] or b"Option?" in line.seen[after:]:
            # What came after the Enter is still to be read.
            line.pending = bytearray(line.seen[after:])
            return
        if STILL_WAITING.encode() in line.seen[mark:] and time.monotonic() - pressed > 2:
            line.write(b"\r")
            pressed = time.monotonic()
    raise AssertionError(f"the board never went on; it said {bytes(line.seen[-300:])!r}")


def test_xmodem_download_with_sx_to_busybox_rx(vboard_factory, tmp_path):
    # A whole number of 1 KiB blocks: sx adds no fill to the image.
    rng = random.Random(11)
    image = helpers.app_image(payload=bytes(rng.randrange(256) for _ in range(40 * 1024 - 16)))
    assert len(image) % 1024 == 0
    src = tmp_path / "rescue.img"
    src.write_bytes(image)
    board = vboard_factory(default=True, **RESCUE)
    con = board.power_on(timeout=BOOT_TIMEOUT)
    press(con, "x")
    con.expect_exact(RUNNING)
    line = Line(con.child_fd, already=con.buffer)
    # The board reads the Enter within a second and then starts rx: a
    # second Enter must not follow sooner.
    open_download(line, every=4.0)
    mark = len(line.seen)
    status, sent, from_board = run_sx(line, src, one_k=True, grace=30.0)
    assert status == 0, (f"sx ended with {status} after {sent.blocks} blocks and {sent.eots} EOTs; "
                         f"the board said {from_board[-200:]!r}")
    enter_when_asked(line, mark)
    line.wait_text(helpers.SLOT_QUESTION.decode(), 60)
    time.sleep(SETTLE)
    line.write(b"2\r")
    line.wait_text("Image2 updated succeeded", 120)
    line.wait_text(OPTION.decode(), 30)
    time.sleep(SETTLE)
    line.write(b"r")
    assert board.wait_power_off(con, timeout=60).reason == "reset"
    assert slot_image(board, 2) == image
    assert board.eeprom(256) == 2

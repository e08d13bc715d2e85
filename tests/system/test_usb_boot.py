"""USB boot on the simulated board across power cycles: the stick wait, the
boot-loader update, the slot replacements (2 then 1), the USB boot image
with the rejected list and its yes/no question, and the rejected list's
digest handling on its own (probe_usb)."""

import hashlib
import re

import pytest
from boardsim import default_board as demo

SCALE = 0.02
APP_PROMPT = "demo> "
QUESTION = "Would you still like to load it? "
NO_ANSWER = "Timeout. Assuming \"no\"."
BOOT, REPL1, REPL2, OS = ("KV4410NX_Boot.img", "KV4410NX_replace1_OS.img",
                          "KV4410NX_replace2_OS.img", "KV4410NX_OS.img")


def app(label, version):
    return demo.make_image([dict(type="app", version=version,
                                 payload=demo.archive(demo.demo_files(label, version)))])


def boot_loader(version="3.0.0.1"):
    return demo.make_image([dict(type="bootloader", version=version, payload=b"u" * 600,
                                 boot_copy=True)])


SLOT1, SLOT2 = app("image slot 1", "1.0.0.1"), app("image slot 2", "1.0.0.2")


def usb_board(board_factory, stick, usb_boot=213, **choices):
    choices.setdefault("time_scale", SCALE)
    choices.setdefault("usb", "plugged")
    return board_factory(slot1=SLOT1, slot2=SLOT2, image_select=1, usb_boot=usb_boot,
                         **{f"usb.{name}": data for name, data in stick.items()}, **choices)


def reject(board, data):
    """Puts the file's digest into the rejected list, as an earlier boot would."""
    folder = board.user / "images" / "rejected"
    folder.mkdir(parents=True, exist_ok=True)
    (folder / hashlib.md5(data).hexdigest()).touch()


def rejected(board):
    folder = board.user / "images" / "rejected"
    return sorted(p.name for p in folder.iterdir()) if folder.exists() else []


def slot(board, n):
    return (board.user / "images" / f"image{n}").read_bytes()


def console(board):
    return board.console_text().replace("\r\n", "\n")


def leave_app(board, con, label):
    con.expect_exact(f"Demo application from {label},")
    con.expect_exact(APP_PROMPT)
    con.send("exit\r")
    return board.wait_power_off(con)


def test_stick_with_all_four_files(board_factory):
    r1, r2 = app("replacement 1", "2.0.0.1"), app("replacement 2", "2.0.0.2")
    stick = {BOOT: boot_loader(), REPL2: r2, REPL1: r1, OS: app("USB stick", "9.0.0.1")}
    board = usb_board(board_factory, stick)

    # 1: the boot image is offered first; its installation resets the board.
    con = board.power_on()
    con.expect_exact("Boot image found on USB.")
    assert board.wait_power_off(con).reason == "reset"
    assert "replacement for image" not in console(board)
    assert board.partition("uboot")[:600] == stick[BOOT][16:616]

    # 2: same boot loader now: skipped, no reset; slot 2 then slot 1 replaced.
    con = board.power_on()
    off = leave_app(board, con, "replacement 1")
    assert off.reason == "app-exit"
    text = console(board)
    order = ["Boot image found on USB.", "ERROR: No valid image found",
             f"USB image (file '{REPL2}') replacement for image2 found\n",
             "Image2 has been successfully replaced",
             f"USB image (file '{REPL1}') replacement for image1 found\n",
             "Image1 has been successfully replaced",
             "USB replacement image: board will boot with image1.\n", "Booting image '1'"]
    at = [text.find(t) for t in order]
    assert -1 not in at and at == sorted(at), text
    assert "from USB stick" not in text
    assert (slot(board, 1), slot(board, 2)) == (r1, r2)
    assert board.eeprom(256) == 1
    assert rejected(board) == [], "replacements never enter the rejected list"

    # 3: both replacements are the installed versions now: skipped, so the
    # USB boot image is looked at and boots (once by itself).
    con = board.power_on()
    leave_app(board, con, "USB stick")
    text = console(board)
    assert "successfully replaced" not in text
    assert "Booting image 'KV4410NX_OS.img' from USB stick." in text
    assert rejected(board) == [hashlib.md5(stick[OS]).hexdigest()]


def test_usb_boot_image_alone_boots_once_then_asks(board_factory):
    image = app("USB stick", "9.0.0.1")
    board = usb_board(board_factory, {OS: image})
    con = board.power_on()
    leave_app(board, con, "USB stick")
    assert "No boot image found on USB." in console(board)
    assert rejected(board) == [hashlib.md5(image).hexdigest()]

    # Second start: asked, no answer within 5 s (simulated): flash boots.
    con = board.power_on()
    con.expect_exact("USB image is in rejected list.\r\n" + QUESTION + "(y/n) ")
    con.expect_exact(NO_ANSWER)
    con.expect_exact("USB Boot failed. Trying flash images.")
    leave_app(board, con, "image slot 1")
    assert "clock poll fd=0 timeout=5000ms" in board.device_log()


def test_answers_only_lower_case_y_or_n(board_factory):
    image = app("USB stick", "9.0.0.1")
    board = usb_board(board_factory, {OS: image})
    reject(board, image)
    con = board.power_on()
    con.expect_exact(QUESTION + "(y/n) ")
    con.send("Y\r")
    con.expect_exact("(y/n) (y/n) ")   # Y and the line end each ask again
    con.send("N\r")
    con.expect_exact("(y/n) (y/n) ")
    con.send("yes\r")                  # the y counts; "es" stays unread
    con.expect_exact("Continuing to load USB image...")
    leave_app(board, con, "USB stick")
    assert console(board).count("(y/n) ") == 5


def test_rejected_replacement_refused_looks_at_nothing_more(board_factory):
    r2 = app("replacement 2", "2.0.0.2")
    stick = {REPL2: r2, REPL1: app("replacement 1", "2.0.0.1"), OS: app("USB stick", "9.0.0.1")}
    board = usb_board(board_factory, stick)
    reject(board, r2)
    con = board.power_on()
    con.expect_exact("Replacement USB image is in rejected list.\r\n" + QUESTION + "(y/n) ")
    con.send("n\r")
    leave_app(board, con, "image slot 1")
    text = console(board)
    assert "replacement for image1" not in text and "from USB stick" not in text
    assert "No valid image found on USB" not in text
    assert (slot(board, 1), slot(board, 2)) == (SLOT1, SLOT2)


def test_rejected_replacement_accepted_is_installed(board_factory):
    r1 = app("replacement 1", "2.0.0.1")
    board = usb_board(board_factory, {REPL1: r1})
    reject(board, r1)
    con = board.power_on()
    con.expect_exact(QUESTION + "(y/n) ")
    con.send("y\r")
    con.expect_exact("Continuing with replacement USB image...")
    leave_app(board, con, "replacement 1")
    assert slot(board, 1) == r1


def test_slot2_replaced_then_slot1_refused_boots_slot2(board_factory):
    r1, r2 = app("replacement 1", "2.0.0.1"), app("replacement 2", "2.0.0.2")
    board = usb_board(board_factory, {REPL2: r2, REPL1: r1})
    reject(board, r1)
    con = board.power_on()
    con.expect_exact("Image2 has been successfully replaced")
    con.expect_exact(QUESTION + "(y/n) ")
    con.send("n\r")
    con.expect_exact("Booting image '2'")
    leave_app(board, con, "replacement 2")
    assert "board will boot with" not in console(board)
    assert board.eeprom(256) == 2
    assert (slot(board, 1), slot(board, 2)) == (SLOT1, r2)


def test_same_version_replacement_is_skipped(board_factory):
    # The component installed in slot 2 (same stored header): skipped, and
    # the stick's USB boot image is looked for next.
    board = usb_board(board_factory, {REPL2: SLOT2})
    con = board.power_on()
    leave_app(board, con, "image slot 1")
    text = console(board)
    assert "replacement for image2 found" in text
    assert "Image2 has same version as existing image. Skipping update..." in text
    assert "successfully replaced" not in text and "board will boot with" not in text
    assert "No valid image found on USB" in text
    assert slot(board, 2) == SLOT2


def test_no_stick_times_out_after_eleven_seconds(board_factory):
    board = usb_board(board_factory, {}, usb="absent")
    con = board.power_on()
    con.expect_exact("Attempting to mount file system on USB flash drive; "
                     "this can take up to 10 seconds.")
    con.expect_exact("USB mount timed out")
    leave_app(board, con, "image slot 1")
    assert "." * 10 in console(board)
    sleeps = [l for l in board.device_log() if l == "clock sleep 1000000us"]
    assert len(sleeps) >= 11
    assert "No boot image found on USB." not in console(board)


def test_stick_ready_after_a_delay(board_factory):
    board = usb_board(board_factory, {OS: app("USB stick", "9.0.0.1")}, usb_delay=3)
    con = board.power_on()
    con.expect_exact("USB mounted and ready!")
    leave_app(board, con, "USB stick")
    assert "USB mount timed out" not in console(board)


@pytest.mark.parametrize("byte", [0, 212, 0xFF])
def test_usb_boot_byte_other_than_213_prints_nothing(board_factory, byte):
    board = usb_board(board_factory, {OS: app("USB stick", "9.0.0.1")}, usb_boot=byte)
    con = board.power_on()
    leave_app(board, con, "image slot 1")
    assert "USB" not in console(board)
    assert rejected(board) == []


def test_unreadable_usb_image_gives_both_warnings(board_factory):
    board = usb_board(board_factory, {})
    (board.usb / OS).mkdir()  # exists, opens, but md5sum cannot read it
    con = board.power_on()
    con.expect_exact("Warning: Cannot determine if image is in rejected list!")
    con.expect_exact("Warning: Cannot add image to rejected list!")
    con.expect_exact("USB Boot failed. Trying flash images.")
    leave_app(board, con, "image slot 1")
    assert rejected(board) == []


# ---- the rejected list on its own ----

def probe(board, *args):
    con = board.power_on(program=["probe_usb", *args])
    board.wait_power_off(con)
    return console(board)


def test_digest_of_a_file_named_with_shell_metacharacters(board_factory):
    data = b"image bytes\n" * 100
    name = "a';>pwned;'b $(>pwned2).img"
    board = board_factory(time_scale=SCALE, usb="plugged", **{f"usb.{name}": data})
    text = probe(board, "md5", f"/mnt/usb/{name}")
    assert f"md5 1 [{hashlib.md5(data).hexdigest()}]" in text
    assert not (board.path / "pwned").exists() and not (board.path / "pwned2").exists()


def test_rejected_list_is_keyed_by_content(board_factory):
    a, b = b"first image" * 50, b"second image" * 50
    board = board_factory(time_scale=SCALE, usb="plugged",
                          **{"usb.a.img": a, "usb.copy-of-a.img": a, "usb.b.img": b})
    text = probe(board, "rejected", "/mnt/usb/a.img", "add", "/mnt/usb/a.img",
                 "add", "/mnt/usb/a.img", "rejected", "/mnt/usb/copy-of-a.img",
                 "rejected", "/mnt/usb/b.img", "md5", "/mnt/usb/missing.img",
                 "rejected", "/mnt/usb/missing.img", "add", "/mnt/usb/missing.img")
    assert re.findall(r"rejected (\d)", text) == ["0", "1", "0", "0"]
    assert rejected(board) == [hashlib.md5(a).hexdigest()]
    assert "md5 0 []" in text
    assert "Warning: Cannot determine if image is in rejected list!" in text
    assert "Warning: Cannot add image to rejected list!" in text

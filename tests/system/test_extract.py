"""Extraction of the application image on the simulated board: the fallback
matrix over the two slots (missing files, invalid headers, CRC failures, on
the first and the second try), the booted-image byte each path leaves, the
USB boot image with the rejected list, and the image of the rescue
partition with the recovery-image prompt.

Standard error is kept apart from the console (stderr_to_file), so every
failure message is checked where it must appear, and only there."""

import pytest
from boardsim import default_board as demo
from helpers import (SCALE, UNSET, USB_BOOT_IMAGE, console, demo_app, leave_app, md5, on_stick,
                     reboot_from_rescue, slot_image)

RECOVERY_PROMPT = "Install recovery image as image 1 or 2 (hit return to just boot image): "
ERASE_PROMPT = "y/N: "
def diag_in_slot(label):
    payload = demo.archive(demo.diag_files(label, "4.0.0.1"))
    return demo.make_image([dict(type="diag", version="4.0.0.1", payload=payload)])


def flash_only():
    """Kernel and root file system, no application: the walk finds nothing."""
    return demo.make_image([dict(type="kernel", payload=b"k" * 100),
                            dict(type="rootfs", payload=b"r" * 100)])


def loader_then_app(label):
    payload = demo.archive(demo.demo_files(label, "1.0.0.5"))
    return demo.make_image([dict(type="bootloader", payload=b"u" * 600, boot_copy=True),
                            dict(type="app", version="1.0.0.5", payload=payload,
                                 header_size=48, bytes16=7)])


def implausible():
    """An application component whose extended header claims 3 bytes."""
    return demo.make_image([dict(type="app", raw_header_size=3, payload=b"x" * 64)])


def truncated(label):
    whole = demo_app(label)
    return whole[:len(whole) - 100]


SLOT_IMAGES = {
    "good1": lambda: demo_app("image slot 1"),
    "good2": lambda: demo_app("image slot 2", "1.0.0.2"),
    "crc1": lambda: demo_app("image slot 1", corrupt_crc=True),
    "crc2": lambda: demo_app("image slot 2", corrupt_crc=True),
    "hdr": flash_only,
    "loader2": lambda: loader_then_app("slot 2 after a boot loader"),
    "diag1": lambda: diag_in_slot("diagnostics in slot 1"),
    "short1": lambda: truncated("image slot 1"),
    "odd1": implausible,
}


def make_board(board_factory, slot1=None, slot2=None, **choices):
    choices.setdefault("time_scale", SCALE)
    if slot1:
        choices["slot1"] = SLOT_IMAGES[slot1]()
    if slot2:
        choices["slot2"] = SLOT_IMAGES[slot2]()
    return board_factory(**choices)


INVALID1 = "Image has invalid header 0x4504547. (0x6504547)\nImage1 has invalid header... trying Image2.\n"
INVALID2 = "Image has invalid header 0x4504547. (0x6504547)\nImage2 has invalid header... trying Image1.\n"

# (case, image-select byte, slot 1, slot 2, standard error,
#  outcome: "rescue", "reset" or the label the application prints, booted-image byte)
MATRIX = [
    ("plain boot", 1, "good1", "good2", "", "image slot 1", 1),
    ("select 2", 2, "good1", "good2", "", "image slot 2", 2),
    ("slot 1 missing", 1, None, "good2",
     "Failed to open Application image 1. Trying image 2.\n", "image slot 2", 2),
    ("slot 2 missing, select 2", 2, "good1", None,
     "Failed to open Application image 2. Trying image 1.\n", "image slot 1", 1),
    ("both missing", 1, None, None,
     "Failed to open Application image 1. Trying image 2.\nFailed to open Application image 2.\n",
     "rescue", UNSET),
    ("invalid header first try", 1, "hdr", "good2", INVALID1, "image slot 2", 2),
    ("invalid header both tries", 1, "hdr", "hdr",
     INVALID1 + "No valid application image found. Trying rescue image\n", "rescue", UNSET),
    ("crc first try", 1, "crc1", "good2",
     "Image1 CRC failed, trying Image2 now.\n", "image slot 2", 2),
    ("crc first try, select 2", 2, "good1", "crc2",
     "Image2 CRC failed, trying Image1 now.\n", "image slot 1", 1),
    ("crc both tries", 1, "crc1", "crc2",
     "Image1 CRC failed, trying Image2 now.\nBoth image1 and image2 failed.\n", "reset", UNSET),
    ("invalid header then crc", 2, "crc1", "hdr",
     INVALID2 + "Both image1 and image2 failed.\n", "reset", UNSET),
    ("boot loader before the application", 2, "good1", "loader2", "",
     "slot 2 after a boot loader", 2),
    ("component cut short", 1, "short1", "good2",
     "Image1 CRC failed, trying Image2 now.\n", "image slot 2", 2),
    ("implausible header", 1, "odd1", "good2",
     "Component at offset 0 has an implausible header (header size 3, length 64).\n"
     "Image has invalid header 0x81504547. (0x6504547)\n"
     "Image1 has invalid header... trying Image2.\n", "image slot 2", 2),
    # The slot actually opened is the one named: slot 1 is missing, slot 2
    # is opened and fails, and the second try (slot 2, the other of 1) ends
    # in the reset.
    ("missing then crc of the slot opened", 1, None, "crc2",
     "Failed to open Application image 1. Trying image 2.\n"
     "Image2 CRC failed, trying Image1 now.\n"
     "Both image1 and image2 failed.\n", "reset", UNSET),
]


@pytest.mark.parametrize("case,select,slot1,slot2,stderr,outcome,booted", MATRIX,
                         ids=[m[0] for m in MATRIX])
def test_fallback_matrix(board_factory, case, select, slot1, slot2, stderr, outcome, booted):
    board = make_board(board_factory, slot1, slot2, image_select=select)
    con = board.power_on(stderr_to_file=True)
    if outcome == "rescue":
        off = reboot_from_rescue(board, con)
        assert off.reason == "reset"
    elif outcome == "reset":
        off = board.wait_power_off(con)
        assert off.reason == "reset"
        assert "Option? : " not in console(board)  # straight to the reset
    else:
        con.expect_exact(f"Demo application from {outcome},")
        off = leave_app(board, con)
        assert off.reason == "app-exit"
        assert any(line.startswith("backtrace") for line in board.tools_log())
    assert board.stderr_text() == stderr
    assert board.eeprom(314) == booted
    assert board.eeprom(256) == select  # extraction never changes the selection


def test_diagnostics_component_in_a_slot(board_factory):
    board = make_board(board_factory, "diag1", "good2")
    con = board.power_on(stderr_to_file=True)
    con.expect_exact("install diags image")
    con.expect_exact("Demo diagnostics from diagnostics in slot 1")
    off = board.wait_power_off(con)
    assert off.reason == "app-exit"
    assert board.eeprom(314) == 1
    assert board.stderr_text() == ""


def test_second_try_without_any_slot_file_goes_to_rescue(board_factory):
    """Both files missing: no header is tried, the menu comes at once."""
    board = make_board(board_factory)
    con = board.power_on(stderr_to_file=True)
    reboot_from_rescue(board, con)
    text = console(board)
    assert text.count("Booting image '1'") == 1 and "Booting image '2'" not in text
    assert "invalid header" not in board.stderr_text()


# ---- the USB boot image ----

def usb_board(board_factory, image, **choices):
    return make_board(board_factory, "good1", "good2", usb_boot=213,
                      **on_stick({USB_BOOT_IMAGE: image}), **choices)


def rejected_entry(board, image):
    return board.user / "images" / "rejected" / md5(image)


def test_usb_boot_image_enters_the_rejected_list_then_asks(board_factory):
    image = demo_app("USB stick", "9.0.0.1")
    board = usb_board(board_factory, image)
    con = board.power_on(stderr_to_file=True)
    con.expect_exact("Demo application from USB stick,")
    leave_app(board, con)
    assert board.eeprom(314) == 3
    assert rejected_entry(board, image).exists()

    # Next start: the operator is asked; yes boots the stick again.
    con = board.power_on(stderr_to_file=True)
    con.expect_exact("USB image is in rejected list.\r\nWould you still like to load it? (y/n) ")
    con.send("y\r")
    con.expect_exact("Continuing to load USB image...")
    con.expect_exact("Demo application from USB stick,")
    leave_app(board, con)
    assert board.eeprom(314) == 3

    # No: the boot goes on from flash, without a message of extraction.
    board.set_eeprom(314, UNSET)
    con = board.power_on(stderr_to_file=True)
    con.expect_exact("(y/n) ")
    con.send("n\r")
    con.expect_exact("USB Boot failed. Trying flash images.")
    con.expect_exact("Demo application from image slot 1,")
    leave_app(board, con)
    assert board.eeprom(314) == 1
    assert board.stderr_text() == ""


@pytest.mark.parametrize("image,message", [
    (lambda: demo_app("USB stick", corrupt_crc=True), "USB image CRC failed."),
    (flash_only, "Error: USB image corrupted or belongs to another switch type.\n"),
], ids=["crc", "no application"])
def test_unusable_usb_image_falls_back_to_flash_but_stays_rejected(board_factory, image, message):
    data = image()
    board = usb_board(board_factory, data)
    con = board.power_on(stderr_to_file=True)
    con.expect_exact("USB Boot failed. Trying flash images.")
    con.expect_exact("Demo application from image slot 1,")
    leave_app(board, con)
    assert board.stderr_text() == message
    assert board.eeprom(314) == 1
    # Entered before its CRC was looked at: the next boot asks about it.
    assert rejected_entry(board, data).exists()


# ---- the image of the rescue partition ----

def recovery_board(board_factory, rescue, **choices):
    return make_board(board_factory, "good1", "good2", rescue=rescue,
                      env={"diagnostics": "diags"}, **choices)


def start_diags_boot(board):
    con = board.power_on(stderr_to_file=True)
    con.expect_exact(ERASE_PROMPT)
    con.send("n")
    con.expect_exact("Booting diags image...")
    return con


def test_diagnostics_image_of_the_rescue_partition(board_factory):
    board = recovery_board(board_factory, demo.diag_image("rescue partition"))
    con = start_diags_boot(board)
    con.expect_exact("Launching diagnostics image")
    con.expect_exact("install diags image")
    con.expect_exact("Demo diagnostics from rescue partition")
    assert board.wait_power_off(con).reason == "app-exit"
    assert board.eeprom(314) == 4
    assert board.stderr_text() == ""


RECOVERY = demo_app("recovery image", "7.0.0.7")


@pytest.mark.parametrize("answer,slot", [("1\r", 1), ("2\r", 2)])
def test_recovery_image_installed_into_the_slot_named(board_factory, answer, slot):
    board = recovery_board(board_factory, RECOVERY, image_select=1)
    before = {n: slot_image(board, n) for n in (1, 2)}
    con = start_diags_boot(board)
    con.expect_exact(RECOVERY_PROMPT)
    con.send(answer)
    con.expect_exact(f"Installing recovery image as image{slot}...")
    con.expect_exact(f"Setting boot image to {slot}")
    con.expect_exact("Demo application from recovery image,")
    leave_app(board, con)
    assert slot_image(board, slot) == RECOVERY
    other = 3 - slot
    assert slot_image(board, other) == before[other]
    assert board.eeprom(256) == slot and board.eeprom(314) == slot
    tools = "\n".join(board.tools_log())
    assert "backtrace" in tools


def test_recovery_copy_that_fails_selects_nothing(board_factory):
    board = recovery_board(board_factory, RECOVERY, image_select=1)
    slot2 = board.user / "images" / "image2"
    slot2.unlink()
    slot2.symlink_to("/user/images/no-such-folder/image2")  # cp cannot create it
    con = start_diags_boot(board)
    con.expect_exact(RECOVERY_PROMPT)
    con.send("2\r")
    con.expect_exact("Installing recovery image as image2...")
    assert board.wait_power_off(con).reason == "reset"
    assert "Failed to write image file.\n" in board.stderr_text()
    assert "Setting boot image" not in console(board)
    assert board.eeprom(256) == 1 and board.eeprom(314) != 2


@pytest.mark.parametrize("answer", ["\r", "x\r"], ids=["enter", "other key"])
def test_recovery_image_booted_without_installing(board_factory, answer):
    board = recovery_board(board_factory, RECOVERY, image_select=2)
    slots = {n: slot_image(board, n) for n in (1, 2)}
    con = start_diags_boot(board)
    con.expect_exact(RECOVERY_PROMPT)
    con.send(answer)
    con.expect_exact("Booting recovery image. You will need to download and install an image "
                     "before rebooting")
    con.expect_exact("Demo application from recovery image,")
    leave_app(board, con)
    assert board.eeprom(314) == 4 and board.eeprom(256) == 2
    assert {n: slot_image(board, n) for n in (1, 2)} == slots


def test_recovery_prompt_at_end_of_input_records_nothing(board_factory):
    board = recovery_board(board_factory, RECOVERY, image_select=2)
    con = start_diags_boot(board)
    con.expect_exact(RECOVERY_PROMPT)
    con.sendeof()
    con.expect_exact("Demo application from recovery image,")
    leave_app(board, con)
    assert board.eeprom(314) == UNSET and board.eeprom(256) == 2
    assert "Installing" not in console(board) and "Booting recovery" not in console(board)


@pytest.mark.parametrize("rescue,message", [
    (None, "Image not found... \n"),
    (lambda: demo_app("bad recovery", corrupt_crc=True), "Image CRC failed. Quitting\n"),
    (lambda: demo.make_image([dict(type="app", len=20 << 20, payload=b"z" * 100)]),
     "Image CRC failed. Quitting\n"),
], ids=["erased", "crc", "longer than the partition"])
def test_unusable_rescue_image_goes_on_with_the_slots(board_factory, rescue, message):
    choices = {"rescue": rescue()} if rescue else {}
    board = make_board(board_factory, "good1", "good2", env={"diagnostics": "diags"}, **choices)
    con = start_diags_boot(board)
    con.expect_exact("Demo application from image slot 1,")
    leave_app(board, con)
    assert board.stderr_text() == message
    assert board.eeprom(314) == 1

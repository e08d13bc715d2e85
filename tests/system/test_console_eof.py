"""A console whose input ends inside a question: each line question of
rescue mode and of the management-port dialogue, the slot questions and the
USB yes/no question, with the console's input ending right after the keys
that open it (console_input: the keys, then end of file). The question ends
as a quit does, the rescue menu leaves through its own end-of-input course,
and the board boots on; the prompt is shown once, never in a loop."""

import hashlib

import pytest
from boardsim import default_board as demo

SCALE = 0.02
LEFT_RESCUE = "Console input has ended: leaving rescue mode."
IP, NETMASK, GATEWAY, SERVER = "192.0.2.10\r", "255.255.255.0\r", "\r", "192.0.2.1\r"
STICK_IMAGE = demo.app_image("USB rescue", "5.0.0.5")


def eof_board(board_factory, keys, **choices):
    """The demo board with the rescue menu asked for, whose console input is
    the given keys and then ends."""
    choices.setdefault("env", {"diagnostics": "rescue"})
    board = board_factory(default=True, time_scale=SCALE, console_input="keys", **choices)
    (board.path / "keys").write_bytes(keys.encode("latin-1"))
    return board


def boot_to_app(board, label):
    con = board.power_on()
    con.expect_exact(f"Demo application from {label},")
    off = board.wait_power_off(con)
    # The demo application, too, finds the input ended and stops.
    assert off.reason == "app-exit", off
    return board.console_text().replace("\r\n", "\n")


def ran(board, *names):
    return [line for line in board.tools_log() if line.split(" ", 1)[0] in names]


@pytest.mark.parametrize("keys,prompt", [
    ("m", "MAC address (format nn:nn:nn:nn:nn:nn): "),
    ("m00:11:22", "MAC address (format nn:nn:nn:nn:nn:nn): "),
    ("t", "IP addr    :"),
    ("t" + IP, "Netmask    :"),
    ("t" + IP + NETMASK, "Gateway    :"),
    ("t" + IP + NETMASK + GATEWAY, "Server addr:"),
    ("t" + IP + NETMASK + GATEWAY + SERVER, "Image Filename: "),
    ("t" + IP + NETMASK + GATEWAY + SERVER + "switch.img", "Image Filename: "),
    ("u", "Choose file number to install (q to quit): "),
    ("u2", "Choose file number to install (q to quit): "),
], ids=["mac", "mac half typed", "ip", "netmask", "gateway", "server", "file name",
        "file name half typed", "usb file number", "usb file number half typed"])
def test_line_question_at_end_of_input_leaves_rescue_mode_and_boots(board_factory, keys, prompt):
    board = eof_board(board_factory, keys, usb="plugged", **{"usb.a.img": STICK_IMAGE})
    text = boot_to_app(board, "image slot 1")
    at = [text.find(t) for t in (prompt, LEFT_RESCUE, "Booting image '1'")]
    assert -1 not in at and at == sorted(at), text
    assert text.count(prompt) == 1
    assert "Invalid" not in text and "Try again" not in text
    # Back at the menu once: its own end-of-input course ended rescue mode.
    assert text.count("Option? : ") == 2
    # Nothing half typed was acted on.
    assert ran(board, "ifconfig", "tftp", "route", "dhclient") == []
    assert "Installing" not in text
    assert board.eeprom(256) == 1 and board.eeprom(314) == 1


def test_slot_question_at_end_of_input_boots_the_download(board_factory):
    board = eof_board(board_factory, "u1\r", usb="plugged", **{"usb.a.img": STICK_IMAGE})
    slots = [(board.user / "images" / f"image{n}").read_bytes() for n in (1, 2)]
    text = boot_to_app(board, "USB rescue")
    prompt = "Install image as image 1 or 2 (hit return to just boot image): "
    assert text.count(prompt) == 1
    at = [text.find(t) for t in (prompt, "Booting downloaded image", "Image ready to boot...")]
    assert -1 not in at and at == sorted(at), text
    assert [(board.user / "images" / f"image{n}").read_bytes() for n in (1, 2)] == slots
    assert board.eeprom(256) == 1


def test_recovery_questions_at_end_of_input_boot_the_recovery_image(board_factory):
    # The diagnostics boot's erase confirmation (a key) and the recovery
    # image's slot question (a line) both meet the end of input.
    recovery = demo.app_image("recovery image", "7.0.0.7")
    board = eof_board(board_factory, "", env={"diagnostics": "diags"}, rescue=recovery)
    text = boot_to_app(board, "recovery image")
    assert text.count("Confirm: Erase filesystem?") == 1
    assert text.count("Install recovery image as image 1 or 2") == 1
    assert "Erasing filesystem" not in text and "Installing recovery" not in text
    assert ran(board, "flash_eraseall") == []


def test_dhcp_question_at_end_of_input_skips_the_port_setup(board_factory):
    board = eof_board(board_factory, "", env={"gdbserver": "on"})
    con = board.power_on()
    con.expect_exact("Demo application from image slot 1,")
    off = board.wait_power_off(con)
    assert off.reason == "reset", off   # gdbserver's run ends in a reset
    text = board.console_text()
    assert text.count("Use DHCP for network configuration? y/N: ") == 1
    assert "IP addr" not in text
    assert ran(board, "ifconfig", "dhclient", "route") == []
    assert any(line.startswith("gdbserver :1234") for line in board.tools_log())


def test_usb_yes_no_question_at_end_of_input_is_no(board_factory):
    image = demo.app_image("USB stick", "9.0.0.1")
    board = eof_board(board_factory, "", env={}, usb_boot=213, usb="plugged",
                      **{"usb.KV4410NX_OS.img": image})
    folder = board.user / "images" / "rejected"
    folder.mkdir(parents=True)
    (folder / hashlib.md5(image).hexdigest()).touch()
    text = boot_to_app(board, "image slot 1")
    assert text.count("(y/n) ") == 1
    assert "Console input has ended. Assuming \"no\"." in text
    assert "Timeout" not in text
    assert "clock poll fd=0 timeout=5000ms" in board.device_log()

"""USB boot on the simulated board, as a table: the board's state (the
stick's files, the rejected list, what flash and the slots hold, the
USB-boot byte, a stick late or absent) and what is typed at the console,
against what the console shows and the state the power-on leaves (which
application runs, the slots, the EEPROM bytes, the rejected list, the boot
loader). Rows that follow one another on a board with a stick left in it
also run in that order on one board. Last, the rejected list's digest
handling on its own (probe_usb)."""

import re

import pytest
from helpers import SCALE, UNSET, check_console, console, leave_app, md5, on_stick, reject, rejected, run_program, slot_image
from usb_boot_table import DIRECTORY, EOF, ROWS, check_state

# Rows that follow one another on a board whose stick stays in.
SEQUENCES = {
    "four files": ["four files, new boot loader", "four files, boot loader installed",
                   "four files, replacements installed"],
    "boot image twice": ["boot image alone", "boot image rejected, no answer"],
}


def make_board(board_factory, row):
    choices = dict(row.choices)
    choices.setdefault("usb_boot", 213)
    choices.setdefault("time_scale", SCALE)
    files = {name: data for name, data in row.stick.items() if data is not DIRECTORY}
    board = board_factory(slot1=row.slots[0], slot2=row.slots[1], image_select=row.select,
                          **{**on_stick(files), **choices})
    for name, data in row.stick.items():
        if data is DIRECTORY:
            (board.usb / name).mkdir()
    for data in row.listed:
        reject(board, data)
    return board


def power_on(board, row):
    """One power-on with the row's console input; checks the row's outcome."""
    con = board.power_on()
    for prompt, keys in row.keys:
        con.expect_exact(prompt.replace("\n", "\r\n"))
        if keys is EOF:
            con.sendeof()
        else:
            con.send(keys)
    label = row.runs[0]
    if label is None:
        assert board.wait_power_off(con).reason == "reset"
    else:
        assert leave_app(board, con, label).reason == "app-exit"

    text = console(board)
    check_console(text, row.shows, row.hides, row.counts)
    log = board.device_log()
    for line, n in row.trace.items():
        assert log.count(line) >= n, line

    check_state(board, row, (slot_image(board, 1), slot_image(board, 2)), rejected(board))


@pytest.mark.parametrize("name", ROWS)
def test_usb_boot(board_factory, name):
    row = ROWS[name]
    power_on(make_board(board_factory, row), row)


@pytest.mark.parametrize("name", SEQUENCES)
def test_stick_left_in(board_factory, name):
    """The rows in order on one board: each start finds what the one
    before left (boot loader, slots, EEPROM, rejected list)."""
    rows = [ROWS[n] for n in SEQUENCES[name]]
    board = make_board(board_factory, rows[0])
    for row in rows:
        board.set_eeprom(314, UNSET)
        power_on(board, row)


# ---- the rejected list on its own ----

def probe(board, *args):
    return run_program(board, "probe_usb", *args)[0]


def test_digest_of_a_file_named_with_shell_metacharacters(board_factory):
    data = b"image bytes\n" * 100
    name = "a';>pwned;'b $(>pwned2).img"
    board = board_factory(time_scale=SCALE, **on_stick({name: data}))
    text = probe(board, "md5", f"/mnt/usb/{name}")
    assert f"md5 1 [{md5(data)}]" in text
    assert not (board.path / "pwned").exists() and not (board.path / "pwned2").exists()


def test_rejected_list_is_keyed_by_content(board_factory):
    a, b = b"first image" * 50, b"second image" * 50
    board = board_factory(time_scale=SCALE, **on_stick({"a.img": a, "copy-of-a.img": a, "b.img": b}))
    text = probe(board, "rejected", "/mnt/usb/a.img", "add", "/mnt/usb/a.img",
                 "add", "/mnt/usb/a.img", "rejected", "/mnt/usb/copy-of-a.img",
                 "rejected", "/mnt/usb/b.img", "md5", "/mnt/usb/missing.img",
                 "rejected", "/mnt/usb/missing.img", "add", "/mnt/usb/missing.img")
    assert re.findall(r"rejected (\d)", text) == ["0", "1", "0", "0"]
    assert rejected(board) == [md5(a)]
    assert "md5 0 []" in text
    assert "Warning: Cannot determine if image is in rejected list!" in text
    assert "Warning: Cannot add image to rejected list!" in text

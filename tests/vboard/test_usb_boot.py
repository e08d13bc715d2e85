"""USB boot on the virtual board: rows of the simulated board's USB boot
table (tests/system/usb_boot_table.py) on the real kernel, with a vfat stick
on EHCI mounted by the mdev agent, the rejected list on the real jffs2 user
partition and the EEPROM behind i2c-dev. The rows' device-trace counts are
the simulator's and are not checked here; the console, the EEPROM bytes,
the slots, the rejected list and the boot loader partition are. Two rows
only the virtual board has: a stick plugged after the announcement through
QEMU's monitor, and a rejected USB boot image refused with "n"."""

import helpers
import pytest
import usb_boot_table as table
from boardsim.console import BOOT_TIMEOUT, type_now
from vboard_helpers import reboot_from_demo, reject, rejected, slot_image
Row = table.Row
PLUG = object()  # typed: nothing; the stick is plugged in through QEMU's monitor
ANNOUNCEMENT = ("Attempting to mount file system on USB flash drive; this can take up to "
                "10 seconds.")

ROWS = {name: table.ROWS[name] for name in (
    "four files, new boot loader", "four files, boot loader installed",
    "four files, replacements installed", "boot image alone", "boot image rejected, no answer",
    "rejected replacement 2 accepted", "replacement 1 while slot 2 is selected", "no stick",
    "USB-boot byte 212", "unreadable boot image")}
ROWS.update({
    "boot image rejected, n": Row(
        {table.OS: table.STICK}, listed=(table.STICK,), keys=((table.BOOT_IMAGE_QUESTION, "n\r"),),
        shows=(table.FROM_STICK, table.BOOT_IMAGE_QUESTION, table.FALLBACK, "Booting image '1'"),
        hides=("Continuing", table.NO_ANSWER)),
    "stick plugged after the announcement": Row(
        {table.OS: table.STICK}, choices={"usb": "absent"}, keys=((ANNOUNCEMENT, PLUG),),
        shows=(ANNOUNCEMENT, "USB mounted and ready!", table.FROM_STICK),
        hides=("USB mount timed out",), runs=table.RUNS_STICK, listed_after=(table.STICK,)),
})

SEQUENCES = {
    "four files": ["four files, new boot loader", "four files, boot loader installed",
                   "four files, replacements installed"],
    "boot image thrice": ["boot image alone", "boot image rejected, no answer",
                          "boot image rejected, n"],
}
ALONE = [name for name in ROWS if not any(name in rows for rows in SEQUENCES.values())]


def make_board(vboard_factory, row):
    files = {name: data for name, data in row.stick.items() if data is not table.DIRECTORY}
    choices = {"usb_boot": 213, **helpers.on_stick(files)}
    choices.update({k: v for k, v in row.choices.items() if k != "usb_delay"})
    board = vboard_factory(slot1=row.slots[0], slot2=row.slots[1], image_select=row.select,
                           **choices)
    for name, data in row.stick.items():
        if data is table.DIRECTORY:
            (board.usb / name).mkdir()
    for data in row.listed:
        reject(board, data)
    return board


def power_on(board, row):
    """One power-on with the row's console input; checks the row's outcome
    in the board's files on the host."""
    con = board.power_on(timeout=BOOT_TIMEOUT)
    for prompt, keys in row.keys:
        con.expect_exact(prompt.replace("\n", "\r\n"))
        if keys is PLUG:
            board.plug_usb()
        else:
            type_now(con, keys)
    label = row.runs[0]
    if label is None:
        off = board.wait_power_off(con, timeout=BOOT_TIMEOUT)
    else:
        off = reboot_from_demo(board, con, label)
    assert off.reason == "reset", off

    helpers.check_console(helpers.console(board), row.shows, row.hides, row.counts)
    table.check_state(board, row, (slot_image(board, 1), slot_image(board, 2)), rejected(board))


@pytest.mark.parametrize("name", ALONE)
def test_usb_boot(vboard_factory, name):
    row = ROWS[name]
    power_on(make_board(vboard_factory, row), row)


@pytest.mark.parametrize("name", SEQUENCES)
def test_stick_left_in(vboard_factory, name):
    """The rows in order on one board, across power-ons: each start finds
    what the one before left in flash, in the jffs2 partition and in the
    EEPROM."""
    rows = [ROWS[n] for n in SEQUENCES[name]]
    board = make_board(vboard_factory, rows[0])
    for row in rows:
        board.set_eeprom(314, helpers.UNSET)
        power_on(board, row)

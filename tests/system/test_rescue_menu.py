"""The rescue menu on the simulated board, as a table: the board's state
(what flash, the slots and the user partition hold; the menu alone through
probe_console, the diagnostics boot alone, or the whole bootmgr with the
boot settings asking for rescue mode) and the keys typed at the console,
against what the console shows and the state the power-on leaves (how it
ends, the user partition erased or kept, the waits before a reset)."""

import struct
from typing import NamedTuple

import pytest
from boardsim.console import interrupt_now, type_now
from helpers import APP, DIAGS, KERNEL, RFS, SCALE, UBOOT, check_console, component, console, script_archive

MENU = ("Please select one of the following options:\n"
        "\tT) Configure networking and tftp download an image\n"
        "\tX) Use xmodem 1K to serial download an image\n"
        "\tR) Reboot\n"
        "\tE) Exit\n")
PROMPT = "\nOption? : "
CONFIRM = "Confirm: Erase filesystem? (all saved data, configuration, keys will be lost) y/N: "
MAC_PROMPT = "MAC address (format nn:nn:nn:nn:nn:nn): "
CHOOSE = "Choose file number to install (q to quit): "
TFTP = "Performing TFTP rescue."
VERSIONS = "Installed images versions: \n"
UNKNOWN = "unknown option"
ERASE_STEPS = ("unmount filesystem", "Erasing filesystem for clean install", "Mounting...",
               "creating default filesystem", "Booting diags image...")
INTR = object()  # typed: the terminal's interrupt key (SIGINT)

# How the power-on ends: the menu returns to probe_console (which prints
# its result), the board resets, or an application runs to its end.
RETURNS, RESET = "run_rescue_mode=1 sig=0", "reset"
MENU_PROBE, DIAGS_PROBE, BOOTMGR = ("probe_console", "rescue"), ("probe_console", "diags"), ()

# Board states.
VERSIONED = {  # a header of every row of the version list; slot 2 missing
    "uboot": bytes(240) + struct.pack(">IIII", 0, 4096, UBOOT, 0x02000A01),
    "kernel": component(KERNEL, b"k" * 100, (1, 2, 3, 4)),
    "rfs": component(RFS, b"r" * 100, (255, 0, 128, 7)),
    "devicetree": bytes(16),
    "slot1": component(APP, b"a" * 100, (9, 8, 7, 250)),
}
DIAGNOSTICS = {"rescue": component(DIAGS, script_archive("DIAGNOSTICS RUNNING", "mpdiag.elf.strip"),
                                   (6, 0, 0, 1))}
BOOTABLE = {"image_select": 1, "env": {"diagnostics": "rescue"},
            "slot1": component(APP, script_archive("SLOT ONE APPLICATION"))}
RESCUE = {"env": {"diagnostics": "rescue"}}


class Row(NamedTuple):
    # board state: the program run and the board's choices
    program: tuple = MENU_PROBE
    board: dict = {}
    # console input: (prompt awaited, keys typed), in order; a menu row then
    # leaves with "e" at the next prompt unless ends says otherwise
    keys: tuple = ()
    # console text
    shows: tuple = ()   # in this order
    hides: tuple = ()
    counts: dict = {}   # text -> how often it shows
    # how the power-on ends, the user partition after it
    ends: str = None    # None: "e" typed, then RETURNS
    erased: bool = False


def menu_key(key, echo, shows=(), **more):
    """A row: one key at the first option prompt, the menu's echo of it,
    then what shows."""
    return Row(keys=((PROMPT, key),), shows=(f"{PROMPT}{echo}\n",) + shows, **more)


ROWS = {
    # Keys that name no entry: a message and the prompt again, not the menu.
    "unknown key": menu_key(
        "?", "?", ('unknown option "?". Please try again\n' + PROMPT,),
        counts={MENU: 1, PROMPT: 2}),
    "lower-case unknown key": menu_key(
        "z", "z", ('unknown option "Z". Please try again\n' + PROMPT,), counts={MENU: 1}),
    # The terminal hands Enter over as a line feed (ICRNL).
    "Enter": menu_key(
        "\r", "\n", ('unknown option "\n". Please try again\n' + PROMPT,), counts={MENU: 1}),
    "NUL key": menu_key("\0", "\0", (PROMPT,), hides=(UNKNOWN,),
                        counts={MENU: 1, PROMPT: 2}),
    # While waiting for a key: the echo, the flag cleared, the prompt again.
    "interrupt at the prompt": menu_key(
        INTR, "\0", (PROMPT,), hides=(UNKNOWN,), counts={MENU: 1, PROMPT: 2}),

    # Each entry, listed or not, in either case; the menu again after it.
    "v": menu_key("v", "v", (VERSIONS, MENU), hides=(UNKNOWN,), counts={MENU: 2}),
    "V, every version row": Row(
        board=VERSIONED, keys=((PROMPT, "V"),),
        shows=(VERSIONS +
               "\tBoot image  : 2.0.10.1\n"
               "\tRFS image   : 255.0.128.7\n"
               "\tKernel image: 1.2.3.4\n"
               "\tDFT image   : 0.0.0.0\n"
               "\tOS image 1  : 9.8.7.250\n"
               "\tOS image 2  : 0.0.0.0\n" + MENU,)),
    **{f"{key}, quit the USB file question": Row(
        keys=((PROMPT, key), (CHOOSE, "q\r")), shows=(CHOOSE, MENU), hides=(UNKNOWN,),
        counts={MENU: 2})
       for key in "uU"},
    **{f"{key}, quit the MAC question": Row(
        keys=((PROMPT, key), (MAC_PROMPT, "q\r")), shows=(MAC_PROMPT, MENU), hides=(UNKNOWN,),
        counts={MENU: 2})
       for key in "mM"},
    # Raised during an action: cleared when the action returns.
    "m, interrupt at the MAC question": Row(
        keys=((PROMPT, "m"), (MAC_PROMPT, INTR), ("\x07", "q\r")), shows=(MAC_PROMPT, MENU),
        hides=(UNKNOWN,), counts={MENU: 2}),
    **{f"{key}, quit the TFTP questions": Row(
        keys=((PROMPT, key), ("IP addr    :", "q\r")), shows=(TFTP, MENU), hides=(UNKNOWN,),
        counts={MENU: 2})
       for key in "tT"},
    # The rescue partition is erased: the diagnostics boot fails, the menu
    # comes back.
    **{f"{key}, nothing to boot": Row(
        keys=((PROMPT, key), (CONFIRM, "n")), shows=(CONFIRM, "Booting diags image...", MENU),
        hides=("Erasing", UNKNOWN), counts={MENU: 2})
       for key in "dD"},
    **{f"{key}, leave": Row(keys=((PROMPT, key),), ends=RETURNS, counts={MENU: 1})
       for key in "eE"},

    # The whole boot manager: Exit lets the boot go on, Reboot resets after
    # a second (and the reset's own second).
    "exit, the boot goes on": Row(
        program=BOOTMGR, board=BOOTABLE, keys=((PROMPT, "e"),),
        shows=("Entering Rescue Mode.", "Booting image '1'", "SLOT ONE APPLICATION"),
        ends="SLOT ONE APPLICATION"),
    **{f"{key}, reboot": Row(program=BOOTMGR, board=RESCUE, keys=((PROMPT, key),), ends=RESET)
       for key in "rR"},

    # The erase confirmation of the diagnostics boot: y and Y erase; any
    # other key, and an interrupted read, do not. The boot follows always.
    **{f"confirm {name}": Row(
        program=DIAGS_PROBE, board=DIAGNOSTICS, keys=((CONFIRM, key),), ends="DIAGNOSTICS RUNNING",
        shows=ERASE_STEPS if erases else ("Booting diags image...",),
        hides=() if erases else ERASE_STEPS[:4], erased=erases)
       for name, key, erases in (("y", "y", True), ("Y", "Y", True), ("n", "n", False),
                                 ("Enter", "\r", False), ("other key", "x", False),
                                 ("interrupted", INTR, False))},
}


def erase_commands(board):
    return [line for line in board.tools_log()
            if line.split()[:1] in (["umount"], ["/bin/umount"], ["flash_eraseall"])
            or "mtd-user-char" in line]


def type_key(con, key):
    if key is INTR:
        interrupt_now(con)
    else:
        type_now(con, key)


@pytest.mark.parametrize("name", ROWS)
def test_rescue_menu(board_factory, name):
    row = ROWS[name]
    board = board_factory(time_scale=SCALE, **row.board)
    (board.user / "keep.txt").write_text("saved data")
    con = board.power_on(program=list(row.program) or None, encoding="latin-1")
    for prompt, key in row.keys:
        con.expect_exact(prompt.replace("\n", "\r\n"), timeout=60)
        type_key(con, key)

    if row.ends is None:
        con.expect_exact(PROMPT.replace("\n", "\r\n"), timeout=60)
        type_key(con, "e")
    if row.ends == RESET:
        assert board.wait_power_off(con).reason == "reset"
        sleeps = [line for line in board.device_log() if line.startswith("clock sleep")]
        assert sleeps[-2:] == ["clock sleep 1000000us"] * 2
    else:
        con.expect_exact(row.ends or RETURNS, timeout=120)
        ended = "exit" if row.ends in (None, RETURNS) else "app-exit"
        assert board.wait_power_off(con).reason == ended

    text = console(board)
    assert text.count("Entering Rescue Mode.") == (0 if row.program == DIAGS_PROBE else 1)
    check_console(text, row.shows, row.hides, row.counts)
    assert bool(erase_commands(board)) == row.erased
    assert (board.user / "keep.txt").exists() != row.erased
    if row.erased:
        assert (board.user / "images").is_dir()

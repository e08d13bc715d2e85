"""The USB boot table that the simulated board's and the virtual board's
USB boot tests share: each row is the board's state (the stick's files, the
rejected list, what flash and the slots hold, the USB-boot byte, a stick
late or absent) and what is typed at the console, against what the console
shows and the state the power-on leaves."""

from typing import NamedTuple

from helpers import UNSET, USB_BOOT_IMAGE, demo_app, md5
from boardsim import default_board as demo

BOOT, REPL1, REPL2, OS = ("KV4410NX_Boot.img", "KV4410NX_replace1_OS.img",
                          "KV4410NX_replace2_OS.img", USB_BOOT_IMAGE)
QUESTION = "Would you still like to load it? (y/n) "
REPLACEMENT_QUESTION = "Replacement USB image is in rejected list.\n" + QUESTION
BOOT_IMAGE_QUESTION = "USB image is in rejected list.\n" + QUESTION
NO_ANSWER = "Timeout. Assuming \"no\"."
FALLBACK = "USB Boot failed. Trying flash images."
FROM_STICK = f"Booting image '{OS}' from USB stick."
EOF = object()        # typed: the console's input ends (Ctrl-D on an empty line)
DIRECTORY = object()  # on the stick: a directory, which opens but cannot be read

LOADER = demo.make_image([dict(type="bootloader", version="3.0.0.1", payload=b"u" * 600,
                               boot_copy=True)])
SLOT1, SLOT2 = demo_app("image slot 1", "1.0.0.1"), demo_app("image slot 2", "1.0.0.2")
R1, R2 = demo_app("replacement 1", "2.0.0.1"), demo_app("replacement 2", "2.0.0.2")
STICK = demo_app("USB stick", "9.0.0.1")

# Which application runs: (the label it prints, the booted-image byte);
# RESET: none, the board resets.
RUNS_SLOT1, RUNS_SLOT2 = ("image slot 1", 1), ("image slot 2", 2)
RUNS_R1, RUNS_R2, RUNS_STICK = ("replacement 1", 1), ("replacement 2", 2), ("USB stick", 3)
RESET = (None, UNSET)


class Row(NamedTuple):
    # board state
    stick: dict                 # file name -> bytes (or DIRECTORY)
    listed: tuple = ()          # contents already in the rejected list
    slots: tuple = (SLOT1, SLOT2)
    select: int = 1             # the image-select byte
    choices: dict = {}          # further board choices (usb_boot, usb, usb_delay, uboot)
    # console input: (prompt awaited, keys typed), in order
    keys: tuple = ()
    # console text
    shows: tuple = ()           # in this order
    hides: tuple = ()
    counts: dict = {}           # text -> how often it shows
    trace: dict = {}            # device-trace line -> how often at least
    # device state after the power-on
    runs: tuple = RUNS_SLOT1
    slots_after: tuple = None   # None: as before
    select_after: int = None    # None: as before
    listed_after: tuple = None  # None: as before
    uboot_after: bytes = None   # the boot loader partition's first bytes


ALL_FOUR = {BOOT: LOADER, REPL2: R2, REPL1: R1, OS: STICK}

ROWS = {
    # A stick left in through three starts: the boot loader is installed
    # first (a reset), then both replacements (slot 1 last, the USB boot
    # image not looked at), then the USB boot image alone boots once.
    "four files, new boot loader": Row(
        ALL_FOUR, shows=("Boot image found on USB.",), hides=("replacement for image",),
        runs=RESET, uboot_after=LOADER[16:616]),
    "four files, boot loader installed": Row(
        ALL_FOUR, choices={"uboot": LOADER[16:]},
        shows=("Boot image found on USB.", "ERROR: No valid image found",
               f"USB image (file '{REPL2}') replacement for image2 found\n",
               "Image2 has been successfully replaced",
               f"USB image (file '{REPL1}') replacement for image1 found\n",
               "Image1 has been successfully replaced",
               "USB replacement image: board will boot with image1.\n", "Booting image '1'"),
        hides=("from USB stick",), runs=RUNS_R1, slots_after=(R1, R2)),
    "four files, replacements installed": Row(
        ALL_FOUR, choices={"uboot": LOADER[16:]}, slots=(R1, R2),
        shows=("Image2 has same version as existing image. Skipping update...",
               "Image1 has same version as existing image. Skipping update...", FROM_STICK),
        hides=("successfully replaced",), runs=RUNS_STICK, listed_after=(STICK,)),

    # The USB boot image boots once by itself; then it is asked about.
    "boot image alone": Row(
        {OS: STICK}, shows=("No boot image found on USB.", FROM_STICK),
        runs=RUNS_STICK, listed_after=(STICK,)),
    "boot image rejected, no answer": Row(
        {OS: STICK}, listed=(STICK,), shows=(FROM_STICK, BOOT_IMAGE_QUESTION, NO_ANSWER, FALLBACK),
        hides=("Continuing",), trace={"clock poll fd=0 timeout=5000ms": 1}),
    "boot image rejected, Y and N ask again, yes is y": Row(
        {OS: STICK}, listed=(STICK,),
        keys=((QUESTION, "Y\r"), ("(y/n) (y/n) ", "N\r"), ("(y/n) (y/n) ", "yes\r")),
        shows=(FROM_STICK, "Continuing to load USB image..."), counts={"(y/n) ": 5},
        runs=RUNS_STICK),
    "boot image rejected, input ended": Row(
        {OS: STICK}, listed=(STICK,), keys=((BOOT_IMAGE_QUESTION, EOF),),
        shows=(FROM_STICK, BOOT_IMAGE_QUESTION, FALLBACK), hides=("Continuing",)),

    # Replacements.
    "rejected replacement 2 refused": Row(
        {REPL2: R2, REPL1: R1, OS: STICK}, listed=(R2,), keys=((REPLACEMENT_QUESTION, "n\r"),),
        hides=("replacement for image1", "from USB stick", "No valid image found on USB")),
    "rejected replacement 1 accepted": Row(
        {REPL1: R1}, listed=(R1,), keys=((QUESTION, "y\r"),),
        shows=("Continuing with replacement USB image...", "Image1 has been successfully replaced",
               "board will boot with image1."),
        runs=RUNS_R1, slots_after=(R1, SLOT2)),
    "rejected replacement 2 accepted": Row(
        {REPL2: R2}, listed=(R2,), keys=((REPLACEMENT_QUESTION, "y\r"),),
        shows=("Continuing with replacement USB image...", "Image2 has been successfully replaced",
               "USB replacement image: board will boot with image2.\n", "Booting image '2'"),
        runs=RUNS_R2, slots_after=(SLOT1, R2), select_after=2),
    "rejected replacement, no answer": Row(
        {REPL1: R1, OS: STICK}, listed=(R1,), shows=(REPLACEMENT_QUESTION, NO_ANSWER),
        hides=("successfully replaced", "from USB stick")),
    "slot 2 replaced, rejected replacement 1 refused": Row(
        {REPL2: R2, REPL1: R1}, listed=(R1,), keys=((QUESTION, "n\r"),),
        shows=("Image2 has been successfully replaced", QUESTION, "Booting image '2'"),
        hides=("board will boot with",), runs=RUNS_R2, slots_after=(SLOT1, R2), select_after=2),
    "replacement 1 while slot 2 is selected": Row(
        {REPL1: R1}, select=2,
        shows=("Image1 has been successfully replaced", "board will boot with image1.",
               "Booting image '1'"),
        runs=RUNS_R1, slots_after=(R1, SLOT2), select_after=1),
    "replacement as installed": Row(
        {REPL2: SLOT2},
        shows=("replacement for image2 found",
               "Image2 has same version as existing image. Skipping update...",
               "No valid image found on USB"),
        hides=("successfully replaced", "board will boot with")),

    # The stick's wait.
    "no stick": Row(
        {}, choices={"usb": "absent"},
        shows=("Attempting to mount file system on USB flash drive; this can take up to 10 seconds.",
               "." * 10, "USB mount timed out", "Booting image '1'"),
        hides=("No boot image found on USB.",), trace={"clock sleep 1000000us": 11}),
    "stick ready after 3 s": Row(
        {OS: STICK}, choices={"usb_delay": 3}, shows=("USB mounted and ready!", FROM_STICK),
        hides=("USB mount timed out",), runs=RUNS_STICK, listed_after=(STICK,)),

    # USB boot not asked for: nothing is printed, nothing enters the list.
    **{f"USB-boot byte {byte}": Row({OS: STICK}, choices={"usb_boot": byte}, hides=("USB",))
       for byte in (0, 212, 0xFF)},

    "unreadable boot image": Row(
        {OS: DIRECTORY},
        shows=("Warning: Cannot determine if image is in rejected list!",
               "Warning: Cannot add image to rejected list!", FALLBACK)),
}


def check_state(board, row, slots, listed):
    """The row's device state after its power-on, given the slots' bytes
    and the rejected list's entry names as the board keeps them: the EEPROM
    bytes, the slots, the list and the boot loader."""
    assert board.eeprom(314) == row.runs[1]
    assert board.eeprom(256) == (row.select if row.select_after is None else row.select_after)
    assert slots == (row.slots_after or row.slots)
    wanted = row.listed if row.listed_after is None else row.listed_after
    assert listed == sorted(md5(data) for data in wanted)
    if row.uboot_after is not None:
        assert board.partition("uboot")[:len(row.uboot_after)] == row.uboot_after

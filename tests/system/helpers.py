"""What the system tests share: boards made with the usual choices, image
files and components (made by the image tool, or packed here byte by byte as
a writer of the format independent of the tool), the image format's CRC,
and reading what the board's console showed (typing at it: boardsim.console)."""

import hashlib
import os
import struct
import zlib
from pathlib import Path

from boardsim import Board
from boardsim import default_board as demo

ARCH = os.environ.get("BOARDSIM_ARCH", "host")
# The board clock of most tests: the program's sleeps and poll time-outs
# take this share of their real time (the traces record them unscaled).
SCALE = 0.02

# Component type words, and the magic's bit for an extended header.
APP, UBOOT, KERNEL, RFS, DTB, DIAGS = (0x01504547, 0x02504547, 0x03504547, 0x04504547, 0x05504547,
                                       0x06504547)
EXT = 0x80000000
UNSET = 0xFF  # an EEPROM byte of a fresh board

APP_PROMPT = "demo> "
SLOT_QUESTION = b"Install image as image 1 or 2 (hit return to just boot image): "
USB_BOOT_IMAGE = "KV4410NX_OS.img"


# ---- the image format ----

def jamcrc(data):
    """The image format's checksum: the CRC-32 register without the final
    inversion (JAMCRC)."""
    return zlib.crc32(data) ^ 0xFFFFFFFF


def packed_component(ctype, payload, version=(0, 0, 0, 0), header_size=None, bytes16=0):
    """A component packed here, not by the image tool: a plain 16-byte
    header, or an extended one of header_size bytes (20 or more)."""
    vid = bytes(version)
    if header_size is None:
        body = struct.pack(">II", len(payload), ctype) + vid + payload
    else:
        body = (struct.pack(">II", len(payload), ctype | EXT) + vid +
                struct.pack(">HH", bytes16, header_size) + bytes(header_size - 20) + payload)
    return struct.pack(">I", jamcrc(body)) + body


def component(ctype, payload, version=(1, 0, 0, 0), header_size=None, bad_crc=False, length=None,
              boot_copy=False):
    """One component made by the image tool (an empty payload: none given);
    header_size gives an extended header (below 20 stored as given,
    unchecked), length a `len` field other than the payload's."""
    options = {"type": hex(ctype), "version": ".".join(map(str, version))}
    if payload:
        options["payload"] = payload
    if header_size is not None:
        options["header_size" if header_size >= 20 else "raw_header_size"] = header_size
    if bad_crc:
        options["corrupt_crc"] = True
    if length is not None:
        options["len"] = length
    if boot_copy:
        options["boot_copy"] = True
    return demo.make_image([options])


def script_archive(marker, member="home/bin/mp.elf.strip"):
    """A gzip tar holding one shell script that prints the marker: a
    runnable application (or, as mpdiag.elf.strip, diagnostics)."""
    return demo.archive({member: f"#!/bin/sh\necho {marker}\n"})


def app_image(marker="APP", version=(1, 2, 3, 4), payload=None):
    """An image file of one application component; its payload an archive
    printing the marker, or the bytes given (a slot takes any payload)."""
    return component(APP, script_archive(marker) if payload is None else payload, version)


def demo_app(label, version="1.0.0.1", **faults):
    """An image of one demo application component, which says "Demo
    application from LABEL, version VERSION"; faults are further image tool
    options (corrupt_crc=True, ...)."""
    payload = demo.archive(demo.demo_files(label, version))
    return demo.make_image([dict(type="app", version=version, payload=payload, **faults)])


# ---- boards ----

def new_board(where, name="b", **choices):
    """A fresh board at where/name (the choices of Board.create), its clock
    at SCALE unless chosen."""
    choices.setdefault("time_scale", SCALE)
    return Board.create(Path(where) / name, **choices)


def on_stick(files):
    """Board choices putting {name: bytes} onto a plugged USB stick."""
    return {"usb": "plugged", **{f"usb.{name}": data for name, data in files.items()}}


def slot_image(board, slot):
    """The bytes of image slot 1 or 2, None when the slot file is missing."""
    path = board.user / "images" / f"image{slot}"
    return path.read_bytes() if path.exists() else None


def rejected(board):
    """The rejected list: its entries' names (MD5 texts), sorted."""
    folder = board.user / "images" / "rejected"
    return sorted(p.name for p in folder.iterdir()) if folder.exists() else []


def reject(board, data):
    """Enters the file's content into the rejected list, as an earlier boot would."""
    folder = board.user / "images" / "rejected"
    folder.mkdir(parents=True, exist_ok=True)
    (folder / md5(data)).touch()


def md5(data):
    return hashlib.md5(data).hexdigest()


# ---- the console ----

def console(board):
    """What the console showed this power-on, line ends as "\\n"."""
    return board.console_text().replace("\r\n", "\n")


def shown_in_order(text, parts):
    """True when every part shows in text, each after the one before."""
    at = 0
    for part in parts:
        found = text.find(part, at)
        if found < 0:
            return False
        at = found + len(part)
    return True


def check_console(text, shows=(), hides=(), counts=None):
    """The console text shows the texts of `shows` in that order, none of
    `hides`, and each text of `counts` as often as it gives."""
    assert shown_in_order(text, shows), f"not shown in this order: {shows!r}\n{text}"
    for part in hides:
        assert part not in text, f"shown: {part!r}\n{text}"
    for part, times in (counts or {}).items():
        assert text.count(part) == times, f"{part!r} shown {text.count(part)} times, not {times}\n{text}"


def leave_app(board, con, label=None):
    """Waits for the demo application (the one from label, when given),
    leaves it and gives the power-off record."""
    if label is not None:
        con.expect_exact(f"Demo application from {label},")
    con.expect_exact(APP_PROMPT)
    con.send("exit\r")
    return board.wait_power_off(con)


def reboot_from_rescue(board, con, timeout=60):
    """At the rescue menu, takes Reboot; gives the power-off record."""
    con.expect_exact("Option? : ", timeout=timeout)
    con.send("R")
    return board.wait_power_off(con)


def place_image(board, data, name="x.img"):
    """Puts an image file into the board directory; gives its path as the
    board's programs see it."""
    folder = board.path / "images"
    folder.mkdir(exist_ok=True)
    (folder / name).write_bytes(data)
    return f"/.boardsim/images/{name}"


def run_installer(board, data, check_version=0, slot=1, answer=None, timeout=300):
    """Runs the installer (probe_install) on an image file of the given
    bytes, answering its slot question when given an answer; gives its
    result and the console text."""
    path = place_image(board, data)
    con = board.power_on(program=["probe_install", path, str(check_version), str(slot)])
    if answer is not None:
        con.expect_exact(SLOT_QUESTION, timeout=120)
        con.send(answer)
    con.expect(rb"processVireoImage=(\d)", timeout=timeout)
    result = int(con.match.group(1))
    board.wait_power_off(con)
    return result, board.console_text()


def run_program(board, *argv):
    """Runs a board-side program to its end; gives (console text, power-off record)."""
    con = board.power_on(program=list(argv))
    off = board.wait_power_off(con)
    return console(board), off

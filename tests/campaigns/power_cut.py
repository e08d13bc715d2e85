#!/usr/bin/python3
"""Power-cut campaign: the board loses power at every flash erase, every
flash write and every file piece of an installation in turn, is powered on
again for a normal boot, and must then run a good application (the old one
or the new one) or stop in rescue mode.

Three classes of installation:

  install    the installer (probe_install) writes a kernel, root file
             system, device tree, diagnostics and an application into slot 2
             while slot 1 holds the running application;
  selected   the same image into slot 1, the selected slot itself: a cut
             inside its file leaves the byte naming it, and the boot must
             fall back to slot 2;
  recovery   the diagnostics boot finds a recovery image in the rescue
             partition and the operator installs it as image 2;
  usb        a USB stick brings a replacement for slot 2 (device tree and
             application), which the boot installs and boots.

And the writes a boot makes without an operator:

  boot       an ordinary boot of slot 1: the booted-image byte;
  usbboot    a stick with a USB boot image: the boot enters it into the
             rejected list on the user partition (mkdir, touch), records
             the booted-image byte and boots it; the next power-on has the
             same stick in;
  replace    a stick with replacements for both slots: slot 2, then the
             selected slot 1, each followed by its image-select byte;
  erase      the diagnostics boot with the erase of the user partition
             (slots, rejected list and an operator's file on it) answered
             yes, then the diagnostics; the power-ons after the cut answer
             no (the diagnostics must run) and then boot normally.

Each cut point is one fresh board: power on with the cut (power_cut_at for
MTD operations, power_cut_file_at for user-partition file pieces, commands
that write the partition and the erase, power_cut_eeprom_at for EEPROM write
cycles: the bytes written are left undefined, each taking a value drawn from
eeprom_cut_seed; every EEPROM point is tried with the seeds that leave the
image-select byte 1, 2 and 0xFF, and with seed 1, an arbitrary value), then
power on without it. After every point:

  - the image-select byte names the slot it named before, or a slot whose
    file holds the complete new component (unless the cut fell inside the
    write cycle of that byte itself: then any slot may be named, and only
    the boot's invariants below apply);
  - the follow-up boot launched an application only from a slot (or stick)
    whose application component passes its CRC;
  - the follow-up boot reached the old or the new application, the
    diagnostics or rescue mode; a board reset (both slots failing their
    CRC) is counted apart, and is a violation while a slot still passes it;
  - a rejected-list entry is an empty file named by a whole MD5 text, and
    a USB boot image in the list is not booted again without the question;
  - erase: every file the erase had not reached is unchanged, and nothing
    on the partition is lost by the power-ons after the cut.

Run:  tests/campaigns/power_cut.py [--every N] [--class install,recovery,...]
      [--eeprom-values 1,2,255,any] [--json FILE]
with the environment of the system tests (BOARDSIM_ARCH, BOOTMGR,
BOARDSIM_LAYER, BMIMAGE, BOARDSIM_TESTPROGS, PYTHONPATH=sim). Prints a table
of the points tried and their outcomes per class (--json also writes every
point, for scripts/plot-power-cuts); exit status 1 when an invariant failed
anywhere."""

import argparse
import json
import os
import random
import shutil
import struct
import sys
import tempfile
import time
import zlib
from dataclasses import dataclass, field
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parents[1]
sys.path.insert(0, str(REPO / "sim"))
sys.path.insert(0, str(REPO / "tests" / "system"))

from boardsim import Board  # noqa: E402
from boardsim import default_board as demo  # noqa: E402

ARCH = os.environ.get("BOARDSIM_ARCH", "host")
TYPE_APP = 0x01504547
ERASE = 8192  # small erase blocks: a few hundred flash operations per install
OLD, NEW, OTHER_OLD = "OLD APPLICATION RUNS", "NEW APPLICATION RUNS", "SECOND OLD APPLICATION RUNS"
USB_APP, DIAGS = "USB BOOT IMAGE RUNS", "DIAGNOSTICS RUN"
RESCUE_PROMPT = b"Option? : "
REJECTED_QUESTION = b"USB image is in rejected list."
DIAGS_ERASE_PROMPT = b"y/N: "
RECOVERY_PROMPT = b"Install recovery image as image 1 or 2 (hit return to just boot image): "
REPLACEMENT = "KV4410NX_replace2_OS.img"
REPLACEMENT1 = "KV4410NX_replace1_OS.img"
USB_BOOT_IMAGE = "KV4410NX_OS.img"
OPERATOR_FILE = "config/startup.cfg"
CLASSES = ("install", "selected", "recovery", "usb", "boot", "usbboot", "replace", "erase")
COUNTERS = ("mtd", "file", "eeprom")
OUTCOMES = ("new app", "old app", "diagnostics", "rescue mode", "reset", "other")


def filler(size, seed):
    return bytes((i * 31 + seed) & 0xFF for i in range(size))


def app_component(marker, version, ballast=100000):
    """An application that prints its marker; its archive carries
    incompressible ballast so that the slot file takes many file pieces."""
    files = {"home/bin/mp.elf.strip": f"#!/bin/sh\necho {marker}\n",
             "home/share/ballast": random.Random(marker).randbytes(ballast)}
    return demo.make_image([dict(type="app", version=version, payload=demo.archive(files))])


def images():
    """The image files of the campaign, made once."""
    new_app = app_component(NEW, "2.0.0.1")
    install = demo.make_image([
        dict(type="kernel", version="3.0.0.2", payload=filler(20000, 1)),
        dict(type="rootfs", version="3.0.0.2", payload=filler(10000, 2)),
        dict(type="devicetree", version="1.0.0.2", payload=filler(3000, 3)),
        dict(type="diag", version="4.0.0.2", payload=filler(9000, 4)),
    ]) + new_app
    usb = demo.make_image([dict(type="devicetree", version="1.0.0.3", payload=filler(3000, 5))]) + new_app
    diag = demo.make_image([dict(type="diag", version="4.0.0.9", payload=demo.archive(
        {"mpdiag.elf.strip": f"#!/bin/sh\necho {DIAGS}\n"}))])
    return {"old": app_component(OLD, "1.0.0.1"), "other_old": app_component(OTHER_OLD, "1.0.0.0"),
            "new_app": new_app, "install": install, "usb": usb, "usb_app": app_component(USB_APP, "3.0.0.1"),
            "diag": diag}


# ---- image checks done on the host, from the bytes the board holds ----

def first_bootable(data):
    """(offset, header size, len, crc) of the first application or
    diagnostics component, as the boot's walk finds it; None without one."""
    offset = 0
    while offset + 20 <= len(data):
        crc, length, magic = struct.unpack_from(">III", data, offset)
        size = struct.unpack_from(">H", data, offset + 18)[0] if magic & 0x80000000 else 16
        if size < 20 and magic & 0x80000000:
            return None
        if magic & 0x7FFFFFFF in (TYPE_APP, 0x06504547):
            return offset, size, length, crc
        offset += size + length
    return None


def slot_passes_crc(data):
    found = first_bootable(data or b"")
    if not found:
        return False
    offset, size, length, crc = found
    end = offset + size + length
    return end <= len(data) and (~zlib.crc32(data[offset + 4:end]) & 0xFFFFFFFF) == crc


def slot_bytes(board, n):
    path = board.user / "images" / f"image{n}"
    return path.read_bytes() if path.exists() else None


# ---- one cut point ----

IMAGE_SELECT = 256
EEPROM_VALUES = ("1", "2", "255", "any")


def undefined_value(seed, addr):
    """The value the device layer leaves in EEPROM byte `addr` after a cut
    inside its write cycle with eeprom_cut_seed `seed` (sim/layer/i2c.cpp)."""
    mask = (1 << 64) - 1
    x = ((seed << 32) ^ addr) & mask
    x = (x + 0x9E3779B97F4A7C15) & mask
    x = ((x ^ (x >> 30)) * 0xBF58476D1CE4E5B9) & mask
    x = ((x ^ (x >> 27)) * 0x94D049BB133111EB) & mask
    return ((x ^ (x >> 31)) >> 56) & 0xFF


def eeprom_seed(value):
    """The seed that leaves the image-select byte at `value` ("any": seed 1)."""
    if value == "any":
        return 1
    return next(s for s in range(1, 1 << 16) if undefined_value(s, IMAGE_SELECT) == int(value, 0))


CUT_KEYS = {"mtd": "power_cut_at", "file": "power_cut_file_at", "eeprom": "power_cut_eeprom_at"}


@dataclass
class Point:
    cls: str
    counter: str  # "mtd", "file" or "eeprom"
    n: int
    seed: int = 0  # eeprom_cut_seed of an EEPROM cut
    cut: bool = False  # the power was really cut (not past the last operation)
    outcome: str = "other"
    where: str = ""  # what the cut fell in, from the device trace
    violations: list = field(default_factory=list)

    def as_dict(self):
        return {"counter": self.counter, "n": self.n, "seed": self.seed, "cut": self.cut,
                "outcome": self.outcome, "where": self.where, "violations": self.violations}


def expect_any(con, patterns, timeout):
    import pexpect
    try:
        return con.expect_exact(list(patterns) + [pexpect.EOF], timeout=timeout)
    except pexpect.TIMEOUT:
        return -1


def timeout():
    return 60 if ARCH == "ppc" else 30


def user_files(board):
    """{relative path: bytes} of every file on the user partition."""
    return {str(f.relative_to(board.user)): f.read_bytes()
            for f in sorted(board.user.rglob("*")) if f.is_file()}


def cut_line(board):
    return next((line for line in board.device_log() if line.startswith("power-cut")), "")


class Scenario:
    """One class: how its board is made, how the operation runs (with the
    cut armed), and what the follow-up boot must find."""

    def __init__(self, cls, imgs, workdir):
        self.cls, self.imgs, self.workdir = cls, imgs, Path(workdir)
        self.count = 0
        self.new_marker = USB_APP if cls == "usbboot" else NEW

    def fresh_board(self, **cut):
        self.count += 1
        choices = dict(time_scale=0.02, erase_size=ERASE, slot1=self.imgs["old"], image_select=1,
                       slot2=self.imgs["other_old"], **cut)
        if self.cls == "recovery":
            choices.update(rescue=self.imgs["new_app"], env={"diagnostics": "diags"})
        elif self.cls == "usb":
            choices.update({"usb": "plugged", "usb_boot": 213, "usb." + REPLACEMENT: self.imgs["usb"]})
        elif self.cls == "replace":
            choices.update({"usb": "plugged", "usb_boot": 213, "usb." + REPLACEMENT: self.imgs["usb"],
                            "usb." + REPLACEMENT1: self.imgs["new_app"]})
        elif self.cls == "usbboot":
            choices.update({"usb": "plugged", "usb_boot": 213, "usb." + USB_BOOT_IMAGE: self.imgs["usb_app"]})
        elif self.cls == "erase":
            choices.update(rescue=self.imgs["diag"], env={"diagnostics": "diags"})
        board = Board.create(self.workdir / f"{self.cls}-{self.count}", **choices)
        if self.cls == "erase":
            # What an operator and earlier boots left on the partition.
            (board.user / "config").mkdir()
            (board.user / OPERATOR_FILE).write_bytes(filler(9000, 6))
            (board.user / "images" / "rejected").mkdir()
            (board.user / "images" / "rejected" / ("0123456789abcdef" * 2)).touch()
        return board

    def run_operation(self, board):
        """Runs the operation; gives the power-off reason."""
        if self.cls in ("install", "selected"):
            (board.path / "install.img").write_bytes(self.imgs["install"])
            slot = "1" if self.cls == "selected" else "2"
            con = board.power_on(program=["probe_install", "/.boardsim/install.img", "0", slot])
        elif self.cls == "recovery":
            con = board.power_on()
            if expect_any(con, [DIAGS_ERASE_PROMPT], timeout()) == 0:
                con.send("n")
                if expect_any(con, [RECOVERY_PROMPT], timeout()) == 0:
                    con.send("2\r")
        elif self.cls == "erase":
            con = board.power_on()
            if expect_any(con, [DIAGS_ERASE_PROMPT], timeout()) == 0:
                con.send("y")
        else:
            con = board.power_on()
        off = board.wait_power_off(con)
        return off.reason

    def boot(self, board):
        """One power-on without an operator: (outcome, booted-image byte)."""
        con = board.power_on()
        marks = [self.new_marker.encode(), OLD.encode(), OTHER_OLD.encode(), DIAGS.encode(), RESCUE_PROMPT]
        seen = expect_any(con, marks, timeout())
        if seen == 4:
            board.release()
            return "rescue mode", None
        if seen == -1:
            board.release()
            return "other", None
        off = board.wait_power_off(con)
        if seen in (0, 1, 2) and off.reason == "app-exit":
            return ("new app" if seen == 0 else "old app"), board.eeprom(314)
        if seen == 3 and off.reason == "app-exit":
            return "diagnostics", board.eeprom(314)
        if seen == len(marks) and off.reason == "reset":  # EOF: the board reset itself
            return "reset", None
        return "other", None

    def follow_up(self, board, point):
        """The power-ons after the cut: gives the outcome of the normal boot."""
        board.set(power_cut_at=0, power_cut_file_at=0, power_cut_eeprom_at=0)
        if self.cls == "erase":
            # The same setting asks again; the answer is no, and the
            # diagnostics must run whatever the erase left.
            before = user_files(board)
            con = board.power_on()
            if expect_any(con, [DIAGS_ERASE_PROMPT], timeout()) == 0:
                con.send("n")
            seen = expect_any(con, [DIAGS.encode()], timeout())
            off = board.wait_power_off(con)
            if seen != 0 or off.reason != "app-exit":
                point.violations.append("the diagnostics did not run after the cut: " +
                                        board.console_text()[-300:].replace("\r", ""))
            after = user_files(board)
            lost = [f for f in before if after.get(f) != before[f]]
            if lost:
                point.violations.append(f"the power-on after the cut lost or changed {lost}")
        if self.cls in ("recovery", "erase"):
            board.set(env={"diagnostics": "off"})
        return self.boot(board)


def check_erase(board, point, before):
    """Every file the erase had not reached is unchanged."""
    if "file erase" not in point.where:
        return
    after = user_files(board)
    reached = point.where.rsplit(" (", 1)[0].split(" ")[-1].split("/user/", 1)[-1]
    beyond = [f for f in before if erase_key(f) > erase_key(reached) and not f.startswith(reached + "/")]
    changed = [f for f in beyond if after.get(f) != before[f]]
    if changed:
        point.violations.append(f"the erase cut at {reached} changed files it had not reached: {changed}")


def erase_key(path):
    """The erase goes depth first in name order: comparing the paths'
    parts in turn gives its order."""
    return [part.encode() for part in path.split("/")]


def check_point(scenario, point, select_before):
    cut = {CUT_KEYS[point.counter]: point.n}
    if point.counter == "eeprom":
        cut["eeprom_cut_seed"] = point.seed
    board = scenario.fresh_board(**cut)
    try:
        files_before = user_files(board)
        point.cut = scenario.run_operation(board) == "power-cut"
        point.where = cut_line(board)
        new_app = scenario.imgs["new_app"]
        select = board.eeprom(256)
        select_cut = point.counter == "eeprom" and " 0x0100 " in point.where
        named = 2 if select == 2 else 1  # the boot takes every other value as slot 1
        if named != select_before and slot_bytes(board, named) != new_app and not select_cut:
            point.violations.append(f"image-select byte {select} names an incomplete slot")
        if scenario.cls == "erase" and point.cut:
            check_erase(board, point, files_before)
        rejected = board.user / "images" / "rejected"
        listed = sorted(p.name for p in rejected.iterdir()) if rejected.is_dir() else []
        for name in listed:
            entry = rejected / name
            if len(name) != 32 or any(c not in "0123456789abcdef" for c in name) or entry.stat().st_size:
                point.violations.append(f"rejected-list entry {name!r} is not an empty file named by an MD5 text")
        usb_listed = scenario.cls == "usbboot" and any(
            n == _md5(scenario.imgs["usb_app"]) for n in listed)
        point.outcome, booted = scenario.follow_up(board, point)
        text = board.console_text()
        if usb_listed and point.outcome == "new app":
            point.violations.append("a USB boot image in the rejected list booted again without the question")
        if usb_listed and REJECTED_QUESTION.decode() not in text:
            point.violations.append("the rejected USB boot image was not asked about")
        if point.outcome in ("new app", "old app"):
            if booted == 3 and scenario.cls == "usbboot":
                if not slot_passes_crc((board.usb / USB_BOOT_IMAGE).read_bytes()):
                    point.violations.append("launched the USB boot image, whose component fails its CRC")
            elif booted not in (1, 2) or not slot_passes_crc(slot_bytes(board, booted)):
                point.violations.append(f"launched slot {booted} whose component fails its CRC")
            elif point.outcome == "new app" and slot_bytes(board, booted) != new_app:
                point.violations.append("the new application ran from a slot that does not hold it")
        elif point.outcome == "reset":
            intact = [n for n in (1, 2) if slot_passes_crc(slot_bytes(board, n))]
            if intact:
                point.violations.append(f"the board reset while slot(s) {intact} pass their CRC")
        elif point.outcome != "rescue mode":
            point.violations.append("neither an application, the diagnostics nor rescue mode: " +
                                    text[-300:].replace("\r", ""))
    finally:
        board.release()
    # Each board holds some 30 MiB of flash: keep only those that show a fault.
    if not point.violations:
        shutil.rmtree(board.path, ignore_errors=True)
    return point


def _md5(data):
    import hashlib
    return hashlib.md5(data).hexdigest()


def completed_outcome(cls):
    """What a completed operation boots to."""
    # The stick stays in: the USB boot image is in the rejected list now,
    # the question times out and slot 1 boots.
    return {"erase": "rescue mode", "boot": "old app", "usbboot": "old app"}.get(cls, "new app")


def sweep(scenario, counter, every, seed=0, limit=10000):
    """Cut points 1, 1+every, ... until a run ends without a cut."""
    points = []
    n = 1
    while n < limit:
        p = check_point(scenario, Point(scenario.cls, counter, n, seed), select_before=1)
        if not p.cut:
            # Past the last operation: the operation completed, and the
            # follow-up boot must show its result.
            if p.outcome != completed_outcome(scenario.cls):
                p.violations.append(f"a completed operation boots to: {p.outcome}")
            return points, p
        points.append(p)
        n += every
    raise RuntimeError("the operation never ended without a cut")


def run_class(cls, imgs, workdir, every, eeprom_values=EEPROM_VALUES):
    """Every counter's sweep; EEPROM cuts once for each value the
    image-select byte is to be left with."""
    scenario = Scenario(cls, imgs, workdir)
    result = {"points": [], "complete": {}}
    for counter in COUNTERS:
        for seed in ([eeprom_seed(v) for v in eeprom_values] if counter == "eeprom" else (0,)):
            points, complete = sweep(scenario, counter, every if counter != "eeprom" else 1, seed)
            result["points"] += points
            result["complete"][counter] = complete
    return result


def table(results):
    lines = []
    head = f"{'class':<10} {'MTD cuts':>8} {'file cuts':>9} {'EEPROM':>7} " + \
        " ".join(f"{o:>11}" for o in OUTCOMES) + f" {'violations':>10}"
    lines.append(head)
    lines.append("-" * len(head))
    for cls, r in results.items():
        pts = r["points"]
        counts = {o: sum(1 for p in pts if p.outcome == o) for o in OUTCOMES}
        bad = sum(1 for p in pts if p.violations) + sum(1 for p in r["complete"].values() if p.violations)
        lines.append(f"{cls:<10} {sum(p.counter == 'mtd' for p in pts):>8} "
                     f"{sum(p.counter == 'file' for p in pts):>9} {sum(p.counter == 'eeprom' for p in pts):>7} " +
                     " ".join(f"{counts[o]:>11}" for o in OUTCOMES) + f" {bad:>10}")
    return "\n".join(lines)


def as_json(results, every, values, seconds):
    """Every point of the run, for the picture (scripts/plot-power-cuts)."""
    return {"campaign": "simulator", "arch": ARCH, "every": every, "eeprom_values": values,
            "eeprom_seeds": [eeprom_seed(v) for v in values], "seconds": round(seconds),
            "classes": {cls: {"points": [p.as_dict() for p in r["points"]],
                              "complete": {c: {"n": p.n, "outcome": p.outcome}
                                           for c, p in r["complete"].items()}}
                        for cls, r in results.items()}}


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--every", type=int, default=1, help="try every Nth cut point (default 1: all)")
    parser.add_argument("--class", dest="classes", default=",".join(CLASSES))
    parser.add_argument("--eeprom-values", default=",".join(EEPROM_VALUES),
                        help="values a cut EEPROM write cycle leaves in the image-select byte "
                        "(default 1,2,255,any)")
    parser.add_argument("--json", help="write every point to this file")
    args = parser.parse_args(argv)
    values = args.eeprom_values.split(",")
    imgs = images()
    results = {}
    started = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="power-cut-") as workdir:
        for cls in args.classes.split(","):
            results[cls] = run_class(cls, imgs, workdir, args.every, values)
    seconds = time.monotonic() - started
    print(f"power-cut campaign, arch {ARCH}, every {args.every} point(s), "
          f"EEPROM cuts leaving the image-select byte {', '.join(values)}, {seconds:.0f} s")
    print(table(results))
    if args.json:
        Path(args.json).write_text(json.dumps(as_json(results, args.every, values, seconds), indent=1) + "\n")
    failed = False
    for cls, r in results.items():
        for p in r["points"] + list(r["complete"].values()):
            for v in p.violations:
                failed = True
                print(f"VIOLATION {cls} {p.counter} cut {p.n} seed {p.seed}: {v}")
        for counter, p in r["complete"].items():
            print(f"{cls}: {counter} cut point {p.n} is past the last operation; "
                  f"the completed operation boots to: {p.outcome}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

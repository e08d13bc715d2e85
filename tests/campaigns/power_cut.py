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

Each cut point is one fresh board: power on with the cut (power_cut_at for
MTD operations, power_cut_file_at for user-partition file pieces), then power
on without it. After every point:

  - the image-select byte names the slot it named before, or a slot whose
    file holds the complete new component;
  - the follow-up boot launched an application only from a slot whose
    application component passes its CRC;
  - the follow-up boot reached the old or the new application, or rescue mode.

Run:  tests/campaigns/power_cut.py [--every N] [--class install,recovery,usb]
with the environment of the system tests (BOARDSIM_ARCH, BOOTMGR,
BOARDSIM_LAYER, BMIMAGE, BOARDSIM_TESTPROGS, PYTHONPATH=sim). Prints a table
of the points tried and their outcomes per class; exit status 1 when an
invariant failed anywhere."""

import argparse
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
RESCUE_PROMPT = b"Option? : "
DIAGS_ERASE_PROMPT = b"y/N: "
RECOVERY_PROMPT = b"Install recovery image as image 1 or 2 (hit return to just boot image): "
REPLACEMENT = "KV4410NX_replace2_OS.img"
CLASSES = ("install", "selected", "recovery", "usb")
OUTCOMES = ("new app", "old app", "rescue mode", "other")


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
    return {"old": app_component(OLD, "1.0.0.1"), "other_old": app_component(OTHER_OLD, "1.0.0.0"),
            "new_app": new_app, "install": install, "usb": usb}


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

@dataclass
class Point:
    cls: str
    counter: str  # "mtd" or "file"
    n: int
    cut: bool = False  # the power was really cut (not past the last operation)
    outcome: str = "other"
    violations: list = field(default_factory=list)


def expect_any(con, patterns, timeout):
    import pexpect
    try:
        return con.expect_exact(list(patterns) + [pexpect.EOF], timeout=timeout)
    except pexpect.TIMEOUT:
        return -1


def timeout():
    return 60 if ARCH == "ppc" else 30


class Scenario:
    """One class: how its board is made, how the installation runs (with the
    cut armed), and what the follow-up boot must find."""

    def __init__(self, cls, imgs, workdir):
        self.cls, self.imgs, self.workdir = cls, imgs, Path(workdir)
        self.count = 0

    def fresh_board(self, **cut):
        self.count += 1
        choices = dict(time_scale=0.02, erase_size=ERASE, slot1=self.imgs["old"], image_select=1, **cut)
        if self.cls in ("install", "selected"):
            choices["slot2"] = self.imgs["other_old"]
        elif self.cls == "recovery":
            choices.update(slot2=self.imgs["other_old"], rescue=self.imgs["new_app"],
                           env={"diagnostics": "diags"})
        else:
            choices.update({"slot2": self.imgs["other_old"], "usb": "plugged", "usb_boot": 213,
                            "usb." + REPLACEMENT: self.imgs["usb"]})
        return Board.create(self.workdir / f"{self.cls}-{self.count}", **choices)

    def run_install(self, board):
        """Runs the installation; gives the power-off reason."""
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
        else:
            con = board.power_on()
        off = board.wait_power_off(con)
        return off.reason

    def follow_up(self, board):
        """A normal boot after the cut: gives the outcome."""
        board.set(power_cut_at=0, power_cut_file_at=0)
        if self.cls == "recovery":
            board.set(env={"diagnostics": "off"})
        con = board.power_on()
        seen = expect_any(con, [NEW.encode(), OLD.encode(), OTHER_OLD.encode(), RESCUE_PROMPT], timeout())
        if seen == 3:
            board.release()
            return "rescue mode", None
        off = board.wait_power_off(con)
        if seen in (0, 1, 2) and off.reason == "app-exit":
            return ("new app" if seen == 0 else "old app"), board.eeprom(314)
        return "other", None


def check_point(scenario, point, select_before):
    board = scenario.fresh_board(**{("power_cut_at" if point.counter == "mtd" else "power_cut_file_at"): point.n})
    try:
        point.cut = scenario.run_install(board) == "power-cut"
        new_app = scenario.imgs["new_app"]
        select = board.eeprom(256)
        if select != select_before and slot_bytes(board, select) != new_app:
            point.violations.append(f"image-select byte {select} names an incomplete slot")
        point.outcome, booted = scenario.follow_up(board)
        if point.outcome in ("new app", "old app"):
            if booted not in (1, 2) or not slot_passes_crc(slot_bytes(board, booted)):
                point.violations.append(f"launched slot {booted} whose component fails its CRC")
            elif point.outcome == "new app" and slot_bytes(board, booted) != new_app:
                point.violations.append("the new application ran from a slot that does not hold it")
        elif point.outcome == "other":
            point.violations.append("neither an application nor rescue mode: " +
                                    board.console_text()[-300:].replace("\r", ""))
    finally:
        board.release()
    # Each board holds some 30 MiB of flash: keep only those that show a fault.
    if not point.violations:
        shutil.rmtree(board.path, ignore_errors=True)
    return point


def sweep(scenario, counter, every, limit=10000):
    """Cut points 1, 1+every, ... until a run ends without a cut."""
    points = []
    n = 1
    while n < limit:
        p = check_point(scenario, Point(scenario.cls, counter, n), select_before=1)
        if not p.cut:
            # Past the last operation: the installation completed, and the
            # follow-up boot must run the new application.
            if p.outcome != "new app":
                p.violations.append(f"a completed installation boots to: {p.outcome}")
            return points, p
        points.append(p)
        n += every
    raise RuntimeError("the installation never ended without a cut")


def run_class(cls, imgs, workdir, every):
    scenario = Scenario(cls, imgs, workdir)
    result = {"points": [], "complete": {}}
    for counter in ("mtd", "file"):
        points, complete = sweep(scenario, counter, every)
        result["points"] += points
        result["complete"][counter] = complete
    return result


def table(results):
    lines = []
    head = f"{'class':<10} {'MTD cuts':>8} {'file cuts':>9} " + " ".join(f"{o:>11}" for o in OUTCOMES) + \
        f" {'violations':>10}"
    lines.append(head)
    lines.append("-" * len(head))
    for cls, r in results.items():
        pts = r["points"]
        counts = {o: sum(1 for p in pts if p.outcome == o) for o in OUTCOMES}
        bad = sum(1 for p in pts if p.violations) + sum(1 for p in r["complete"].values() if p.violations)
        lines.append(f"{cls:<10} {sum(p.counter == 'mtd' for p in pts):>8} "
                     f"{sum(p.counter == 'file' for p in pts):>9} " +
                     " ".join(f"{counts[o]:>11}" for o in OUTCOMES) + f" {bad:>10}")
    return "\n".join(lines)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--every", type=int, default=1, help="try every Nth cut point (default 1: all)")
    parser.add_argument("--class", dest="classes", default=",".join(CLASSES))
    args = parser.parse_args(argv)
    imgs = images()
    results = {}
    started = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="power-cut-") as workdir:
        for cls in args.classes.split(","):
            results[cls] = run_class(cls, imgs, workdir, args.every)
    print(f"power-cut campaign, arch {ARCH}, every {args.every} point(s), "
          f"{time.monotonic() - started:.0f} s")
    print(table(results))
    failed = False
    for cls, r in results.items():
        for p in r["points"] + list(r["complete"].values()):
            for v in p.violations:
                failed = True
                print(f"VIOLATION {cls} {p.counter} cut {p.n}: {v}")
        for counter, p in r["complete"].items():
            print(f"{cls}: {counter} cut point {p.n} is past the last operation; "
                  f"the completed installation boots to: {p.outcome}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/python3
"""Power-cut campaign on the virtual board: the board build of bootmgr on
the real Linux kernel, its jffs2 user partition on QEMU's CFI NOR flash.
QEMU is killed (SIGKILL, VBoard.power_cut) at a seeded random moment of an
installation, the board is powered on again for a normal boot, and the
flash image and EEPROM file it left are read on the host.

Three classes:

  tftp     rescue mode, TFTP download over net=user (QEMU's own TFTP
           server serving BOARD/tftp, static address) of an application
           image, installed as image 1, the selected slot;
  usb      USB boot (byte 315 = 213) with a stick holding
           KV4410NX_replace2_OS.img: the boot replaces slot 2;
  rootfs   rescue mode, TFTP download of a root-file-system component,
           written by the installer into the rfs partition;
  erase    the diagnostics boot with the erase answered yes: the cut falls
           inside flash_eraseall of the user partition (from "Erasing
           filesystem for clean install" to "Mounting..."); the user
           partition holds both slots, a rejected-list entry and an
           operator's file;
  usbboot  USB boot with a stick holding a new USB boot image
           (KV4410NX_OS.img): from "USB mounted and ready!" to the launch
           of its application; the rejected-list entry is written in
           between.

First uncut runs per class, as many at once as boards will run at once,
measure the operation (from its start on the console: the slot answer for
tftp, "Extracting images" for the others, to its end; their median); the
cut points are then drawn from a seeded generator, one uniformly within
each equal part of that duration. After every cut the board is powered on
without the rescue setting (the stick stays in) and must:

  - mount the user partition (no mount failure on the console) and leave
    a jffs2 the host's reader reads, both slots in it;
  - run the old or the new application, or reach rescue mode;
  - launch an application only from a slot that passes its CRC, the new
    one only from a slot holding the complete new image;
  - have the image-select byte (256) name, after the cut, the slot it named
    before or a slot holding the complete new image; it never names a slot
    left half-written by the installer. (Writing into the selected slot
    itself, tftp, leaves the byte naming that slot while it is rewritten:
    counted as "sel. partial"; the boot must then fall back.)
  - rootfs: the rfs partition holds the old component, the new one or a
    partial one ("rfs" column: old/new/partial), and the board still boots.
  - erase: the power-on after the cut (same setting, the erase answered
    no) runs the diagnostics and loses nothing the cut left; the normal
    boot after it runs an application from a slot that passes its CRC,
    reaches rescue mode, or resets the board after "Both image1 and image2
    failed." (a violation while a slot still passes its CRC). A mount that
    fails must be reported on the console ("unmounted" column); both slots
    may be gone.
  - usbboot: rejected-list entries are empty files named by an MD5 text;
    the next power-on has the stick in: with the image's entry on the
    partition it asks and (unanswered) boots a slot, without it it boots
    the USB image again.

Run:  tests/campaigns/vboard_power_cut.py [--points N] [--class tftp,usb,...]
      [--seed S] [--jobs J] [--json FILE]
after scripts/build-all host board and scripts/vboard-build. Prints a table
per class; exit status 1 when an invariant failed anywhere."""

import argparse
import hashlib
import json
import random
import shutil
import sys
import tempfile
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parents[1]
sys.path.insert(0, str(REPO / "sim"))
sys.path.insert(0, str(HERE))

from boardsim import default_board as demo  # noqa: E402
from boardsim.console import BOOT_TIMEOUT, OPTION, answer, press, tftp_download, type_now  # noqa: E402
from boardsim.vboard import VBoard  # noqa: E402
from power_cut import slot_passes_crc  # noqa: E402

CLASSES = ("tftp", "usb", "rootfs", "erase", "usbboot")
OUTCOMES = ("new app", "old app", "diagnostics", "rescue mode", "reset", "other")
USB_BOOT_IMAGE = "KV4410NX_OS.img"
USB_LABEL = "the USB boot image"
ERASE_PROMPT = b"y/N: "
DIAGS_MARK = b"Demo diagnostics from"
BOTH_FAILED = b"Both image1 and image2 failed."
OPERATOR_FILE = "config/startup.cfg"
REPLACEMENT = "KV4410NX_replace2_OS.img"
NEW_LABEL = "the new image"
NEW_VERSION = "2.0.0.1"
MOUNT_FAILURE = "mounting /dev/mtd-user on /user failed"


def filler(size, seed):
    return random.Random(seed).randbytes(size)


def images(app_ballast=1024 * 1024, rootfs_size=2 * 1024 * 1024):
    """The new application image (with incompressible ballast, so that its
    slot write takes a while) and the root-file-system image."""
    files = demo.demo_files(NEW_LABEL, NEW_VERSION)
    files["home/share/ballast"] = filler(app_ballast, 7)
    new_app = demo.make_image([dict(type="app", version=NEW_VERSION, payload=demo.archive(files))])
    rootfs = demo.make_image([dict(type="rootfs", version="3.5.0.1", payload=filler(rootfs_size, 9))])
    usb_files = demo.demo_files(USB_LABEL, "3.0.0.1")
    usb_files["home/share/ballast"] = filler(app_ballast, 8)
    usb_app = demo.make_image([dict(type="app", version="3.0.0.1", payload=demo.archive(usb_files))])
    return {"new_app": new_app, "rootfs": rootfs, "usb_app": usb_app}


@dataclass
class Point:
    cls: str
    at: float                   # seconds after the operation's start
    inside: bool = False        # the operation had not ended when the power went
    outcome: str = "other"
    sel_partial: bool = False
    rfs: str = ""
    seconds: float = 0.0
    unmounted: bool = False     # the follow-up reported the user partition not mounted
    violations: list = field(default_factory=list)

    def as_dict(self):
        return {"at": self.at, "inside": self.inside, "outcome": self.outcome, "sel_partial": self.sel_partial,
                "rfs": self.rfs, "unmounted": self.unmounted, "violations": self.violations}


class Scenario:
    """How a class's board is made, how its operation is started and ended."""

    def __init__(self, cls, imgs, workdir):
        self.cls, self.imgs, self.workdir = cls, imgs, Path(workdir)
        self._count = 0
        self._lock = threading.Lock()

    def fresh_board(self):
        with self._lock:
            self._count += 1
            n = self._count
        path = self.workdir / f"{self.cls}-{n}"
        if self.cls == "usb":
            board = VBoard.create(path, default=True, usb="plugged", usb_boot=213,
                                  **{"usb." + REPLACEMENT: self.imgs["new_app"]})
        elif self.cls == "usbboot":
            board = VBoard.create(path, default=True, usb="plugged", usb_boot=213,
                                  **{"usb." + USB_BOOT_IMAGE: self.imgs["usb_app"]})
        elif self.cls == "erase":
            board = VBoard.create(path, default=True, env={"diagnostics": "diags"})
            board.write_user_files({OPERATOR_FILE: filler(9000, 6),
                                    "images/rejected/" + "0123456789abcdef" * 2: b""})
        else:
            board = VBoard.create(path, default=True, net="user", env={"diagnostics": "rescue"})
            name = "switch.img" if self.cls == "tftp" else "rfs.img"
            data = self.imgs["new_app"] if self.cls == "tftp" else self.imgs["rootfs"]
            (board.path / "tftp").mkdir(exist_ok=True)
            (board.path / "tftp" / name).write_bytes(data)
        return board

    def start(self, board):
        """Powers on and leads the board to the operation's start; returns
        the console at that moment."""
        con = board.power_on(timeout=BOOT_TIMEOUT)
        if self.cls == "usb":
            con.expect_exact(b"Extracting images", timeout=BOOT_TIMEOUT)
        elif self.cls == "usbboot":
            con.expect_exact(b"USB mounted and ready!", timeout=BOOT_TIMEOUT)
        elif self.cls == "erase":
            press(con, "y", after=ERASE_PROMPT, timeout=BOOT_TIMEOUT)
            con.expect_exact(b"Erasing filesystem for clean install", timeout=BOOT_TIMEOUT)
        elif self.cls == "tftp":
            con.expect_exact(b"Entering Rescue Mode.", timeout=BOOT_TIMEOUT)
            tftp_download(con, "switch.img")
            answer(con, b"Install image as image 1 or 2 (hit return to just boot image): ", "1")
        else:
            con.expect_exact(b"Entering Rescue Mode.", timeout=BOOT_TIMEOUT)
            tftp_download(con, "rfs.img")
            con.expect_exact(b"Extracting images", timeout=BOOT_TIMEOUT)
        return con

    def end_marker(self):
        return {"tftp": b"Image1 updated succeeded", "usb": b"Image2 has been successfully replaced",
                "rootfs": b"File processed", "erase": b"Mounting...",
                "usbboot": f"Demo application from {USB_LABEL}".encode()}[self.cls]

    def uncut_outcome(self):
        """What the normal boot after a completed operation shows."""
        return {"rootfs": "old app", "erase": "rescue mode", "usbboot": "old app"}.get(self.cls, "new app")

    def diagnostics_again(self, board, point):
        """erase: the power-on after the cut with the same setting, the
        erase answered no: the diagnostics must run, and nothing the cut
        left on the partition may go."""
        import pexpect
        try:
            before = board.user_files()
        except Exception:  # judged by the follow-up's own checks
            before = {}
        con = board.power_on(timeout=BOOT_TIMEOUT)
        seen = con.expect_exact([ERASE_PROMPT, pexpect.EOF, pexpect.TIMEOUT], timeout=BOOT_TIMEOUT * 2)
        if seen == 0:
            type_now(con, "n")
            seen = con.expect_exact([DIAGS_MARK, pexpect.EOF, pexpect.TIMEOUT], timeout=BOOT_TIMEOUT)
        if MOUNT_FAILURE in board.console_text():
            point.unmounted = True
        board.power_cut()
        board.wait_power_off(con, timeout=30)
        if seen != 0:
            point.violations.append("the diagnostics did not run after the cut: " +
                                    board.console_text()[-400:].replace("\r", ""))
        try:
            after = board.user_files()
            lost = [f for f in before if after.get(f) != before[f]]
            if lost:
                point.violations.append(f"the power-on after the cut lost or changed {lost}")
        except Exception as e:
            point.violations.append(f"jffs2 unreadable on the host after the diagnostics: {e}")

    def follow_up(self, board):
        """A normal boot after the cut: (outcome, booted byte 314, how a boot
        that reached neither ended)."""
        import pexpect
        if self.cls not in ("usb", "usbboot"):
            board.set(env={"diagnostics": "off"})
        con = board.power_on(timeout=BOOT_TIMEOUT)
        new_label = USB_LABEL if self.cls == "usbboot" else NEW_LABEL
        marks = [f"Demo application from {new_label}".encode(), b"Demo application from image slot",
                 OPTION, BOTH_FAILED, pexpect.EOF, pexpect.TIMEOUT]
        seen = con.expect_exact(marks, timeout=BOOT_TIMEOUT * 2)
        if seen in (0, 1):
            con.expect_exact([b"demo> ", pexpect.EOF, pexpect.TIMEOUT], timeout=30)
        board.power_cut()
        board.wait_power_off(con, timeout=30)
        outcome = {0: "new app", 1: "old app", 2: "rescue mode", 3: "reset"}.get(seen, "other")
        ended = {4: "the board powered off by itself",
                 5: f"neither came within {BOOT_TIMEOUT * 2} s"}.get(seen, "")
        return outcome, board.eeprom(314), ended


def slots(board):
    """{1: bytes, 2: bytes} read from the jffs2 image on the host."""
    files = board.user_files()
    return {n: files.get(f"images/image{n}") for n in (1, 2)}


def rfs_state(board, before, new):
    part = board.partition("rfs")
    if part == before:
        return "old"
    if part[:len(new)] == new:
        return "new"
    return "partial"


def measure(scenario):
    """One uncut run: seconds from the operation's start to its end."""
    board = scenario.fresh_board()
    try:
        con = scenario.start(board)
        t0 = time.monotonic()
        con.expect_exact(scenario.end_marker(), timeout=600)
        if scenario.cls == "tftp":
            con.expect_exact(OPTION, timeout=60)  # the image-select byte comes after the message
        duration = time.monotonic() - t0
        board.power_cut()
        board.wait_power_off(con, timeout=30)
        if scenario.cls == "erase":
            scenario.diagnostics_again(board, Point(scenario.cls, 0.0))
        outcome, _, _ = scenario.follow_up(board)
        if outcome != scenario.uncut_outcome():
            raise RuntimeError(f"{scenario.cls}: the uncut run boots to {outcome}")
        if scenario.cls == "rootfs" and rfs_state(board, demo.flash_components()["rfs"],
                                                  scenario.imgs["rootfs"]) != "new":
            raise RuntimeError("rootfs: the uncut run did not write the component")
    finally:
        board.release()
    shutil.rmtree(board.path, ignore_errors=True)
    return duration


def check_point(scenario, point):
    import pexpect
    began = time.monotonic()
    board = scenario.fresh_board()
    rfs_before = board.partition("rfs")
    try:
        con = scenario.start(board)
        t0 = time.monotonic()
        seen = con.expect_exact([scenario.end_marker(), pexpect.EOF, pexpect.TIMEOUT], timeout=point.at)
        point.inside = seen == 2
        if seen == 0:
            # Ended early: the cut still comes at its moment, the console read meanwhile.
            con.expect_exact([pexpect.EOF, pexpect.TIMEOUT],
                             timeout=max(0.0, point.at - (time.monotonic() - t0)))
        board.power_cut()
        board.wait_power_off(con, timeout=30)
        new = scenario.imgs["new_app"]
        try:
            files = board.user_files()
            after = {n: files.get(f"images/image{n}") for n in (1, 2)}
        except Exception as e:  # the host's reader refuses what the cut left
            point.violations.append(f"jffs2 unreadable on the host after the cut: {e}")
            files, after = {}, {1: None, 2: None}
        select = board.eeprom(256)
        if select != 1 and after.get(select) != new:
            point.violations.append(f"image-select byte {select} names a slot without the complete new image")
        if select in (1, 2) and not slot_passes_crc(after.get(select)) and scenario.cls != "erase":
            point.sel_partial = True
            if scenario.cls != "tftp":
                point.violations.append(f"selected slot {select} holds a half-written component")
        listed = [f.split("/")[-1] for f in files if f.startswith("images/rejected/")]
        for name in listed:
            if len(name) != 32 or any(c not in "0123456789abcdef" for c in name) or files["images/rejected/" + name]:
                point.violations.append(f"rejected-list entry {name!r} is not an empty file named by an MD5 text")
        usb_listed = scenario.cls == "usbboot" and hashlib.md5(scenario.imgs["usb_app"]).hexdigest() in listed
        if scenario.cls == "erase":
            scenario.diagnostics_again(board, point)
        point.outcome, booted, ended = scenario.follow_up(board)
        text = board.console_text()
        if MOUNT_FAILURE in text:
            point.unmounted = True
            if scenario.cls != "erase":
                point.violations.append("bootmgr could not mount the user partition")
        if usb_listed and point.outcome == "new app":
            point.violations.append("a USB boot image in the rejected list booted again without the question")
        try:
            final = slots(board)
            if None in final.values() and scenario.cls != "erase":
                point.violations.append("a slot file is missing from the user partition")
        except Exception as e:
            point.violations.append(f"jffs2 unreadable on the host after the follow-up: {e}")
            final = {1: None, 2: None}
        if point.outcome in ("new app", "old app"):
            if scenario.cls == "usbboot" and point.outcome == "new app":
                if booted != 3:
                    point.violations.append(f"the USB boot image ran with booted-image byte {booted}")
            elif booted not in (1, 2) or not slot_passes_crc(final.get(booted)):
                point.violations.append(f"launched slot {booted}, whose component fails its CRC")
            elif point.outcome == "new app" and final.get(booted) != new:
                point.violations.append("the new application ran from a slot that does not hold it")
        elif point.outcome == "reset":
            intact = [n for n in (1, 2) if slot_passes_crc(final.get(n))]
            if intact:
                point.violations.append(f"the board reset while slot(s) {intact} pass their CRC")
        elif point.outcome == "other":
            point.violations.append(f"neither an application nor rescue mode ({ended}): " +
                                    text[-600:].replace("\r", ""))
        if scenario.cls == "rootfs":
            point.rfs = rfs_state(board, rfs_before, scenario.imgs["rootfs"])
            if point.outcome != "old app":
                point.violations.append(f"after a cut in the rfs write the board boots to {point.outcome}")
    except Exception as e:  # a time-out or a board error is a finding, not a crash
        point.violations.append(f"{type(e).__name__}: {e}")
    finally:
        board.release()
    point.seconds = time.monotonic() - began
    if not point.violations:
        shutil.rmtree(board.path, ignore_errors=True)
    return point


def run_class(cls, imgs, workdir, points, seed, jobs=1, log=None, into=None, duration=None):
    """Measures the class's operation (unless its `duration` is given), then
    cuts at `points` seeded moments. The result fills `into` (a dict) point
    by point, so that a run stopped early still shows what it did."""
    result = {"duration": 0.0, "points": []} if into is None else into
    result.setdefault("points", [])
    scenario = Scenario(cls, imgs, workdir)
    if duration is None:
        # Measured under the load of the cut runs: as many uncut runs at
        # once as boards will run at once, their median.
        with ThreadPoolExecutor(max_workers=jobs) as pool:
            durations = sorted(pool.map(lambda _: measure(scenario), range(jobs)))
        duration = durations[len(durations) // 2]
        if log:
            log(f"{cls}: the uncut operation takes {duration:.2f} s "
                f"({', '.join(f'{d:.2f}' for d in durations)} s in {jobs} runs at once)")
    elif log:
        log(f"{cls}: the uncut operation takes {duration:.2f} s (given)")
    result["duration"] = duration
    rng = random.Random(f"{seed}-{cls}")
    # Stratified: point i falls at a seeded moment of the i-th of `points`
    # equal parts of the operation, so even a short run spreads its cuts
    # over the whole operation instead of bunching them by chance.
    moments = [duration * (i + rng.random()) / points for i in range(points)]
    with ThreadPoolExecutor(max_workers=jobs) as pool:
        for p in pool.map(lambda at: check_point(scenario, Point(cls, at)), moments):
            result["points"].append(p)
            if log:
                log(f"{cls} cut at {p.at:6.2f} s ({'inside' if p.inside else 'after end'}): "
                    f"{p.outcome}{' rfs ' + p.rfs if p.rfs else ''}"
                    f"{' sel.partial' if p.sel_partial else ''} ({p.seconds:.0f} s)"
                    + "".join(f"\n  VIOLATION {v}" for v in p.violations))
    return result


def table(results):
    head = (f"{'class':<7} {'op s':>5} {'points':>6} {'inside':>6} " + " ".join(f"{o:>11}" for o in OUTCOMES) +
            f" {'sel.partial':>11} {'unmounted':>9} {'rfs old/new/part':>16} {'violations':>10}")
    lines = [head, "-" * len(head)]
    for cls, r in results.items():
        pts = r["points"]
        counts = {o: sum(p.outcome == o for p in pts) for o in OUTCOMES}
        rfs = "/".join(str(sum(p.rfs == s for p in pts)) for s in ("old", "new", "partial")) \
            if cls == "rootfs" else "-"
        lines.append(f"{cls:<7} {r['duration']:>5.1f} {len(pts):>6} {sum(p.inside for p in pts):>6} " +
                     " ".join(f"{counts[o]:>11}" for o in OUTCOMES) +
                     f" {sum(p.sel_partial for p in pts):>11} {sum(p.unmounted for p in pts):>9} {rfs:>16} "
                     f"{sum(bool(p.violations) for p in pts):>10}")
    return "\n".join(lines)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--points", type=int, default=30, help="cut points per class (default 30)")
    parser.add_argument("--class", dest="classes", default=",".join(CLASSES))
    parser.add_argument("--seed", default="1")
    parser.add_argument("--jobs", type=int, default=1, help="boards run at once (one core each)")
    parser.add_argument("--keep", action="store_true", help="keep the boards of faulty points")
    parser.add_argument("--json", help="write every point to this file (for scripts/plot-power-cuts)")
    parser.add_argument("--duration", type=float,
                        help="spread the cuts over this many seconds instead of measuring the operation "
                        "(for one whose length varies from run to run, such as the erase)")
    args = parser.parse_args(argv)
    imgs = images()
    results = {}
    started = time.monotonic()
    workdir = tempfile.mkdtemp(prefix="vboard-power-cut-")
    try:
        for cls in args.classes.split(","):
            results[cls] = {"duration": 0.0, "points": []}
            run_class(cls, imgs, workdir, args.points, args.seed, args.jobs,
                      log=lambda line: print(line, flush=True), into=results[cls], duration=args.duration)
    except KeyboardInterrupt:
        print("stopped early: the table shows the points done")
    finally:
        if not args.keep:
            shutil.rmtree(workdir, ignore_errors=True)
    print(f"\nvirtual-board power-cut campaign, seed {args.seed}, {args.points} points per class, "
          f"{args.jobs} job(s), {time.monotonic() - started:.0f} s")
    print(table(results))
    if args.json:
        Path(args.json).write_text(json.dumps(
            {"campaign": "vboard", "seed": args.seed, "points": args.points, "jobs": args.jobs,
             "classes": {cls: {"duration": r["duration"], "points": [p.as_dict() for p in r["points"]]}
                         for cls, r in results.items()}}, indent=1) + "\n")
    failed = False
    for cls, r in results.items():
        for p in r["points"]:
            for v in p.violations:
                failed = True
                print(f"VIOLATION {cls} cut at {p.at:.2f} s: {v}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

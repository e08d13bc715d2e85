#!/usr/bin/python3
"""Board-level benchmarks on the virtual board (the board build of bootmgr on
the real kernel in qemu-system-ppc), each against the board's own tools on the
same board in the same run; the best of --runs runs of each is kept.

  extraction    bootmgr's extraction of a 16 MiB application component from
                slot 1 (from "Booting image '1'" on the console to the write of
                the booted-image byte that follows the archive's commit: the
                EEPROM file's modification time on the host) against busybox
                `cat` of the same slot file into /tmp, run in the shell that
                shell=on opens on the same board (cold: after dropping the page
                cache, the file's jffs2 inode kept; warm: the file cached;
                mounted: the user partition mounted again just before, as
                bootmgr finds it at power-on);
                and the same extraction inside one program on the board (the
                board build's bench_extract) against a copy of the slot file
                and the CRC alone, timed by the board's clock;
  installation  processVireoImage writing a root-file-system component of the
                largest size the installer takes (0xA00000 bytes with its
                header) into the rfs partition (from "Extracting images" to
                "File processed": the CRC pass, the erase and the writes)
                against busybox `flashcp` of the same component file into
                the same partition (erase, write, verify); and the steps of
                the installer's own flash work, each timed alone (the read of
                every block before its erase, the erase, the writes in 1 KiB
                transfers, the two CRC passes), whose sum is its floor;
  power-on      QEMU started to the demo application's prompt against QEMU
                started to a shell prompt with the same kernel and root file
                system, whose inittab runs a shell instead of bootmgr (the
                board's initramfs with only that inittab appended).

Run:  bench/bench_vboard.py [--runs N]   after scripts/build-all host board
and scripts/vboard-build."""

import argparse
import os
import platform
import random
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "sim"))

from boardsim import default_board as demo  # noqa: E402
from boardsim.console import shell, tftp_download  # noqa: E402
from boardsim.vboard import VBoard, variant_initramfs  # noqa: E402

MiB = 1024 * 1024
RFS_LIMIT = 0xA00000
BOOT_TIMEOUT = 180
# What one shell command on the board may take, unless it says otherwise.
SHELL_TIMEOUT = 300
SHELL_INITTAB = """# Benchmark variant: the same start-up, then a shell instead of bootmgr.
::sysinit:/etc/init.d/rcS
ttyS0::once:/bin/sh -c 'echo @@SHELL@@; exec /bin/sh'
"""


def timed(con, command):
    """Seconds the board's own clock gives for one shell command."""
    out = shell(con, f"t0=$(date +%s%N); {command}; t1=$(date +%s%N); echo @@T $((t1 - t0))",
                timeout=SHELL_TIMEOUT)
    found = re.search(r"@@T (\d+)", out)
    if not found:
        raise RuntimeError(f"no time from: {out!r}")
    return int(found.group(1)) / 1e9


def images():
    header = 16  # the plain component header
    rootfs = demo.make_image([dict(type="rootfs", version="3.5.0.1",
                                   payload=random.Random(9).randbytes(RFS_LIMIT - header))])
    files = demo.demo_files("the 16 MiB image", "2.0.0.1")
    files["home/share/ballast"] = random.Random(7).randbytes(16 * MiB - 64 * 1024)
    app = demo.make_image([dict(type="app", version="2.0.0.1", payload=demo.archive(files))])
    return app, rootfs


def install_run(board):
    """processVireoImage's rfs write through the rescue menu's TFTP download."""
    board.set(env={"diagnostics": "rescue", "shell": "off"})
    con = board.power_on(timeout=BOOT_TIMEOUT)
    con.expect_exact(b"Entering Rescue Mode.", timeout=BOOT_TIMEOUT)
    tftp_download(con, "rfs.img")
    con.expect_exact(b"Extracting images", timeout=600)
    t0 = time.monotonic()
    con.expect_exact(b"File processed", timeout=600)
    seconds = time.monotonic() - t0
    if b"update failed" in con.before:
        raise RuntimeError("the rfs install failed: " + con.before.decode("latin-1")[-300:])
    board.power_cut()
    board.wait_power_off(con, timeout=30)
    return seconds


def shell_run(board, rootfs):
    """A boot of slot 1 with shell=on: the extraction, then cat and flashcp
    in the shell. Returns {name: seconds}."""
    board.set(env={"diagnostics": "off", "shell": "on"})
    con = board.power_on(timeout=BOOT_TIMEOUT)
    con.expect_exact(b"Booting image '1'", timeout=BOOT_TIMEOUT)
    started = time.time_ns()
    con.expect_exact(b"Dropping into shell", timeout=600)
    time.sleep(1)
    con.send("\r")
    con.expect_exact(b"# ")
    extracted = (board.path / "vpd.bin").stat().st_mtime_ns
    got = {"extraction": (extracted - started) / 1e9}
    if not 0 < got["extraction"] < 600:
        raise RuntimeError(f"the EEPROM file was not written during the extraction ({got})")
    slot = "/user/images/image1"
    cold, warm, mounted = [], [], []
    for _ in range(3):
        # The file's pages dropped, its jffs2 inode kept (dropping inodes
        # too evicts it only some of the time, and then costs a rebuild of
        # its node tree: the figure would jump between two values).
        shell(con, "rm -f /tmp/copy; sync; echo 1 > /proc/sys/vm/drop_caches", timeout=SHELL_TIMEOUT)
        cold.append(timed(con, f"cat {slot} > /tmp/copy"))
        shell(con, "rm -f /tmp/copy", timeout=SHELL_TIMEOUT)
        warm.append(timed(con, f"cat {slot} > /tmp/copy"))
        # As bootmgr finds the file at power-on: the user partition just
        # mounted, the file's first open since then included.
        shell(con, "rm -f /tmp/copy; sync; umount /user && mount -o sync -t jffs2 /dev/mtd-user /user",
              timeout=SHELL_TIMEOUT)
        mounted.append(timed(con, f"cat {slot} > /tmp/copy"))
    got["cat cold"], got["cat warm"], got["cat mounted"] = min(cold), min(warm), min(mounted)
    shell(con, "rm -f /tmp/copy; ifconfig eth0 192.0.2.10 netmask 255.255.255.0 up",
          timeout=SHELL_TIMEOUT)
    shell(con, "tftp -b 1468 -g -r rfs.img -l /tmp/rfs.img 192.0.2.1", timeout=600)
    size = shell(con, "wc -c < /tmp/rfs.img", timeout=SHELL_TIMEOUT).split()
    if not size or int(size[-1]) != len(rootfs):
        raise RuntimeError(f"the rfs image did not arrive whole: {size}")
    got["flashcp"] = timed(con, "flashcp /tmp/rfs.img /dev/mtd-rfs")
    # The flash work the installer's writer does, step by step with the
    # board's tools: every block read before its erase, the erase, and the
    # writes in 1 KiB transfers (the partition is exactly the component's
    # size, so these cover the same blocks).
    got["rfs read"] = timed(con, "dd if=/dev/mtd-rfs of=/dev/null bs=65536 2>/dev/null")
    got["rfs erase"] = timed(con, "flash_eraseall -q /dev/mtd-rfs")
    got["rfs write 1k"] = timed(con, "dd if=/tmp/rfs.img of=/dev/mtd-rfs bs=1024 2>/dev/null")
    # The same writes in whole-block transfers, to show what the transfer
    # size costs.
    shell(con, "flash_eraseall -q /dev/mtd-rfs", timeout=SHELL_TIMEOUT)
    got["rfs write 64k"] = timed(con, "dd if=/tmp/rfs.img of=/dev/mtd-rfs bs=65536 2>/dev/null")
    # Where the extraction's time goes: the checksum alone, bootmgr's own
    # gen_crc (the board build's bench_crc) over the same 16 MiB; and the
    # extraction against a copy and the CRC alone, timed by the board's
    # clock inside one program (the board build's bench_extract).
    for tool in ("bench_crc", "bench_extract"):
        shell(con, f"tftp -b 1468 -g -r {tool} -l /tmp/{tool} 192.0.2.1 && chmod +x /tmp/{tool}",
              timeout=SHELL_TIMEOUT)
    out = shell(con, "/tmp/bench_crc 16", timeout=600)
    rate = re.search(r"gen_crc \(table\)\s*:\s*([0-9.]+) GB/s", out)
    if not rate:
        raise RuntimeError(f"bench_crc said: {out!r}")
    got["crc alone"] = 16 * MiB / (float(rate.group(1)) * 1e9)
    out = shell(con, f"/tmp/bench_extract --file {slot} /tmp", timeout=900)
    inside = re.search(r"extraction ([0-9.]+) s, read/write copy ([0-9.]+) s, CRC alone ([0-9.]+) s", out)
    if not inside:
        raise RuntimeError(f"bench_extract said: {out!r}")
    got["in-process extraction"], got["in-process copy"], got["in-process crc"] = map(float, inside.groups())
    board.power_cut()
    board.wait_power_off(con, timeout=30)
    if board.partition("rfs")[:len(rootfs)] != rootfs:
        raise RuntimeError("flashcp did not leave the component in the rfs partition")
    return got


def power_on_run(board, shell_ramfs):
    """Seconds from QEMU's start to the demo's prompt and to the shell's."""
    board.set(env={"diagnostics": "off", "shell": "off"})
    t0 = time.monotonic()
    con = board.power_on(timeout=BOOT_TIMEOUT)
    con.expect_exact(b"demo> ", timeout=BOOT_TIMEOUT)
    app = time.monotonic() - t0
    board.power_cut()
    board.wait_power_off(con, timeout=30)
    t0 = time.monotonic()
    con = board.power_on(timeout=BOOT_TIMEOUT, initramfs=shell_ramfs)
    con.expect_exact(b"@@SHELL@@", timeout=BOOT_TIMEOUT)
    con.expect_exact(b"# ", timeout=30)
    alone = time.monotonic() - t0
    board.power_cut()
    board.wait_power_off(con, timeout=30)
    return app, alone


def machine():
    cpu = "?"
    for line in Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith("model name"):
            cpu = line.split(":", 1)[1].strip()
            break
    qemu = subprocess.run(["qemu-system-ppc", "--version"], capture_output=True, text=True).stdout.split("\n")[0]
    return f"{cpu}, {os.cpu_count()} cores, load {os.getloadavg()[0]:.1f}, {platform.release()}; {qemu}"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args(argv)
    app, rootfs = images()
    shell_ramfs = variant_initramfs(SHELL_INITTAB)
    results = {k: [] for k in ("extraction", "cat cold", "cat warm", "cat mounted", "crc alone", "in-process extraction",
                               "in-process copy", "in-process crc", "install", "flashcp", "rfs read", "rfs erase",
                               "rfs write 1k", "rfs write 64k", "app", "alone")}
    workdir = Path(tempfile.mkdtemp(prefix="bench-vboard-"))
    try:
        board = VBoard.create(workdir / "vb", default=True, net="user", slot1=app)
        (board.path / "tftp").mkdir(exist_ok=True)
        (board.path / "tftp/rfs.img").write_bytes(rootfs)
        for tool in ("bench_crc", "bench_extract"):
            shutil.copy(REPO / "build/board/bin" / tool, board.path / "tftp" / tool)
        small = VBoard.create(workdir / "small", default=True)
        for run in range(args.runs):
            results["install"].append(install_run(board))
            for k, v in shell_run(board, rootfs).items():
                results[k].append(v)
            a, b = power_on_run(small, shell_ramfs)
            results["app"].append(a)
            results["alone"].append(b)
            print(f"run {run + 1}: " + ", ".join(f"{k} {v[-1]:.2f} s" for k, v in results.items()),
                  flush=True)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    best = {k: min(v) for k, v in results.items()}
    print(f"\nvirtual board, best of {args.runs} runs; {machine()}")
    print(f"{'benchmark':<44} {'bootmgr':>9} {'reference':>10} {'ratio':>6}")
    rows = [
        (f"extraction, {len(app) / MiB:.1f} MiB slot file vs cat (cold)", "extraction", "cat cold"),
        ("extraction vs cat (file cached)", "extraction", "cat warm"),
        ("extraction vs cat (partition just mounted)", "extraction", "cat mounted"),
        (f"install rfs, {len(rootfs)} bytes vs flashcp", "install", "flashcp"),
        ("power-on to demo prompt vs to shell prompt", "app", "alone"),
    ]
    for label, ours, ref in rows:
        print(f"{label:<44} {best[ours]:>8.2f}s {best[ref]:>9.2f}s {best[ours] / best[ref]:>5.2f}x")
    print(f"the part bootmgr adds to a power-on: {best['app'] - best['alone']:.2f} s")
    # One processor: the extraction reads, checksums and writes each window
    # in turn, so cat's work plus the checksum's is its floor.
    print(f"where the extraction's time goes: gen_crc over 16 MiB alone {best['crc alone']:.2f} s on the "
          f"board; cat cold + CRC alone {best['cat cold'] + best['crc alone']:.2f} s, extraction against "
          f"that sum {best['extraction'] / (best['cat cold'] + best['crc alone']):.2f}x")
    # Inside one program the slot file's inode stays built, so the copy and
    # the checksum's own work are the extraction's floor.
    inside = best["in-process copy"] + best["crc alone"]
    print(f"the same inside one program on the board (cold, best of 5): extraction "
          f"{best['in-process extraction']:.2f} s, read/write copy of the slot file {best['in-process copy']:.2f} s "
          f"({best['in-process extraction'] / best['in-process copy']:.2f}x), CRC pass over the file "
          f"(reading included) {best['in-process crc']:.2f} s; copy + gen_crc alone {inside:.2f} s "
          f"(extraction against that sum {best['in-process extraction'] / inside:.2f}x)")
    # The installer's flash writer reads each block before erasing it and
    # writes it back in 1 KiB transfers; it checksums the component before
    # the first erase and again as it writes. Those steps, each timed alone
    # with the board's tools and bench_crc's rate, are its floor.
    crc_rfs = best["crc alone"] * len(rootfs) / (16 * MiB)
    floor = best["rfs read"] + best["rfs erase"] + best["rfs write 1k"] + 2 * crc_rfs
    print(f"where the install's time goes: read {best['rfs read']:.2f} s, erase {best['rfs erase']:.2f} s, "
          f"1 KiB writes {best['rfs write 1k']:.2f} s, two CRC passes {2 * crc_rfs:.2f} s: "
          f"{floor:.2f} s; install against that sum {best['install'] / floor:.2f}x; the same writes in 64 KiB "
          f"transfers {best['rfs write 64k']:.2f} s")
    print("all runs: " + "; ".join(f"{k} " + " ".join(f"{x:.2f}" for x in v) for k, v in results.items()))
    return 0


if __name__ == "__main__":
    sys.exit(main())

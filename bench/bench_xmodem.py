#!/usr/bin/python3
"""Receive throughput of the in-process Xmodem-1K receiver against lrzsz's
rx, for the same file over the same arrangement: sx -k on the host, a relay,
the simulated board's console pty, the board clock at real time. Prints
both figures and their ratio, measured in this one run.

    sudo bench/bench_xmodem.py [--size MiB] [--arch host|ppc] [--bps N]

Without --bps the pty passes bytes as fast as both ends go; with it the
relay paces the bytes like a serial line of that speed (the board downloads
at 115200 bit/s).

Environment as for the system tests (BOARDSIM_TESTPROGS, BOARDSIM_LAYER,
BOARDSIM_ARCH, BOARDSIM_QEMU_PREFIX); by default the optimised host build
in build/release, or the board build in build/board for --arch ppc. Under
qemu-ppc only the receiver is a ppc program: rx is the host's own."""

import argparse
import os
import random
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "sim"))
sys.path.insert(0, str(ROOT / "tests" / "system"))

from boardsim import Board  # noqa: E402
from xmodem_peer import Line, finish, open_download, padded, run_sx  # noqa: E402


def receive(workdir, name, program, src, result_pattern, bps):
    board = Board.create(Path(workdir) / name, time_scale=1.0)
    con = board.power_on(program=program, timeout=600)
    line = Line(con.child_fd)
    open_download(line)
    _, sent, _ = run_sx(line, src, one_k=True, timeout=3600, bps=bps)
    result = finish(line, 1.0, timeout=300, result=result_pattern)
    board.wait_power_off(con)
    seconds = sent.last_eot_at - sent.first_block_at
    stored = (board.path / "bench.bin").read_bytes()
    return seconds, result, stored


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--size", type=float, default=4.0, help="file size in MiB")
    ap.add_argument("--arch", default=os.environ.get("BOARDSIM_ARCH", "host"))
    ap.add_argument("--bps", type=int, default=None, help="pace the line at this bit rate")
    args = ap.parse_args()
    os.environ["BOARDSIM_ARCH"] = args.arch
    build = ROOT / "build" / ("release" if args.arch == "host" else "board")
    os.environ.setdefault("BOARDSIM_TESTPROGS", str(build / "bin"))
    os.environ.setdefault("BOARDSIM_LAYER", str(build / "lib" / "libboardsim.so"))
    if args.arch == "ppc":
        os.environ.setdefault("BOARDSIM_QEMU_PREFIX", str(build / "qemu-prefix"))

    size = int(args.size * 1024 * 1024)
    data = random.Random(7).randbytes(size)
    with tempfile.TemporaryDirectory() as work:
        src = Path(work) / "src.bin"
        src.write_bytes(data)
        expected = padded(data, 128)
        figures = {}
        for label, program, pattern in (
                ("Xmodem1K", ["probe_xmodem", "/.boardsim/bench.bin"], rb"Xmodem1K result (-?\d+)"),
                ("lrzsz rx", ["probe_xmodem", "--rx", "/.boardsim/bench.bin"], rb"rx result (-?\d+)")):
            seconds, result, stored = receive(work, label.replace(" ", "_"), program, src, pattern,
                                              args.bps)
            ok = stored[:size] == data and stored.rstrip(b"\x1a") == data.rstrip(b"\x1a")
            figures[label] = size / seconds / 1024
            line = f"{args.bps} bit/s line" if args.bps else "unpaced pty"
            print(f"{label:9s} ({args.arch}, {line}): {size / 1048576:.1f} MiB in {seconds:.2f} s = "
                  f"{figures[label]:.1f} KiB/s, result {result}, file {'intact' if ok else 'DIFFERENT'}"
                  f"{'' if stored == expected else ' (no sender fill)' if ok else ''}")
        ratio = figures["Xmodem1K"] / figures["lrzsz rx"]
        print(f"ratio Xmodem1K / rx: {ratio:.2f}x (goal >= 0.9x)")


if __name__ == "__main__":
    main()

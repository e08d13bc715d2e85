#!/usr/bin/python3
"""Receive throughput of the in-process Xmodem-1K receiver against lrzsz's
rx, for the same file over the same arrangement: sx -k on the host, a relay,
the simulated board's console pty, the board clock at real time. Each
receiver takes the file several times, the two taking turns so that both meet
the same load on the machine; the best run of each counts (a pty makes rx
stall for seconds now and then, and other work on the machine slows either
one), and the ratio of the two best figures is printed; so is the ratio with
the sender's stalls taken out (pauses of half a second or more while a
receiver waits out a time-out), which compares the receivers where they
work rather than where rx loses a block to its own input flush.

    sudo bench/bench_xmodem.py [--size MiB] [--runs N] [--arch host|ppc] [--bps N]

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
import shutil
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "sim"))
sys.path.insert(0, str(ROOT / "tests" / "system"))

from boardsim import Board  # noqa: E402
from xmodem_peer import Line, finish, open_download, run_sx  # noqa: E402


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
    return seconds, sent.stalled, result, stored


RECEIVERS = (
    ("Xmodem1K", ["probe_xmodem", "/.boardsim/bench.bin"], rb"Xmodem1K result (-?\d+)"),
    ("lrzsz rx", ["probe_xmodem", "--rx", "/.boardsim/bench.bin"], rb"rx result (-?\d+)"),
)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--size", type=float, default=4.0, help="file size in MiB")
    ap.add_argument("--runs", type=int, default=5, help="runs of each receiver (the best counts)")
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
    runs = {label: [] for label, _, _ in RECEIVERS}  # (seconds, of them stalled)
    with tempfile.TemporaryDirectory() as work:
        src = Path(work) / "src.bin"
        src.write_bytes(data)
        for run in range(1, args.runs + 1):
            for label, program, pattern in RECEIVERS:
                name = f"{label.replace(' ', '_')}-{run}"
                seconds, stalled, result, stored = receive(work, name, program, src, pattern,
                                                           args.bps)
                shutil.rmtree(Path(work) / name)
                ok = stored[:size] == data and stored.rstrip(b"\x1a") == data.rstrip(b"\x1a")
                print(f"run {run} {label:9s}: {seconds:.3f} s ({stalled:.1f} s of it stalled), "
                      f"result {result}, file {'intact' if ok else 'DIFFERENT (not counted)'}",
                      flush=True)
                if ok:
                    runs[label].append((seconds, stalled))
    report(runs, size, args)


def report(runs, size, args):
    """The best run of each receiver and their ratio; the same with the
    sender's stalls (a receiver waiting out a time-out) taken out, which is
    what a receiver does when it does not stall."""
    line = f"{args.bps} bit/s line" if args.bps else "unpaced pty"
    if not all(runs.values()):
        print("no intact run of " + ", ".join(label for label, r in runs.items() if not r))
        return
    best, working = {}, {}
    for label, done in runs.items():
        best[label] = min(seconds for seconds, _ in done)
        working[label] = min(seconds - stalled for seconds, stalled in done)
        clean = sum(1 for _, stalled in done if stalled == 0)
        print(f"{label:9s} ({args.arch}, {line}): {size / 1048576:.1f} MiB, best of {len(done)} "
              f"{best[label]:.3f} s = {size / best[label] / 1024:.1f} KiB/s (runs "
              f"{min(s for s, _ in done):.2f}-{max(s for s, _ in done):.2f} s, {clean} without "
              f"a stall); without its stalls best {working[label]:.3f} s")
    rx, ours = "lrzsz rx", "Xmodem1K"
    print(f"ratio Xmodem1K / rx, best of {args.runs}: {best[rx] / best[ours]:.2f}x; "
          f"stalls taken out: {working[rx] / working[ours]:.2f}x (goal >= 1.0x)")


if __name__ == "__main__":
    main()

"""The in-process Xmodem-1K receiver across a noisy line: lrzsz's sx
through a relay that corrupts, drops or duplicates bytes. Whatever the
noise does, a block that is not the one sent is never stored."""

import os
import shutil

from boardsim import Board
from test_xmodem import BOARD_OUT, SCALE, payload
from xmodem_peer import ACK, Line, Noise, cancel_while_inviting, finish, open_download, padded, run_sx

# (block size, file size, share of bytes disturbed in each direction). At
# 1% nearly every 1K block is hit and three bad receptions in a row cancel,
# so the heavier rates go with 128-byte blocks and short files.
RUNS = [
    (128, 200, 0.01), (128, 700, 0.01), (1024, 3000, 0.001), (128, 2500, 0.003),
    (1024, 6000, 0.0005), (128, 4000, 0.001), (1024, 9000, 0.0003), (128, 1500, 0.005),
    (1024, 12000, 0.0002), (128, 6000, 0.0005),
]


def runs():
    """The table above once; BOARDSIM_NOISE_RUNS=N makes a longer campaign
    that goes round it with a fresh seed each run."""
    count = int(os.environ.get("BOARDSIM_NOISE_RUNS", len(RUNS)))
    return [(run,) + RUNS[run % len(RUNS)] for run in range(count)]


def transfer(tmp_path, run, block_size, size, rate):
    data = payload(size, 1000 + run)
    src = tmp_path / f"src{run}.bin"
    src.write_bytes(data)
    board = Board.create(tmp_path / f"b{run}", time_scale=SCALE)
    con = board.power_on(program=["probe_xmodem", BOARD_OUT])
    line = Line(con.child_fd)
    open_download(line)
    noise = Noise(rate, seed=run)
    _, _, from_board = run_sx(line, src, one_k=block_size == 1024, noise=noise, timeout=60)
    if ACK not in from_board:
        # sx may have given up before any of its blocks got through (its
        # retries all hit by the noise): a receiver still inviting is
        # cancelled the way a sender does.
        cancel_while_inviting(line)
    result = finish(line, SCALE)
    board.wait_power_off(con)
    stored = (board.path / "received.bin").read_bytes()
    shutil.rmtree(board.path)  # some 30 MiB of flash files a board
    return data, result, stored, noise.faults


def test_noisy_line_never_stores_a_corrupt_block(tmp_path):
    """Each run: the file is either the one sent (plus the sender's fill) or
    the transfer is cancelled with what was stored a block-wise prefix of it."""
    outcomes = []
    for run, block_size, size, rate in runs():
        data, result, stored, faults = transfer(tmp_path, run, block_size, size, rate)
        whole = padded(data, 128)
        if result > 0:
            assert stored == whole, f"run {run}: completed with a different file"
            assert result == len(stored)
        else:
            assert result == 0, f"run {run}: result {result}"
            assert whole.startswith(stored), f"run {run}: cancelled with a corrupt block stored"
            assert len(stored) % 128 == 0
        outcomes.append((result > 0, faults))
        print(f"noisy run {run}: {'completed' if result > 0 else 'cancelled'}, {faults} faults, "
              f"{len(stored)} of {len(whole)} bytes stored")
    done = sum(completed for completed, _ in outcomes)
    print(f"noisy runs: {len(outcomes)}, identical {done}, cancelled {len(outcomes) - done}, corrupt 0")
    assert sum(faults for _, faults in outcomes) >= len(outcomes), "the relay must disturb the line"
    assert done >= len(outcomes) // 3, "noisy transfers must get through"

"""The in-process Xmodem-1K receiver over the board's real 16550 UART: the
board build's probe program runs Xmodem1K on the virtual board's console,
between the two speed changes, with lrzsz's sx (or a scripted sender) on the
host side of QEMU's serial line. What the board stored is checked on the
board itself (md5sum in the shell that follows the probe)."""

import hashlib
import random
import re

from boardsim.console import BOOT_TIMEOUT
from xmodem_peer import ACK, EOT, NAK, Line, block, finish, open_download, padded, run_sx

RECEIVED = "/tmp/received.bin"


def start(vboard_factory):
    """A board whose console runs the receiver; the line, once the receiver
    has invited the first block."""
    board = vboard_factory(default=True)
    con = board.power_on(timeout=BOOT_TIMEOUT, program=["probe_xmodem", RECEIVED])
    con.expect_exact(b"Change the baud rate to 115200", timeout=BOOT_TIMEOUT)
    line = Line(con.child_fd, already=con.buffer)
    # The board reads the Enter within a second; no second Enter may reach
    # the receiver once it runs.
    open_download(line, every=4.0)
    return board, con, line


def stored_digest(line):
    """md5 and size of the received file, from the shell on the console."""
    line.pending.clear()
    line.write(f"md5sum {RECEIVED}; wc -c < {RECEIVED}; echo @@\"END\"@@\r".encode())
    line.wait_text("@@END@@", 60)
    text = line.seen.decode("latin-1")
    found = re.findall(r"([0-9a-f]{32})\s+" + re.escape(RECEIVED) + r"\s+(\d+)\s+@@END@@", text)
    assert found, f"no digest in {text[-300:]!r}"
    return found[-1][0], int(found[-1][1])


def test_sx_sends_300_kib_in_1k_blocks_over_the_real_uart(vboard_factory, tmp_path):
    # Past block 255, and not a whole number of blocks: sx fills the last.
    data = random.Random(5).randbytes(300 * 1024 + 77)
    src = tmp_path / "src.bin"
    src.write_bytes(data)
    board, con, line = start(vboard_factory)
    # The emulated board may take seconds to answer the last EOT under load.
    status, sent, from_board = run_sx(line, src, one_k=True, grace=30.0)
    assert status == 0 and sent.blocks > 256, (status, sent.blocks, from_board[-200:])
    result = finish(line, timeout=120)
    want = padded(data, 128)
    assert result == len(want)
    assert stored_digest(line) == (hashlib.md5(want).hexdigest(), len(want))
    board.power_cut()


def test_bad_crc_is_refused_and_the_repeat_stored_once(vboard_factory):
    b1, b2 = random.Random(1).randbytes(1024), random.Random(2).randbytes(128)
    board, con, line = start(vboard_factory)
    line.after_invitation(10)
    line.write(block(1, b1, 1024))
    assert line.reply(10) == ACK
    line.write(block(2, b2, 128, bad_crc=True))
    assert line.reply(10) == NAK
    line.write(block(2, b2, 128))
    assert line.reply(10) == ACK
    # A repeat of an acknowledged block is acknowledged and not stored again.
    line.write(block(2, b2, 128))
    assert line.reply(10) == ACK
    line.write(bytes([EOT]))
    assert line.reply(10) == NAK, "the first EOT is answered with NAK"
    line.write(bytes([EOT]))
    assert finish(line, timeout=60) == 1024 + 128
    assert stored_digest(line) == (hashlib.md5(b1 + b2).hexdigest(), 1024 + 128)
    board.power_cut()

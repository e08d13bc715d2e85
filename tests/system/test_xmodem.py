"""The in-process Xmodem-1K receiver on the simulated board, driven over
the console pty: against lrzsz's real sx, against a scripted sender for
what sx never does, and across a noisy line."""

import os
import random
import time

import pytest

from boardsim import Board
from xmodem_peer import (ACK, CAN, EOT, INVITE, NAK, Line, block, finish, open_download,
                         padded, run_sx)

# The receiver's own waits (1 s, 3 s, 5 s) shrink with the board clock;
# the relay and sx keep real time, so do not squeeze them too hard.
SCALE = 0.1
BOARD_OUT = "/.boardsim/received.bin"


class Receiver:
    """One run of probe_xmodem on a fresh board, with the test's end of
    the console line."""

    def __init__(self, board, con, line):
        self.board, self.con, self.line = board, con, line
        self.started = False  # a block has been acknowledged

    def result(self, timeout=120):
        return finish(self.line, SCALE, timeout)

    def stored(self):
        with open(self.board.path / os.path.basename(BOARD_OUT), "rb") as f:
            return f.read()

    def reply(self, timeout=None):
        return self.line.reply(20 * SCALE + 5 if timeout is None else timeout)

    def write(self, data):
        """Sends bytes; before the first acknowledged block only right
        after a fresh invitation (see Line.after_invitation)."""
        if not self.started:
            self.line.after_invitation(20 * SCALE + 5)
        self.line.write(data)


@pytest.fixture
def receiver(tmp_path):
    board = Board.create(tmp_path / "b", time_scale=SCALE)
    con = board.power_on(program=["probe_xmodem", BOARD_OUT])
    line = Line(con.child_fd)
    open_download(line)
    yield Receiver(board, con, line)
    board.wait_power_off(con)


def payload(n, seed):
    rng = random.Random(seed)
    return bytes(rng.randrange(256) for _ in range(n))


def quiet_payload(n, size=128):
    """Data whose block bytes (CRC included) hold no header-like byte, so a
    block the receiver ignores is skipped over as noise."""
    special = {0x01, 0x02, 0x04, 0x06, 0x18}
    for fill in range(0x41, 0x7F):
        data = bytes([fill]) * n
        if not special & set(block(0, data, size)[3:]):
            return data
    raise AssertionError("no quiet payload")


def send_ok(rx, number, data, size=128):
    rx.write(block(number, data, size))
    assert rx.reply() == ACK, f"block {number} not acknowledged"
    rx.started = True


def end_transfer(rx):
    rx.write(bytes([EOT]))
    assert rx.reply() == NAK, "first EOT must be answered with NAK"
    rx.line.write(bytes([EOT]))


def expect_cancel(rx):
    """Five CANs from the receiver, result 0."""
    rx.line.wait_text("\x18" * 5, 30)
    assert rx.result() == 0


# --- against the real sender --------------------------------------------------

@pytest.mark.parametrize("one_k,size", [(True, 300 * 1024 + 77), (False, 40 * 1024 + 5)],
                         ids=["1k-blocks-wrapping", "128-blocks-wrapping"])
def test_sx_transfer_stores_the_file_plus_the_senders_fill(receiver, tmp_path, one_k, size):
    # 300 KiB in 1K blocks and 40 KiB in 128-byte blocks both pass block 255,
    # and neither length is a multiple of the block size.
    data = payload(size, size)
    src = tmp_path / "src.bin"
    src.write_bytes(data)
    _, sent, _ = run_sx(receiver.line, src, one_k=one_k)
    assert sent.blocks > 256
    result = receiver.result()
    stored = receiver.stored()
    # sx fills its last block with 0x1A up to a multiple of 128.
    assert stored == padded(data, 128)
    assert result == len(stored)
    assert b"EOT\n" in receiver.line.seen


# --- scripted sender -----------------------------------------------------------

def test_block_number_wrap_and_mixed_block_sizes(receiver):
    data = [payload(1024 if n % 3 == 0 else 128, n) for n in range(1, 259)]
    for n, d in enumerate(data, start=1):
        send_ok(receiver, n, d, len(d))
    end_transfer(receiver)
    assert receiver.result() == sum(len(d) for d in data)
    assert receiver.stored() == b"".join(data)


def test_first_block_numbered_zero_is_refused_with_a_new_invitation(receiver):
    zero = quiet_payload(128)
    receiver.write(block(0, zero, 128))
    assert receiver.reply() == INVITE
    good = payload(128, 1)
    send_ok(receiver, 1, good)
    end_transfer(receiver)
    assert receiver.result() == 128
    assert receiver.stored() == good


def test_first_block_numbered_two_cancels(receiver):
    receiver.write(block(2, payload(128, 2), 128))
    expect_cancel(receiver)
    assert receiver.stored() == b""


def test_block_two_ahead_cancels_and_keeps_earlier_blocks(receiver):
    b1, b2 = payload(1024, 1), payload(128, 2)
    send_ok(receiver, 1, b1, 1024)
    send_ok(receiver, 2, b2)
    receiver.write(block(4, payload(128, 4), 128))
    expect_cancel(receiver)
    assert receiver.stored() == b1 + b2


def test_crc_error_then_good_repeat_gives_one_nak_and_one_copy(receiver):
    b1, b2 = payload(128, 1), payload(1024, 2)
    send_ok(receiver, 1, b1)
    receiver.write(block(2, b2, 1024, bad_crc=True))
    assert receiver.reply() == NAK
    send_ok(receiver, 2, b2, 1024)
    end_transfer(receiver)
    assert receiver.result() == 128 + 1024
    assert receiver.stored() == b1 + b2
    # One NAK for the bad block, one for the first EOT.
    assert receiver.line.seen.count(bytes([NAK])) == 2


def test_crc_error_on_first_block_invites_again(receiver):
    b1 = quiet_payload(128)
    receiver.write(block(1, b1, 128, bad_crc=True))
    assert receiver.reply() == INVITE
    send_ok(receiver, 1, b1)
    end_transfer(receiver)
    assert receiver.result() == 128
    assert receiver.stored() == b1


def test_repeated_block_is_acknowledged_but_stored_once(receiver):
    b1, b2 = payload(128, 1), payload(128, 2)
    send_ok(receiver, 1, b1)
    send_ok(receiver, 1, b1)
    send_ok(receiver, 2, b2)
    end_transfer(receiver)
    assert receiver.result() == 256
    assert receiver.stored() == b1 + b2


def test_three_bad_receptions_in_a_row_cancel(receiver):
    b1, b2 = payload(128, 1), payload(128, 2)
    send_ok(receiver, 1, b1)
    for attempt in (1, 2):
        receiver.write(block(2, b2, 128, bad_crc=True))
        assert receiver.reply() == NAK, f"bad reception {attempt} must be answered with NAK"
    receiver.write(block(2, b2, 128, bad_crc=True))
    expect_cancel(receiver)
    assert receiver.stored() == b1


@pytest.mark.parametrize("cut", [3 + 128 + 1, 2], ids=["crc-byte-missing", "complement-missing"])
def test_block_missing_its_last_fields_is_never_acknowledged(receiver, cut):
    # The receiver waits 3 s for each of these bytes; one that never comes
    # makes the block bad, whatever the byte held before.
    b1, b2 = payload(128, 1), payload(128, 2)
    send_ok(receiver, 1, b1)
    receiver.write(block(2, b2, 128)[:cut])
    answer = receiver.reply()
    assert answer == NAK
    send_ok(receiver, 2, b2)
    end_transfer(receiver)
    assert receiver.result() == 256
    assert receiver.stored() == b1 + b2


def test_short_block_with_matching_crc_is_not_stored(receiver):
    # 100 data bytes, a pause long enough for the data read to give up,
    # then the CRC of those 100 bytes: a block that lost bytes on the way.
    b1, b2 = payload(128, 1), payload(128, 2)
    send_ok(receiver, 1, b1)
    short = block(2, b2[:100], 100)
    receiver.write(bytes([0x01]) + short[1:103])
    time.sleep(2 * SCALE + 0.25)
    receiver.write(short[103:])
    assert receiver.reply() == NAK
    send_ok(receiver, 2, b2)
    end_transfer(receiver)
    assert receiver.result() == 256
    assert receiver.stored() == b1 + b2


def test_eot_before_any_block_gives_an_empty_file(receiver):
    end_transfer(receiver)
    assert receiver.result() == 0
    assert receiver.stored() == b""
    assert b"EOT\n" in receiver.line.seen


def test_silence_after_the_nak_to_eot_completes(receiver):
    b1 = payload(128, 1)
    send_ok(receiver, 1, b1)
    receiver.write(bytes([EOT]))
    assert receiver.reply() == NAK
    assert receiver.result() == 128
    assert receiver.stored() == b1


def test_senders_double_can_ends_the_reception(receiver):
    receiver.write(bytes([CAN, CAN]))
    expect_cancel(receiver)
    assert receiver.line.seen.count(b"CAN\n") == 1


def test_lone_can_only_invites_again(receiver):
    receiver.write(bytes([CAN, ord("x")]))
    receiver.line.wait_text("CAN\n", 10)  # its C is not an invitation
    assert receiver.reply() == INVITE
    b1 = payload(128, 1)
    send_ok(receiver, 1, b1)
    end_transfer(receiver)
    assert receiver.result() == 128


def test_ack_before_first_block_invites_again(receiver):
    receiver.write(bytes([ACK]))
    assert receiver.reply() == INVITE
    end_transfer(receiver)
    assert receiver.result() == 0


def test_silent_sender_is_invited_again_and_again(receiver):
    invites = receiver.line.collect(12 * SCALE).count(bytes([INVITE]))
    assert invites >= 3, "about one invitation per (scaled) second"
    end_transfer(receiver)
    assert receiver.result() == 0


# --- without a port or a file --------------------------------------------------

def test_no_port_returns_at_once(tmp_path):
    board = Board.create(tmp_path / "b", time_scale=SCALE, missing="ttyS0")
    con = board.power_on(program=["probe_xmodem", BOARD_OUT])
    con.expect_exact("Can't open serial port!")
    con.expect_exact("Xmodem1K result -1")
    board.wait_power_off(con)


def test_file_that_cannot_be_created_gives_the_console_back(tmp_path):
    board = Board.create(tmp_path / "b", time_scale=SCALE)
    con = board.power_on(program=["probe_xmodem", "/.boardsim/no/such/dir/f"], stderr_to_file=True)
    line = Line(con.child_fd)
    assert finish(line, SCALE) == -1
    board.wait_power_off(con)
    assert "Can't open file!" in board.stderr_text()
    # The console was asked back to its own speed before the result.
    assert b"key to be hit..." in line.seen or b"Change the baud rate back" in line.seen

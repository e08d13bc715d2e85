"""The serial download mode on the board's console terminal: the settings
init_serial applies (read back from the terminal itself) and the ones
reset_serial restores, the two Enter waits with their reminders, and the
byte primitives' time-out and flush."""
import os
import re
import termios
import time

import pytest
from boardsim import Board

ARCH = os.environ.get("BOARDSIM_ARCH", "host")

TO_115200 = b"       Change the baud rate to 115200 bps and hit the <ENTER> key"
BEFORE_DOWNLOAD = b"       before initiating the download."
BACK_TO_9600 = b"       Change the baud rate back to 9600 bps, hit the <ENTER> key"
INIT_REMINDER = b"\r\n    ... Waiting for the <Enter> key to be hit before the download can start...\r"
RESET_REMINDER = b"\r\n    ... Waiting for the <ENTER> key to be hit...\r"
PAUSE = "clock sleep 1000000us"
POLL_3S = re.compile(r"clock poll fd=\d+ timeout=3000ms")

IFLAG, OFLAG, CFLAG, LFLAG, ISPEED, OSPEED, CC = range(7)


def settings(con):
    """The console terminal's settings, as the program's side sees them
    (control characters as numbers: Python gives VMIN and VTIME as numbers
    only while canonical mode is off)."""
    attrs = termios.tcgetattr(con.child_fd)
    attrs[CC] = [c if isinstance(c, int) else c[0] for c in attrs[CC]]
    return attrs


def wait_for_settings(con, test, what, timeout=10):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        attrs = settings(con)
        if test(attrs):
            return attrs
        time.sleep(0.002)
    pytest.fail(f"the console never got {what}")


def in_download_mode(attrs):
    return attrs[ISPEED] == termios.B115200


def restored(attrs):
    return attrs[ISPEED] != termios.B115200 and attrs[LFLAG] & termios.ICANON


def clock_calls(log):
    return [line for line in log if line.startswith("clock ")]


def pauses(board):
    return sum(1 for line in board.device_log() if line == PAUSE)


def phase_pauses(board):
    """Pauses of the init wait and of the reset wait: the probe marks the
    boundary with a 7-microsecond sleep."""
    log = board.device_log()
    mark = log.index("clock sleep 7us")
    return log[:mark].count(PAUSE), log[mark:].count(PAUSE)


def test_download_settings_applied_and_old_ones_restored(tmp_path):
    board = Board.create(tmp_path / "b", time_scale=0.01)
    con = board.power_on(program=["probe_serial", "enter"])
    found = settings(con)
    con.expect_exact(TO_115200 + b"\r\n" + BEFORE_DOWNLOAD + b"\r\n")
    mode = wait_for_settings(con, in_download_mode, "the download speed")
    assert (mode[ISPEED], mode[OSPEED]) == (termios.B115200, termios.B115200)
    assert mode[CFLAG] & (termios.PARENB | termios.CSTOPB) == 0
    assert mode[CFLAG] & termios.CSIZE == termios.CS8
    speed_bits = termios.CBAUD | getattr(termios, "CBAUDEX", 0)
    keep = ~(termios.PARENB | termios.CSTOPB | termios.CSIZE | speed_bits)
    assert mode[CFLAG] & keep == found[CFLAG] & keep
    assert mode[IFLAG] == termios.IGNBRK
    assert mode[OFLAG] == 0
    cleared = termios.ICANON | termios.ECHO | termios.ECHOE | termios.ISIG
    assert mode[LFLAG] & cleared == 0
    assert mode[LFLAG] == found[LFLAG] & ~cleared
    assert mode[CC] == found[CC]
    con.send(b"\r")
    con.expect_exact(b"init_serial=open\r\n")
    con.expect_exact(BACK_TO_9600 + b"\n")  # still without output processing
    back = wait_for_settings(con, restored, "its old settings back")
    assert back == found
    con.send(b"\r")  # arrives as a line feed again
    con.expect_exact(b"reset_serial returned")
    board.wait_power_off(con)
    assert INIT_REMINDER not in board.console_text().encode("latin-1")


def test_typed_characters_cost_a_pause_each_and_enter_at_once_none(tmp_path):
    # Real time: the number of empty reads before the keys arrive stays
    # small (0 or 1), so the count below is the keys' own.
    board = Board.create(tmp_path / "b", time_scale=1.0)
    con = board.power_on(program=["probe_serial", "enter"])
    wait_for_settings(con, in_download_mode, "the download speed")
    con.send(b"abc\r")
    con.expect_exact(b"init_serial=open\r\n")
    wait_for_settings(con, restored, "its old settings back")
    con.send(b"\r")
    con.expect_exact(b"reset_serial returned")
    board.wait_power_off(con)
    init_pauses, reset_pauses = phase_pauses(board)
    assert init_pauses in (3, 4)
    assert reset_pauses <= 1
    assert INIT_REMINDER not in board.console_text().encode("latin-1")


@pytest.mark.parametrize("phase", ["init", "reset"])
def test_reminder_on_every_eleventh_pause(tmp_path, phase):
    board = Board.create(tmp_path / "b", time_scale=0.005)
    con = board.power_on(program=["probe_serial", "enter"])
    wait_for_settings(con, in_download_mode, "the download speed")
    reminder = INIT_REMINDER if phase == "init" else RESET_REMINDER
    if phase == "reset":
        con.send(b"\r")
        con.expect_exact(BACK_TO_9600)
        wait_for_settings(con, restored, "its old settings back")
    con.expect_exact(reminder)
    con.expect_exact(reminder)
    # Other keys do not end the wait, they cost a pause each: in download
    # mode a line feed is no Enter; restored, a typed x comes before it.
    con.send(b"x\n" if phase == "init" else b"x")
    con.expect_exact(reminder)
    con.send(b"\r")
    if phase == "init":
        con.expect_exact(b"init_serial=open\r\n")
        con.expect_exact(BACK_TO_9600)
        wait_for_settings(con, restored, "its old settings back")
        con.send(b"\r")
    con.expect_exact(b"reset_serial returned")
    board.wait_power_off(con)
    waited = phase_pauses(board)[0 if phase == "init" else 1]
    before, after = board.console_text().encode("latin-1").split(BACK_TO_9600)
    shown = before if phase == "init" else after
    assert waited >= 33
    assert shown.count(reminder) == waited // 11
    other = RESET_REMINDER if phase == "init" else INIT_REMINDER
    assert other not in before + after


def test_byte_primitives(tmp_path):
    board = Board.create(tmp_path / "b", time_scale=0.05)
    con = board.power_on(program=["probe_serial", "bytes"])
    wait_for_settings(con, in_download_mode, "the download speed")
    con.send(b"\r")
    con.expect_exact(b"silent\r\n")
    # Three seconds of silence: one poll of the port for three seconds, the
    # target byte untouched; a time-out of 0 gives up without polling.
    con.expect_exact(b"getByte(3) result=-1 byte=Z\r\n")
    con.expect_exact(b"getByte(0) result=-1 byte=Z\r\n")
    con.expect_exact(b"send one\r\n")
    log = board.device_log()
    marks = [i for i, line in enumerate(log) if line == "clock sleep 7us"][:3]
    waits = clock_calls(log[marks[0] + 1:marks[1]])
    assert len(waits) == 1 and POLL_3S.fullmatch(waits[0]), waits
    assert clock_calls(log[marks[1] + 1:marks[2]]) == []
    con.send(b"A")
    con.expect_exact(b"getByte(10) result=1 byte=A\r\n")
    con.expect_exact(b"send many\r\n")
    con.send(b"Bcdefgh")
    con.expect_exact(b"getByte(10) result=1 byte=B\r\n")
    # flushRX dropped the rest of the burst.
    con.expect_exact(b"after flushRX getByte(1) result=-1 byte=Z\r\n")
    con.expect_exact(b"flushRX on an empty line returned\r\n")
    con.expect_exact(b"!putByte=1\r\n")
    con.expect_exact(BACK_TO_9600)
    wait_for_settings(con, restored, "its old settings back")
    con.send(b"\r")
    con.expect_exact(b"reset_serial returned")
    board.wait_power_off(con)


def test_missing_port(tmp_path):
    board = Board.create(tmp_path / "b", missing="ttyS0", time_scale=0.01)
    con = board.power_on(program=["probe_serial", "noport"])
    con.expect_exact(b"Can't open serial port!: No such file or directory")
    con.expect_exact(b"init_serial=-1")
    # No port, nothing to restore and no Enter to wait for.
    con.expect_exact(b"reset_serial(-1) returned")
    off = board.wait_power_off(con)
    assert off.status == 0
    assert BACK_TO_9600 not in board.console_text().encode("latin-1")

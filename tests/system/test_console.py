"""Console input through the board's real console terminal: the line editor
with terminal key sequences, the interrupt key while typing, single keys
and the terminal settings around them, and a console that has gone."""
import termios

from boardsim.console import interrupt_now, type_now
from helpers import new_board

LEFT, RIGHT, UP, DOWN = b"\x1b[D", b"\x1b[C", b"\x1b[A", b"\x1b[B"
CTRL_RIGHT = b"\x1b[1;5C"
BS, BEL = b"\x08", b"\x07"


def read_line(con, keys):
    """Types keys at the next line prompt; gives (text bytes, echo bytes, sig)."""
    con.expect_exact(b"line> ")
    type_now(con, keys)
    con.expect(rb"\r\nhex=\[([0-9a-f]*)\] len=\d+ sig=(\d) ended=(\d)\r\n")
    return bytes.fromhex(con.match.group(1).decode()), con.before, int(con.match.group(2))


def set_interrupt_key(con, key):
    attrs = termios.tcgetattr(con.child_fd)
    attrs[6][termios.VINTR] = key
    termios.tcsetattr(con.child_fd, termios.TCSANOW, attrs)


def test_line_editing_with_terminal_keys(tmp_path):
    board = new_board(tmp_path)
    cases = [
        # keys, text, echo (output translates LF into CR LF)
        (b"abc" + LEFT + LEFT + b"X\r", b"aXbc", b"abc" + BS + BS + b"Xbc" + BS + BS + b"\r\n"),
        (b"abc\x01\x04\r", b"bc", b"abc" + BS * 3 + b"bc " + BS * 3 + b"\r\n"),
        (b"abc\x01" + CTRL_RIGHT + b"X\r", b"aXbc", b"abc" + BS * 3 + b"aXbc" + BS * 2 + b"\r\n"),
        (b"a" + UP + b"b" + DOWN + b"\x1b[3~c\r", b"abc", b"abc\r\n"),
        (b"\x08\x7fab\x7f\r", b"a", b"ab" + BS + b" " + BS + b"\r\n"),
        (b"\x1bq\t\x00\xe9" + RIGHT + b"\r", b"q\xe9", b"q" + BEL + BEL + b"\xe9\r\n"),
        (b"\r", b"", b"\r\n"),
        (b"x" * 128 + b"\r", b"x" * 127, b"x" * 127 + BEL + b"\r\n"),
    ]
    con = board.power_on(program=["probe_console", "line", "128", str(len(cases))])
    for keys, text, echo in cases:
        got_text, got_echo, _ = read_line(con, keys)
        assert got_text == text, keys
        assert got_echo == echo, keys
    board.wait_power_off(con)


def test_break_key_ends_line_with_text(tmp_path):
    # With the terminal's interrupt key moved to Ctrl-], Ctrl-C reaches the
    # editor as a byte; Ctrl-] now raises the signal.
    board = new_board(tmp_path)
    con = board.power_on(program=["probe_console", "--intr-key", "29", "line", "18", "2"])
    text, echo, sig = read_line(con, b"abc\x03")
    assert text == b"abc" and echo == b"abc <break>\r\n" and sig == 0
    # The interrupt key flushes pending input: type around it one at a time.
    con.expect_exact(b"line> ")
    for key, echo in ((b"x", b"x"), (b"\x1d", BEL), (b"y\r", b"y\r\n")):
        type_now(con, key)
        con.expect_exact(echo)
    con.expect(rb"hex=\[([0-9a-f]*)\] len=\d+ sig=(\d)")
    assert con.match.groups() == (b"xy".hex().encode(), b"1")
    board.wait_power_off(con)


def test_interrupt_while_typing_keeps_the_line(tmp_path):
    board = new_board(tmp_path)
    con = board.power_on(program=["probe_console", "line", "128"])
    con.expect_exact(b"line> ")
    type_now(con, b"ab")
    con.expect_exact(b"ab")
    interrupt_now(con)
    con.expect_exact(BEL)
    type_now(con, b"c\r")
    con.expect(rb"hex=\[([0-9a-f]*)\] len=\d+ sig=(\d)")
    assert bytes.fromhex(con.match.group(1).decode()) == b"abc"
    assert con.match.group(2) == b"1"
    board.wait_power_off(con)


def test_single_keys_leave_terminal_as_before(tmp_path):
    board = new_board(tmp_path)
    con = board.power_on(program=["probe_console", "getc", "2"])
    con.expect_exact(b"key? ")
    type_now(con, b"\xe9")  # no Enter: the key is taken alone
    con.expect(rb"key=(\d+) ended=(\d) sig=(\d) canon=(\d) echo=(\d) terminal=(\w+)")
    assert con.match.groups() == (b"233", b"0", b"0", b"1", b"1", b"restored")
    # Nothing echoed the key: the terminal's echo was off during the read.
    assert b"\xe9" not in con.before
    con.expect_exact(b"key? ")
    interrupt_now(con)
    con.expect(rb"key=(\d+) ended=(\d) sig=(\d) canon=(\d) echo=(\d) terminal=(\w+)")
    assert con.match.groups() == (b"0", b"0", b"1", b"1", b"1", b"restored")
    board.wait_power_off(con)


def test_console_gone_ends_lines_and_menu(tmp_path):
    board = new_board(tmp_path)
    con = board.power_on(program=["probe_console", "--detached", "line", "128", "2"])
    for _ in range(2):
        con.expect(rb"hex=\[([0-9a-f]*)\] len=(\d+) sig=(\d) ended=(\d)", timeout=30)
        assert con.match.group(1) == b"" and con.match.group(4) == b"1"
    board.wait_power_off(con)
    con = board.power_on(program=["probe_console", "--detached", "rescue"])
    con.expect_exact(b"Console input has ended: leaving rescue mode.", timeout=30)
    con.expect_exact(b"run_rescue_mode=1")
    board.wait_power_off(con)
    assert board.console_text().count("Option? : ") == 1

"""The Xmodem rescue from the rescue menu of the real bootmgr: lrzsz's real
sx sends over the console to the board's real rx, between the two speed
changes; the file goes through the installer. A transfer that leaves no
file still restores the speed, a stale download is not installed again,
and a missing port runs no receiver."""
import random
import termios
import time

from download_helpers import rescue_board
from boardsim.console import OPTION, SETTLE, type_now
from helpers import SLOT_QUESTION, app_image, slot_image
from xmodem_peer import CAN, Line, open_download, run_sx

# The program's own waits shrink with the board clock; sx, rx and the relay
# keep real time.
SCALE = 0.1
RUNNING = b"Running xmodem rescue.....\r\n"
BACK_TO_9600 = b"       Change the baud rate back to 9600 bps, hit the <ENTER> key"


def start_rescue(con):
    """Presses X at the menu; gives the raw console line from then on."""
    type_now(con, "x")
    con.expect_exact(RUNNING)
    return Line(con.child_fd, already=con.buffer)


def seen_since(line, text, start, timeout):
    """Waits until text has shown on the console after byte `start` of what
    the line has seen (the relay to sx reads the console too)."""
    end = time.monotonic() + timeout
    while bytes(text) not in line.seen[start:]:
        assert time.monotonic() < end, f"{text!r} not seen; got {bytes(line.seen[-300:])!r}"
        line.read_chunk(0.1)


def confirm_old_speed(con, line, start, timeout=60):
    """Waits for the request to switch back, then for the console's own
    settings (canonical again), and presses Enter."""
    seen_since(line, BACK_TO_9600, start, timeout)
    end = time.monotonic() + timeout
    while not termios.tcgetattr(con.child_fd)[3] & termios.ICANON:
        assert time.monotonic() < end, "the console's settings never came back"
        time.sleep(0.01)
    time.sleep(SETTLE)
    line.write(b"\r")


def cancel_receiver(line):
    """Ends the receiver's wait for a sender: the sender's cancel."""
    for _ in range(3):
        line.write(bytes([CAN] * 8))
        time.sleep(0.3)


def test_sx_download_installs_and_a_failed_one_installs_nothing(tmp_path):
    # A whole number of 128-byte blocks: sx adds no fill to the image.
    rng = random.Random(7)
    image = app_image(payload=bytes(rng.randrange(256) for _ in range(40 * 1024 - 16)))
    assert len(image) % 128 == 0
    src = tmp_path / "rescue.img"
    src.write_bytes(image)
    board = rescue_board(tmp_path, time_scale=SCALE)
    con = board.power_on(timeout=120)
    con.expect_exact(OPTION)

    line = start_rescue(con)
    open_download(line, every=1.0)
    mark = len(line.seen)
    run_sx(line, src, one_k=True)
    confirm_old_speed(con, line, mark)
    line.wait_text("Extracting images", 60)
    line.wait_text(SLOT_QUESTION.decode(), 60)
    line.write(b"1\r")
    line.wait_text("Image1 updated succeeded", 60)
    line.wait_text(OPTION.decode(), 30)
    assert slot_image(board, 1) == image
    assert [l for l in board.tools_log() if l.startswith("rx")] == ["rx /tmp/image"]

    # The /tmp/image just installed stays behind. A transfer the sender
    # cancels brings no new image: the speed is still switched back, and
    # nothing is installed.
    mark = len(line.seen)
    time.sleep(SETTLE)
    line.write(b"x")
    line.wait_text(RUNNING.decode(), 30)
    open_download(line, every=1.0)
    cancel_receiver(line)
    confirm_old_speed(con, line, mark)
    line.wait_text(OPTION.decode(), 60)
    second = bytes(line.seen[mark:])
    # The image of the first transfer is not offered for installing again.
    # (The board's rx leaves an empty file behind when cancelled, which the
    # installer then finds holds no image.)
    assert SLOT_QUESTION not in second
    assert b"Extracting images" not in second or b"ERROR: No valid image found" in second
    assert len([l for l in board.tools_log() if l.startswith("rx")]) == 2
    time.sleep(SETTLE)
    line.write(b"r")
    assert board.wait_power_off(con).reason == "reset"


def test_missing_port_runs_no_receiver(tmp_path):
    board = rescue_board(tmp_path, missing="ttyS0", time_scale=SCALE)
    con = board.power_on()
    con.expect_exact(OPTION)
    type_now(con, "x")
    con.expect_exact(RUNNING)
    con.expect_exact(b"Can't open serial port!: No such file or directory")
    con.expect_exact(OPTION)
    assert BACK_TO_9600 not in board.console_text().encode("latin-1")
    assert not any(l.startswith("rx") for l in board.tools_log())
    type_now(con, "r")
    assert board.wait_power_off(con).reason == "reset"

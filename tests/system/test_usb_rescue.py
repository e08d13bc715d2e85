"""The USB rescue from the rescue menu of the real bootmgr: the stick's
files listed and numbered in directory order with directories skipped, the
number question's answers, the working directory afterwards, the chosen
file installed, and a hostile stick's names and special files."""
import os
import re

from download_helpers import install_into, rescue_board, working_directory_is
from boardsim.console import OPTION, press, type_now
from helpers import app_image, on_stick, slot_image

CHOOSE = b"Choose file number to install (q to quit): "


def listed_files(board):
    """What the listing must show: the stick's entries in directory order
    (os.listdir reads the directory the same way), directories left out."""
    return [n for n in os.listdir(board.usb) if not os.path.isdir(os.path.join(board.usb, n))
            or os.path.islink(os.path.join(board.usb, n))]


def listing(con):
    con.expect_exact(CHOOSE)
    return re.findall(rb"\t(\d+): ([^\r\n]*)\r\n", con.before)


def test_listing_answers_and_install(tmp_path):
    images = {"a.img": app_image("A", (1, 0, 0, 1)), "b.img": app_image("B", (2, 0, 0, 2)),
              "notes.txt": b"not an image\n"}
    board = rescue_board(tmp_path, **on_stick(images))
    (board.usb / "old").mkdir()
    (board.usb / "old" / "c.img").write_bytes(images["a.img"])
    expected = listed_files(board)
    assert len(expected) == 3 and "old" not in expected

    con = board.power_on()
    press(con, "u")
    shown = listing(con)
    assert shown == [(str(i + 1).encode(), name.encode()) for i, name in enumerate(expected)]

    # Not a number: the message carries the text, the prompt is not repeated.
    type_now(con, "abc\r")
    con.expect_exact(b"Invalid file number abc. Try again pleas\r\n")
    type_now(con, "0\r")
    con.expect_exact(OPTION)
    assert con.before.count(CHOOSE) == 0
    assert working_directory_is(con, "/tmp")

    # Answers that fetch nothing and say nothing.
    for text in ("-1", "4", "99", "q", "Q", "quit"):
        type_now(con, "u")
        con.expect_exact(CHOOSE)
        type_now(con, text + "\r")
        con.expect_exact(OPTION)
        assert b"Installing" not in con.before and b"Invalid" not in con.before, text
        assert working_directory_is(con, "/tmp"), text

    # " 2" and "2abc" both choose the second file of the listing.
    second = expected[1]
    for text, slot in ((" 2", 1), ("2abc", 2)):
        type_now(con, "u")
        con.expect_exact(CHOOSE)
        type_now(con, text + "\r")
        con.expect_exact(f"Installing {second}\r\n".encode())
        if second == "notes.txt":
            con.expect_exact(b"ERROR: No valid image found")
        else:
            install_into(con, slot)
            assert slot_image(board, slot) == images[second]
        con.expect_exact(OPTION)
        assert working_directory_is(con, "/tmp")
    con.send("e")
    board.wait_power_off(con)


def test_hostile_stick_names_and_special_files(tmp_path):
    image = app_image("L")
    long_name = "x" * 251 + ".img"
    board = rescue_board(tmp_path, **on_stick({long_name: image, "plain.img": image}))
    os.mkfifo(board.usb / "pipe.img")
    os.symlink("plain.img", board.usb / "link.img")
    os.symlink("/dev/zero", board.usb / "zero.img")
    (board.usb / "evil\x1b[2J\nname").write_bytes(b"x")
    expected = listed_files(board)
    number = {name: str(i + 1) for i, name in enumerate(expected)}

    con = board.power_on()
    press(con, "u")
    shown = dict((name, num) for num, name in listing(con))
    # Control bytes of a name are shown as '?': no terminal control, no
    # forged listing line.
    assert shown[b"evil?[2J?name"] == number["evil\x1b[2J\nname"].encode()
    assert b"\x1b" not in con.before
    type_now(con, "q\r")
    con.expect_exact(OPTION)

    # A FIFO, or a link to a device, is not handed to the installer (it
    # would block reading it or read the board's own device).
    for name in ("pipe.img", "zero.img"):
        type_now(con, "u")
        con.expect_exact(CHOOSE)
        type_now(con, number[name] + "\r")
        con.expect_exact(f"/mnt/usb/{name} is not a regular file. Quitting\r\n".encode())
        con.expect_exact(OPTION)
        assert b"Extracting images" not in con.before
    assert slot_image(board, 1) is None

    # A link to a file of the stick counts as an entry of its own and
    # installs; a name of the longest length is handed over whole.
    for name, slot in (("link.img", 1), (long_name, 2)):
        type_now(con, "u")
        con.expect_exact(CHOOSE)
        type_now(con, number[name] + "\r")
        con.expect_exact(f"Installing {name}\r\n".encode())
        install_into(con, slot)
        assert slot_image(board, slot) == image
        con.expect_exact(OPTION)
    con.send("e")
    board.wait_power_off(con)

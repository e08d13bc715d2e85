"""What the virtual-board scenarios share beyond the simulated board's test
helpers (tests/system/helpers.py) and the console typing of both boards
(boardsim.console): the demo left by a reset, the board state read back
from the virtual board's own files, and the rescue menu's USB listing."""

import re
import time

import helpers
from boardsim.console import press, type_now


def reboot_from_demo(board, con, label=None):
    """Waits for the demo application (the one from label, when given) and
    resets the board from its prompt; gives the power-off record."""
    if label is not None:
        con.expect_exact(f"Demo application from {label},")
    con.expect_exact(b"demo> ")
    con.send("reboot\r")
    return board.wait_power_off(con, timeout=60)


def slot_image(board, slot):
    return board.user_file(f"images/image{slot}")


def rejected(board):
    """The rejected list on the board's jffs2 partition: its entries' names."""
    prefix = "images/rejected/"
    return sorted(p[len(prefix):] for p in board.user_files() if p.startswith(prefix))


def reject(board, data):
    """Enters the content into the rejected list, as an earlier boot would."""
    board.write_user_files({f"images/rejected/{helpers.md5(data)}": b""})


CHOOSE = b"Choose file number to install (q to quit): "


def usb_listing(con, tries=20):
    """Rescue menu U until the stick's files are listed (mdev mounts the
    stick once USB has found it); gives the listing as [(number, name)],
    with the number question waiting for an answer."""
    for _ in range(tries):
        press(con, "u")
        con.expect_exact(CHOOSE)
        shown = [(int(n), name.decode("latin-1"))
                 for n, name in re.findall(rb"\t(\d+): ([^\r\n]*)\r\n", con.before)]
        if shown:
            return shown
        type_now(con, "q\r")
        time.sleep(1)
    raise AssertionError("the stick was never listed")

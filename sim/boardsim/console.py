"""Typing on a board's console as an operator does, for the system tests,
the virtual-board tests, the campaigns and the benchmarks alike: keys go
out only once the program waits in its read (a settle time after its
prompt), a line ends with Enter, and a shell command ends with a mark that
its echoed command line cannot match."""

import os
import time

# The rescue menu's prompt.
OPTION = b"\r\nOption? : "
# From a virtual board's power-on to bootmgr's first prompt, at the most.
BOOT_TIMEOUT = 120
# How long after its prompt a program is surely waiting in its read (bytes
# that arrive while the terminal is between two reads, canonical and
# echoing, would be handled by the terminal itself): the simulated board's
# host build, its board build under qemu-ppc, and the board build on the
# virtual board's emulated core.
SETTLE_TIMES = {"host": 0.25, "ppc": 0.6, "vboard": 0.5}
# The simulated board's, for the architecture this test run uses.
SETTLE = SETTLE_TIMES[os.environ.get("BOARDSIM_ARCH", "host")]


def settle_time(con):
    """The settle time of the board behind the console (con.board, set by
    power_on); the simulated board's for any other console."""
    board = getattr(con, "board", None)
    if board is not None and board.conf().get("backend") == "vboard":
        return SETTLE_TIMES["vboard"]
    return SETTLE


def type_now(con, keys):
    """Types keys once the program waits in its read (the prompt already seen)."""
    time.sleep(settle_time(con))
    con.send(keys)


def interrupt_now(con):
    """Sends the terminal's interrupt key (SIGINT) once the program waits."""
    time.sleep(settle_time(con))
    con.sendintr()


def press(con, key, after=OPTION, timeout=-1):
    """Waits for the prompt (by default the rescue menu's), then types key.
    A timeout of -1 is the console's own."""
    con.expect_exact(after, timeout=timeout)
    type_now(con, key)


def answer(con, prompt, line, timeout=-1):
    """Waits for the prompt, then types the line and Enter."""
    con.expect_exact(prompt, timeout=timeout)
    type_now(con, line + (b"\r" if isinstance(line, bytes) else "\r"))


def shell(con, command, prompt=b"# ", timeout=-1):
    """Runs one command in the shell on the console; gives its output (the
    quotes keep the echoed command line from matching the end mark)."""
    con.send(command + '; echo @@"END"@@\r')
    con.expect_exact(b"@@END@@\r\n", timeout=timeout)
    out = con.before.decode("latin-1")
    con.expect_exact(prompt, timeout=timeout)
    return out


def tftp_download(con, name, server="192.0.2.1", address="192.0.2.10", timeout=-1):
    """Rescue menu T: a static address, then `name` from the TFTP server
    (QEMU's own at 192.0.2.1 on a virtual board with net=user)."""
    press(con, "t", timeout=timeout)
    answer(con, b"IP addr    :", address, timeout)
    answer(con, b"Netmask    :", "255.255.255.0", timeout)
    answer(con, b"Gateway    :", "", timeout)
    answer(con, b"Server addr:", server, timeout)
    answer(con, b"Image Filename: ", name, timeout)

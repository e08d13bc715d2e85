"""The rescue menu's board-level paths on the virtual board: the
erase-and-diagnostics boot (flash_eraseall on the real jffs2 user
partition, then the rescue partition's image), the MAC address set from the
menu and read back from the kernel; and the launches under the debugging
tools, built from Debian's sources: the gdbserver boot, whose management
port takes a lease from the network lab's dnsmasq, where gdb-multiarch on
the lab's side drives the gdbserver, and the DUMA memory checker, with and
without gdbserver. The application is the board build's debug_app
(sim/debugapp), packed stripped; the debugger reads the unstripped one."""

import re
import subprocess
import tempfile
from pathlib import Path

import helpers
from boardsim.console import BOOT_TIMEOUT, answer, press, shell, type_now
from vboard_helpers import reboot_from_demo
from boardsim import netlab
from boardsim.board import REPO
from boardsim.default_board import archive, make_image

CONFIRM = b"Confirm: Erase filesystem? (all saved data, configuration, keys will be lost) y/N: "
ERASE_STEPS = ("unmount filesystem", "Erasing filesystem for clean install", "Mounting...",
               "creating default filesystem", "Booting diags image...")
DIAGS_DONE = b"Diagnostics done."
MAC_PROMPT = b"MAC address (format nn:nn:nn:nn:nn:nn): "


def test_erase_then_the_rescue_partitions_image_boots(vboard_factory):
    board = vboard_factory(default=True, env={"diagnostics": "rescue"})
    board.write_user_files({"keep.txt": b"saved data"})
    assert {"images/image1", "images/image2", "keep.txt"} <= set(board.user_files())
    con = board.power_on(timeout=BOOT_TIMEOUT)
    press(con, "d")
    con.expect_exact(CONFIRM)
    type_now(con, "y")
    con.expect_exact(b"Demo diagnostics from rescue partition, version 1.0.0.9")
    con.expect_exact(DIAGS_DONE)
    # The diagnostics end and nothing follows them: the board is switched off.
    board.power_cut()
    board.wait_power_off(con, timeout=30)
    helpers.check_console(helpers.console(board), ERASE_STEPS,
                          hides=("Booting image", "ifconfig:"))
    assert set(board.user_files()) == set(), "the slots and the saved data are gone"
    user = board.partition("user")
    # flash_eraseall left the 35 MiB erased but for the few nodes of /images.
    assert len(user) - user.count(b"\xff") < 64 * 1024
    assert board.eeprom(314) == 4


def test_mac_address_from_the_rescue_menu_reaches_the_kernel(vboard_factory):
    mac = "02:00:5e:10:20:3a"
    board = vboard_factory(default=True, env={"diagnostics": "rescue", "shell": "on"}, net="user")
    con = board.power_on(timeout=BOOT_TIMEOUT)
    press(con, "m")
    answer(con, MAC_PROMPT, "02:00:5E:10:20:3A")
    press(con, "e")
    con.expect_exact(b"Dropping into shell")
    type_now(con, "\r")
    con.expect_exact(b"# ")
    assert shell(con, "cat /sys/class/net/eth0/address").split()[-1] == mac
    assert re.search(rf"link/ether {mac} ", shell(con, "ip link show eth0"))
    con.send("exit\r")
    con.expect_exact(b"Dropping out of shell")
    assert reboot_from_demo(board, con, "image slot 1").reason == "reset"
    assert "Invalid MAC address" not in board.console_text()


# ---- the launches under gdbserver and DUMA ----

DEBUG_APP = REPO / "build/board/bin/debug_app"
SOURCE = "debug_app.c"
DHCP_QUESTION = b"Confirm: Use DHCP for network configuration? y/N: "
GDB_PORT = "2345"
DUMA_BANNER = b"DUMA, built "


def source_line(text):
    """The line number of the application's source line holding text."""
    lines = (REPO / "sim/debugapp" / SOURCE).read_text().splitlines()
    return next(n for n, line in enumerate(lines, start=1) if text in line)


def debug_app_image(overrun):
    """An application image holding debug_app, stripped, as
    home/bin/mp.elf.strip, with an install script (without which env-setup
    is not read) and an env-setup that asks for the overrun or not."""
    with tempfile.TemporaryDirectory() as tmp:
        stripped = Path(tmp, "mp.elf.strip")
        subprocess.run(["powerpc-linux-gnu-strip", "-o", str(stripped), str(DEBUG_APP)],
                       check=True)
        files = {
            "home/bin/mp.elf.strip": stripped.read_bytes(),
            "home/bin/install.sh": "#!/bin/sh\necho debug-app: installed\n",
            "home/bin/env-setup": f"DEBUG_APP_OVERRUN {1 if overrun else 0}\n",
        }
    return make_image([{"type": "app", "version": "7.0.0.1", "payload": archive(files)}])


def gdbserver_board(vboard_factory, memchk, overrun):
    """A board booting debug_app under gdbserver (and DUMA with memchk) on
    the lab's network: powered on, its lease taken, gdbserver listening.
    Gives the board, its console and its leased address."""
    env = {"gdbserver": "on", "gdbport": GDB_PORT, **({"memchk": "on"} if memchk else {})}
    board = vboard_factory(default=True, env=env, net="lab", slot1=debug_app_image(overrun))
    lab = netlab.lab_for(board)
    con = board.power_on(timeout=BOOT_TIMEOUT)
    answer(con, DHCP_QUESTION, "y")
    con.expect_exact(b"Booting image '1'", timeout=90)
    con.expect_exact(b"Process /tmp/home/bin/mp.elf.strip created; pid = ", timeout=60)
    con.expect_exact(f"Listening on port {GDB_PORT}".encode(), timeout=60)
    leases = lab.leases()
    assert len(leases) == 1, leases
    found = re.search(r" (192\.0\.2\.1[0-4]\d) ", leases[0])
    assert found, leases
    return board, con, found.group(1)


def debug(board, address, *commands):
    """gdb-multiarch in batch mode on the lab's side of the link, on the
    unstripped application, connected to the board's gdbserver; runs the
    commands and gives gdb's output."""
    argv = ["gdb-multiarch", "-nx", "-batch", "-ex", "set sysroot /usr/powerpc-linux-gnu",
            "-ex", "set confirm off", "-ex", f"target remote {address}:{GDB_PORT}"]
    for command in commands:
        argv += ["-ex", command]
    done = netlab.lab_for(board).lab_exec(argv + [str(DEBUG_APP)], timeout=120)
    return done.stdout + done.stderr


def test_gdbserver_boot_with_a_lease_and_a_debugger_from_the_lab(vboard_factory, needs_root):
    board, con, address = gdbserver_board(vboard_factory, memchk=False, overrun=False)
    out = debug(board, address, "break work", "continue", "backtrace", "print n", "next",
                "print doubled", "continue")
    assert re.search(rf"Breakpoint 1, work \(n=21\) at .*{SOURCE}:", out), out
    assert re.search(r"#0 +work \(n=21\).*\n#1 +0x[0-9a-f]+ in main \(\)", out), out
    assert "$1 = 21" in out and "$2 = 42" in out, out
    assert "[Inferior 1 (process " in out and "exited normally]" in out, out
    con.expect_exact(b"debug-app: started")
    con.expect_exact(b"debug-app: work(21) = 42")
    con.expect_exact(b"debug-app: finished")
    # The application has ended: bootmgr resets the board, which comes up
    # again into the same boot.
    assert board.wait_power_off(con, timeout=60).reason == "reset"
    con = board.power_on(timeout=BOOT_TIMEOUT)
    con.expect_exact(DHCP_QUESTION)
    board.power_cut()
    board.wait_power_off(con, timeout=30)
    text = helpers.console(board)
    assert "Mgmt link not available" not in text


def test_duma_and_gdbserver_the_debugger_sees_the_overrun(vboard_factory, needs_root):
    board, con, address = gdbserver_board(vboard_factory, memchk=True, overrun=True)
    out = debug(board, address, "continue", "backtrace", "kill")
    assert "Program received signal SIGSEGV" in out, out
    line = source_line("buffer[size] = 'x';")
    assert re.search(rf"overrun \(size=16\) at .*{SOURCE}:{line}\n", out), out
    assert re.search(r"#1 +0x[0-9a-f]+ in main \(\)", out), out
    con.expect_exact(b"debug-app: writing byte 16 of a 16-byte buffer")
    assert board.wait_power_off(con, timeout=60).reason == "reset"
    text = helpers.console(board)
    assert "the overrun went unnoticed" not in text
    # DUMA runs in gdbserver itself and in the shell gdbserver starts the
    # application with (their banners come before gdbserver listens), and
    # reaches the application through gdbserver: its banner once it runs.
    before, _, after = text.partition(f"Listening on port {GDB_PORT}")
    banner = DUMA_BANNER.decode()
    assert before.count(banner) == 2 and after.count(banner) == 1, text[-2000:]


def test_duma_alone_stops_the_overrun_and_lets_the_clean_run_finish(vboard_factory):
    board = vboard_factory(default=True, env={"memchk": "on"}, slot1=debug_app_image(True))
    con = board.power_on(timeout=BOOT_TIMEOUT)
    con.expect_exact(b"Running AOS install script", timeout=90)
    con.expect_exact(DUMA_BANNER)
    con.expect_exact(b"debug-app: writing byte 16 of a 16-byte buffer")
    # DUMA's guard page after the buffer: the shell reports the fault.
    con.expect_exact(b"Segmentation fault")
    assert board.wait_power_off(con, timeout=60).reason == "reset"
    text = helpers.console(board)
    assert "the overrun went unnoticed" not in text and "debug-app: finished" not in text

    board.set(slot1=debug_app_image(False))
    con = board.power_on(timeout=BOOT_TIMEOUT)
    con.expect_exact(DUMA_BANNER, timeout=90)
    con.expect_exact(b"debug-app: work(21) = 42")
    con.expect_exact(b"debug-app: finished")
    assert board.wait_power_off(con, timeout=60).reason == "reset"

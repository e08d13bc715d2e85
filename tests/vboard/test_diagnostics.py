"""The rescue menu's board-level paths on the virtual board: the
erase-and-diagnostics boot (flash_eraseall on the real jffs2 user
partition, then the rescue partition's image), the MAC address set from the
menu and read back from the kernel, and the gdbserver boot, whose
management port takes a lease from the network lab's dnsmasq, where a
debugger on the lab's side reaches the gdbserver."""

import re

import helpers
from boardsim.console import BOOT_TIMEOUT, answer, press, shell, type_now
from vboard_helpers import reboot_from_demo
from boardsim import netlab

CONFIRM = b"Confirm: Erase filesystem? (all saved data, configuration, keys will be lost) y/N: "
ERASE_STEPS = ("unmount filesystem", "Erasing filesystem for clean install", "Mounting...",
               "creating default filesystem", "Booting diags image...")
DIAGS_DONE = b"Diagnostics done."
MAC_PROMPT = b"MAC address (format nn:nn:nn:nn:nn:nn): "
# A debugger's first words to a gdbserver at ADDRESS PORT ("?": why did the
# program stop): prints the answer, or why there was none (a port refused
# for 20 s, or no answer from the address at all).
ASK_STOP = """import socket, sys, time
end = time.monotonic() + 20
while True:
    try:
        with socket.create_connection((sys.argv[1], int(sys.argv[2])), timeout=10) as s:
            s.sendall(b"$?#3f")
            got = b""
            while b"#" not in got:
                more = s.recv(64)
                if not more:
                    break
                got += more
            print(got.decode("latin-1"))
        break
    except ConnectionRefusedError:
        # The stand-in may not be listening yet.
        if time.monotonic() > end:
            print("refused")
            break
        time.sleep(0.5)
    except OSError as e:
        print(type(e).__name__)
        break
"""


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


def test_gdbserver_boot_takes_a_dhcp_lease_and_answers_a_debugger(vboard_factory, needs_root):
    board = vboard_factory(default=True, env={"gdbserver": "on", "gdbport": "2345"}, net="lab")
    lab = netlab.lab_for(board)
    con = board.power_on(timeout=BOOT_TIMEOUT)
    answer(con, b"Confirm: Use DHCP for network configuration? y/N: ", "y")
    con.expect_exact(b"Booting image '1'", timeout=90)
    con.expect_exact(b"listening on port 2345")
    leases = lab.leases()
    assert len(leases) == 1, leases
    found = re.search(r" (192\.0\.2\.1[0-4]\d) ", leases[0])
    assert found, leases
    # From the lab's side a debugger reaches the board at its leased
    # address: the stand-in answers as gdbserver does before the program runs.
    reply = lab.lab_exec(["/usr/bin/python3", "-c", ASK_STOP, found.group(1), "2345"])
    assert reply.stdout.strip() == "+$S05#b8", reply
    assert reboot_from_demo(board, con, "image slot 1").reason == "reset"
    text = helpers.console(board)
    assert "Mgmt link not available" not in text

"""The board build of bootmgr on the virtual board's real kernel: the CFI
NOR flash through MTD, the jffs2 user partition, the I2C EEPROM through
i2c-dev, the 16550 console, virtio-net with a real DHCP/TFTP lab, and a vfat
stick on EHCI. Each test checks the board's own files on the host
afterwards (flash image, EEPROM file), as a power-cycled board keeps them."""

import re
import time

from boardsim import netlab
from boardsim.console import BOOT_TIMEOUT, answer, press, shell, tftp_download
from boardsim.default_board import app_image, make_image
from boardsim.vboard import LAYOUT
from vboard_helpers import reboot_from_demo

def test_boot_into_the_demo_on_the_real_devices(vboard_factory):
    board = vboard_factory(default=True, env={"shell": "on"})
    con = board.power_on(timeout=BOOT_TIMEOUT)
    con.expect_exact(b"Booting image '1'")
    con.expect_exact(b"Dropping into shell")
    time.sleep(1)
    con.send("\r")
    con.expect_exact(b"# ")
    mtd = shell(con, "cat /proc/mtd")
    found = re.findall(r'mtd(\d+): ([0-9a-f]{8}) ([0-9a-f]{8}) "(\w+)"', mtd)
    assert [(name, int(size, 16), int(erase, 16)) for _n, size, erase, name in found] == \
        [(name, size, 0x10000) for name, (_off, size) in LAYOUT.items()]
    mounts = shell(con, "grep ' /user ' /proc/mounts; ls /user/images")
    assert re.search(r"^/dev/mtd-user /user jffs2 rw,sync", mounts, re.M), mounts
    assert "image1" in mounts and "image2" in mounts
    links = shell(con, "ls -l /dev/mtd-* /dev/i2c-1")
    assert re.search(r"mtd-user -> mtdblock6", links) and re.search(r"mtd-kernel -> mtd3", links)
    con.send("exit\r")
    con.expect_exact(b"Dropping out of shell")
    con.expect_exact(b"Demo application from image slot 1, version 1.0.0.1")
    assert reboot_from_demo(board, con).reason == "reset"
    assert board.eeprom(314) == 1


def test_crc_damage_in_slot_1_boots_slot_2(vboard_factory):
    board = vboard_factory(default=True)
    slot1 = bytearray(board.user_file("images/image1"))
    slot1[-100] ^= 0x40
    board.set(slot1=bytes(slot1), booted_image=0)
    con = board.power_on(timeout=BOOT_TIMEOUT)
    con.expect_exact(b"Booting image '1'")
    con.expect_exact(b"Image1 CRC failed, trying Image2 now.")
    con.expect_exact(b"Booting image '2'")
    con.expect_exact(b"Demo application from image slot 2, version 1.0.0.2")
    assert reboot_from_demo(board, con).reason == "reset"
    assert board.eeprom(314) == 2
    assert board.eeprom(256) == 1, "a fallback does not change the selection"
    assert board.user_file("images/image1") == bytes(slot1)


def test_tftp_rescue_into_slot_2_then_it_boots(vboard_factory, needs_root):
    board = vboard_factory(default=True, env={"diagnostics": "rescue"}, net="lab")
    image = app_image("TFTP download", "1.0.0.3")
    lab = netlab.lab_for(board)
    lab.put("switch.img", image)
    con = board.power_on(timeout=BOOT_TIMEOUT)
    con.expect_exact(b"Entering Rescue Mode.")
    tftp_download(con, "switch.img")
    con.expect_exact(b"Installing image switch.img from TFTP server 192.0.2.1", timeout=90)
    answer(con, b"Install image as image 1 or 2 (hit return to just boot image): ", "2")
    con.expect_exact(b"Image2 updated succeeded", timeout=60)
    press(con, "r")
    assert board.wait_power_off(con, timeout=60).reason == "reset"
    assert board.user_file("images/image2") == image
    assert board.eeprom(256) == 2
    assert "Attempt" not in board.console_text()

    board.set(env={"diagnostics": "off"})
    con = board.power_on(timeout=BOOT_TIMEOUT)
    con.expect_exact(b"Booting image '2'")
    con.expect_exact(b"Demo application from TFTP download, version 1.0.0.3")
    assert reboot_from_demo(board, con).reason == "reset"
    assert board.eeprom(314) == 2


def test_device_tree_install_from_the_stick_lands_in_flash(vboard_factory):
    tree = bytes((i * 7) & 0xFF for i in range(100_000))
    image = make_image([{"type": "devicetree", "version": "1.2.0.9", "payload": tree}])
    board = vboard_factory(default=True, env={"diagnostics": "rescue"}, usb="plugged",
                           **{"usb.dt.img": image})
    before = {name: board.partition(name) for name in ("uboot", "devicetree", "kernel", "rfs",
                                                       "rescue")}
    con = board.power_on(timeout=BOOT_TIMEOUT)
    con.expect_exact(b"Entering Rescue Mode.")
    # The stick is mounted by mdev once USB has found it: ask until it is listed.
    for _ in range(20):
        press(con, "u")
        listing = con.expect_exact([b"\t1: dt.img\r\n", b"Choose file number"])
        if listing == 0:
            break
        answer(con, b"", "q")
        time.sleep(1)
    answer(con, b"Choose file number to install (q to quit): ", "1")
    con.expect_exact(b"Installing Device Tree: ")
    con.expect_exact(b"100%", timeout=60)
    con.expect_exact(b"File processed")
    press(con, "r")
    assert board.wait_power_off(con, timeout=60).reason == "reset"
    after = board.partition("devicetree")
    expected = image + before["devicetree"][len(image):]
    assert after == expected, "the component at offset 0, the rest of the partition as it was"
    for name in ("uboot", "kernel", "rfs", "rescue"):
        assert board.partition(name) == before[name], f"{name} changed"

"""The installer on the virtual board's real flash: one image holding every
component type, installed from the USB stick through the rescue menu,
lands byte for byte in the CFI NOR partitions (the boot loader without its
header, its header copy at payload byte 240) and in the jffs2 slot, each
partition's bytes past the component left as they were; the same image
offered again as a replacement on a stick is skipped component by
component (the version check is on for replacements), and flash stays as
it was."""

import helpers
from boardsim.console import BOOT_TIMEOUT, answer, press, type_now
from vboard_helpers import reboot_from_demo, slot_image, usb_listing
from boardsim.default_board import archive, demo_files

PARTS = ("uboot", "kernel", "rfs", "devicetree", "rescue")
SKIP = "Image has same version as existing image. Skipping update..."


def pattern(size, seed):
    block = bytes((i * 7 + seed) & 0xFF for i in range(4096))
    return (block * (size // 4096 + 1))[:size]


def every_component():
    """(image bytes, {partition: what it must start with}, the app component)."""
    payload = pattern(240, 0x5A) + bytes(16) + pattern(70000, 0x11)
    boot = helpers.component(helpers.UBOOT, payload, (2, 1, 0, 7), boot_copy=True)
    assert boot[16 + 244:16 + 256] == boot[4:16]  # the copy at byte 240, as the tool placed it
    kernel = helpers.component(helpers.KERNEL, pattern(300000, 1), (3, 2, 1, 0))
    rfs = helpers.component(helpers.RFS, pattern(200000, 2), (4, 0, 0, 1), header_size=32)
    dtb = helpers.component(helpers.DTB, pattern(20000, 3), (5, 0, 0, 0))
    diags = helpers.component(helpers.DIAGS, pattern(100000, 4), (6, 0, 0, 0))
    app = helpers.component(helpers.APP, archive(demo_files("installed image", "7.7.7.7")),
                            (7, 7, 7, 7))
    stored = {"uboot": boot[16:], "kernel": kernel, "rfs": rfs, "devicetree": dtb,
              "rescue": diags}
    return boot + kernel + rfs + dtb + diags + app, stored, app


def test_every_component_type_then_the_same_version_skipped(vboard_factory):
    image, stored, app = every_component()
    board = vboard_factory(default=True, env={"diagnostics": "rescue"},
                           **helpers.on_stick({"all.img": image}))
    before = {name: board.partition(name) for name in PARTS}
    con = board.power_on(timeout=BOOT_TIMEOUT)
    con.expect_exact(b"Entering Rescue Mode.")
    assert usb_listing(con) == [(1, "all.img")]
    type_now(con, "1\r")
    answer(con, helpers.SLOT_QUESTION, "2")
    con.expect_exact(b"Image2 updated succeeded", timeout=300)
    con.expect_exact(b"File processed")
    press(con, "r")
    assert board.wait_power_off(con, timeout=60).reason == "reset"

    text = helpers.console(board)
    for heading in ("Installing Boot Loader: ", "Installing Kernel: ",
                    "Installing Root Filesystem: ", "Installing Device Tree: ",
                    "Installing Diagnostics: ", "Installing Application: "):
        assert text.count(heading) == 1, heading
    assert SKIP not in text
    written = {}
    for name in PARTS:
        written[name] = board.partition(name)
        expected = stored[name] + before[name][len(stored[name]):]
        assert written[name] == expected, f"{name}: not the component and the old rest"
    assert slot_image(board, 2) == app
    assert board.eeprom(256) == 2

    # The same image as a replacement for slot 2: every component skipped.
    board.set(env={"diagnostics": "off"}, usb_boot=213, **{"usb.KV4410NX_replace2_OS.img": image})
    (board.usb / "all.img").unlink()
    con = board.power_on(timeout=BOOT_TIMEOUT)
    assert reboot_from_demo(board, con, "installed image").reason == "reset"
    helpers.check_console(
        helpers.console(board),
        shows=("USB image (file 'KV4410NX_replace2_OS.img') replacement for image2 found",
               "Image2 has same version as existing image. Skipping update...",
               "No valid image found on USB", "Booting image '2'"),
        hides=("successfully replaced", "100%"), counts={SKIP: 5})
    for name in PARTS:
        assert board.partition(name) == written[name], f"{name} written again"
    assert slot_image(board, 2) == app
    assert board.eeprom(314) == 2

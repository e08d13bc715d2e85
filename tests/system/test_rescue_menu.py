"""The rescue menu on the simulated board: keys in either case, hidden
entries, unknown keys, the interrupt key, the version list, the erase
confirmation with the diagnostics boot, Exit and Reboot."""
import io
import os
import struct
import subprocess
import tarfile
import tempfile
import time
from pathlib import Path

from boardsim import Board

SETTLE = 0.6 if os.environ.get("BOARDSIM_ARCH") == "ppc" else 0.25
APP, UBOOT, KERNEL, RFS, DTB, DIAGS = (0x01504547, 0x02504547, 0x03504547, 0x04504547, 0x05504547,
                                       0x06504547)
MENU = (b"Please select one of the following options:\r\n"
        b"\tT) Configure networking and tftp download an image\r\n"
        b"\tX) Use xmodem 1K to serial download an image\r\n"
        b"\tR) Reboot\r\n"
        b"\tE) Exit\r\n")
OPTION = b"\r\nOption? : "
CONFIRM = b"Confirm: Erase filesystem? (all saved data, configuration, keys will be lost) y/N: "


def component(ctype, payload, version):
    """One component made by the image tool."""
    with tempfile.TemporaryDirectory() as tmp:
        Path(tmp, "payload").write_bytes(payload)
        out = Path(tmp, "component")
        subprocess.run([os.environ["BMIMAGE"], "create", "-o", str(out), "--type", hex(ctype),
                        "--file", str(Path(tmp, "payload")), "--version", ".".join(map(str, version))],
                       check=True, capture_output=True)
        return out.read_bytes()


def archive(member, marker):
    data = io.BytesIO()
    with tarfile.open(fileobj=data, mode="w:gz") as tar:
        script = f"#!/bin/sh\necho {marker}\n".encode()
        info = tarfile.TarInfo(member)
        info.size = len(script)
        info.mode = 0o755
        tar.addfile(info, io.BytesIO(script))
    return data.getvalue()


def make_board(tmp_path, **choices):
    return Board.create(tmp_path / "b", time_scale=0.02, **choices)


def press(con, key, after=OPTION):
    con.expect_exact(after)
    time.sleep(SETTLE)
    con.send(key)


def answer_line(con, prompt, line):
    con.expect_exact(prompt)
    time.sleep(SETTLE)
    con.send(line)


def test_keys_hidden_entries_and_unknown_options(tmp_path):
    board = make_board(tmp_path)
    con = board.power_on(program=["probe_console", "rescue"])
    con.expect_exact(b"Entering Rescue Mode.\r\n" + MENU + b"\r\nOption? : ")
    time.sleep(SETTLE)
    con.send(b"?")
    con.expect_exact(b'?\r\nunknown option "?". Please try again\r\n' + OPTION)
    time.sleep(SETTLE)
    con.send(b"\r")  # Enter: the terminal (ICRNL) hands it over as LF
    con.expect_exact(b'\r\n\r\nunknown option "\r\n". Please try again\r\n' + OPTION)
    time.sleep(SETTLE)
    con.sendintr()  # while waiting for a key: echo, flag cleared, prompt again
    con.expect_exact(OPTION)
    time.sleep(SETTLE)
    con.send(b"v")
    con.expect_exact(b"v\r\nInstalled images versions: \r\n")
    con.expect_exact(MENU)
    press(con, b"u")
    answer_line(con, b"Choose file number to install (q to quit): ", b"q\r")
    con.expect_exact(MENU)
    press(con, b"m")
    con.expect_exact(b"MAC address (format nn:nn:nn:nn:nn:nn): ")
    time.sleep(SETTLE)
    con.sendintr()  # raised during an action: cleared when the action returns
    con.expect_exact(b"\x07")
    time.sleep(SETTLE)
    con.send(b"q\r")
    con.expect_exact(MENU)
    press(con, b"t")
    con.expect_exact(b"Performing TFTP rescue.")
    time.sleep(2 * SETTLE)
    con.send(b"q\r")
    con.expect_exact(MENU, timeout=60)
    press(con, b"e")
    con.expect(rb"run_rescue_mode=(\d) sig=(\d)")
    assert con.match.groups() == (b"1", b"0")
    board.wait_power_off(con)
    text = board.console_text()
    assert text.count("Entering Rescue Mode.") == 1
    assert text.count("Please select one of the following options:") == 5
    assert "unknown option" not in text.split("Installed images versions")[1]


def test_version_list(tmp_path):
    board = make_board(tmp_path)
    boot_copy = struct.pack(">IIII", 0, 4096, UBOOT, 0x02000A01)
    board.write_partition("uboot", bytes(240) + boot_copy)
    board.write_partition("kernel", component(KERNEL, b"k" * 100, (1, 2, 3, 4)))
    board.write_partition("rfs", component(RFS, b"r" * 100, (255, 0, 128, 7)))
    board.write_partition("devicetree", bytes(16))
    (board.user / "images").mkdir(parents=True, exist_ok=True)
    (board.user / "images" / "image1").write_bytes(component(APP, b"a" * 100, (9, 8, 7, 250)))
    missing = board.user / "images" / "image2"
    if missing.exists():
        missing.unlink()
    con = board.power_on(program=["probe_console", "rescue"])
    press(con, b"V")
    con.expect_exact(b"Installed images versions: \r\n"
                     b"\tBoot image  : 2.0.10.1\r\n"
                     b"\tRFS image   : 255.0.128.7\r\n"
                     b"\tKernel image: 1.2.3.4\r\n"
                     b"\tDFT image   : 0.0.0.0\r\n"
                     b"\tOS image 1  : 9.8.7.250\r\n"
                     b"\tOS image 2  : 0.0.0.0\r\n")
    con.expect_exact(MENU)
    press(con, b"E")
    con.expect_exact(b"run_rescue_mode=1")
    board.wait_power_off(con)


def erase_commands(board):
    return [l for l in board.tools_log()
            if l.split()[:1] in (["umount"], ["/bin/umount"], ["flash_eraseall"]) or "mtd-user-char" in l]


def test_erase_confirmation_then_diagnostics_boot(tmp_path):
    diags = component(DIAGS, archive("mpdiag.elf.strip", "DIAGNOSTICS RUNNING"), (6, 0, 0, 1))
    for key, erases in ((b"y", True), (b"Y", True), (b"n", False), (b"\r", False)):
        board = Board.create(tmp_path / f"b{key[0]}", time_scale=0.02)
        board.write_partition("rescue", diags)
        (board.user / "keep.txt").write_text("saved data")
        con = board.power_on(program=["probe_console", "diags"])
        con.expect_exact(CONFIRM)
        time.sleep(SETTLE)
        con.send(key)
        con.expect_exact(b"Booting diags image...", timeout=60)
        con.expect_exact(b"DIAGNOSTICS RUNNING", timeout=120)
        board.wait_power_off(con)
        text = board.console_text()
        assert ("Erasing filesystem for clean install" in text) == erases, key
        assert (board.user / "keep.txt").exists() != erases, key
        assert bool(erase_commands(board)) == erases, key
        if erases:
            assert text.index("unmount filesystem") < text.index("Mounting...") < text.index(
                "creating default filesystem") < text.index("Booting diags image...")
            assert (board.user / "images").is_dir()


def test_diagnostics_boot_failure_returns_to_menu(tmp_path):
    board = make_board(tmp_path)  # the rescue partition is erased: nothing to boot
    con = board.power_on(program=["probe_console", "rescue"])
    press(con, b"d")
    con.expect_exact(CONFIRM)
    time.sleep(SETTLE)
    con.send(b"n")
    con.expect_exact(b"Booting diags image...")
    con.expect_exact(MENU, timeout=60)
    press(con, b"e")
    con.expect_exact(b"run_rescue_mode=1")
    board.wait_power_off(con)


def test_exit_continues_the_boot(tmp_path):
    app = component(APP, archive("home/bin/mp.elf.strip", "SLOT ONE APPLICATION"), (1, 0, 0, 0))
    slot1 = tmp_path / "slot1.img"
    slot1.write_bytes(app)
    board = make_board(tmp_path, image_select=1, env={"diagnostics": "rescue"}, slot1=str(slot1))
    con = board.power_on()
    con.expect_exact(b"Entering Rescue Mode.", timeout=60)
    press(con, b"e")
    con.expect_exact(b"Booting image '1'", timeout=60)
    con.expect_exact(b"SLOT ONE APPLICATION", timeout=120)
    board.wait_power_off(con)


def test_reboot_resets_after_a_second(tmp_path):
    board = make_board(tmp_path, env={"diagnostics": "rescue"})
    con = board.power_on()
    con.expect_exact(b"Entering Rescue Mode.", timeout=60)
    press(con, b"r")
    off = board.wait_power_off(con)
    assert off.reason == "reset"
    sleeps = [l for l in board.device_log() if l.startswith("clock sleep")]
    assert len(sleeps) >= 2 and sleeps[-2:] == ["clock sleep 1000000us", "clock sleep 1000000us"]

"""The installer on the simulated board: every component type in its place,
size limits, checksum and truncation refusals, same-version skips, the slot
question and the boot of a downloaded application."""
import os
import re
import stat

import pytest
from helpers import (APP, DIAGS, DTB, KERNEL, RFS, SLOT_QUESTION, UBOOT, component, jamcrc, new_board,
                     packed_component, place_image, run_installer, script_archive)

ERASE = 131072
PROMPT = SLOT_QUESTION.decode()
EXTRACTING = "\nExtracting images ... Do *NOT* power cycle the switch."


def bootloader(size, version=(2, 1, 0, 7), fill=0x5A):
    """A boot loader whose payload carries a copy of its header at byte 240."""
    payload = bytes([fill]) * 240 + bytes(16) + bytes([fill ^ 0xFF]) * (size - 256)
    made = component(UBOOT, payload, version, boot_copy=True)
    assert made[16 + 240 + 4:16 + 256] == made[4:16]  # the copy, as the tool placed it
    return made


def pattern(size, seed):
    block = bytes((i * 7 + seed) & 0xFF for i in range(4096))
    return (block * (size // 4096 + 1))[:size]


def erases(board, part):
    return [l for l in board.device_log() if l.startswith(f"mtd erase {part} ")]


def stored_header(board, ctype, slot=0):
    con = board.power_on(program=["probe_install", "header", hex(ctype), str(slot)])
    con.expect(r"header=([0-9a-f]{32}) result=(\d)")
    header, result = bytes.fromhex(con.match.group(1).decode()), int(con.match.group(2))
    board.wait_power_off(con)
    return header, result


def erased(size):
    return b"\xff" * size


def test_every_component_type_lands_in_its_place(tmp_path):
    board = new_board(tmp_path)
    boot = bootloader(4000)
    kernel = component(KERNEL, pattern(300000, 1), (3, 2, 1, 0))
    rfs = component(RFS, pattern(5000, 2), (4, 0, 0, 1), header_size=32)
    dtb = component(DTB, pattern(1000, 3), (5, 0, 0, 0))
    diags = component(DIAGS, pattern(2000, 4), (6, 0, 0, 0))
    app = component(APP, script_archive("APP STARTED"), (7, 7, 7, 7))
    unknown = component(0x07504547, b"ignored")
    result, text = run_installer(board, boot + kernel + unknown + rfs + dtb + diags + app, slot=2)
    assert result == 1
    # The boot loader is stored without its header; the rest whole.
    assert board.partition("uboot")[:4000] == boot[16:]
    assert board.partition("uboot")[4000:8192] == erased(4192)
    assert board.partition("kernel")[:len(kernel)] == kernel
    assert board.partition("rfs")[:len(rfs)] == rfs
    assert board.partition("devicetree")[:len(dtb)] == dtb
    assert board.partition("rescue")[:len(diags)] == diags
    assert (board.user / "images" / "image2").read_bytes() == app
    assert board.eeprom(256) == 2
    for heading in ("Installing Boot Loader: ", "Installing Kernel: ", "Installing Root Filesystem: ",
                    "Installing Device Tree: ", "Installing Diagnostics: ", "Installing Application: "):
        assert text.count(heading) == 1
    assert EXTRACTING in text
    assert "100%\r\ndone\r\n" in text
    assert "\r\nImage2 updated succeeded\r\n" in text
    assert "File processed" in text and "ERROR: No valid image found" not in text
    assert PROMPT not in text
    # One erase per touched block: the kernel's 300016 bytes touch three.
    assert len(erases(board, "kernel")) == 3
    # The header copy inside the boot loader reads back as its stored header.
    header, ok = stored_header(board, UBOOT)
    assert ok == 1 and header[4:] == boot[4:16]


def test_flash_progress_line_counts_blocks(tmp_path):
    board = new_board(tmp_path)
    kernel = component(KERNEL, pattern(3 * ERASE, 9))  # 16 bytes into a fourth block
    # 16 bytes long (the tool refuses to end a file with one): the walk goes on after it.
    empty = packed_component(0x07504547, b"")
    result, text = run_installer(board, empty + kernel)
    assert result == 1
    steps = "".join(f"\b\b\b\b{p:03d}%" for p in (0, 25, 50, 75))
    assert "Installing Kernel:      " + steps + "\b\b\b\b100%\r\n" in text
    assert len(erases(board, "kernel")) == 4


@pytest.mark.parametrize("erase_size", [65536, 262144, 1048576])
def test_other_erase_block_sizes(tmp_path, erase_size):
    board = new_board(tmp_path, erase_size=erase_size)
    board.write_partition("rfs", b"\x11" * 2 * erase_size)
    rfs = component(RFS, pattern(erase_size + 100, 3))
    result, _ = run_installer(board, rfs)
    assert result == 1
    # The rest of the last touched block is kept, as read-modify-write must.
    assert board.partition("rfs")[:2 * erase_size] == rfs + b"\x11" * (2 * erase_size - len(rfs))
    assert len(erases(board, "rfs")) == 2


def test_slot_file_that_cannot_be_created(tmp_path):
    board = new_board(tmp_path, image_select=2)
    (board.user / "images" / "image1").mkdir(parents=True)
    result, text = run_installer(board, component(APP, pattern(1000, 1)), slot=1)
    assert result == 0
    assert "Installing image as image1: Image1 update failed (err 21)" in text
    assert board.eeprom(256) == 2


@pytest.mark.parametrize("ctype,limit,part,tested_by_len,name", [
    (UBOOT, 0x80000, "uboot", True, "UBOOT"),
    (KERNEL, 0x800000, "kernel", False, "KERNEL"),
    (RFS, 0xA00000, "rfs", False, "RFS"),
    (DTB, 0x40000, "devicetree", False, "DFT"),
    (DIAGS, 0xA00000, "rescue", False, "DIAGS"),
])
def test_size_limit_at_and_one_over(tmp_path, ctype, limit, part, tested_by_len, name):
    size = limit if tested_by_len else limit - 16
    at_limit = component(ctype, pattern(size, 5))
    over = component(ctype, pattern(size + 1, 6))
    board = new_board(tmp_path, "over")
    result, text = run_installer(board, over)
    assert result == 0
    assert f"{name} image is too big for flash ({limit + 1} > {limit})" in text
    assert erases(board, part) == []
    assert board.partition(part)[:64] == erased(64)
    board = new_board(tmp_path, "at")
    result, text = run_installer(board, at_limit)
    assert result == 1
    stored = at_limit[16:] if tested_by_len else at_limit
    assert board.partition(part)[:len(stored)] == stored


def test_bad_crc_stops_and_keeps_earlier_components(tmp_path):
    board = new_board(tmp_path)
    kernel = component(KERNEL, pattern(2000, 1))
    rfs = component(RFS, pattern(3000, 2), bad_crc=True)
    dtb = component(DTB, pattern(1000, 3))
    result, text = run_installer(board, kernel + rfs + dtb)
    assert result == 0
    computed = jamcrc(rfs[4:])
    assert f"Installing Root Filesystem: Bad crc for RFS: 0x{computed:08x}, voiding download" in text
    assert board.partition("kernel")[:len(kernel)] == kernel
    assert erases(board, "rfs") == [] and erases(board, "devicetree") == []
    assert "File processed" not in text and "Installing Device Tree" not in text


def test_truncated_component_rejected_with_crc_of_what_is_there(tmp_path):
    board = new_board(tmp_path)
    app = component(APP, pattern(10000, 8))
    cut = app[:6000]
    result, text = run_installer(board, cut, slot=1)
    assert result == 0
    assert f"Bad crc for APPLICATION: 0x{jamcrc(cut[4:]):08x}, voiding download" in text
    assert not (board.user / "images" / "image1").exists()
    assert board.eeprom(256) != 1


def test_same_version_skips_flash_and_slot(tmp_path):
    kernel = component(KERNEL, pattern(5000, 1), (9, 9, 9, 9))
    app = component(APP, pattern(5000, 2), (1, 2, 3, 4))
    board = new_board(tmp_path)
    board.write_partition("kernel", kernel)
    (board.user / "images").mkdir(parents=True, exist_ok=True)
    (board.user / "images" / "image1").write_bytes(app)
    result, text = run_installer(board, kernel + app, check_version=1, slot=1)
    assert result == 0
    assert "Installing Kernel: Image has same version as existing image. Skipping update...\r\n" in text
    assert ("Installing Application: Installing image as image1: "
            "Image1 has same version as existing image. Skipping update...\r\n") in text
    assert "File processed\r\nERROR: No valid image found" in text
    assert erases(board, "kernel") == []
    # A slot file cut short keeps the same header: it is written again.
    (board.user / "images" / "image1").write_bytes(app[:3000])
    result, text = run_installer(board, app, check_version=1, slot=1)
    assert result == 1 and "Image1 updated succeeded" in text
    assert (board.user / "images" / "image1").read_bytes() == app
    # The boot loader's stored copy (crc word 0) differs from the new header
    # only in its crc: the same version.
    boot = bootloader(2048)
    board.write_partition("uboot", boot[16:])
    assert board.partition("uboot")[240:244] == bytes(4) != boot[:4]
    result, text = run_installer(board, boot, check_version=1)
    assert result == 0 and "Installing Boot Loader: Image has same version" in text
    # Without check_version the same image is written again.
    result, text = run_installer(board, kernel, check_version=0)
    assert result == 1 and len(erases(board, "kernel")) == 1


def test_long_answer_does_not_answer_the_next_question(tmp_path):
    board = new_board(tmp_path)
    app = component(APP, pattern(1000, 3))
    path = place_image(board, app)
    con = board.power_on(program=["probe_install", path, "0", "0", "2"])
    con.expect_exact(PROMPT, timeout=120)
    con.send("1" + "x" * 40 + "\r")  # longer than the 31 characters taken
    con.expect_exact("processVireoImage=1")
    con.expect_exact(PROMPT)
    con.send("2\r")
    con.expect_exact("processVireoImage=1")
    board.wait_power_off(con)
    assert (board.user / "images" / "image1").read_bytes() == app
    assert (board.user / "images" / "image2").read_bytes() == app
    assert "Booting downloaded image" not in board.console_text()


@pytest.mark.parametrize("answer,slot", [("1\r", 1), ("2\r", 2), ("2 and more text beyond the buffer size\r", 2)])
def test_slot_question_installs(tmp_path, answer, slot):
    board = new_board(tmp_path, image_select=0)
    app = component(APP, pattern(200000, 3))
    result, text = run_installer(board, app, slot=0, answer=answer)
    assert result == 1
    assert (board.user / "images" / f"image{slot}").read_bytes() == app
    assert board.eeprom(256) == slot
    # Pieces of 64 KiB, the share written after each, then 100%.
    shares = [min(n * 65536, len(app)) * 100 // len(app) for n in range(1, 5)]
    steps = "".join(f"\b\b\b\b{p:03d}%" for p in shares)
    assert f"Installing image as image{slot}:     {steps}\b\b\b\b100%\r\n" in text


def test_two_applications_share_one_answer(tmp_path):
    board = new_board(tmp_path)
    first = component(APP, pattern(1000, 1), (1, 0, 0, 0))
    second = component(APP, pattern(2000, 2), (2, 0, 0, 0))
    result, text = run_installer(board, first + second, slot=0, answer="1\r")
    assert result == 1
    assert text.count(PROMPT) == 1
    assert text.count("Image1 updated succeeded") == 2
    assert (board.user / "images" / "image1").read_bytes() == second


@pytest.mark.parametrize("answer", ["\r", "x\r", "\x04"])
def test_other_answers_boot_the_download(tmp_path, answer):
    board = new_board(tmp_path)
    app = component(APP, script_archive("DOWNLOADED APP RUNS"))
    path = place_image(board, app)
    con = board.power_on(program=["probe_install", path, "0", "0"])
    con.expect_exact(PROMPT, timeout=120)
    con.send(answer)
    con.expect_exact("Booting downloaded image", timeout=60)
    con.expect_exact("Image ready to boot...", timeout=60)
    con.expect_exact("DOWNLOADED APP RUNS", timeout=120)
    board.wait_power_off(con)
    text = board.console_text()
    assert "processVireoImage=" not in text
    assert not (board.user / "images" / "image1").exists()


def test_nothing_written_reports_no_valid_image(tmp_path):
    board = new_board(tmp_path)
    result, text = run_installer(board, component(0x09504547, b"x" * 100) + b"short tail")
    assert result == 0
    assert EXTRACTING in text and "File processed\r\nERROR: No valid image found" in text
    result, text = run_installer(board, b"")
    assert result == 0 and "ERROR: No valid image found" in text


def test_malformed_geometry_refused_without_reading_outside(tmp_path):
    board = new_board(tmp_path)
    kernel = component(KERNEL, pattern(1000, 1))
    tiny = component(RFS, b"", header_size=2)  # size 2: no room even for the crc range
    result, text = run_installer(board, kernel + tiny + kernel)
    assert result == 0
    assert "Bad header size 2 for image component 0x84504547" in text
    assert text.count("Installing Kernel: ") == 1
    wrap = component(APP, b"", header_size=32, length=0xFFFFFFF0)
    result, text = run_installer(board, wrap)
    assert result == 0 and "Failed to allocate buffer for image (16)" in text


def test_missing_image_file_reported(tmp_path):
    board = new_board(tmp_path)
    con = board.power_on(program=["probe_install", "/.boardsim/none.img", "0", "1"])
    con.expect(r"processVireoImage=(\d)")
    assert con.match.group(1) == b"0"
    board.wait_power_off(con)
    text = board.console_text()
    assert "/.boardsim/none.img: No such file or directory" in text
    assert "Extracting images" not in text


def test_flash_write_failure_leaves_earlier_components(tmp_path):
    # The device tree takes one block (128 writes of 1 KiB), the kernel's
    # first block 128 more: its second block fails on its first write.
    board = new_board(tmp_path, fail_write_at=128 + 128 + 1)
    dtb = component(DTB, pattern(1000, 1))
    kernel = component(KERNEL, pattern(2 * ERASE, 2))
    result, text = run_installer(board, dtb + kernel)
    assert result == 0
    assert "Flash Write mtd write failed." in text
    assert "kernel image update failed" in text
    assert board.partition("devicetree")[:len(dtb)] == dtb
    assert board.partition("kernel")[:ERASE] == kernel[:ERASE]
    assert board.eeprom(256) != 1


def test_images_folder_created_traversable(tmp_path):
    board = new_board(tmp_path)
    images = board.user / "images"
    if images.exists():
        for f in images.iterdir():
            f.unlink()
        images.rmdir()
    result, _ = run_installer(board, component(APP, pattern(100, 1)), slot=1)
    assert result == 1
    mode = stat.S_IMODE(os.stat(images).st_mode)
    assert mode & 0o700 == 0o700 and mode & 0o055 == 0o055


def test_large_application_percentages_do_not_overflow(tmp_path):
    board = new_board(tmp_path)
    size = 48 << 20  # bytes x 100 passes 2^32 from 41 MiB on
    app = component(APP, pattern(size, 4))
    result, text = run_installer(board, app, slot=1)
    assert result == 1
    shares = re.findall(r"\x08\x08\x08\x08(\d{3})%", text.split("Installing image as image1:")[1])
    pieces = (len(app) + 65535) // 65536
    expected = [min(n * 65536, len(app)) * 100 // len(app) for n in range(1, pieces + 1)] + [100]
    assert [int(s) for s in shares] == expected
    assert os.path.getsize(board.user / "images" / "image1") == len(app)

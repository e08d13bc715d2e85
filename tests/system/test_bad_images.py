"""Bad images, a matrix over a four-component image (kernel, root file system
with an extended header, device tree, application into slot 2): the file cut
at every header boundary and at sampled payload offsets, and each header
field of a component corrupted (crc, len, magic with and without bit 31, id,
header size). The installer must refuse the bad component with its message
before writing anything of it, keep what it wrote before, and leave the slot
and the image-select byte alone unless the application was written whole.
At boot, a slot whose application component is bad in the same ways is
never launched: the other slot runs.

One power-on per case (probe_install, or bootmgr for the boot cases); the
board's partitions, slot file, EEPROM and device trace are compared after."""

import struct

import pytest
from boardsim import default_board as demo
from helpers import APP, DTB, EXT, KERNEL, RFS, SCALE, SLOT_QUESTION, jamcrc, run_installer, script_archive

UNKNOWN = 0x07504547
CRC_NAMES = {KERNEL: "KERNEL", RFS: "RFS", DTB: "DFT", APP: "APPLICATION"}
PLACES = {KERNEL: "kernel", RFS: "rfs", DTB: "devicetree", APP: "slot2"}


def filler(size, seed):
    return bytes((i * 29 + seed) & 0xFF for i in range(size))


def one(**comp):
    return demo.make_image([comp])


# kernel (plain), root file system (extended, 32-byte header), device tree,
# application: their bytes and where each starts in the image.
PARTS = [
    one(type="kernel", version="3.1.0.0", payload=filler(20000, 1)),
    one(type="rootfs", version="3.1.0.0", payload=filler(10000, 2), header_size=32),
    one(type="devicetree", version="1.1.0.0", payload=filler(3000, 3)),
    one(type="app", version="2.0.0.0", payload=script_archive("SLOT TWO RUNS")),
]
TYPES = [KERNEL, RFS, DTB, APP]
STARTS = [sum(len(p) for p in PARTS[:i]) for i in range(len(PARTS))]
IMAGE = b"".join(PARTS)


def header_size(i):
    return 32 if TYPES[i] == RFS else 16


def patched(i, offset, fmt, value):
    """The image with one header field of component i replaced."""
    data = bytearray(IMAGE)
    struct.pack_into(fmt, data, STARTS[i] + offset, value)
    return bytes(data)


def field(i, offset, fmt="I"):
    return struct.unpack_from(">" + fmt, IMAGE, STARTS[i] + offset)[0]


def crc_refusal(data, i, ctype, hsize, length):
    """The message for component i as the walk sees it in data: checksum of
    bytes 4 to its end, or to the end of the file when it ends first."""
    start = STARTS[i]
    end = min(start + hsize + length, len(data))
    return f"Bad crc for {CRC_NAMES[ctype]}: 0x{jamcrc(data[start + 4:end]):08x}, voiding download"


def refused_with_crc(i, data):
    _, length, magic = struct.unpack_from(">III", data, STARTS[i])
    hsize = struct.unpack_from(">H", data, STARTS[i] + 18)[0] if magic & EXT else 16
    return crc_refusal(data, i, magic & ~EXT, hsize, length)


def field_cases():
    """(id, image, expected message, components written) per corruption."""
    cases = []
    for i in (0, 1, 3):  # a plain header, the extended one, the last component
        name = ["kernel", "rfs", "dtb", "app"][i]
        before = list(range(i))
        length, magic, version = field(i, 4), field(i, 8), field(i, 12)
        for label, data in [
            ("crc", patched(i, 0, ">I", field(i, 0) ^ 1)),
            ("len+1", patched(i, 4, ">I", length + 1)),
            ("len-1", patched(i, 4, ">I", length - 1)),
            ("len-beyond-file", patched(i, 4, ">I", 0x00100000)),
            ("id", patched(i, 12, ">I", version ^ 0x01000000)),
            ("magic-other-type", patched(i, 8, ">I", (magic & EXT) | (DTB if i != 2 else KERNEL))),
            ("magic-bit31-flipped", patched(i, 8, ">I", magic ^ EXT)),
        ]:
            if (label == "magic-bit31-flipped" and not magic & EXT and
                    struct.unpack_from(">H", data, STARTS[i] + 18)[0] < 20):
                continue
            cases.append((f"{name}-{label}", data, refused_with_crc(i, data), before))
        wrapped = (header_size(i) + 0xFFFFFFF0) & 0xFFFFFFFF
        cases.append((f"{name}-len-wraps", patched(i, 4, ">I", 0xFFFFFFF0),
                      f"Failed to allocate buffer for image ({wrapped})", before))
        # An unknown type is stepped over: the rest of the file goes on.
        rest = [j for j in range(len(PARTS)) if j != i]
        cases.append((f"{name}-magic-unknown", patched(i, 8, ">I", (magic & EXT) | UNKNOWN),
                      "File processed", rest))
    for size in (0, 8, 19):
        cases.append((f"rfs-header-size-{size}", patched(1, 18, ">H", size),
                      f"Bad header size {size} for image component 0x{RFS | EXT:08x}, voiding download", [0]))
    data = patched(1, 18, ">H", 36)
    cases.append(("rfs-header-size+4", data, refused_with_crc(1, data), [0]))
    return cases


def truncation_cases():
    cases = []
    for i, part in enumerate(PARTS):
        hs = header_size(i)
        for x in sorted({0, 4, 8, 16, 19, 20, hs, hs + 1, len(part) // 2, len(part) - 1}):
            data = IMAGE[:STARTS[i] + x]
            if x < 20:  # fewer than 20 bytes left: the file is done
                cases.append((f"cut-{i}-{x}", data, "File processed", list(range(i))))
            else:
                cases.append((f"cut-{i}-{x}", data,
                              crc_refusal(data, i, TYPES[i], hs, len(part) - hs), list(range(i))))
    return cases


def check_places(board, written):
    """Written components are whole in their places; the others untouched."""
    log = board.device_log()
    for j, ctype in enumerate(TYPES):
        place = PLACES[ctype]
        if place == "slot2":
            slot = board.user / "images" / "image2"
            if j in written:
                assert slot.read_bytes() == PARTS[j] and board.eeprom(256) == 2
            else:
                assert not slot.exists() and board.eeprom(256) == 1
            continue
        stored = board.partition(place)[:len(PARTS[j])]
        if j in written:
            assert stored == PARTS[j], f"{place} not written whole"
        else:
            assert stored == b"\xff" * len(PARTS[j]), f"{place} written by a refused or skipped component"
            assert not [l for l in log if l.startswith(f"mtd erase {place} ")]
    for place in ("uboot", "rescue"):
        assert not [l for l in log if l.startswith(f"mtd erase {place} ")]


@pytest.mark.parametrize("data,message,written",
                         [c[1:] for c in field_cases() + truncation_cases()],
                         ids=[c[0] for c in field_cases() + truncation_cases()])
def test_installer_refuses_bad_component(board_factory, data, message, written):
    board = board_factory(time_scale=SCALE, image_select=1)
    result, text = run_installer(board, data, slot=2)
    assert message in text
    processed = message == "File processed"
    assert result == (1 if processed and written else 0)
    if processed and not written:
        assert "ERROR: No valid image found" in text
    if not processed:
        assert "File processed" not in text
    check_places(board, written)


def test_whole_image_installs_every_component(board_factory):
    """The matrix's reference: unchanged, the same image installs whole."""
    board = board_factory(time_scale=SCALE, image_select=1)
    result, text = run_installer(board, IMAGE, slot=2)
    assert result == 1 and "File processed" in text and "Bad crc" not in text
    check_places(board, [0, 1, 2, 3])


# ---- the same faults in a slot file at boot ----

APP2 = PARTS[3]
APP2_EXT = one(type="app", version="2.0.0.0", payload=script_archive("SLOT TWO RUNS"), header_size=24)
CRC_FAILED = "Image2 CRC failed, trying Image1 now.\n"


def slot_patched(base, offset, fmt, value):
    data = bytearray(base)
    struct.pack_into(fmt, data, offset, value)
    return bytes(data)


def invalid_header(magic):
    return f"Image has invalid header 0x{magic:x}. (0x6504547)\nImage2 has invalid header... trying Image1.\n"


BOOT_CASES = {
    "crc": (slot_patched(APP2, 0, ">I", struct.unpack_from(">I", APP2)[0] ^ 1), CRC_FAILED),
    "len+1": (slot_patched(APP2, 4, ">I", len(APP2) - 16 + 1), CRC_FAILED),
    "len-1": (slot_patched(APP2, 4, ">I", len(APP2) - 16 - 1), CRC_FAILED),
    "len-wraps": (slot_patched(APP2, 4, ">I", 0xFFFFFFF0),
                  "Component at offset 0 has an implausible header (header size 16, length 4294967280).\n"
                  + invalid_header(APP)),
    "id": (slot_patched(APP2, 12, ">I", 0x02000001), CRC_FAILED),
    # Bytes 18-19, now the header size, are the gzip header's 08 00: 2048,
    # beyond the end of the file.
    "magic-bit31-set": (slot_patched(APP2, 8, ">I", APP | EXT), CRC_FAILED),
    "magic-unknown": (slot_patched(APP2, 8, ">I", UNKNOWN), invalid_header(UNKNOWN)),
    "ext-bit31-cleared": (slot_patched(APP2_EXT, 8, ">I", APP), CRC_FAILED),
    "ext-header-size-4": (slot_patched(APP2_EXT, 18, ">H", 4),
                          f"Component at offset 0 has an implausible header (header size 4, length "
                          f"{len(APP2_EXT) - 24}).\n" + invalid_header(APP | EXT)),
    "ext-header-size+4": (slot_patched(APP2_EXT, 18, ">H", 28), CRC_FAILED),
    "cut-at-20": (APP2[:20], CRC_FAILED),
    "cut-mid-payload": (APP2[:len(APP2) // 2], CRC_FAILED),
    "cut-last-byte": (APP2[:-1], CRC_FAILED),
}


@pytest.mark.parametrize("name", BOOT_CASES)
def test_bad_slot_is_never_launched(board_factory, name):
    data, message = BOOT_CASES[name]
    slot1 = one(type="app", version="1.0.0.0", payload=script_archive("SLOT ONE RUNS"))
    board = board_factory(time_scale=SCALE, image_select=2, slot1=slot1, slot2=data)
    con = board.power_on(stderr_to_file=True)
    con.expect_exact("SLOT ONE RUNS", timeout=120)
    assert board.wait_power_off(con).reason == "app-exit"
    assert "SLOT TWO RUNS" not in board.console_text()
    assert board.stderr_text() == message
    assert board.eeprom(314) == 1


# ---- an image file that changes between the checksum and the write ----

def flip_payload_byte(path):
    data = bytearray(path.read_bytes())
    data[-10] ^= 0xFF
    path.write_bytes(bytes(data))


def truncate_to_half(path):
    data = path.read_bytes()
    with open(path, "r+b") as f:  # in place: the installer's open descriptor sees it
        f.truncate(len(data) // 2)


@pytest.mark.parametrize("change,answer,message", [
    (flip_payload_byte, "2\r", "Image2 update failed (err 5)"),
    (truncate_to_half, "2\r", "Image2 update failed (err 5)"),
    (flip_payload_byte, "\r", "Image unpack failed (err 5)"),
    (truncate_to_half, "\r", "Image unpack failed (err 5)"),
], ids=["rewritten-slot", "shrunk-slot", "rewritten-boot", "shrunk-boot"])
def test_image_changed_at_the_slot_question(board_factory, change, answer, message):
    """The checksum pass ends before the slot question, the write pass
    starts after it: what is written must still be what was checked (a
    stick rewritten or pulled while the question waits)."""
    board = board_factory(time_scale=SCALE, image_select=1)
    path = board.path / "bad.img"
    path.write_bytes(APP2)
    con = board.power_on(program=["probe_install", "/.boardsim/bad.img", "0", "0"])
    con.expect_exact(SLOT_QUESTION, timeout=120)
    change(path)
    con.send(answer)
    con.expect(rb"processVireoImage=(\d)", timeout=120)
    assert con.match.group(1) == b"0"
    off = board.wait_power_off(con)
    assert off.reason == "exit" and off.status == 0
    text = board.console_text()
    assert message in text
    assert "SLOT TWO RUNS" not in text and "Image ready to boot" not in text
    assert board.eeprom(256) == 1

"""The host's reader of the virtual board's jffs2 user partition, against
images made by mtd-utils' mkfs.jffs2: what it reads is what was packed,
in both byte orders; a newer node of a file wins; nodes cut short by a power
cut (bad checksums) are left out, as the kernel leaves them out."""

import os
import struct

import pytest
from boardsim.jffs2 import read_jffs2
from boardsim.vboard import mkfs_jffs2

FILES = {
    "images/image1": os.urandom(70_000),                 # incompressible: stored as is
    "images/image2": b"switch image " * 9000,            # compresses (zlib)
    "images/rejected/0123456789abcdef0123456789abcdef": b"",
    "top": b"x",
}


def test_reads_back_every_file_big_endian():
    image = mkfs_jffs2(FILES, 1024 * 1024)
    assert len(image) == 1024 * 1024
    assert read_jffs2(image) == FILES


def test_little_endian_needs_the_other_byte_order(tmp_path):
    import subprocess
    root = tmp_path / "root"
    for name, data in FILES.items():
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        (root / name).write_bytes(data)
    out = tmp_path / "le.img"
    subprocess.run(["mkfs.jffs2", "-l", "-e", "0x10000", "-r", str(root), "-o", str(out)],
                   check=True)
    assert read_jffs2(out.read_bytes(), big_endian=False) == FILES
    assert read_jffs2(out.read_bytes(), big_endian=True) == {}


def test_a_rewritten_file_reads_as_its_newest_version():
    old = mkfs_jffs2({"images/image1": b"A" * 5000}, 256 * 1024)
    new = mkfs_jffs2({"images/image1": b"B" * 3000}, 256 * 1024)
    used_old = old.rstrip(b"\xff")
    # The newer log appended after the old one: its nodes carry the same
    # inode numbers with the same versions, so bump them past the old ones.
    appended = bytearray(new.rstrip(b"\xff"))
    _bump_versions(appended, 100)
    pad = (-len(used_old)) % 4
    image = used_old + b"\xff" * pad + bytes(appended)
    assert read_jffs2(image) == {"images/image1": b"B" * 3000}


def test_a_node_cut_short_is_left_out():
    second = os.urandom(9000)
    image = mkfs_jffs2({"a": b"first file", "b": second}, 256 * 1024)
    # The last inode node of the log is b's third data node (offset 8192,
    # 808 bytes): a power cut inside it leaves a node whose checksums fail.
    start, length = _nodes_of(image, 0xE002)[-1]
    end = start + length
    cut = image[:end - 200] + b"\xff" * (len(image) - end + 200)
    files = read_jffs2(cut)
    assert files["a"] == b"first file"
    assert files["b"] == second[:8192] + bytes(808)


def _nodes_of(image, ntype):
    """(offset, length) of every node of a type in a big-endian jffs2 log."""
    found, pos = [], 0
    while pos + 12 <= len(image):
        magic, kind, totlen = struct.unpack_from(">HHI", image, pos)
        if magic != 0x1985 or totlen < 12:
            pos += 4
            continue
        if kind == ntype:
            found.append((pos, totlen))
        pos += (totlen + 3) & ~3
    return found


def _bump_versions(buf, by):
    """Adds `by` to the version of every node in a big-endian jffs2 log and
    fixes the node checksums (a test's way to append a newer write)."""
    from boardsim.jffs2 import _crc
    pos = 0
    while pos + 12 <= len(buf):
        magic, ntype, totlen = struct.unpack_from(">HHI", buf, pos)
        if magic != 0x1985:
            pos += 4
            continue
        if ntype == 0xE001:
            version = struct.unpack_from(">I", buf, pos + 16)[0]
            struct.pack_into(">I", buf, pos + 16, version + by)
            struct.pack_into(">I", buf, pos + 32, _crc(bytes(buf[pos:pos + 32])))
        elif ntype == 0xE002:
            version = struct.unpack_from(">I", buf, pos + 16)[0]
            struct.pack_into(">I", buf, pos + 16, version + by)
            struct.pack_into(">I", buf, pos + 64, _crc(bytes(buf[pos:pos + 60])))
        pos += (totlen + 3) & ~3


@pytest.mark.parametrize("size", [64 * 1024, 35 * 1024 * 1024 // 16])
def test_empty_partition_reads_empty(size):
    assert read_jffs2(mkfs_jffs2({}, size)) == {}

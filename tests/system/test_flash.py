"""The flash layer on the simulated board, driven by probe_flash through the
real system calls on the emulated MTD partitions: spans, read-modify-write
of whole erase blocks, the progress display, injected failures and the
refusals of an unusable flash."""
import random
import re

import pytest
from helpers import new_board, run_program

KIB = 1024
BLOCK = 128 * KIB
RFS_SIZE = 10 * 1024 * KIB
KERNEL_SIZE = 8 * 1024 * KIB
MTD_OP = re.compile(r"^mtd (read|erase|write) (\w+) off=0x([0-9a-f]+) len=(\d+)$")


def fill_partition(board, name, size, seed=1):
    data = random.Random(seed).randbytes(size)
    board.write_partition(name, data)
    return data


def run_probe(board, *args, data=None):
    """Runs probe_flash on the board; gives the console text and the
    power-off record. `data` is put in the board directory for a write."""
    argv = ["probe_flash", *args]
    if data is not None:
        (board.path / "data.bin").write_bytes(data)
        argv = [a if a != "DATA" else "/.boardsim/data.bin" for a in argv]
    return run_program(board, *argv)


def mtd_ops(board):
    """The reads, erases and writes of this power-on as (op, part, off, len)."""
    ops = []
    for line in board.device_log():
        m = MTD_OP.match(line.strip())
        if m:
            ops.append((m[1], m[2], int(m[3], 16), int(m[4])))
    return ops


def rewrite_ops(part, first_block, blocks, block=BLOCK, chunk=1024):
    """What read-modify-write of consecutive blocks looks like on the device."""
    ops = []
    for b in range(first_block, first_block + blocks):
        a = b * block
        ops.append(("read", part, a, block))
        ops.append(("erase", part, a, block))
        ops += [("write", part, a + k, chunk) for k in range(0, block, chunk)]
    return ops


def spliced(old, offset, new):
    return old[:offset] + new + old[offset + len(new):]


class TestOpenAndGeometry:
    def test_partitions_open_in_order_and_geometry_from_kernel(self, tmp_path):
        board = new_board(tmp_path)
        out, _ = run_probe(board, "info")
        assert "api_flash_init=0\n" in out
        assert "name=8MB w/64-128KB sectors sectors=64 sector_size=131072 sector_shift=17 size=8388608" in out
        log = [line.strip() for line in board.device_log()]
        opens = [line for line in log if line.startswith("mtd open")]
        assert opens == [
            "mtd open uboot flags=O_RDWR|O_SYNC",
            "mtd open ubootenv flags=O_RDWR|O_SYNC",
            "mtd open devicetree flags=O_RDWR|O_SYNC",
            "mtd open kernel flags=O_RDWR|O_SYNC",
            "mtd open rfs flags=O_RDWR|O_SYNC",
            "mtd open rescue flags=O_RDWR",
        ]
        assert "mtd getinfo kernel size=8388608 erasesize=131072" in log

    def test_name_follows_the_erase_size(self, tmp_path):
        board = new_board(tmp_path, erase_size=65536)
        out, _ = run_probe(board, "info")
        assert "name=8MB w/128-64KB sectors sectors=128 sector_size=65536 sector_shift=16" in out


class TestWriteSpans:
    def test_inside_one_block_changes_only_the_span(self, tmp_path):
        board = new_board(tmp_path)
        old = fill_partition(board, "rfs", RFS_SIZE)
        data = random.Random(7).randbytes(300)
        out, _ = run_probe(board, "write", "rfs", "0x20100", "DATA", "0", data=data)
        assert "api_flash_write=0\n" in out
        assert board.partition("rfs") == spliced(old, 0x20100, data)
        assert mtd_ops(board) == rewrite_ops("rfs", 1, 1)

    def test_middle_of_one_block_to_middle_of_the_third(self, tmp_path):
        board = new_board(tmp_path)
        old = fill_partition(board, "rfs", RFS_SIZE)
        offset = BLOCK + BLOCK // 2          # tail of block 1
        data = random.Random(8).randbytes(BLOCK // 2 + BLOCK + 0x8000)  # ... into block 3
        out, _ = run_probe(board, "write", "rfs", hex(offset), "DATA", "0", data=data)
        assert "api_flash_write=0\n" in out
        assert board.partition("rfs") == spliced(old, offset, data)
        assert mtd_ops(board) == rewrite_ops("rfs", 1, 3)

    def test_whole_block_is_still_read_and_erased(self, tmp_path):
        board = new_board(tmp_path)
        old = fill_partition(board, "kernel", KERNEL_SIZE)
        data = random.Random(9).randbytes(BLOCK)
        out, _ = run_probe(board, "write", "kernel", hex(2 * BLOCK), "DATA", "0", data=data)
        assert "api_flash_write=0\n" in out
        assert board.partition("kernel") == spliced(old, 2 * BLOCK, data)
        assert mtd_ops(board) == rewrite_ops("kernel", 2, 1)

    def test_count_zero_at_block_boundary_touches_nothing(self, tmp_path):
        board = new_board(tmp_path)
        old = fill_partition(board, "rfs", RFS_SIZE)
        out, _ = run_probe(board, "write", "rfs", hex(3 * BLOCK), "DATA", "1", data=b"")
        assert "     \b\b\b\b100%\napi_flash_write=0\n" in out
        assert mtd_ops(board) == []
        assert board.partition("rfs") == old

    def test_count_zero_at_offset_zero_touches_nothing(self, tmp_path):
        # offset + count - 1 wraps to 0xffffffff here; the block count must
        # still come out as 0.
        board = new_board(tmp_path)
        out, _ = run_probe(board, "write", "rfs", "0", "DATA", "0", data=b"")
        assert "api_flash_write=0\n" in out
        assert mtd_ops(board) == []

    def test_count_zero_elsewhere_rewrites_its_block_unchanged(self, tmp_path):
        board = new_board(tmp_path)
        old = fill_partition(board, "rfs", RFS_SIZE)
        out, _ = run_probe(board, "write", "rfs", hex(3 * BLOCK + 5), "DATA", "0", data=b"")
        assert "api_flash_write=0\n" in out
        assert mtd_ops(board) == rewrite_ops("rfs", 3, 1)
        assert board.partition("rfs") == old

    def test_rescue_partition_works_without_sync(self, tmp_path):
        board = new_board(tmp_path)
        old = fill_partition(board, "rescue", RFS_SIZE)
        data = b"rescue" * 50
        out, _ = run_probe(board, "write", "rescue", "0", "DATA", "0", data=data)
        assert "api_flash_write=0\n" in out
        assert board.partition("rescue") == spliced(old, 0, data)

    def test_erase_block_smaller_than_a_write_piece(self, tmp_path):
        # 512-byte blocks: each block goes back in one 512-byte write, not in
        # 512/1024 = 0 writes that would leave it erased.
        board = new_board(tmp_path, erase_size=512)
        old = fill_partition(board, "rfs", RFS_SIZE)
        data = random.Random(3).randbytes(700)
        out, _ = run_probe(board, "write", "rfs", "0x300", "DATA", "0", data=data)
        assert "api_flash_write=0\n" in out
        assert board.partition("rfs") == spliced(old, 0x300, data)
        assert mtd_ops(board) == rewrite_ops("rfs", 1, 2, block=512, chunk=512)


class TestProgress:
    def test_three_blocks_byte_for_byte(self, tmp_path):
        board = new_board(tmp_path)
        data = bytes(BLOCK + 10)  # last 5 bytes of block 0, block 1, first 5 of block 2
        out, _ = run_probe(board, "write", "rfs", hex(BLOCK - 5), "DATA", "1", data=data)
        assert "     \b\b\b\b000%\b\b\b\b033%\b\b\b\b066%\b\b\b\b100%\napi_flash_write=0\n" in out

    def test_one_block(self, tmp_path):
        board = new_board(tmp_path)
        out, _ = run_probe(board, "write", "rfs", "0", "DATA", "1", data=b"x")
        assert "     \b\b\b\b000%\b\b\b\b100%\napi_flash_write=0\n" in out

    def test_off_prints_nothing(self, tmp_path):
        board = new_board(tmp_path)
        out, _ = run_probe(board, "write", "rfs", "0", "DATA", "0", data=bytes(3 * BLOCK))
        assert "\b" not in out
        assert "100%" not in out
        assert "api_flash_write=0\n" in out


THREE_BLOCKS_AT = BLOCK + BLOCK // 2
THREE_BLOCKS_LEN = 2 * BLOCK


class TestFailures:
    """A three-block write (tail of block 1, block 2, head of block 3) with the
    device failing in block 2: block 1 is already rewritten, block 3 is
    untouched, and block 2 is as far as the failing step got."""

    def run_failing(self, tmp_path, **fault):
        board = new_board(tmp_path, **fault)
        old = fill_partition(board, "rfs", RFS_SIZE)
        data = random.Random(5).randbytes(THREE_BLOCKS_LEN)
        out, _ = run_probe(board, "write", "rfs", hex(THREE_BLOCKS_AT), "DATA", "1", data=data)
        new = spliced(old, THREE_BLOCKS_AT, data)
        return out, board.partition("rfs"), old, new

    def block(self, image, n):
        return image[n * BLOCK:(n + 1) * BLOCK]

    def test_read_failure_leaves_the_block_untouched(self, tmp_path):
        out, now, old, new = self.run_failing(tmp_path, fail_read_at=2)
        assert "Flash Write mtd read failed.\n\napi_flash_write=-1\n" in out
        assert self.block(now, 1) == self.block(new, 1)
        assert self.block(now, 2) == self.block(old, 2)
        assert self.block(now, 3) == self.block(old, 3)
        assert "100%" not in out

    def test_erase_failure(self, tmp_path):
        out, now, old, new = self.run_failing(tmp_path, fail_erase_at=2)
        assert "Flash Write mtd erase failed.\n\napi_flash_write=-1\n" in out
        assert self.block(now, 1) == self.block(new, 1)
        assert self.block(now, 2) == self.block(old, 2)
        assert self.block(now, 3) == self.block(old, 3)

    def test_write_failure_leaves_the_block_erased(self, tmp_path):
        # Write 129 is the first 1 KiB of block 2, 130 the second.
        out, now, old, new = self.run_failing(tmp_path, fail_write_at=130)
        assert "Flash Write mtd write failed.\n\napi_flash_write=-1\n" in out
        assert self.block(now, 1) == self.block(new, 1)
        b2 = self.block(now, 2)
        assert b2[:1024] == self.block(new, 2)[:1024]
        assert b2[1024:] == b"\xff" * (BLOCK - 1024)
        assert self.block(now, 3) == self.block(old, 3)
        assert now[:BLOCK] == old[:BLOCK] and now[4 * BLOCK:] == old[4 * BLOCK:]

    def test_erase_span_failure(self, tmp_path):
        board = new_board(tmp_path, fail_erase_at=2)
        old = fill_partition(board, "rfs", RFS_SIZE)
        out, _ = run_probe(board, "erase", "rfs", hex(THREE_BLOCKS_AT), hex(THREE_BLOCKS_LEN))
        assert "Flash Erase mtd erase failed.\napi_flash_erase=-1\n" in out
        now = board.partition("rfs")
        assert self.block(now, 1) == b"\xff" * BLOCK
        assert self.block(now, 2) == self.block(old, 2)
        assert self.block(now, 3) == self.block(old, 3)

    def test_missing_partition_fails_at_the_system_call(self, tmp_path):
        board = new_board(tmp_path, missing="rfs")
        out, _ = run_probe(board, "write", "rfs", "0", "DATA", "0", data=b"abc")
        assert "Flash Write mtd read failed.\n\napi_flash_write=-1\n" in out
        out, _ = run_probe(board, "read", "rfs", "0", "16", "/tmp/out")
        assert "api_flash_read=-1\n" in out


class TestEraseAndRead:
    def test_erase_of_one_byte_erases_its_block(self, tmp_path):
        board = new_board(tmp_path)
        old = fill_partition(board, "rfs", RFS_SIZE)
        out, _ = run_probe(board, "erase", "rfs", hex(BLOCK + 5), "1")
        assert "api_flash_erase=0\n" in out
        assert mtd_ops(board) == [("erase", "rfs", BLOCK, BLOCK)]
        assert board.partition("rfs") == spliced(old, BLOCK, b"\xff" * BLOCK)

    def test_read_gives_the_bytes_of_the_span(self, tmp_path):
        board = new_board(tmp_path)
        old = fill_partition(board, "kernel", KERNEL_SIZE)
        out, _ = run_probe(board, "read", "kernel", "0x1234", "5000", "/.boardsim/out.bin")
        assert "api_flash_read=0\n" in out
        assert (board.path / "out.bin").read_bytes() == old[0x1234:0x1234 + 5000]
        assert mtd_ops(board) == [("read", "kernel", 0x1234, 5000)]

    def test_read_past_the_end_fails(self, tmp_path):
        board = new_board(tmp_path)
        out, _ = run_probe(board, "read", "kernel", hex(KERNEL_SIZE - 16), "32", "/tmp/out")
        assert "api_flash_read=-1\n" in out


class TestRefusals:
    @pytest.mark.parametrize("fault, message", [
        ({"erase_size": 0}, "NO FLASH !\n"),
        ({"erase_size": 3000}, "NO FLASH !\n"),
        ({"geometry": "fail"}, "Could not get MTD device info \n"),
    ], ids=["erase-size-0", "erase-size-3000", "geometry-fails"])
    def test_unusable_flash_refuses_without_touching_the_device(self, tmp_path, fault, message):
        board = new_board(tmp_path, **fault)
        old = fill_partition(board, "rfs", RFS_SIZE)
        for args in (("write", "rfs", "0x100", "DATA", "1"), ("erase", "rfs", "0", "1"),
                     ("read", "rfs", "0", "16", "/tmp/out"), ("info",)):
            out, off = run_probe(board, *args, data=b"new data")
            assert message in out
            assert "=-1\n" in out, args
            assert mtd_ops(board) == [], args
            assert off.reason == "exit"
        assert "size=0" in out and "name=unknown" in out
        assert board.partition("rfs") == old

    def test_span_past_the_partition_end_is_refused_before_any_erase(self, tmp_path):
        board = new_board(tmp_path)
        old = fill_partition(board, "kernel", KERNEL_SIZE)
        # The last block would be rewritten, the one after it does not exist.
        out, _ = run_probe(board, "write", "kernel", hex(KERNEL_SIZE - 0x100), "DATA", "1",
                           data=bytes(0x200))
        assert "Flash Write span outside the partition.\napi_flash_write=-1\n" in out
        assert mtd_ops(board) == []
        assert board.partition("kernel") == old
        out, _ = run_probe(board, "erase", "kernel", hex(KERNEL_SIZE - 1), "2")
        assert "Flash Erase span outside the partition.\napi_flash_erase=-1\n" in out
        assert mtd_ops(board) == []

    def test_span_wrapping_32_bits_is_refused(self, tmp_path):
        board = new_board(tmp_path)
        out, _ = run_probe(board, "write", "kernel", "0xffffff00", "DATA", "0", data=bytes(0x200))
        assert "Flash Write span outside the partition.\napi_flash_write=-1\n" in out
        out, _ = run_probe(board, "erase", "kernel", "0xffffff00", "0x200")
        assert "Flash Erase span outside the partition.\napi_flash_erase=-1\n" in out
        out, _ = run_probe(board, "read", "kernel", "0xffffff00", "0x200", "/tmp/out")
        assert "api_flash_read=-1\n" in out
        assert mtd_ops(board) == []


class TestTrace:
    def test_trace_lines_of_a_one_block_write(self, tmp_path):
        board = new_board(tmp_path)
        out, _ = run_probe(board, "--trace", "write", "rfs", "0x20100", "DATA", "0", data=bytes(300))
        assert "Flash Write 0x00020100 to 0x0002022b (0x00020000 to 0x0003ffff) 1\n" in out
        assert re.search(r"^mtd read  0x00020000 to 0x0003ffff 0x[0-9a-f]{8,16}$", out, re.M)
        assert "mtd erase 0x00020000 to 0x0003ffff\n" in out
        writes = re.findall(r"^mtd write 0x([0-9a-f]{8}) to 0x([0-9a-f]{8}) 0x[0-9a-f]+$", out, re.M)
        assert writes == [("%08x" % a, "%08x" % (a + 1023)) for a in range(0x20000, 0x40000, 1024)]

    def test_trace_lines_of_read_and_erase(self, tmp_path):
        board = new_board(tmp_path)
        out, _ = run_probe(board, "--trace", "read", "rfs", "0x10", "0x20", "/tmp/out")
        assert "Flash Read 0x00000010 to 0x0000002f\n" in out
        assert re.search(r"^mtd read  0x00000010 to 0x0000002f 0x[0-9a-f]+$", out, re.M)
        out, _ = run_probe(board, "--trace", "erase", "rfs", "0x10000", "0x40000")
        assert "Flash Erase 0x00010000 to 0x0004ffff (0x00000000 to 0x0005ffff) 3\n" in out
        assert out.count("mtd erase 0x") == 3

"""The board simulator itself: NOR flash rules, MTD geometry, the EEPROM
behind its multiplexer, injected faults and power cuts, the clock, the
board fakes, the sandbox's view and the command line.

Devices are driven by probe_devices (raw open/ioctl/pread/pwrite/read/write
on the device paths) running on the simulated board, so the same checks run
against the host layer and the ppc layer under qemu-ppc."""

import os
import re
import struct
import subprocess
import sys
import zlib
from pathlib import Path

import pexpect
import pytest
from helpers import APP, packed_component

BSIM = Path(__file__).resolve().parents[2] / "sim" / "bsim"
BLOCK = 131072


def probe(board, *steps, **power_on):
    """Runs probe_devices with the steps (lists of words); gives the list of
    (step, result) lines it printed and the power-off."""
    args = []
    for step in steps:
        args += (["--"] if args else []) + [str(w) for w in step]
    con = board.power_on(program=["probe_devices"] + args, **power_on)
    off = board.wait_power_off(con)
    results = re.findall(r"^probe (\S+) ?(.*?)\r?$", board.console_text(), re.M)
    return results, off


def values(results):
    return [r for s, r in results if r != "ready" and s != "done"]


def trace(board, prefix):
    return [line for line in board.device_log() if line.startswith(prefix)]


# ---- MTD partitions ----

def test_nor_writes_only_clear_bits_and_erase_sets_whole_blocks(board_factory):
    board = board_factory()
    board.write_partition("kernel", b"\x5a" * 16, offset=BLOCK)   # data in the next block
    results, off = probe(board,
                         ["write", "kernel", 0x100, "0f0f"],
                         ["write", "kernel", 0x100, "f0ff"],      # no erase in between
                         ["read", "kernel", 0x100, 2],
                         ["erase", "kernel", 0, BLOCK],
                         ["read", "kernel", 0x100, 2],
                         ["seq-write", "kernel", 0x200, "a5a5"],
                         ["seq-read", "kernel", 0x1ff, 4])
    assert off.reason == "exit" and off.status == 0
    assert values(results) == ["2", "2", "2 000f", "0", "2 ffff", "2 pos=514", "4 ffa5a5ff"]
    flash = board.partition("kernel")
    assert flash[:0x200] == b"\xff" * 0x200
    assert flash[BLOCK:BLOCK + 16] == b"\x5a" * 16, "the erase reached the next block"
    assert "mtd erase kernel off=0x00000000 len=131072" in board.device_log()
    assert "mtd write kernel off=0x00000100 len=2" in board.device_log()


def test_erase_refuses_what_the_kernel_refuses(board_factory):
    board = board_factory(erase_size=100000)     # not a power of two
    size = 8 * 1024 * 1024
    results, _ = probe(board,
                       ["erase", "kernel", 50000, 100000],   # unaligned start
                       ["erase", "kernel", 0, 50000],        # unaligned length
                       ["erase", "kernel", 8300000, 200000],  # past the end
                       ["erase", "kernel", size, 0],         # start at the end
                       ["erase", "kernel", 100000, 0],       # empty span: nothing to do
                       ["erase-ro", "kernel", 0, 100000],    # descriptor not writable
                       ["erase", "kernel", 100000, 100000])
    assert values(results) == ["-1 EINVAL", "-1 EINVAL", "-1 EINVAL", "-1 EINVAL", "0",
                               "-1 EPERM", "0"]
    assert "mtd erase kernel off=0x0000c350 len=100000 EINVAL" in board.device_log()


def test_zero_erase_size_refuses_every_erase(board_factory):
    board = board_factory(erase_size=0)
    board.write_partition("rfs", b"\x00" * 4)
    results, _ = probe(board, ["info", "rfs"], ["erase", "rfs", 0, BLOCK])
    assert values(results) == ["type=3 size=10485760 erasesize=0 writesize=1", "-1 EINVAL"]
    assert board.partition("rfs")[:4] == b"\x00" * 4


def test_getinfo_reports_each_partition_and_the_geometry_fault(board_factory):
    board = board_factory()
    results, _ = probe(board, ["info", "uboot"], ["info", "ubootenv"], ["info", "rescue"])
    assert values(results) == ["type=3 size=524288 erasesize=131072 writesize=1",
                               "type=3 size=131072 erasesize=131072 writesize=1",
                               "type=3 size=10485760 erasesize=131072 writesize=1"]
    assert "mtd getinfo uboot size=524288 erasesize=131072" in board.device_log()
    board.set(geometry="fail")
    results, _ = probe(board, ["info", "kernel"])
    assert values(results) == ["-1 EINVAL"]
    assert "mtd getinfo kernel EINVAL" in board.device_log()


def test_writes_stop_at_the_end_of_the_partition(board_factory):
    board = board_factory()
    end = 128 * 1024
    results, _ = probe(board, ["write", "ubootenv", end - 2, "00000000"],
                       ["write", "ubootenv", end, "00"])
    assert values(results) == ["2", "-1 ENOSPC"]
    assert len(board.partition("ubootenv")) == end


def test_a_board_that_cannot_be_built_says_why(board_factory):
    board = board_factory()
    flash = board.path / "flash/kernel.bin"
    flash.unlink()
    flash.mkdir()
    results, off = probe(board, ["say", "ran"])
    assert off.reason == "sandbox-error" and results == []
    assert "cannot build the board's file system" in board.console_text()


def test_open_flags_and_missing_devices(board_factory):
    board = board_factory(missing="kernel,i2c-1,ttyS0")
    results, _ = probe(board, ["open", "/dev/mtd-kernel"], ["open", "/dev/i2c-1"],
                       ["open", "/dev/ttyS0"], ["open", "/dev/mtd-rfs"], ["info", "rfs"])
    assert values(results) == ["-1 ENOENT", "-1 ENOENT", "-1 ENOENT", "0",
                               "type=3 size=10485760 erasesize=131072 writesize=1"]
    assert "mtd open rfs flags=O_RDWR|O_SYNC" in board.device_log()


# ---- faults and power cuts ----

@pytest.mark.parametrize("kind,key", [("write", "fail_write_at"), ("erase", "fail_erase_at"),
                                      ("read", "fail_read_at")])
def test_injected_fault_fails_exactly_the_nth_operation(board_factory, kind, key):
    board = board_factory(**{key: 2})
    board.write_partition("rfs", bytes(range(16)) * 2, offset=0x40)
    steps = {
        "write": [["write", "rfs", 0, "0f"], ["write", "rfs", 1, "0f"], ["write", "rfs", 2, "0f"]],
        "erase": [["erase", "rfs", 0, BLOCK], ["erase", "rfs", BLOCK, BLOCK],
                  ["erase", "rfs", 2 * BLOCK, BLOCK]],
        "read": [["read", "rfs", 0x40, 2], ["read", "rfs", 0x42, 2], ["read", "rfs", 0x44, 2]],
    }[kind]
    board.write_partition("rfs", b"\x00" * 4, offset=BLOCK)
    results, _ = probe(board, *steps)
    got = values(results)
    assert got[1] == "-1 EIO"
    assert got[0] != "-1 EIO" and got[2] != "-1 EIO"
    assert f"mtd fail {kind} rfs #2 EIO" in board.device_log()
    flash = board.partition("rfs")
    if kind == "write":
        assert flash[:3] == b"\x0f\xff\x0f"
    if kind == "erase":
        assert flash[BLOCK:BLOCK + 4] == b"\x00" * 4, "the failed erase changed the flash"
        assert flash[0x40:0x42] == b"\xff\xff"


def test_power_cut_leaves_flash_as_before_that_operation(board_factory):
    board = board_factory(power_cut_at=3)
    board.write_partition("kernel", b"\x11" * 8, offset=BLOCK)
    results, off = probe(board, ["erase", "kernel", 0, BLOCK],       # op 1
                         ["write", "kernel", 0, "1234"],             # op 2
                         ["erase", "kernel", BLOCK, BLOCK],          # op 3: the cut
                         ["say", "still-running"])
    assert off.reason == "power-cut"
    assert values(results) == ["0", "2"]
    flash = board.partition("kernel")
    assert flash[:2] == b"\x12\x34" and flash[BLOCK:BLOCK + 8] == b"\x11" * 8
    assert "power-cut before erase kernel off=0x00020000 (op #3)" in board.device_log()
    assert board.last_power_off().reason == "power-cut"


def test_power_cut_ends_every_process_of_the_board(board_factory):
    board = board_factory(power_cut_at=1)
    results, off = probe(board, ["shell", "(sleep 30; echo late > /.boardsim/late) &"],
                         ["write", "kernel", 0, "00"])
    assert off.reason == "power-cut"
    assert not (board.path / "late").exists()
    assert board.partition("kernel")[0] == 0xFF


def test_power_cut_before_a_write(board_factory):
    board = board_factory(power_cut_at=2)
    results, off = probe(board, ["write", "rfs", 0, "0102"], ["write", "rfs", 0x10, "0304"])
    assert off.reason == "power-cut" and values(results) == ["2"]
    assert board.partition("rfs")[:0x12] == b"\x01\x02" + b"\xff" * 16
    assert board.device_log()[-1] == "power-cut before write rfs off=0x00000010 (op #2)"


def slot_component(size):
    """An application component of `size` payload bytes, header checksum
    right, made by hand: these tests are about the layer, not the tool."""
    return packed_component(APP, bytes((i * 13 + 5) & 0xFF for i in range(size)), (1, 0, 0, 0))


def install_slot2(board, data):
    """The installer writes the component into slot 2 (stdio, 64 KiB pieces)."""
    (board.path / "x.img").write_bytes(data)
    con = board.power_on(program=["probe_install", "/.boardsim/x.img", "0", "2"])
    return board.wait_power_off(con)


# 20016 bytes handed over in one call: five 4 KiB file pieces (ops 1-5), of
# which the last 3632 bytes stay in the stream's buffer until its close
# flushes them (op 6, one piece), then the close itself (op 7).
@pytest.mark.parametrize("cut,kept,what", [(1, 0, "write"), (3, 8192, "write"), (6, 16384, "write"),
                                           (7, 20016, "close")])
def test_power_cut_inside_a_user_partition_file(board_factory, cut, kept, what):
    board = board_factory(power_cut_file_at=cut, image_select=1)
    data = slot_component(20000)
    off = install_slot2(board, data)
    assert off.reason == "power-cut"
    # What reached the kernel before the cut stays; the buffered rest and
    # everything after (the image-select byte) does not.
    assert (board.user / "images/image2").read_bytes() == data[:kept]
    assert board.eeprom(256) == 1
    assert board.device_log()[-1] == f"power-cut before file {what} /user/images/image2 (file op #{cut})"


def test_user_partition_file_writes_are_traced_and_counted(board_factory):
    board = board_factory(power_cut_file_at=8)  # one past the last operation
    data = slot_component(20000)
    off = install_slot2(board, data)
    assert off.reason == "exit"
    assert (board.user / "images/image2").read_bytes() == data and board.eeprom(256) == 2
    files = [l for l in board.device_log() if l.startswith("file ")]
    assert files[0] == "file fwrite /user/images/image2 off=0x00000000 len=20016"
    assert files[-1] == "file close /user/images/image2"
    # Only user-partition files count: the image read from the board folder
    # and the console do not.
    assert not any("x.img" in l for l in files)


@pytest.mark.parametrize("cut,kept", [(1, 0), (3, 8192), (4, 10000), (5, None)])
def test_power_cut_inside_a_copy_onto_the_user_partition(board_factory, cut, kept):
    """`cp SRC DST` run through system() onto the user partition: 10000
    bytes are three pieces and the close; a cut keeps the pieces before."""
    board = board_factory(power_cut_file_at=cut)
    data = bytes(range(256)) * 39 + bytes(16)
    (board.path / "src.bin").write_bytes(data)
    results, off = probe(board, ["shell", "/bin/mount -o sync -t jffs2 /dev/mtd-user /user"],
                         ["shell", "cp /.boardsim/src.bin /user/copy.bin"],
                         ["say", "copied"])
    copy = board.user / "copy.bin"
    if kept is None:
        assert off.reason == "exit" and copy.read_bytes() == data
        assert "file copy /.boardsim/src.bin /user/copy.bin len=10000" in board.device_log()
        return
    assert off.reason == "power-cut"
    assert ("copied" not in values(results)) and copy.read_bytes() == data[:kept]


def test_counters_and_logs_start_again_at_each_power_on(board_factory):
    board = board_factory(fail_write_at=1)
    for n in (1, 2):
        results, _ = probe(board, ["write", "kernel", 0, "7f"], ["write", "kernel", 1, "7f"])
        assert values(results) == ["-1 EIO", "1"]
        assert board.device_log().count("mtd fail write kernel #1 EIO") == 1
        assert board.power_on_count() == n
    assert (board.path / "log/devices.log").read_text().count("mtd fail write kernel #1") == 2


def test_layer_outside_the_sandbox_uses_the_board_folder(board_factory, arch):
    """BOARDSIM_DIR lets a program on the host see BOARD/flash/*.bin as MTD."""
    if arch != "host":
        pytest.skip("runs a host Python with the host layer")
    from boardsim.board import default_layer
    board = board_factory(erase_size=4096)
    # A sanitised layer (sanitizer tree) needs its runtime loaded first.
    preload = os.environ.get("BOARDSIM_PRELOAD", "").split()
    script = (
        "import fcntl, os, struct, sys\n"
        "fd = os.open(sys.argv[1], os.O_RDWR)\n"
        "info = bytearray(32)\n"
        "fcntl.ioctl(fd, 0x80204d01, info)\n"       # MEMGETINFO on x86-64
        "os.pwrite(fd, b'\\x0f', 5); os.pwrite(fd, b'\\xf1', 5)\n"
        "print(struct.unpack_from('=BxxxIIII', info)[2:4], os.pread(fd, 1, 5).hex())\n")
    run = subprocess.run([sys.executable, "-c", script, str(board.path / "flash/rfs.bin")],
                         capture_output=True, text=True,
                         env=dict(os.environ, LD_PRELOAD=" ".join(preload + [str(default_layer())]),
                                  BOARDSIM_DIR=str(board.path)))
    assert run.stdout.strip() == "(10485760, 4096) 01", run.stderr
    assert "mtd getinfo rfs size=10485760 erasesize=4096" in (board.path / "log/devices.log").read_text()


# ---- the EEPROM behind the multiplexer ----

def select_channel(mask):
    return [["slave", 1, 0x70], ["i2c-write", 1, f"{mask:02x}"], ["slave", 1, 0x54]]


def test_eeprom_page_write_wraps_and_reads_are_sequential(board_factory):
    board = board_factory(eeprom_page=32)
    board.set_eeprom(0x20, b"\x99")
    results, _ = probe(board, *select_channel(1),
                       ["i2c-write", 1, "001eaabbccdd"],     # 4 bytes from 0x1e: wraps to 0x00
                       ["i2c-write", 1, "001e"],
                       ["i2c-read", 1, 3],                    # 0x1e, 0x1f, then 0x20
                       ["i2c-read", 1, 1],                    # the pointer moved on: 0x21
                       ["i2c-write", 1, "0000"],
                       ["i2c-read", 1, 2])
    got = values(results)
    assert got[3:] == ["6", "2", "3 aabb99", "1 ff", "2", "2 ccdd"]
    assert board.eeprom(0, 2) == b"\xcc\xdd" and board.eeprom(0x1E, 3) == b"\xaa\xbb\x99"
    assert "i2c 1 write 0x54 [00 1e aa bb cc dd] mux=01" in board.device_log()


def test_eeprom_read_rolls_over_at_the_end_of_memory(board_factory):
    board = board_factory(eeprom_size=4096)
    board.set_eeprom(4095, 0x42)
    board.set_eeprom(0, 0x43)
    results, _ = probe(board, *select_channel(1), ["i2c-write", 1, "0fff"], ["i2c-read", 1, 2])
    assert values(results)[-1] == "2 4243"


def test_multiplexer_gates_the_eeprom(board_factory):
    board = board_factory()
    board.set_eeprom(256, 2)
    results, _ = probe(board, ["slave", 1, 0x54], ["i2c-write", 1, "0100"],   # mux not set
                       *select_channel(2), ["i2c-write", 1, "0100"],           # channel 1 only
                       ["slave", 1, 0x70], ["i2c-read", 1, 1],
                       *select_channel(1), ["i2c-write", 1, "0100"], ["i2c-read", 1, 1],
                       ["slave", 0, 0x70], ["i2c-write", 0, "01"],             # bus 0 is empty
                       ["slave", 2, 0x54], ["i2c-read", 2, 1])
    got = values(results)
    assert got[1] == "-1 ENXIO" and got[5] == "-1 ENXIO"
    assert got[7] == "1 02", "the multiplexer reads back its channel mask"
    assert got[11] == "2" and got[12] == "1 02"
    assert got[14] == "-1 ENXIO" and got[16] == "-1 ENXIO"
    assert "i2c 1 nack write 0x54 [01 00] mux=00" in board.device_log()
    assert "i2c 1 nack write 0x54 [01 00] mux=02" in board.device_log()


def test_absent_eeprom_never_answers(board_factory):
    board = board_factory(eeprom="absent")
    results, _ = probe(board, *select_channel(1), ["i2c-write", 1, "0100"], ["i2c-read", 1, 1])
    assert values(results) == ["0", "1", "0", "-1 ENXIO", "-1 ENXIO"]
    assert "i2c 1 nack read 0x54 len=1 mux=01" in board.device_log()


def test_eeprom_ignores_a_lone_address_byte_and_clips_long_transfers(board_factory):
    board = board_factory()
    board.set_eeprom(0x0100, b"\x21\x22")
    results, _ = probe(board, *select_channel(1), ["i2c-write", 1, "0100"], ["i2c-write", 1, "00"],
                       ["i2c-read", 1, 2], ["i2c-read", 1, 9000])
    got = values(results)
    assert got[3:6] == ["2", "1", "2 2122"], "a 1-byte write moved the pointer"
    assert got[6].startswith("8192 ")


def test_slave_address_must_be_seven_bits(board_factory):
    results, _ = probe(board_factory(), ["slave", 1, 0x80], ["slave", 1, 0x54])
    assert values(results) == ["-1 EINVAL", "0"]


# ---- the clock ----

@pytest.mark.parametrize("call,amount,logged", [
    ("sleep", 2, "clock sleep 2000000us"),
    ("usleep", 1500000, "clock sleep 1500000us"),
    ("nanosleep", 1500000, "clock sleep 1500000us"),
    ("poll", 1500, "clock poll fd=3 timeout=1500ms"),
    ("select", 1500000, "clock select nfds=0 timeout=1500000us"),
])
def test_waits_are_scaled_and_recorded_unscaled(board_factory, call, amount, logged):
    board = board_factory(time_scale=0.01)
    results, _ = probe(board, [call, amount])
    assert float(values(results)[0]) < 750, "the wait was not shortened"
    assert logged in board.device_log()


def test_readiness_checks_are_no_waits(board_factory):
    board = board_factory(time_scale=0.01)
    probe(board, ["poll", 0], ["select", 0], ["poll", 20])
    assert trace(board, "clock ") == ["clock poll fd=3 timeout=20ms"]


def test_unscaled_clock_waits_in_full(board_factory):
    board = board_factory(time_scale=1)
    results, _ = probe(board, ["usleep", 300000])
    assert float(values(results)[0]) >= 290


# ---- sandbox and fakes ----

def test_sandbox_view(board_factory):
    board = board_factory()
    results, _ = probe(board, ["env", "LD_PRELOAD"],
                       ["shell", 'test -z "$LD_PRELOAD"'],           # children run without it
                       ["shell", "touch /etc/boardsim-probe"],       # /etc is read-only
                       ["shell", "echo hidden-by-ash &> /dev/null"],
                       ["shell", "test -d /user && test -z \"$(ls -A /user)\""],
                       ["shell", "touch /tmp/mark && test -f /.boardsim/board.conf"],
                       ["say-tty", "on-the-console"])
    got = values(results)
    assert got[0] == "(unset)"
    assert got[1:6] == ["0", "1", "0", "0", "0"]
    assert "on-the-console" in board.console_text()
    assert "hidden-by-ash" not in board.console_text(), "sh is not busybox ash"
    assert not Path("/etc/boardsim-probe").exists()
    results, _ = probe(board, ["shell", "test -e /tmp/mark"])
    assert values(results) == ["1"], "/tmp survived a power-on"


def test_user_partition_mount_and_erase(board_factory):
    board = board_factory()
    (board.user / "images").mkdir()
    (board.user / "images" / "image1").write_bytes(b"slot")
    results, _ = probe(board, ["shell", "test -e /user/images/image1"],
                       ["shell", "/bin/mount -o sync -t jffs2 /dev/mtd-user /user"],
                       ["shell", "test -e /user/images/image1"],
                       ["shell", "/bin/mount -o sync -t jffs2 /dev/mtd-user /user"],
                       ["shell", "/bin/umount /user &> /dev/null"],
                       ["shell", "test -e /user/images/image1"],
                       ["shell", "flash_eraseall /dev/mtd-user-char"])
    assert values(results)[:6] == ["1", "0", "0", "255", "0", "1"]
    assert values(results)[6] == "0" and list(board.user.iterdir()) == []
    assert board.tools_log() == ["mount -o sync -t jffs2 /dev/mtd-user /user",
                                 "mount -o sync -t jffs2 /dev/mtd-user /user",
                                 "umount /user", "flash_eraseall /dev/mtd-user-char"]


def test_reboot_is_a_reset_from_the_fake_or_busybox(board_factory):
    board = board_factory()
    for command, line in (("/sbin/reboot -f", "reboot -f"), ("reboot", "reboot")):
        results, off = probe(board, ["shell", command], ["say", "after"])
        assert (off.reason, off.status) == ("reset", 0)
        assert board.tools_log() == [line]


def test_reset_ends_a_program_that_keeps_running(board_factory):
    board = board_factory(time_scale=1)
    con = board.power_on(program=["probe_devices", "shell", "reboot", "--", "sleep", "60"])
    off = board.wait_power_off(con, timeout=15)
    assert (off.reason, off.status) == ("reset", -9)
    assert "probe sleep" not in board.console_text()


def test_backtrace_hands_the_process_to_the_application(board_factory):
    board = board_factory()
    app = "mkdir -p /tmp/home/bin && printf '#!/bin/sh\\necho app-ran\\nexit 7\\n' " \
          "> /tmp/home/bin/mp.elf.strip && chmod +x /tmp/home/bin/mp.elf.strip"
    results, off = probe(board, ["shell", app], ["exec", "/bin/backtrace"])
    assert (off.reason, off.status) == ("app-exit", 7)
    assert "app-ran" in board.console_text()
    assert board.tools_log() == ["backtrace"]


def test_gdbserver_and_duma_are_recorded(board_factory):
    board = board_factory()
    results, _ = probe(board,
                       ["shell", "/bin/gdbserver :1234 /bin/echo served"],
                       ["shell", "LD_PRELOAD=libduma.so.0.0.0 /bin/gdbserver :99 /bin/bash -c true"],
                       ["shell", "/usr/bin/rx --help 2>&1 | grep -q 'Usage: rx'"])
    assert values(results)[:3] == ["0", "0", "0"]
    assert "served" in board.console_text()
    log = board.tools_log()
    assert log[0] == "gdbserver :1234 /bin/echo served"
    assert log[1] == "gdbserver :99 /bin/bash -c true LD_PRELOAD=libduma.so.0.0.0"
    assert "duma /bin/bash -c true" in log
    assert log[-1] == "rx --help"


@pytest.mark.parametrize("delay,expected", [("5", "0"), ("never", "1")])
def test_usb_agent_mounts_the_stick_after_its_delay(board_factory, delay, expected):
    board = board_factory(usb="plugged", usb_delay=delay, time_scale=0.05)
    (board.usb / "stick.txt").write_text("on the stick\n")
    wait = "i=0; while [ ! -e /tmp/usb ] && [ $i -lt 40 ]; do sleep 0.05; i=$((i+1)); done; " \
           "test -e /tmp/usb && grep -q 'on the stick' /mnt/usb/stick.txt"
    results, _ = probe(board, ["shell", "test -e /tmp/usb"], ["shell", wait])
    assert values(results) == ["1", expected]
    assert ("usb-agent mounted /mnt/usb" in board.tools_log()) == (expected == "0")


def test_ctrl_c_reaches_the_program_not_the_sandbox(board_factory):
    board = board_factory()
    con = board.power_on(program=["probe_devices", "sigint", "20000", "--", "say", "alive"])
    con.expect_exact("probe sigint ready")
    con.sendcontrol("c")
    con.expect_exact("probe sigint caught")
    con.expect_exact("probe say alive")
    assert board.wait_power_off(con).reason == "exit"


def test_console_is_byte_for_byte(board_factory):
    board = board_factory()
    con = board.power_on(program=["probe_devices", "shell", r"printf 'x\a\b\b\377y'"])
    con.expect_exact(b"y")
    assert con.before.endswith(b"x\x07\x08\x08\xff")
    board.wait_power_off(con)
    assert "x\a\b\b\xffy" in board.console_text()


def test_stderr_can_go_to_a_file(board_factory):
    board = board_factory()
    results, _ = probe(board, ["shell", "echo to-stderr >&2"], stderr_to_file=True)
    assert board.stderr_text() == "to-stderr\n"
    assert "to-stderr" not in board.console_text()


def test_link_test_follows_the_carrier(board_factory):
    board = board_factory()
    ip = "/usr/bin/ip"      # iproute2: the shell's own ip applet knows no veth peers
    veth = f"{ip} link add eth0 type veth peer name peer0 && {ip} link set eth0 up"
    results, _ = probe(board, ["link", "eth0"], ["shell", veth], ["link", "eth0"],
                       ["shell", f"{ip} link set peer0 up && sleep 0.2"], ["link", "eth0"])
    assert values(results) == ["-1 ENODEV", "0", "0", "0", "1"]
    assert "net ethtool eth0 glink link=1" in board.device_log()


# ---- making boards, the command line, the real bootmgr ----

def test_create_lays_out_the_board(board_factory, tmp_path):
    slot = tmp_path / "slot.img"
    slot.write_bytes(b"S" * 100)
    board = board_factory(image_select=2, usb_boot=213, env={"diagnostics": "rescue"},
                          slot1=slot, kernel=b"K" * 10, time_scale=0.5)
    assert board.partition("kernel")[:11] == b"K" * 10 + b"\xff"
    assert len(board.partition("kernel")) == 8 * 1024 * 1024
    assert board.partition("rescue") == b"\xff" * (10 * 1024 * 1024)
    assert (board.eeprom(256), board.eeprom(314), board.eeprom(315)) == (2, 0xFF, 213)
    assert (board.user / "images/image1").read_bytes() == b"S" * 100
    env = board.partition("ubootenv")
    body = env[4:]
    assert struct.unpack(">I", env[:4])[0] == zlib.crc32(body)
    assert body.startswith(b"diagnostics=rescue\x00\x00")
    assert board.conf()["time_scale"] == "0.5"


def test_create_refuses_bad_choices(tmp_path):
    from boardsim import Board, BoardError
    with pytest.raises(BoardError):
        Board.create(tmp_path / "a", colour="blue")
    with pytest.raises(BoardError):
        Board.create(tmp_path / "b", devicetree=b"x" * (256 * 1024 + 1))
    with pytest.raises(BoardError):
        Board.create(tmp_path / "c", missing="kernel,floppy")


def test_the_readme_shows_the_board_description():
    from boardsim.description import readme_table
    assert readme_table() in (BSIM.parent / "README.md").read_text()


def bsim(*args, **kw):
    return subprocess.run([sys.executable, str(BSIM)] + [str(a) for a in args],
                          capture_output=True, text=True, **kw)


def test_bsim_create_set_show(tmp_path):
    board = tmp_path / "cli"
    kernel = tmp_path / "kernel.img"
    kernel.write_bytes(struct.pack(">IIII", 0x1234ABCD, 4096, 0x03504547, 0x03040007))
    boot = tmp_path / "boot.img"
    boot.write_bytes(b"\0" * 240 + struct.pack(">IIII", 0, 64, 0x82504547, 0x02010003))
    assert bsim("create", board, "image_select=2", "env.gdb=on", "eeprom_page=16",
                f"kernel={kernel}").returncode == 0
    assert bsim("set", board, "booted_image=4", "fail_write_at=3", f"uboot={boot}",
                f"slot2={kernel}").returncode == 0
    shown = bsim("show", board).stdout
    assert "eeprom 256 image_select: 2" in shown and "eeprom 314 booted_image: 4" in shown
    assert "fail_write_at=3" in shown and "env: gdb=on" in shown
    assert "kernel @0: kernel version 3.4.0.7 len 4096 crc 0x1234abcd" in shown
    assert "uboot @240: boot loader (extended) version 2.1.0.3 len 64" in shown
    assert "slot2: kernel version 3.4.0.7" in shown and "slot1: no file" in shown
    assert "rfs @0: erased" in shown
    assert bsim("set", board, "nonsense=1").returncode == 2


# A probe whose first power-on resets the board and whose later ones end by
# themselves (the mark lives in the board folder, which outlives a power-on).
RESET_ONCE = ["probe_devices", "shell",
              "[ -e /.boardsim/reset-once ] || { touch /.boardsim/reset-once; reboot; }"]


def test_bsim_run_and_cycle_follow_resets(tmp_path, arch):
    board = tmp_path / "cli"
    assert bsim("create", board, "time_scale=0.01").returncode == 0
    run = bsim("run", board, "--arch", arch, "--program", *RESET_ONCE, stdin=subprocess.DEVNULL)
    assert run.returncode == 0, run.stderr
    assert re.findall(r"power-off: \S+ \(status -?\d+\)", run.stderr) == [
        "power-off: reset (status 0)", "power-off: exit (status 0)"]
    assert run.stdout.count("probe shell 0") == 2
    assert (board / "state/power_on_count").read_text().strip() == "2"
    cycle = bsim("cycle", board, 3, "--arch", arch, "--program", "probe_devices", "shell",
                 "reboot", stdin=subprocess.DEVNULL)
    assert cycle.returncode == 0 and cycle.stderr.count("power-off: reset") == 3
    assert (board / "state/power_on_count").read_text().strip() == "5"
    fail = bsim("run", board, "--arch", arch, "--program", "probe_devices", "shell", "exit 3",
                stdin=subprocess.DEVNULL)
    assert fail.returncode == 0 and "power-off: exit (status 0)" in fail.stderr
    assert "probe shell 3" in fail.stdout
    stop = bsim("cycle", board, 2, "--arch", arch, "--program", "probe_devices", "say", "x",
                stdin=subprocess.DEVNULL)
    assert stop.returncode == 1
    assert (board / "state/power_on_count").read_text().strip() == "7"


def bsim_run_on_a_terminal(board, arch, *steps):
    """`bsim run` on a pseudo-terminal of its own, as an operator starts it:
    each step is (text to wait for, keys to type then); gives the exit
    status once the run has ended."""
    term = pexpect.spawn(sys.executable, [str(BSIM), "run", str(board), "--arch", arch],
                         timeout=120 if arch == "ppc" else 60, encoding="latin-1")
    for wait_for, keys in steps:
        term.expect_exact(wait_for)
        term.send(keys)
    term.expect(pexpect.EOF)
    term.close()
    return term.exitstatus


def test_bsim_run_on_a_terminal_comes_back_after_a_reboot(tmp_path, arch):
    """The demo application's reboot powers the board on again; leaving the
    application ends the run, and so does Ctrl-] on the terminal."""
    board = tmp_path / "demo"
    assert bsim("create", board, "--default", "time_scale=0.02").returncode == 0
    assert bsim_run_on_a_terminal(board, arch, ("demo> ", "reboot\r"),
                                  ("bsim: power-off: reset (status 0)", ""),
                                  ("Ctrl-] powers it off", ""), ("demo> ", "exit\r"),
                                  ("bsim: power-off: app-exit (status 0)", "")) == 0
    assert (board / "state/power_on_count").read_text().strip() == "2"
    assert bsim_run_on_a_terminal(board, arch, ("demo> ", "\x1d"),
                                  ("bsim: power-off: power-off", "")) == 0
    assert (board / "state/power_on_count").read_text().strip() == "3"
    assert (board / "state/last_power_off").read_text().strip() == "power-off"


def test_bootmgr_powers_on_and_its_reset_is_recorded(board_factory):
    board = board_factory(time_scale=0.01)
    con = board.power_on()
    index = con.expect([r"Option\? : ", pexpect.EOF], timeout=60)
    if index == 0:
        con.send("R")
    off = board.wait_power_off(con)
    assert off.reason == "reset"
    assert board.tools_log()[-1].startswith("reboot")
    assert any(line.startswith("mtd open kernel") for line in board.device_log())
    assert (board.path / "log/devices.log").read_text().startswith("power-on 1\n")

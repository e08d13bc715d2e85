"""Boot settings read from the U-Boot environment partition of the simulated
board. The environment is made by the real mkenvimage from key=value lines
(in the order given) and written to the emulated partition; probe_flash env
runs the reader as start-up does and prints the settings."""
import re
import subprocess
import zlib

import pytest
from helpers import new_board, run_program

ENV_PARTITION = 128 * 1024
DEFAULTS = dict(gdb=0, gdbserver=0, gdbport=1234, shell=0, memchk=0, rescue=0, diags=0)


def mkenvimage(tmp_path, lines):
    src = tmp_path / "env.txt"
    src.write_text("".join(line + "\n" for line in lines))
    out = tmp_path / "env.bin"
    subprocess.run(["mkenvimage", "-b", "-s", str(ENV_PARTITION), "-o", str(out), str(src)], check=True)
    return out.read_bytes()


def settings(board, env_bytes):
    board.write_partition("ubootenv", env_bytes)
    text, _ = run_program(board, "probe_flash", "env")
    m = re.search(r"gdb=(-?\d+) gdbserver=(-?\d+) gdbport=(-?\d+) shell=(-?\d+) memchk=(-?\d+) "
                  r"rescue=(-?\d+) diags=(-?\d+)", text)
    assert m, text
    return dict(zip(DEFAULTS, map(int, m.groups())))


def expect(**changes):
    return {**DEFAULTS, **changes}


CASES = [
    ("no-keys", ["bootcmd=run flash_boot", "baudrate=9600", "ipaddr=192.0.2.10"], expect()),
    ("gdb-on", ["gdb=on"], expect(gdb=1)),
    ("gdbserver-forces-gdb", ["gdb=off", "gdbserver=on"], expect(gdb=1, gdbserver=1)),
    ("gdbserver-off-keeps-gdb", ["gdb=on", "gdbserver=off"], expect(gdb=1)),
    ("gdbserver-yes-is-off", ["gdbserver=yes"], expect()),
    ("gdbport-digits", ["gdbport=2345"], expect(gdbport=2345)),
    ("gdbport-letters", ["gdbport=abcd"], expect()),
    ("gdbport-empty", ["gdbport=", "shell=on"], expect(shell=1)),
    ("shell-online", ["shell=online"], expect(shell=1)),
    ("shell-On", ["shell=On"], expect()),
    ("memchk-1", ["memchk=1"], expect()),
    ("memchk-on", ["memchk=on"], expect(memchk=1)),
    ("diagnostics-rescue", ["diagnostics=rescue"], expect(rescue=1)),
    ("diagnostics-diags", ["diagnostics=diags"], expect(diags=1)),
    ("diagnostics-reboot", ["diagnostics=reboot"], expect()),
    ("name-ending-in-key", ["mygdb=on", "gdb=off"], expect(gdb=1)),
    ("key-inside-a-value", ["bootargs=console=ttyS0 diagnostics=diags", "diagnostics=rescue"], expect(diags=1)),
    ("short-value-meets-next-variable", ["shell=o", "nfs=1"], expect()),
    ("everything", ["gdbserver=on", "gdbport=4444", "shell=on", "memchk=on", "diagnostics=rescue"],
     expect(gdb=1, gdbserver=1, gdbport=4444, shell=1, memchk=1, rescue=1)),
]


@pytest.mark.parametrize("lines, want", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_settings_from_mkenvimage(tmp_path, lines, want):
    board = new_board(tmp_path)
    assert settings(board, mkenvimage(tmp_path, lines)) == want


def test_reads_8192_bytes_after_the_crc_word(tmp_path):
    board = new_board(tmp_path)
    settings(board, mkenvimage(tmp_path, ["shell=on"]))
    assert "mtd read ubootenv off=0x00000004 len=8192" in [line.strip() for line in board.device_log()]


def test_wrong_crc_is_used_all_the_same(tmp_path):
    board = new_board(tmp_path)
    env = bytearray(mkenvimage(tmp_path, ["memchk=on"]))
    env[0:4] = b"\xde\xad\xbe\xef"
    assert settings(board, bytes(env)) == expect(memchk=1)


def test_area_without_any_nul(tmp_path):
    # 8192 bytes of text with no terminator, the key at the very end.
    area = (b"x" * (8192 - len(b"gdbport=77"))) + b"gdbport=77"
    body = area + b"\xff" * (ENV_PARTITION - 4 - len(area))
    env = zlib.crc32(body).to_bytes(4, "big") + body
    board = new_board(tmp_path)
    assert settings(board, env) == expect(gdbport=77)


def test_key_beyond_the_area_is_not_seen(tmp_path):
    # A variable that starts after the first 8192 bytes of the area.
    lines = ["pad=" + "p" * 8190, "shell=on"]
    board = new_board(tmp_path)
    assert settings(board, mkenvimage(tmp_path, lines)) == expect()


def test_erased_partition_gives_defaults(tmp_path):
    board = new_board(tmp_path)
    assert settings(board, b"\xff" * ENV_PARTITION) == expect()


def test_unreadable_flash_keeps_defaults(tmp_path):
    board = new_board(tmp_path, geometry="fail")
    assert settings(board, mkenvimage(tmp_path, ["shell=on", "gdbport=99"])) == expect()
    assert not any(line.startswith("mtd read") for line in board.device_log())

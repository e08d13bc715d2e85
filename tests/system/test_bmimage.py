"""The host image tool, checked against an independent writer and reader of
the format (struct and zlib, in helpers): what `create` writes byte for byte, what
`info` and `verify` say about good, damaged and hostile files, and that bad
input is refused with a message and no half-written output."""

import json
import os
import struct
import subprocess

import pytest
from helpers import APP, DIAGS, EXT, KERNEL, jamcrc, packed_component

BMIMAGE = os.environ.get("BMIMAGE") or os.path.join(
    os.path.dirname(__file__), "..", "..", "build", "host", "bin", "bmimage")

def run(*args):
    return subprocess.run([BMIMAGE, *map(str, args)], capture_output=True, text=True)


def info(path):
    r = run("info", "--json", path)
    assert r.returncode in (0, 1), r.stderr
    return json.loads(r.stdout), r.returncode


@pytest.fixture
def payloads(tmp_path):
    app = os.urandom(5000)
    boot = os.urandom(300)
    (tmp_path / "app.tgz").write_bytes(app)
    (tmp_path / "boot.bin").write_bytes(boot)
    return tmp_path, app, boot


def test_create_writes_exactly_the_format(payloads):
    d, app, boot = payloads
    (d / "four").write_bytes(b"1234")
    out = d / "a.img"
    r = run("create", "-o", out,
            "--type", "kernel", "--file", d / "boot.bin", "--version", "3.1.4.1",
            "--type", "app", "--file", d / "app.tgz", "--version", "1.2.3.250",
            "--header-size", 40, "--bytes16", "0xBEEF",
            "--type", "diag", "--file", d / "four", "--version", "0.0.0.9")
    assert r.returncode == 0, r.stderr
    expected = (packed_component(KERNEL, boot, (3, 1, 4, 1))
                + packed_component(APP, app, (1, 2, 3, 250), header_size=40, bytes16=0xBEEF)
                + packed_component(DIAGS, b"1234", (0, 0, 0, 9)))
    assert out.read_bytes() == expected
    assert not (d / "a.img.part").exists()

    doc, rc = info(out)
    assert rc == 0 and doc["ok"] and doc["trailing"] == 0 and doc["error"] is None
    got = [(c["type"], c["offset"], c["extended"], c["header_size"], c["bytes16"],
            c["version"], c["len"], c["total"], c["status"]) for c in doc["components"]]
    assert got == [
        ("kernel", 0, False, 16, None, "3.1.4.1", 300, 316, "good"),
        ("application", 316, True, 40, 0xBEEF, "1.2.3.250", 5000, 5040, "good"),
        ("diagnostics", 5356, False, 16, None, "0.0.0.9", 4, 20, "good"),
    ]
    assert doc["components"][1]["magic"] == APP | EXT
    assert run("verify", out).returncode == 0


def test_bootloader_header_copy_at_byte_240(payloads):
    d, _, _ = payloads
    (d / "small.bin").write_bytes(b"\xAA" * 100)
    out = d / "b.img"
    assert run("create", "-o", out, "--type", "bootloader", "--file", d / "small.bin",
               "--version", "2.0.1.7", "--boot-copy").returncode == 0
    data = out.read_bytes()
    crc, length, magic, vid = struct.unpack(">IIII", data[:16])
    payload = data[16:]
    # Short payloads are padded so that the copy fits.
    assert length == 256 == len(payload)
    assert payload[:100] == b"\xAA" * 100 and payload[100:240] == bytes(140)
    assert payload[240:256] == struct.pack(">IIII", 0, length, magic, vid)
    assert crc == jamcrc(data[4:])
    doc, rc = info(out)
    assert rc == 0
    assert doc["components"][0]["header_copy"]["version"] == "2.0.1.7"
    assert doc["components"][0]["header_copy"]["len"] == 256


def test_deliberate_faults_are_reported_by_info_and_verify(payloads):
    d, app, _ = payloads
    cases = {
        "badcrc": (["--corrupt-crc"], "bad"),
        "short": (["--len", 6000], "truncated"),
        "cut": (["--truncate", 3000], "truncated"),
    }
    for name, (opts, status) in cases.items():
        out = d / f"{name}.img"
        assert run("create", "-o", out, "--type", "app", "--file", d / "app.tgz", *opts).returncode == 0
        doc, rc = info(out)
        assert rc == 1 and not doc["ok"], name
        assert doc["components"][0]["status"] == status, name
        v = run("verify", out)
        assert v.returncode == 1 and str(out) in v.stderr, name
    # --crc stores the word exactly as given.
    out = d / "crc.img"
    assert run("create", "-o", out, "--type", "app", "--crc", "0x12345678", "--extended").returncode == 0
    assert out.read_bytes()[:4] == bytes.fromhex("12345678")
    assert os.path.getsize(d / "cut.img") == 3000


def test_info_walks_hostile_and_unknown_components(tmp_path):
    # Unknown type first, stepped over by its size, then the application.
    f = tmp_path / "mixed.img"
    f.write_bytes(packed_component(0x09504547, b"x" * 33) +
                  packed_component(APP, b"y" * 7, header_size=20) + b"abc")
    doc, rc = info(f)
    assert [c["type"] for c in doc["components"]] == ["unknown", "application"]
    assert doc["components"][1]["offset"] == 16 + 33
    assert doc["trailing"] == 3 and rc == 1  # leftover bytes fail verify
    assert "3 trailing bytes" in run("verify", f).stderr

    # Header sizes that would stall or wrap a walk: refused, not looped on.
    for hs, length in ((0, 0), (3, 0), (19, 5), (20, 0xFFFFFFF0)):
        g = tmp_path / f"hs{hs}.img"
        g.write_bytes(struct.pack(">IIIIHH", 0, length, APP | EXT, 0, 0, hs) + bytes(64))
        doc, rc = info(g)
        assert rc == 1 and doc["components"] == [] and "implausible header" in doc["error"], hs
    # The tool's own raw mode makes the same kind of file.
    h = tmp_path / "raw.img"
    assert run("create", "-o", h, "--type", "app", "--raw-header-size", 0).returncode == 0
    assert "implausible header" in json.loads(run("info", "--json", h).stdout)["error"]

    empty = tmp_path / "empty.img"
    empty.write_bytes(b"")
    v = run("verify", empty)
    assert v.returncode == 1 and "no component" in v.stderr


def test_raw_components_and_mixing(payloads):
    d, app, boot = payloads
    out = d / "r.img"
    assert run("create", "-o", out, "--raw", d / "boot.bin", "--truncate", 10,
               "--type", "app", "--file", d / "app.tgz").returncode == 0
    assert out.read_bytes() == boot[:10] + packed_component(APP, app)


@pytest.mark.parametrize("args,message", [
    (["--type", "app", "--version", "1.2.3"], "not a.b.c.d"),
    (["--type", "app", "--version", "1.2.3.256"], "not a.b.c.d"),
    (["--type", "app", "--version", "1.2.3.-1"], "not a.b.c.d"),
    (["--type", "app", "--header-size", "19"], "below 20"),
    (["--type", "app", "--header-size", "65536"], "not a number"),
    (["--type", "app", "--bytes16", "7"], "needs an extended header"),
    (["--type", "kernel", "--boot-copy"], "bootloader"),
    (["--type", "widget"], "no component type"),
    (["--type", "0x81504547"], "no component type"),
    (["--type", "app", "--file", "/nonexistent/x"], "No such file"),
    (["--type", "app", "--file", "/"], "not a regular file"),
    (["--version", "1.0.0.0"], "before the first --type"),
    (["--type", "app", "--frobnicate"], "unknown option"),
    # A last component under 20 bytes would be invisible to every reader.
    (["--type", "app", "--version", "1.0.0.0"], "readers ignore"),
    ([], "at least one component"),
])
def test_bad_input_is_refused_without_output(tmp_path, args, message):
    out = tmp_path / "x.img"
    r = run("create", "-o", out, *args)
    assert r.returncode == 2
    assert message in r.stderr and r.stderr.startswith("bmimage: ")
    assert not out.exists() and not (tmp_path / "x.img.part").exists()


def test_usage_errors():
    assert run().returncode == 2
    assert run("frob").returncode == 2
    assert run("create", "--type", "app").returncode == 2  # no -o
    assert run("info").returncode == 2
    assert run("verify", "/nonexistent.img").returncode == 2
    h = run("--help")
    assert h.returncode == 0 and "bmimage create" in h.stdout

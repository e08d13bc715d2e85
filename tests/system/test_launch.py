"""The launch of the application on the simulated board: the unpacking, the
release of the I2C buses, the install script and env-setup, the shell step,
the start rules a to f with the command lines the board fakes record, and
the GDB image fetched from the other slot.

The archives here carry probe programs instead of the demo: the
application records its arguments and LD_PRELOAD in the tools log and
prints its environment; install.sh records what it finds."""

import gzip
import re

import pytest
from boardsim import default_board as demo
from helpers import SCALE, console, leave_app

TOOLS_LOG = "/.boardsim/log/tools.log"

PROBE_APP = r"""#!/bin/sh
# kind: application
echo "mp.elf.strip args=[$*] LD_PRELOAD=[${LD_PRELOAD-}]" >> /.boardsim/log/tools.log
echo "APP-ENV-BEGIN"
env | sort
echo "APP-ENV-END"
if [ -e /tmp/corvoimage.tar.gz ]; then echo "archive still there"; else echo "archive removed"; fi
echo "mtime $(stat -c %Y /tmp/home/bin/mp.elf.strip)"
echo "APP-DONE"
"""

PROBE_DIAG = PROBE_APP.replace("kind: application", "kind: diagnostics")

# The shell closes its end of the substitution's pipe while ls may be
# listing its descriptors: ls then cannot read that link, which says
# nothing about the descriptors inherited from bootmgr.
PROBE_INSTALL = r"""#!/bin/sh
echo "install.sh i2c-fds=$(ls -l /proc/$$/fd 2>/dev/null | grep -c i2c)" \
     "runs=$(grep -o 'kind: [a-z]*' /tmp/home/bin/mp.elf.strip)" >> /.boardsim/log/tools.log
"""

FAKE_GDB = r"""#!/bin/sh
echo "gdb $*" >> /.boardsim/log/tools.log
exec "$@"
"""

ENV_LINES = "BOARD_NAME sim-board\nAPP_MODE  fast\n\tEMPTY_LAST_IS_NOT_LAST value3\n"
ENV_ONE_LINE = "BOARD_NAME sim-board APP_MODE fast EMPTY_LAST_IS_NOT_LAST value3"


def probe_archive(env_setup=None, install=True, diag=False):
    files = {}
    if diag:
        files["mpdiag.elf.strip"] = PROBE_DIAG
    else:
        files["home/bin/mp.elf.strip"] = PROBE_APP
    if install:
        files["home/bin/install.sh"] = PROBE_INSTALL
    if env_setup is not None:
        files["home/bin/env-setup"] = env_setup
    return demo.archive(files)


def probe_image(**kw):
    diag = kw.get("diag", False)
    return demo.make_image([dict(type="diag" if diag else "app", version="5.0.0.1",
                                 payload=probe_archive(**kw))])


def gdb_image(extended=False, type_="app"):
    comp = dict(type=type_, version="8.0.0.1", payload=gzip.compress(FAKE_GDB.encode()))
    if extended:
        comp["header_size"] = 36
    return demo.make_image([comp])


def make_board(board_factory, env=None, slot1=None, slot2=None, **choices):
    choices.setdefault("time_scale", SCALE)
    choices["slot1"] = slot1 if slot1 is not None else probe_image()
    if slot2 is not None:
        choices["slot2"] = slot2
    return board_factory(env=env or {}, **choices)


def app_env(board):
    text = console(board)
    block = text[text.index("APP-ENV-BEGIN\n") + 14:text.index("APP-ENV-END")]
    return dict(line.split("=", 1) for line in block.splitlines() if "=" in line)


def skip_mgmt_dialogue(con):
    """gdbserver mode first offers the management port set-up: decline it."""
    if con.expect_exact(["Use DHCP for network configuration? y/N: ", "IP addr    :"]) == 0:
        con.send("n\r")
        con.expect_exact("IP addr    :")
    con.send("q\r")


def run_to_app(board, gdbserver=False):
    con = board.power_on(stderr_to_file=True)
    if gdbserver:
        skip_mgmt_dialogue(con)
    con.expect_exact("APP-DONE")
    return board.wait_power_off(con)


def fake_calls(board):
    """Lines the board fakes and probes wrote this power-on."""
    return [line.strip() for line in board.tools_log() if not line.startswith("power-on")]


def launch_calls(board):
    """The calls that start the application and end the power-on."""
    return [c for c in fake_calls(board) if not c.startswith(("mount", "umount", "install.sh", "duma"))]


# ---- the start rules ----

RULES = [
    ("a: gdbserver with memory checker", {"gdbserver": "on", "memchk": "on", "gdbport": "4321"},
     ["gdbserver :4321 /tmp/home/bin/mp.elf.strip LD_PRELOAD=libduma.so.0.0.0",
      "mp.elf.strip args=[] LD_PRELOAD=[libduma.so.0.0.0]", "reboot"], "reset"),
    ("b: gdbserver, default port", {"gdbserver": "on"},
     ["gdbserver :1234 /tmp/home/bin/mp.elf.strip", "mp.elf.strip args=[] LD_PRELOAD=[]", "reboot"],
     "reset"),
    ("e: memory checker", {"memchk": "on"},
     ["mp.elf.strip args=[] LD_PRELOAD=[libduma.so.0.0.0]", "reboot"], "reset"),
    ("f: plain", {}, ["backtrace", "mp.elf.strip args=[] LD_PRELOAD=[]"], "app-exit"),
]


@pytest.mark.parametrize("case,env,calls,reason", RULES, ids=[r[0] for r in RULES])
def test_start_rules(board_factory, case, env, calls, reason):
    board = make_board(board_factory, env)
    off = run_to_app(board, gdbserver="gdbserver" in env)
    assert off.reason == reason
    assert launch_calls(board) == calls
    assert board.stderr_text() == ""


@pytest.mark.parametrize("memchk", [False, True])
def test_rule_c_gdb_from_the_other_slot(board_factory, memchk):
    env = {"gdb": "on", **({"memchk": "on"} if memchk else {})}
    gdb = gdb_image()
    board = make_board(board_factory, env, slot2=gdb)
    off = run_to_app(board)
    assert off.reason == "reset"
    text = console(board)
    length = len(gzip.compress(FAKE_GDB.encode()))
    # Plain header: the V2 note comes before the length line.
    order = ["Extracting GDB from image slot 2\n", "V2 header found\n",
             f"Found GDB image 2 of length = {length}.\n", "decompressing GDB....\n",
             "*** Launching under GDB ***\n"]
    positions = [text.index(s) for s in order]
    assert positions == sorted(positions)
    # Rule c runs without the memory checker even when it is on.
    assert launch_calls(board) == [
        "gdb /tmp/home/bin/mp.elf.strip", "mp.elf.strip args=[] LD_PRELOAD=[]", "reboot"]
    assert board.eeprom(314) == 1


def test_gdb_image_with_extended_header_from_slot_1(board_factory):
    board = make_board(board_factory, {"gdb": "on"}, slot1=gdb_image(extended=True),
                       slot2=probe_image(), image_select=2)
    off = run_to_app(board)
    assert off.reason == "reset"
    text = console(board)
    assert "Extracting GDB from image slot 1\n" in text
    assert "V2 header found" not in text
    assert "gdb /tmp/home/bin/mp.elf.strip" in fake_calls(board)


@pytest.mark.parametrize("slot2,stderr", [
    (None, "Failed to open GDB image (from slot 2)\n"),
    (lambda: gdb_image(type_="kernel"), "Image has invalid header 0x3504547\n"),
    (lambda: gdb_image(extended=True, type_="kernel"), "Image has invalid header 0x83504547\n"),
], ids=["no slot 2", "wrong type", "wrong type, extended"])
def test_rule_d_falls_through_to_the_plain_start(board_factory, slot2, stderr):
    # The memory checker is on, yet rule d goes to the plain start.
    board = make_board(board_factory, {"gdb": "on", "memchk": "on"},
                       slot2=slot2() if slot2 else None)
    off = run_to_app(board)
    assert off.reason == "app-exit"
    assert "**** GDB mode selected but GDB not available. Please install GDB image ***" in console(board)
    assert launch_calls(board) == ["backtrace", "mp.elf.strip args=[] LD_PRELOAD=[]"]
    assert board.stderr_text() == stderr


def test_usb_boot_fetches_no_gdb(board_factory):
    board = make_board(board_factory, {"gdb": "on"}, slot2=gdb_image(), usb_boot=213, usb="plugged",
                       **{"usb.KV4410NX_OS.img": probe_image()})
    off = run_to_app(board)
    assert off.reason == "app-exit"
    assert "Extracting GDB" not in console(board)
    assert board.eeprom(314) == 3


def test_shell_step_before_the_start(board_factory):
    board = make_board(board_factory, {"shell": "on"})
    con = board.power_on(stderr_to_file=True)
    con.expect_exact("Dropping into shell")
    con.sendline("echo shell-$((6*7)) >> " + TOOLS_LOG + "; exit")
    con.expect_exact("Dropping out of shell")
    con.expect_exact("APP-DONE")
    assert board.wait_power_off(con).reason == "app-exit"
    calls = fake_calls(board)
    assert calls.index("shell-42") < calls.index("backtrace")


# ---- unpacking, install script and env-setup ----

def test_unpack_release_and_install_script(board_factory):
    board = make_board(board_factory)
    run_to_app(board)
    text = console(board)
    assert "Running AOS install script" in text
    assert "archive removed" in text
    # Stored times are not restored (the archive's are 0).
    assert int(re.search(r"^mtime (\d+)$", text, re.M).group(1)) > 1_000_000_000
    # The I2C buses are closed before the install script runs.
    assert "install.sh i2c-fds=0 runs=kind: application" in fake_calls(board)


def test_diagnostics_executable_takes_the_application_place(board_factory):
    board = make_board(board_factory, slot1=probe_image(diag=True))
    run_to_app(board)
    text = console(board)
    assert text.index("install diags image") < text.index("Running AOS install script")
    assert "install.sh i2c-fds=0 runs=kind: diagnostics" in fake_calls(board)


@pytest.mark.parametrize("content", [ENV_LINES, ENV_ONE_LINE], ids=["pair per line", "one line"])
def test_env_setup_layouts_set_the_same_variables(board_factory, content):
    board = make_board(board_factory, slot1=probe_image(env_setup=content))
    run_to_app(board)
    env = app_env(board)
    assert {k: env.get(k) for k in ("BOARD_NAME", "APP_MODE", "EMPTY_LAST_IS_NOT_LAST")} == {
        "BOARD_NAME": "sim-board", "APP_MODE": "fast", "EMPTY_LAST_IS_NOT_LAST": "value3"}


def test_env_setup_edge_words(board_factory):
    long_value = "v" * 600
    content = f"PLAIN_OK ok BAD=NAME skipped LONG {long_value} NEXT_NAME next_value"
    board = make_board(board_factory, slot1=probe_image(env_setup=content))
    off = run_to_app(board)
    assert off.reason == "app-exit"
    env = app_env(board)
    assert env["PLAIN_OK"] == "ok"
    assert "BAD" not in env and "BAD=NAME" not in env  # a name with '=' is skipped
    # A word is split after 511 characters; its rest is the next word.
    assert env["LONG"] == "v" * 511
    assert env["v" * 89] == "NEXT_NAME"
    assert env["next_value"] == ""


def test_env_setup_last_name_gets_the_empty_value(board_factory):
    board = make_board(board_factory, slot1=probe_image(env_setup="HOME /home/app\nLONELY\n"))
    run_to_app(board)
    env = app_env(board)
    assert env["HOME"] == "/home/app"  # existing variables are overwritten
    assert env["LONELY"] == ""


def test_env_setup_without_install_script_sets_nothing(board_factory):
    board = make_board(board_factory, slot1=probe_image(env_setup=ENV_LINES, install=False))
    run_to_app(board)
    env = app_env(board)
    assert "BOARD_NAME" not in env and "APP_MODE" not in env
    assert "Running AOS install script" not in console(board)


def test_demo_board_boots_into_the_demo_application(board_factory):
    board = board_factory(default=True, time_scale=SCALE)
    con = board.power_on(stderr_to_file=True)
    con.expect_exact("Booting image '1'")
    con.expect_exact("Demo application from image slot 1, version 1.0.0.1")
    con.expect_exact("DEMO_GREETING=Hello-from-env-setup")
    con.expect_exact("demo> ")
    con.send("version\r")
    con.expect_exact("version 1.0.0.1")
    assert leave_app(board, con).reason == "app-exit"
    assert board.eeprom(314) == 1
    assert board.stderr_text() == ""

"""The MAC address dialogue on the simulated board (probe_mac): what
ifconfig is given, what the real interface ends up with, which answers are
refused or quit, and that nothing typed reaches the shell as a command."""

import re

import pytest

from boardsim import Board

PROMPT = "MAC address (format nn:nn:nn:nn:nn:nn): "
REFUSED = "Invalid MAC address. Try again please"


def run_dialogue(tmp_path, answers, net=False):
    """Types each answer followed by Enter, one per prompt, and returns the
    probe's report as a dict plus the console text."""
    opts = {"net": "lab"} if net else {}
    board = Board.create(tmp_path / "b", time_scale=0.05, **opts)
    con = board.power_on(program=["probe_mac"])
    for answer in answers:
        con.expect_exact(PROMPT)
        con.send(answer + "\r")
    con.expect(r"eth0 hwaddr (\S+)\r?\n")
    board.wait_power_off(con)
    text = board.console_text()
    report = {
        "result": int(re.search(r"run_mac_config result (\d+)", text).group(1)),
        "args": re.findall(r"arg\d+=\[(.*)\]", text),
        "ran": "ifconfig not run" not in text,
        "new_files": re.findall(r"new file \[(.*)\]", text),
        "hwaddr": re.search(r"eth0 hwaddr (\S+)", text).group(1),
        "prompts": text.count(PROMPT),
        "refusals": text.count(REFUSED),
    }
    return report, text


@pytest.mark.parametrize("typed,hwaddr", [
    ("00:11:22:33:44:55", "00:11:22:33:44:55"),
    ("0:1:2:3:4:5", "00:01:02:03:04:05"),
])
def test_accepted_address_is_applied_as_typed(tmp_path, typed, hwaddr):
    r, _ = run_dialogue(tmp_path, [typed], net=True)
    assert r["result"] == 1
    assert r["args"] == ["eth0", "hw", "ether", typed]
    assert r["hwaddr"] == hwaddr
    assert r["prompts"] == 1 and r["refusals"] == 0


def test_malformed_answers_are_refused_until_q(tmp_path):
    refused = ["00-11-22-33-44-55", "001122334455", "", "quit", "Q", "1:2:3:4:5"]
    r, _ = run_dialogue(tmp_path, refused + ["q"])
    assert r["result"] == 0
    assert not r["ran"]
    assert r["refusals"] == len(refused)
    assert r["prompts"] == len(refused) + 1


def test_q_alone_quits_at_once(tmp_path):
    r, _ = run_dialogue(tmp_path, ["q"])
    assert (r["result"], r["ran"], r["refusals"]) == (0, False, 0)


def test_typing_stops_after_seventeen_characters(tmp_path):
    r, text = run_dialogue(tmp_path, ["00:11:22:33:44:5566"])
    assert r["result"] == 1
    assert r["args"][3] == "00:11:22:33:44:55"
    assert "\a" in text, "the refused characters are answered with BEL"


@pytest.mark.parametrize("typed", [
    "0:1:2:3:4:5;>x",
    "1:2:3:4:5:6`>y`",
    "1:2:3:4:5:6$(>z)",
    "1:2:3:4:5:6';>w'",
    "1:2:3:4:5:6|>v",
])
def test_shell_metacharacters_run_nothing(tmp_path, typed):
    # Whatever follows the sixth number passes the test; it must reach
    # ifconfig as part of one word and never run as a command.
    r, _ = run_dialogue(tmp_path, [typed])
    assert r["result"] == 1
    assert r["args"] == ["eth0", "hw", "ether", typed]
    assert r["new_files"] == []


def test_interrupt_key_quits_after_the_line_ends(tmp_path):
    board = Board.create(tmp_path / "b", time_scale=0.05)
    con = board.power_on(program=["probe_mac"])
    con.expect_exact(PROMPT)
    con.send("00:11:22:33:44:55")
    con.sendintr()
    con.send("\r")
    con.expect(r"eth0 hwaddr (\S+)\r?\n")
    board.wait_power_off(con)
    text = board.console_text()
    assert "run_mac_config result 0" in text
    assert "ifconfig not run" in text

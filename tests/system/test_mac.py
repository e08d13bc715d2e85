"""The MAC address dialogue on the simulated board (probe_mac): what
ifconfig is given, what the real interface ends up with, which answers are
refused or quit, and that nothing typed reaches the shell as a command."""

import re

import pytest

from helpers import new_board

PROMPT = "MAC address (format nn:nn:nn:nn:nn:nn): "
REFUSED = "Invalid MAC address. Try again please"


def report_of(text):
    hw = re.findall(r"eth0 hwaddr (\S+)", text)
    return {
        "result": int(re.search(r"run_mac_config result (\d+)", text).group(1)),
        "new_files": re.findall(r"new file \[(.*)\]", text),
        "before": hw[0],
        "after": hw[-1],
        "ifconfig": re.findall(r"ifconfig: .*", text),
        "prompts": text.count(PROMPT),
        "refusals": text.count(REFUSED),
    }


def run_dialogue(tmp_path, answers, net=True):
    """Types each answer followed by Enter, one per prompt; returns the
    probe's report and the console text. With the network lab the board has
    a real eth0 whose address shows what ifconfig was given."""
    opts = {"net": "lab"} if net else {}
    board = new_board(tmp_path, time_scale=0.05, **opts)
    con = board.power_on(program=["probe_mac"])
    for answer in answers:
        con.expect_exact(PROMPT)
        con.send(answer + "\r")
    con.expect(r"new files \d+")
    board.wait_power_off(con)
    text = board.console_text()
    return report_of(text), text


@pytest.mark.parametrize("typed,hwaddr", [
    ("00:11:22:33:44:55", "00:11:22:33:44:55"),
    ("0:1:2:3:4:5", "00:01:02:03:04:05"),
])
def test_accepted_address_is_applied_as_typed(tmp_path, typed, hwaddr):
    r, _ = run_dialogue(tmp_path, [typed])
    assert r["result"] == 1
    assert r["after"] == hwaddr != r["before"]
    assert r["ifconfig"] == []
    assert r["prompts"] == 1 and r["refusals"] == 0


def test_malformed_answers_are_refused_until_q(tmp_path):
    refused = ["00-11-22-33-44-55", "001122334455", "", "quit", "Q", "1:2:3:4:5"]
    r, _ = run_dialogue(tmp_path, refused + ["q"])
    assert r["result"] == 0
    assert r["after"] == r["before"]
    assert r["refusals"] == len(refused)
    assert r["prompts"] == len(refused) + 1


def test_q_alone_quits_at_once(tmp_path):
    r, _ = run_dialogue(tmp_path, ["q"])
    assert (r["result"], r["refusals"], r["prompts"]) == (0, 0, 1)
    assert r["after"] == r["before"]


def test_typing_stops_after_seventeen_characters(tmp_path):
    r, text = run_dialogue(tmp_path, ["00:11:22:33:44:5566"])
    assert r["result"] == 1
    assert r["after"] == "00:11:22:33:44:55"
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
    # ifconfig as part of one word (which ifconfig then refuses, naming it)
    # and never run as a command.
    r, _ = run_dialogue(tmp_path, [typed], net=False)
    assert r["result"] == 1
    assert r["ifconfig"] == [f"ifconfig: invalid hw-addr {typed}\r"]
    assert r["new_files"] == []


def test_interrupt_key_quits_after_the_line_ends(tmp_path):
    board = new_board(tmp_path, time_scale=0.05, net="lab")
    con = board.power_on(program=["probe_mac"])
    con.expect_exact(PROMPT)
    con.send("00:11:22:33:44:55")
    con.sendintr()
    con.send("\r")
    con.expect(r"new files \d+")
    board.wait_power_off(con)
    r = report_of(board.console_text())
    assert r["result"] == 0
    assert r["after"] == r["before"]

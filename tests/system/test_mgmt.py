"""The management port on the simulated board: the address dialogue with
every inet_aton form, quit answers and the interrupt key; DHCP through the
network lab's real server; the static set-up's exact command sequence with
its fixed waits; and the link test with each of its failures."""
import re

import pytest
from boardsim import netlab
from boardsim.console import answer, interrupt_now, type_now
from helpers import ARCH, new_board

IP_PROMPT = b"IP addr    :"
MASK_PROMPT = b"Netmask    :"
GW_PROMPT = b"Gateway    :"
DHCP_QUESTION = b"Confirm: Use DHCP for network configuration? y/N: "
INVALID = b"Invalid IP address. Try again please"
LINK_GONE = b"Mgmt link not available. Quitting."


def make_board(tmp_path, name="b", time_scale=0.01, **choices):
    return new_board(tmp_path, name, time_scale=time_scale, **choices)


def refused(text):
    return f"Invalid IP address {text}. Try again please".encode()


def result_line(con, name):
    con.expect(name.encode() + rb"=(\d+)([^\r\n]*)\r\n")
    return int(con.match.group(1)), con.match.group(2).decode()


def values(rest):
    return dict(kv.split("=", 1) for kv in rest.split())


def sleeps(board):
    """The program's own sleeps of this power-on, in microseconds, in order."""
    return [int(m.group(1)) for line in board.device_log()
            if (m := re.fullmatch(r"clock sleep (\d+)us", line))]


# -- the address test: every form inet_aton takes, first-octet bounds -------

ADDRESS_FORMS = [
    # typed, stored as, verdict
    ("192.0.2.10", "192.0.2.10", "accepted"),
    ("192.0.522", "192.0.2.10", "accepted"),      # a.b.c: c fills 16 bits
    ("192.522", "192.0.2.10", "accepted"),        # a.b: b fills 24 bits (0x00020a)
    ("3221226010", "192.0.2.26", "accepted"),     # one 32-bit number
    ("0xc0.0.2.10", "192.0.2.10", "accepted"),    # hexadecimal part
    ("0300.0.2.012", "192.0.2.10", "accepted"),   # octal parts
    ("0.0.0.0", "0.0.0.0", "refused"),
    ("0.0.2.10", "0.0.2.10", "refused"),
    ("255.255.255.0", "255.255.255.0", "refused"),
    ("239.0.2.10", "239.0.2.10", "accepted"),
    ("240.0.2.10", "240.0.2.10", "refused"),
    ("1.0.2.10", "1.0.2.10", "accepted"),
    ("192.0.2.256", None, "unparsable"),
    ("192.0.2.10.1", None, "unparsable"),
    ("abc", None, "unparsable"),
    ("192.0.2.0x", None, "unparsable"),
]


def test_address_forms_and_first_octet_bounds(tmp_path):
    board = make_board(tmp_path)
    con = board.power_on(program=["probe_mgmt", "verify"] + [t for t, _, _ in ADDRESS_FORMS])
    for typed, stored, verdict in ADDRESS_FORMS:
        con.expect(re.escape(typed.encode()) + rb" ([^\r\n]*)\r\n")
        got = con.match.group(1).decode().split()
        assert got == ([stored, verdict] if stored else [verdict]), typed
    board.wait_power_off(con)


# -- the dialogue -------------------------------------------------------------


def test_invalid_answers_are_asked_again_with_the_right_text(tmp_path):
    board = make_board(tmp_path)
    con = board.power_on(program=["probe_mgmt", "params", "0"])
    # The required address: empty and unparsable answers, then parsed
    # answers the address test refuses, then a short form.
    for text, message in (("", INVALID), ("abc", INVALID), ("255.255.255.0", refused("255.255.255.0")),
                          ("0.0.0.0", refused("0.0.0.0")), ("240.0.2.1", refused("240.0.2.1"))):
        answer(con, IP_PROMPT, text)
        con.expect_exact(message)
    answer(con, IP_PROMPT, "192.0.522")
    # The netmask is not address-tested: 0.0.0.0 is taken and means none.
    answer(con, MASK_PROMPT, "0.0.0.0")
    answer(con, GW_PROMPT, "255.255.255.0")
    con.expect_exact(refused("255.255.255.0"))
    answer(con, GW_PROMPT, "")
    result, rest = result_line(con, "mgmt_port_params")
    assert result == 1
    assert values(rest) == {"use_dhcp": "0", "port": "0", "ip": "192.0.2.10",
                            "netmask": "0.0.0.0", "gateway": "0.0.0.0"}
    # Nothing but the three address prompts was asked.
    assert DHCP_QUESTION not in board.console_text().encode("latin-1")
    board.wait_power_off(con)


def test_netmask_and_gateway_given(tmp_path):
    board = make_board(tmp_path)
    con = board.power_on(program=["probe_mgmt", "params", "0"])
    answer(con, IP_PROMPT, "192.0.2.10")
    answer(con, MASK_PROMPT, "255.255.255.0")
    answer(con, GW_PROMPT, "192.0.2.1")
    result, rest = result_line(con, "mgmt_port_params")
    assert (result, values(rest)["netmask"], values(rest)["gateway"]) == (1, "255.255.255.0", "192.0.2.1")
    board.wait_power_off(con)


@pytest.mark.parametrize("answers, unasked", [
    (["quit"], MASK_PROMPT),
    (["q"], MASK_PROMPT),
    (["192.0.2.10", "Q"], GW_PROMPT),
    (["192.0.2.10", "", "qx"], None),
])
def test_quit_answers_end_the_dialogue(tmp_path, answers, unasked):
    board = make_board(tmp_path)
    con = board.power_on(program=["probe_mgmt", "params", "0"])
    for prompt, text in zip((IP_PROMPT, MASK_PROMPT, GW_PROMPT), answers):
        answer(con, prompt, text)
    result, _ = result_line(con, "mgmt_port_params")
    assert result == 0
    if unasked:
        assert unasked not in board.console_text().encode("latin-1")
    board.wait_power_off(con)


@pytest.mark.parametrize("prompt_args, prompt", [
    (["addr", "IP addr    :", "1", "1"], IP_PROMPT),
    (["params", "1"], DHCP_QUESTION),
])
def test_interrupt_then_enter_quits_whatever_the_line_holds(tmp_path, prompt_args, prompt):
    board = make_board(tmp_path)
    con = board.power_on(program=["probe_mgmt"] + prompt_args)
    con.expect_exact(prompt)
    type_now(con, "192.0.2.10" if prompt == IP_PROMPT else "n")
    interrupt_now(con)
    type_now(con, "\r")
    name = "get_ip_addr" if prompt_args[0] == "addr" else "mgmt_port_params"
    result, rest = result_line(con, name)
    assert result == 0
    if name == "get_ip_addr":
        assert values(rest)["value"] == "0.0.0.0"
    board.wait_power_off(con)


def test_optional_empty_answer_keeps_the_value_and_required_one_does_not(tmp_path):
    board = make_board(tmp_path)
    con = board.power_on(program=["probe_mgmt", "addr", "Server addr:", "0", "1"])
    answer(con, b"Server addr:", "")
    result, rest = result_line(con, "get_ip_addr")
    assert (result, values(rest)["value"]) == (1, "0.0.0.0")
    board.wait_power_off(con)


@pytest.mark.parametrize("reply, dhcp", [("y", 1), ("Y", 1), ("yes", 1), ("", 0), ("no", 0), ("x", 0)])
def test_dhcp_question(tmp_path, reply, dhcp):
    board = make_board(tmp_path)
    con = board.power_on(program=["probe_mgmt", "params", "1"])
    answer(con, DHCP_QUESTION, reply)
    if not dhcp:
        answer(con, IP_PROMPT, "192.0.2.10")
        answer(con, MASK_PROMPT, "")
        answer(con, GW_PROMPT, "")
    result, rest = result_line(con, "mgmt_port_params")
    assert (result, values(rest)["use_dhcp"]) == (1, str(dhcp))
    if dhcp:
        assert IP_PROMPT not in board.console_text().encode("latin-1")
    board.wait_power_off(con)


# -- configuration in the lab --------------------------------------------------

RECORD = ["--record", "/.boardsim/log/devices.log"]


# The kernel reports a new carrier up to a second late (link events are
# rate-limited), so the fixed waits before the link test may shrink only so
# far: a static set-up still takes 2.6 s and the DHCP wait 1.5 s.
STATIC_SCALE = 0.1
DHCP_SCALE = 0.5


def recording_board(tmp_path, time_scale=STATIC_SCALE, **choices):
    """A board in the lab; its probe, given RECORD, notes each command line
    it runs in the device trace, between the program's own sleeps."""
    return make_board(tmp_path, net="lab", time_scale=time_scale, **choices)


def sequence(board):
    """Tool calls, sleeps (seconds) and link answers of this power-on."""
    out = []
    for line in board.device_log():
        if line.startswith("cmd "):
            out.append(line[4:])
        elif m := re.fullmatch(r"clock sleep (\d+)us", line):
            out.append(f"sleep {int(m.group(1)) / 1e6:g}")
        elif line.startswith("net ethtool"):
            out.append(line)
    return out


def static_setup(board, ip, netmask, gateway, before_last=None):
    con = board.power_on(program=["probe_mgmt", *RECORD, "setup", "0"])
    answer(con, IP_PROMPT, ip)
    answer(con, MASK_PROMPT, netmask)
    con.expect_exact(GW_PROMPT)
    if before_last:
        before_last()
    type_now(con, gateway + "\r")
    return con


def test_static_setup_runs_the_commands_in_order_with_the_fixed_waits(tmp_path):
    board = recording_board(tmp_path)
    lab = netlab.lab_for(board)
    con = static_setup(board, "192.0.2.10", "255.255.255.0", "192.0.2.1")
    result, _ = result_line(con, "mgmt_port_setup")
    assert result == 1
    assert lab.board_addresses() == ["192.0.2.10/24"]
    assert "default via 192.0.2.1 dev eth0" in [r.strip() for r in lab.board_routes()]
    board.wait_power_off(con)
    assert sequence(board) == [
        r"ifconfig eth0 192.0.2.10\n",
        r"ifconfig eth0 down\n",
        r"ifconfig eth0 netmask 255.255.255.0\n",
        r"ifconfig eth0 up\n",
        "sleep 5",
        r"route add default gw 192.0.2.1\n",
    ] + ["sleep 1"] * 21 + ["net ethtool eth0 glink link=1"]
    text = board.console_text()
    assert "\tNetmask    : 255.255.255.0\r\n" in text
    assert "\tGateway    : 192.0.2.1\r\n" in text
    assert "Configuring management port..." + "." * 20 + "\r\n" in text
    # The address itself is never echoed by the set-up.
    assert "192.0.2.10" not in text.split("Gateway    :")[-1]


def test_static_setup_without_netmask_or_gateway_runs_only_the_address_command(tmp_path):
    board = recording_board(tmp_path)
    lab = netlab.lab_for(board)
    con = static_setup(board, "192.0.522", "", "")
    result, _ = result_line(con, "mgmt_port_setup")
    assert result == 1
    # busybox gives a 192.x address its class-C mask when none is set.
    assert lab.board_addresses() == ["192.0.2.10/24"]
    board.wait_power_off(con)
    assert sequence(board) == [r"ifconfig eth0 192.0.2.10\n", "sleep 5"] + ["sleep 1"] * 21 + [
        "net ethtool eth0 glink link=1"]
    assert "Netmask    : " not in board.console_text().split(MASK_PROMPT.decode())[-1]
    assert "Gateway    : " not in board.console_text().split(GW_PROMPT.decode())[-1]


def test_dhcp_offered_and_taken_leases_an_address(tmp_path):
    board = recording_board(tmp_path, time_scale=DHCP_SCALE)
    lab = netlab.lab_for(board)
    con = board.power_on(program=["probe_mgmt", *RECORD, "setup", "1"])
    answer(con, DHCP_QUESTION, "y")
    result, _ = result_line(con, "mgmt_port_setup")
    assert result == 1
    addresses = lab.board_addresses()
    assert len(addresses) == 1 and re.fullmatch(r"192\.0\.2\.1[0-4]\d/24", addresses[0])
    assert len(lab.leases()) == 1 and addresses[0].split("/")[0] in lab.leases()[0]
    board.wait_power_off(con)
    assert sequence(board) == ["dhclient -1 eth0", "sleep 3", "net ethtool eth0 glink link=1"]
    assert IP_PROMPT.decode() not in board.console_text()


def test_dhcp_refused_configures_the_static_address(tmp_path):
    board = recording_board(tmp_path)
    lab = netlab.lab_for(board)
    con = board.power_on(program=["probe_mgmt", *RECORD, "setup", "1"])
    answer(con, DHCP_QUESTION, "")
    answer(con, IP_PROMPT, "192.0.2.20")
    answer(con, MASK_PROMPT, "255.255.255.128")
    answer(con, GW_PROMPT, "")
    result, _ = result_line(con, "mgmt_port_setup")
    assert result == 1
    assert lab.board_addresses() == ["192.0.2.20/25"]
    assert lab.leases() == []
    board.wait_power_off(con)
    assert not any(s.startswith("dhclient") for s in sequence(board))


def test_link_down_ends_the_setup(tmp_path):
    board = recording_board(tmp_path)
    lab = netlab.lab_for(board)
    con = static_setup(board, "192.0.2.10", "", "", before_last=lab.link_down)
    con.expect_exact(LINK_GONE)
    result, _ = result_line(con, "mgmt_port_setup")
    assert result == 0
    board.wait_power_off(con)
    assert sequence(board)[-1] == "net ethtool eth0 glink link=0"


def test_quit_configures_nothing(tmp_path):
    board = recording_board(tmp_path)
    con = board.power_on(program=["probe_mgmt", *RECORD, "setup", "0"])
    answer(con, IP_PROMPT, "q")
    result, _ = result_line(con, "mgmt_port_setup")
    assert result == 0
    board.wait_power_off(con)
    assert sequence(board) == []


# -- the link test's own failures ----------------------------------------------


def link_test(board, fault=None):
    con = board.power_on(program=["probe_mgmt", "link"] + ([fault] if fault else []))
    result, _ = result_line(con, "mgmt_link_status")
    board.wait_power_off(con)
    return result, board.console_text()


def test_link_test_failures(tmp_path):
    # No eth0 at all: the board's namespace has only its loopback.
    result, text = link_test(make_board(tmp_path, "none"))
    assert result == 0 and "Open Interface eth0 error.\r\n" in text
    # No descriptor left for the request socket.
    result, text = link_test(make_board(tmp_path, "nosock", net="lab"), "nosocket")
    assert result == 0 and "Raw Socket open error\r\n" in text
    # The flags request refused.
    result, text = link_test(make_board(tmp_path, "noflags", net="lab"), "noflags")
    assert result == 0 and "Open flags error.\r\n" in text
    # An eth0 without an ethtool link state: the kernel refuses the request
    # on the host; under qemu the board layer answers it for any interface,
    # so there the request itself is made to fail.
    board = make_board(tmp_path, "noglink", net="lab")
    if ARCH == "ppc":
        result, text = link_test(board, "noglink")
    else:
        netlab.lab_for(board, eth0="ifb")
        result, text = link_test(board)
    assert result == 0 and "EthTool GLINK error.\r\n" in text


def test_link_state_needs_carrier_and_an_interface_that_is_up(tmp_path):
    # The lab's eth0 is joined but never configured: not up, so not usable,
    # and nothing is printed for it.
    board = make_board(tmp_path, net="lab")
    result, text = link_test(board)
    assert result == 0
    assert "error" not in text and "Mgmt link" not in text

"""The TFTP rescue from the rescue menu of the real bootmgr, against the
network lab's real TFTP server: the question order, the file-name rules,
one, two and three attempts, a name with shell metacharacters, a stale
download, the link test and the interrupt key."""
import re

import pytest
from boardsim import netlab
from download_helpers import install_into, rescue_board
from boardsim.console import OPTION, answer, interrupt_now, type_now
from helpers import app_image, slot_image

START = b"Performing TFTP rescue. Please answer the following questions (enter 'q' to quit):\r\n"
FILENAME = b"Image Filename: "
INVALID_NAME = b"Invalid filename. Try again please\r\n"
FAILED = b"Tftp download failed. Aborting\r\n"
# The kernel reports the new carrier up to a second late; the set-up's
# fixed 26 s before the link test must stay above that (2.6 s here).
SCALE = 0.1


def lab_board(tmp_path, files=None, **lab_options):
    board = rescue_board(tmp_path, net="lab", time_scale=SCALE)
    lab = netlab.lab_for(board, **lab_options)
    for name, data in (files or {}).items():
        lab.put(name, data)
    return board, lab


def questions(con, name=None, ip="192.0.2.10", netmask="255.255.255.0", gateway="",
              server="192.0.2.1"):
    """At the menu's option prompt (already seen), starts the TFTP rescue and
    answers the questions up to the file name."""
    type_now(con, "t")
    con.expect_exact(START)
    answer(con, b"IP addr    :", ip)
    answer(con, b"Netmask    :", netmask)
    answer(con, b"Gateway    :", gateway)
    answer(con, b"Server addr:", server)
    if name is not None:
        answer(con, FILENAME, name)


def at_menu(con):
    con.expect_exact(OPTION)


def power_off(board, con):
    """Reboot from the menu ends the power-on."""
    type_now(con, "r")
    assert board.wait_power_off(con).reason == "reset"


def attempt_lines(text):
    return re.findall(r"Attempt (\d)/3 of tftp timed out", text)


def test_download_installs_and_a_later_failure_does_not_reuse_it(tmp_path):
    image = app_image("T1")
    board, lab = lab_board(tmp_path, {"switch.img": image})
    con = board.power_on()
    at_menu(con)
    questions(con, "switch.img")
    con.expect_exact(b"Installing image switch.img from TFTP server 192.0.2.1\r\n")
    install_into(con, 1)
    assert slot_image(board, 1) == image
    con.expect_exact(OPTION)
    assert attempt_lines(board.console_text()) == []
    assert lab.board_addresses() == ["192.0.2.10/24"]
    # The /tmp/image of that download stays behind; a file the server does
    # not have must not let it count as a new download.
    questions(con, "missing.img")
    con.expect_exact(FAILED, timeout=60)
    con.expect_exact(OPTION)
    second = board.console_text().split(START.decode())[-1]
    assert "Extracting images" not in second
    assert attempt_lines(second) == ["1", "2", "3"]
    power_off(board, con)


def test_success_on_the_second_attempt(tmp_path):
    image = app_image("T2")
    board, lab = lab_board(tmp_path, {"switch.img": image}, tftp_from_attempt=2)
    con = board.power_on()
    at_menu(con)
    questions(con, "switch.img")
    install_into(con, 2, timeout=120)
    assert slot_image(board, 2) == image
    text = board.console_text()
    assert attempt_lines(text) == ["1"]
    assert text.count("Installing image switch.img from TFTP server 192.0.2.1\r\n") == 2
    assert lab.tftp_clients() == 2
    con.expect_exact(OPTION)
    power_off(board, con)


def test_three_time_outs_when_the_server_never_answers(tmp_path):
    board, lab = lab_board(tmp_path, {"switch.img": app_image()}, tftp=False)
    con = board.power_on()
    at_menu(con)
    questions(con, "switch.img")
    con.expect_exact(FAILED, timeout=180)
    con.expect_exact(OPTION)
    text = board.console_text()
    assert attempt_lines(text) == ["1", "2", "3"]
    assert text.count("Installing image switch.img from TFTP server 192.0.2.1") == 3
    # Each time-out line is followed by the program's own 3-second wait.
    waits = [line for line in board.device_log() if line == "clock sleep 3000000us"]
    assert len(waits) == 3
    assert slot_image(board, 1) is None and slot_image(board, 2) is None
    power_off(board, con)


def test_file_name_rules(tmp_path):
    image = app_image("AB")
    board, lab = lab_board(tmp_path, {"ab": image})
    con = board.power_on()
    at_menu(con)
    questions(con)
    for text in ("Q", "x", ""):
        answer(con, FILENAME, text)
        con.expect_exact(INVALID_NAME)
    answer(con, FILENAME, "ab")
    con.expect_exact(b"Installing image ab from TFTP server 192.0.2.1\r\n")
    install_into(con, 1)
    assert slot_image(board, 1) == image
    con.expect_exact(OPTION)
    # "q" alone quits before anything is configured again.
    configured = board.device_log().count("clock sleep 5000000us")
    questions(con, "q")
    con.expect_exact(OPTION)
    assert b"Installing image" not in con.before
    assert board.device_log().count("clock sleep 5000000us") == configured
    power_off(board, con)


@pytest.mark.parametrize("name", ["img;echo INJECTED-$((6*7))", "two words.img",
                                  "$(echo INJECTED-$((6*7)))", "it's.img"])
def test_typed_name_reaches_the_server_as_one_name(tmp_path, name):
    # The server holds a file of exactly that name: only if the name stays
    # one word does the download find it; and nothing typed is run.
    image = app_image("META")
    board, lab = lab_board(tmp_path, {name: image})
    con = board.power_on()
    at_menu(con)
    questions(con, name)
    con.expect_exact(f"Installing image {name} from TFTP server 192.0.2.1\r\n".encode())
    install_into(con, 1)
    assert slot_image(board, 1) == image
    con.expect_exact(OPTION)
    assert "INJECTED-42" not in board.console_text()
    power_off(board, con)


def test_quit_at_the_address_question_asks_nothing_more(tmp_path):
    board, lab = lab_board(tmp_path)
    con = board.power_on()
    at_menu(con)
    type_now(con, "t")
    con.expect_exact(START)
    answer(con, b"IP addr    :", "q")
    con.expect_exact(OPTION)
    assert b"Server addr:" not in con.before and b"Netmask" not in con.before
    # Quitting at the server question ends it too, before the file name.
    type_now(con, "t")
    answer(con, b"IP addr    :", "192.0.2.10")
    answer(con, b"Netmask    :", "")
    answer(con, b"Gateway    :", "")
    answer(con, b"Server addr:", "quit")
    con.expect_exact(OPTION)
    assert FILENAME not in con.before
    assert lab.board_addresses() == []
    power_off(board, con)


def test_link_down_quits_before_any_attempt(tmp_path):
    board, lab = lab_board(tmp_path, {"switch.img": app_image()})
    con = board.power_on()
    at_menu(con)
    questions(con)
    con.expect_exact(FILENAME)
    lab.link_down()
    type_now(con, "switch.img\r")
    con.expect_exact(b"Mgmt link not available. Quitting.\r\n")
    con.expect_exact(OPTION)
    assert b"Installing image" not in con.before
    power_off(board, con)


@pytest.mark.parametrize("typed", ["", "switch.img"])
def test_interrupt_at_the_file_name_quits_without_configuring(tmp_path, typed):
    board, lab = lab_board(tmp_path, {"switch.img": app_image()})
    con = board.power_on()
    at_menu(con)
    questions(con)
    con.expect_exact(FILENAME)
    type_now(con, typed)
    interrupt_now(con)
    type_now(con, "\r")
    con.expect_exact(OPTION)
    assert b"Installing image" not in con.before and INVALID_NAME not in con.before
    assert "clock sleep 5000000us" not in board.device_log()
    assert lab.board_addresses() == []
    power_off(board, con)

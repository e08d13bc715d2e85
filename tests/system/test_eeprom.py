"""The VPD EEPROM layer on the simulated board, driven by probe_eeprom: the
bus traffic of each access with the multiplexer bracketing, the boot
selection bytes, the write-cycle wait and the failures of an unreachable
EEPROM or a missing bus."""
import errno
import re

import pytest
from helpers import new_board, run_program

ENXIO = errno.ENXIO
# A closed bus gives EBADF natively; qemu-user answers ENOSYS to an ioctl on
# a descriptor it does not know, so those numbers are not compared.


def run_probe(board, *ops):
    return run_program(board, "probe_eeprom", *ops)


def bus_log(board):
    """The I2C transfers and the sleeps of this power-on, in order."""
    return [line.strip() for line in board.device_log()
            if line.startswith("i2c ") or line.startswith("clock sleep")]


def after_open(log):
    return [line for line in log if not line.startswith("i2c open")]


MUX_ON = ["i2c 1 slave 0x70", "i2c 1 write 0x70 [01] mux=01"]
MUX_OFF = ["i2c 1 slave 0x70", "i2c 1 write 0x70 [00] mux=00"]


class TestTraffic:
    def test_writing_slot_2(self, tmp_path):
        board = new_board(tmp_path, image_select=1)
        out, _ = run_probe(board, "set-image=2")
        assert "api_set_image=3\n" in out
        assert board.eeprom(256) == 2
        assert after_open(bus_log(board)) == MUX_ON + [
            "i2c 1 slave 0x54",
            "i2c 1 write 0x54 [01 00 02] mux=01",
            "clock sleep 100000us",
        ] + MUX_OFF

    def test_reading_the_image_select_byte(self, tmp_path):
        board = new_board(tmp_path, image_select=2)
        out, _ = run_probe(board, "get-image")
        assert "api_get_image=2\n" in out
        assert after_open(bus_log(board)) == MUX_ON + [
            "i2c 1 slave 0x54",
            "i2c 1 write 0x54 [01 00] mux=01",
            "i2c 1 read 0x54 [02] mux=01",
        ] + MUX_OFF

    def test_booted_image_byte_and_span_read(self, tmp_path):
        board = new_board(tmp_path, image_select=1, booted_image=2, usb_boot=213)
        out, _ = run_probe(board, "set-booted=4", "read=312,4")
        assert "api_set_booted_image=3\n" in out
        assert board.eeprom(314) == 4
        assert "i2c 1 write 0x54 [01 3a 04] mux=01" in bus_log(board)
        assert "api_eeprom_read=4 [" in out
        assert out.split("api_eeprom_read=4 [")[1].startswith("ff ff 04 d5]")

    def test_short_read_is_a_failure(self, tmp_path):
        # i2c-dev clips a transfer at 8192 bytes: asking for more comes back
        # short, which must be reported and still leave the mux cleared.
        board = new_board(tmp_path)
        out, _ = run_probe(board, "read=0,8200")
        assert re.search(r"^I2C error - device 0xa8 @ 0, 8200 bytes : \d+$", out, re.M)
        assert "api_eeprom_read=0 [" in out
        assert after_open(bus_log(board))[-2:] == MUX_OFF

    def test_all_three_buses_are_opened(self, tmp_path):
        board = new_board(tmp_path)
        out, _ = run_probe(board)
        assert "api_i2c_init=0\n" in out
        assert [line for line in bus_log(board) if line.startswith("i2c open")] == [
            "i2c open 0", "i2c open 1", "i2c open 2"]


class TestBootBytes:
    @pytest.mark.parametrize("stored, slot", [(0, 1), (1, 1), (2, 2), (3, 1), (255, 1)])
    def test_which_image(self, tmp_path, stored, slot):
        board = new_board(tmp_path, image_select=stored)
        out, _ = run_probe(board, "get-image", "which")
        assert f"api_get_image={stored}\n" in out
        assert f"which_image={slot}\n" in out

    @pytest.mark.parametrize("value", [212, 213, 214])
    def test_usb_boot_byte(self, tmp_path, value):
        board = new_board(tmp_path, usb_boot=value)
        out, _ = run_probe(board, "get-usbboot")
        assert f"api_get_usbboot={value}\n" in out
        assert "i2c 1 write 0x54 [01 3b] mux=01" in bus_log(board)


class TestUnreachable:
    def test_absent_eeprom_gives_0_and_slot_1(self, tmp_path):
        board = new_board(tmp_path, eeprom="absent", image_select=2, usb_boot=213)
        out, _ = run_probe(board, "get-image", "get-usbboot", "which")
        assert "api_get_image=0\n" in out
        assert "api_get_usbboot=0\n" in out
        assert "which_image=1\n" in out
        assert f"I2C error - device 0xa8 writing bus 1 offset 256: {ENXIO}\n" in out
        assert f"I2C error - device 0xa8 writing bus 1 offset 315: {ENXIO}\n" in out
        # Every failed access still ends with the multiplexer disconnected.
        log = after_open(bus_log(board))
        assert log.count("i2c 1 write 0x70 [01] mux=01") == 3
        assert log.count("i2c 1 write 0x70 [00] mux=00") == 3
        assert log[-2:] == MUX_OFF

    def test_failed_write_still_waits(self, tmp_path):
        board = new_board(tmp_path, eeprom="absent")
        out, _ = run_probe(board, "set-image=2")
        assert f"I2C error when writing bus 1 offset 256: {ENXIO}\n" in out
        assert "api_set_image=-1\n" in out
        assert after_open(bus_log(board)) == MUX_ON + [
            "i2c 1 slave 0x54",
            "i2c 1 nack write 0x54 [01 00 02] mux=01",
            "clock sleep 100000us",
        ] + MUX_OFF

    def test_missing_bus_1(self, tmp_path):
        board = new_board(tmp_path, missing="i2c-1", image_select=2)
        out, _ = run_probe(board, "get-image", "set-image=1", "which")
        assert "ERROR: driver /dev/i2c-1 couldn't be opened\n" in out
        assert "api_i2c_init=-1\n" in out
        assert "api_get_image=0\n" in out
        assert "which_image=1\n" in out
        # The address cannot be set on a closed bus: no write, no wait.
        assert "I2C error when setting bus 1, device 0xa8: " in out
        assert "I2C error when setting bus 1: " in out
        assert "api_set_image=-1\n" in out
        assert not any(line.startswith("clock sleep") for line in bus_log(board))
        assert board.eeprom(256) == 2

    def test_init_stops_at_the_first_missing_bus(self, tmp_path):
        board = new_board(tmp_path, missing="i2c-0")
        out, _ = run_probe(board, "get-image")
        assert "ERROR: driver /dev/i2c-0 couldn't be opened\n" in out
        assert "api_i2c_init=-1\n" in out
        assert not any(line.startswith("i2c open") for line in bus_log(board))
        assert re.search(r"^I2C error when setting bus 1, device 0xa8: \d+$", out, re.M)

    def test_closed_buses_reach_no_other_descriptor(self, tmp_path):
        board = new_board(tmp_path, image_select=2)
        out, _ = run_probe(board, "close", "get-image", "set-image=1")
        assert "api_i2c_close=0\n" in out
        assert re.search(r"^I2C error when setting bus 1, device 0xa8: \d+$", out, re.M)
        assert re.search(r"^I2C error when setting bus 1: \d+$", out, re.M)
        assert "api_get_image=0\n" in out
        assert board.eeprom(256) == 2
        assert [line for line in bus_log(board) if "write" in line or "read" in line] == []

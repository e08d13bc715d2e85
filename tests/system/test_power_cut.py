"""Power cuts during installations and the writes a boot makes by itself, a
reduced run of the campaign in tests/campaigns/power_cut.py: every Nth flash
operation and every Nth user-partition file operation of an installation
into slot 2 and into the selected slot 1, of the recovery install from the
rescue partition, of USB slot replacements, of the rejected-list entry of a
USB boot image and of the erase before the diagnostics, and every EEPROM
write cycle of them. After each cut the board boots again and
must run the old or the new application from a slot that passes its CRC,
the diagnostics or stop in rescue mode, and the image-select byte must never
name a slot left incomplete."""

import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "campaigns"))
import power_cut  # noqa: E402

# Coprime with the 9 operations of one 8 KiB block (an erase, eight 1 KiB
# writes), so that cuts fall on erases and on writes at every position.
EVERY = 5
# A cut EEPROM write cycle leaves the image-select byte naming slot 2: the
# value that moves the boot (the full run also tries 1, 0xFF and any).
EEPROM_VALUES = ("2",)


@pytest.fixture(scope="module")
def images():
    return power_cut.images()


def violations(result):
    found = []
    for p in result["points"] + list(result["complete"].values()):
        found += [f"{p.counter} cut {p.n}: {v}" for v in p.violations]
    return found


@pytest.mark.parametrize("cls,mtd_cuts,outcomes", [
    # The booted-image byte is read by nothing: whatever a cut leaves in it,
    # slot 1 boots.
    ("boot", False, {"old app"}),
    # A cut before the rejected-list entry is made lets the next power-on
    # boot the USB image again (new); with the entry made, the question
    # times out and slot 1 boots (old).
    ("usbboot", False, {"old app", "new app"}),
    # Both slots from the stick, slot 1 (the selected one) last; the stick
    # stays in and writes what a cut left short again.
    ("replace", True, {"new app"}),
    # Slot 1 is erased before slot 2: a cut before slot 2 is reached boots
    # it (old), after it nothing is left to boot (rescue mode).
    ("erase", False, {"old app", "rescue mode"}),
    # Slot 2 gets the image-select byte only once complete: every cut boots
    # slot 1, but one inside that byte's write cycle that leaves it 2 boots
    # slot 2, whole by then.
    ("install", True, {"old app", "new app"}),
    # Into the selected slot itself: a cut inside its file leaves the byte
    # naming it, so the boot falls back to slot 2 (old); a cut at its close
    # leaves it whole (new). The installer writes 1 into the byte that holds
    # 1 already: a cut inside that write cycle can leave it naming slot 2 (old).
    ("selected", True, {"old app", "new app"}),
    # The copy into slot 2 comes before the byte, and the recovery run
    # itself is the only boot that would show the new application, unless
    # the cut falls in an EEPROM write cycle once the byte names slot 2 (or
    # leaves it 2): slot 2 then holds the new application whole.
    ("recovery", False, {"old app", "new app"}),
    # The stick stays in: a cut before the slot's header is written lets the
    # next boot replace it again (new); after it, the same-version test skips
    # the replacement and slot 1 boots (old).
    ("usb", True, {"old app", "new app"}),
])
def test_power_cut_at_every_nth_point(tmp_path, images, cls, mtd_cuts, outcomes):
    result = power_cut.run_class(cls, images, tmp_path, EVERY, EEPROM_VALUES)
    print()
    print(power_cut.table({cls: result}))
    assert violations(result) == []
    points = result["points"]
    assert {p.outcome for p in points} <= outcomes
    if cls != "boot":
        assert any(p.counter == "file" for p in points), "no cut fell inside a user-partition file"
    assert any(p.counter == "mtd" for p in points) == mtd_cuts
    assert any(p.counter == "eeprom" for p in points), "no cut fell inside an EEPROM write cycle"
    # Past the last operation the operation is whole and shows its result.
    assert {p.outcome for p in result["complete"].values()} == {power_cut.completed_outcome(cls)}


def test_eeprom_cut_leaves_the_written_byte_undefined(board_factory, images):
    """A cut inside the write cycle of the booted-image byte leaves it with
    the value the trace names, drawn from the seed: not simply the old or
    the new value."""
    left = set()
    for seed in (1, 2, 3, 4):
        board = board_factory(f"seed{seed}", time_scale=0.02, slot1=images["old"], image_select=1, booted_image=0x77,
                              power_cut_eeprom_at=1, eeprom_cut_seed=seed)
        con = board.power_on()
        assert board.wait_power_off(con).reason == "power-cut"
        cut = [line for line in board.device_log() if line.startswith("power-cut inside eeprom write cycle 0x013a")]
        assert cut, board.device_log()
        assert cut[0].endswith(f"left [{board.eeprom(314):02x}]")
        left.add(board.eeprom(314))
    assert len(left) > 1 and not left <= {0x77, 1}


def test_slot_is_on_flash_before_the_image_select_byte_names_it(board_factory, images):
    """The order in the device trace: the slot file's last data, its fsync
    and its close all come before the EEPROM write of byte 256."""
    board = board_factory(time_scale=0.02, image_select=1)
    (board.path / "app.img").write_bytes(images["new_app"])
    con = board.power_on(program=["probe_install", "/.boardsim/app.img", "0", "2"])
    board.wait_power_off(con)
    log = board.device_log()
    slot = [i for i, l in enumerate(log) if l.startswith("file ") and "/user/images/image2" in l]
    select = [i for i, l in enumerate(log) if l.startswith("i2c 1 write 0x54 [01 00 02")]
    assert slot and select, log
    assert log[slot[-1]] == "file close /user/images/image2"
    assert "file fsync /user/images/image2" in [log[i] for i in slot]
    assert max(slot) < min(select)
    assert (board.user / "images/image2").read_bytes() == images["new_app"]

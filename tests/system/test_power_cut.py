"""Power cuts during installations, a reduced run of the campaign in
tests/campaigns/power_cut.py: every Nth flash operation and every Nth
user-partition file piece of an installation into slot 2 and into the
selected slot 1, of the recovery
install from the rescue partition and of a USB slot replacement. After each
cut the board boots again and must run the old or the new application from a
slot that passes its CRC, or stop in rescue mode, and the image-select byte
must never name a slot left incomplete."""

import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "campaigns"))
import power_cut  # noqa: E402

# Coprime with the 9 operations of one 8 KiB block (an erase, eight 1 KiB
# writes), so that cuts fall on erases and on writes at every position.
EVERY = 5


@pytest.fixture(scope="module")
def images():
    return power_cut.images()


def violations(result):
    found = []
    for p in result["points"] + list(result["complete"].values()):
        found += [f"{p.counter} cut {p.n}: {v}" for v in p.violations]
    return found


@pytest.mark.parametrize("cls,mtd_cuts,outcomes", [
    # Slot 2 gets the image-select byte only once complete: every cut boots slot 1.
    ("install", True, {"old app"}),
    # Into the selected slot itself: a cut inside its file leaves the byte
    # naming it, so the boot falls back to slot 2 (old); a cut at its close
    # leaves it whole (new).
    ("selected", True, {"old app", "new app"}),
    # The copy into slot 2 comes before the byte, and the recovery run
    # itself is the only boot that would show the new application.
    ("recovery", False, {"old app"}),
    # The stick stays in: a cut before the slot's header is written lets the
    # next boot replace it again (new); after it, the same-version test skips
    # the replacement and slot 1 boots (old).
    ("usb", True, {"old app", "new app"}),
])
def test_power_cut_at_every_nth_point(tmp_path, images, cls, mtd_cuts, outcomes):
    result = power_cut.run_class(cls, images, tmp_path, EVERY)
    print()
    print(power_cut.table({cls: result}))
    assert violations(result) == []
    points = result["points"]
    assert {p.outcome for p in points} <= outcomes
    assert any(p.counter == "file" for p in points), "no cut fell inside the slot file"
    assert any(p.counter == "mtd" for p in points) == mtd_cuts
    # Past the last operation the installation is whole and its slot boots.
    assert {p.outcome for p in result["complete"].values()} == {"new app"}


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

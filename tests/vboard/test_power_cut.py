"""Power cuts on the virtual board's real kernel, a reduced run of
tests/campaigns/vboard_power_cut.py: QEMU killed at a few seeded moments of
a TFTP install into the selected slot, a USB replacement of slot 2, a
root-file-system install, the erase of the user partition before the
diagnostics and a USB boot of a new USB boot image; after each the board
powers on again, its jffs2 partition mounts (or the mount's failure is on
the console) and it runs the old or the new application, the diagnostics or
rescue mode (the USB stick stays in) with the image-select byte never naming
a slot the installer left half-written."""

import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "campaigns"))
import vboard_power_cut as campaign  # noqa: E402

POINTS = 3
JOBS = 2  # two boards at once: much of a point is waiting (the management port, the boot)
SEED = "ci"


@pytest.fixture(scope="module")
def images():
    # A smaller application and root file system than the full run: the
    # writes still take seconds on the emulated flash.
    return campaign.images(app_ballast=512 * 1024, rootfs_size=1024 * 1024)


@pytest.mark.parametrize("cls,outcomes", [
    # Slot 1 is rewritten while the byte names it: a cut inside the file
    # makes the boot fall back to slot 2 (old); a whole file boots (new).
    ("tftp", {"old app", "new app"}),
    # The replacement is written again at the next power-on when the cut
    # left the slot short; otherwise slot 2 or slot 1 runs.
    ("usb", {"old app", "new app"}),
    # The rfs partition is not booted: slot 1's application runs whatever it holds.
    ("rootfs", {"old app"}),
    # After the diagnostics (the erase answered no) the normal boot finds
    # what the erase left: a slot that passes its CRC, or nothing to boot.
    ("erase", {"old app", "rescue mode"}),
    # Without the rejected-list entry the USB image boots again (new); with
    # it the question times out and slot 1 boots (old).
    ("usbboot", {"old app", "new app"}),
])
def test_power_cut_at_seeded_moments(tmp_path, images, cls, outcomes):
    result = campaign.run_class(cls, images, tmp_path, POINTS, SEED, JOBS)
    print()
    print(campaign.table({cls: result}))
    points = result["points"]
    assert len(points) == POINTS
    found = [f"cut at {p.at:.2f} s: {v}" for p in points for v in p.violations]
    assert found == []
    assert {p.outcome for p in points} <= outcomes
    assert any(p.inside for p in points), "no cut fell inside the operation"
    if cls == "rootfs":
        assert {p.rfs for p in points} <= {"old", "new", "partial"}

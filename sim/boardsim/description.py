"""The simulated board described once (sim/board.json): its flash
partitions in flash order with their sizes and kinds, its I2C buses and its
serial console, and the device files they give. The board's defaults, the
sandbox, the virtual board and the README's tables are made from here; the
device layer gets the same from a header generated from board.json."""

import json
from pathlib import Path

DESCRIPTION = json.loads((Path(__file__).resolve().parents[1] / "board.json").read_text())

# The partitions behind a device file /dev/mtd-NAME (BOARD/flash/NAME.bin), in flash order.
PARTITION_SIZES = {p["name"]: p["size"] for p in DESCRIPTION["partitions"] if p["kind"] == "mtd"}
# Every partition in flash order, the user partition (size None: the rest) included.
FLASH_ORDER = tuple(p["name"] for p in DESCRIPTION["partitions"])
I2C_BUSES = tuple(f"i2c-{n}" for n in range(len(DESCRIPTION["i2c_buses"])))
SERIAL = tuple(DESCRIPTION["serial"])
# The device files a board.conf `missing` may leave out, by the names it takes.
DEVICE_NAMES = tuple(PARTITION_SIZES) + I2C_BUSES + SERIAL


def size_text(size):
    """512 KiB, 8 MiB: a size as the README gives it."""
    mib = 1024 * 1024
    return f"{size // mib} MiB" if size % mib == 0 else f"{size // 1024} KiB"


def readme_table():
    """The README's table of the board's devices, made from the description."""
    rows = ["| device file | what it is | size |", "|---|---|---|"]
    for p in DESCRIPTION["partitions"]:
        if p["kind"] == "mtd":
            rows.append(f"| `/dev/mtd-{p['name']}` | flash partition `{p['name']}` "
                        f"(`BOARD/flash/{p['name']}.bin`) | {size_text(p['size'])} |")
        else:
            rows.append(f"| `/dev/mtd-{p['name']}` | the {p['kind']} user partition, mounted "
                        f"at `/{p['name']}` (`BOARD/{p['name']}/`) | the rest |")
    for bus, held in zip(I2C_BUSES, DESCRIPTION["i2c_buses"]):
        rows.append(f"| `/dev/{bus}` | I2C bus holding {held['holds']} | |")
    for tty in SERIAL:
        rows.append(f"| `/dev/{tty}` | serial console (the power-on's terminal) | |")
    return "\n".join(rows) + "\n"


if __name__ == "__main__":
    print(readme_table(), end="")

#!/usr/bin/python3
"""mkinitramfs.py STAGE OUT.cpio.gz: the virtual board's root file system.

Packs the folder STAGE as a gzip-compressed "newc" cpio archive, the format
the kernel unpacks into its initial RAM file system. Every entry belongs to
root, whoever runs this, and the archive also holds the two device nodes the
kernel needs before anything mounts devtmpfs (/dev/console for init's
standard streams, /dev/null), so no root rights are needed to make it.
Entries are sorted, so the same folder gives the same archive.
"""

import gzip
import os
import stat
import sys
from pathlib import Path

DEVICE_NODES = (("dev/console", stat.S_IFCHR | 0o600, 5, 1),
                ("dev/null", stat.S_IFCHR | 0o666, 1, 3))


def newc_entry(name, mode, data=b"", ino=0, rdev=(0, 0), nlink=1):
    """One cpio "newc" record: header, name and data, each padded to 4 bytes."""
    name_bytes = name.encode() + b"\0"
    fields = (ino, mode, 0, 0, nlink, 0, len(data), 0, 0, rdev[0], rdev[1],
              len(name_bytes), 0)
    header = b"070701" + b"".join(b"%08X" % f for f in fields)
    record = header + name_bytes
    record += b"\0" * (-len(record) % 4)
    record += data + b"\0" * (-len(data) % 4)
    return record


def entries(stage):
    """(archive name, mode, data) of every file, folder and link below stage."""
    for path in sorted(Path(stage).rglob("*")):
        rel = path.relative_to(stage).as_posix()
        st = path.lstat()
        if stat.S_ISLNK(st.st_mode):
            yield rel, stat.S_IFLNK | 0o777, os.readlink(path).encode()
        elif stat.S_ISDIR(st.st_mode):
            yield rel, stat.S_IFDIR | stat.S_IMODE(st.st_mode), b""
        elif stat.S_ISREG(st.st_mode):
            yield rel, stat.S_IFREG | stat.S_IMODE(st.st_mode), path.read_bytes()


def write_archive(stage, out):
    records = []
    names = set()
    ino = 1
    for name, mode, data in entries(stage):
        records.append(newc_entry(name, mode, data, ino=ino))
        names.add(name)
        ino += 1
    if "dev" not in names:
        records.append(newc_entry("dev", stat.S_IFDIR | 0o755, ino=ino))
        ino += 1
    for name, mode, major, minor in DEVICE_NODES:
        if name not in names:
            records.append(newc_entry(name, mode, ino=ino, rdev=(major, minor)))
            ino += 1
    records.append(newc_entry("TRAILER!!!", 0))
    tmp = Path(str(out) + ".tmp")
    with gzip.GzipFile(tmp, "wb", compresslevel=6, mtime=0) as f:
        f.write(b"".join(records))
    os.replace(tmp, out)


def main(argv):
    if len(argv) != 3:
        print(__doc__.splitlines()[0], file=sys.stderr)
        return 2
    write_archive(argv[1], argv[2])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

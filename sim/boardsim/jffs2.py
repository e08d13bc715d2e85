"""A reader for jffs2 images, so the host can see what a board's user
partition holds (the image slots, the rejected list) in the flash image
itself, after the board's kernel wrote it.

    files = read_jffs2(image_bytes, big_endian=True)   # {"images/image1": bytes, ...}

It follows the log the way the kernel does at mount: every node whose
header and node checksums hold is taken, the newest version of a directory
entry wins (inode number 0 means removed), and a file's data is the newest
version of each range. Nodes cut short by a power cut fail their checksums
and are ignored, as the kernel ignores them. Writing stays with mkfs.jffs2.
"""

import struct
import zlib

MAGIC = 0x1985
ACCURATE = 0x2000
DIRENT = 0xE001
INODE = 0xE002

COMPR_NONE, COMPR_ZERO, COMPR_RTIME, COMPR_ZLIB = 0x00, 0x01, 0x02, 0x06


class Jffs2Error(ValueError):
    pass


def _crc(data):
    """jffs2's CRC-32: the reflected polynomial, seed 0, no final inversion."""
    return ~zlib.crc32(data, 0xFFFFFFFF) & 0xFFFFFFFF


def _rtime(data, size):
    out = bytearray()
    positions = [0] * 256
    i = 0
    while len(out) < size and i + 1 < len(data):
        value, repeat = data[i], data[i + 1]
        i += 2
        out.append(value)
        back = positions[value]
        positions[value] = len(out)
        for k in range(repeat):
            out.append(out[back + k])
    return bytes(out[:size])


def _decompress(compr, data, size):
    if compr == COMPR_NONE:
        return data[:size]
    if compr == COMPR_ZERO:
        return bytes(size)
    if compr == COMPR_RTIME:
        return _rtime(data, size)
    if compr == COMPR_ZLIB:
        return zlib.decompress(data)[:size]
    raise Jffs2Error(f"compression type {compr} not supported")


def _nodes(image, end):
    """(type, offset, body) of every node with good header and node CRCs."""
    pos = 0
    while pos + 12 <= len(image):
        magic, ntype = struct.unpack_from(end + "HH", image, pos)
        if magic != MAGIC:
            pos += 4
            continue
        totlen, hdr_crc = struct.unpack_from(end + "II", image, pos + 4)
        if _crc(image[pos:pos + 8]) != hdr_crc or totlen < 12 or pos + totlen > len(image):
            pos += 4
            continue
        if ntype & ACCURATE and ntype in (DIRENT, INODE):
            yield ntype, image[pos:pos + totlen]
        pos += (totlen + 3) & ~3


def _dirent(node, end):
    pino, version, ino, _mctime, nsize, _dtype = struct.unpack_from(end + "IIIIBB", node, 12)
    node_crc, name_crc = struct.unpack_from(end + "II", node, 32)
    name = node[40:40 + nsize]
    if _crc(node[:32]) != node_crc or _crc(name) != name_crc or len(name) != nsize:
        return None
    return pino, version, ino, name.decode("utf-8", "replace")


def _inode(node, end):
    (ino, version, mode, _uid, _gid, isize, _atime, _mtime, _ctime, offset, csize, dsize,
     compr, _ucompr, _flags, data_crc, node_crc) = struct.unpack_from(
        end + "IIIHHIIIIIIIBBHII", node, 12)
    data = node[68:68 + csize]
    if _crc(node[:60]) != node_crc or len(data) != csize or _crc(data) != data_crc:
        return None
    return ino, version, mode, isize, offset, dsize, compr, data


def read_jffs2(image, big_endian=True):
    """{path: bytes} of every regular file, paths relative to the root."""
    end = ">" if big_endian else "<"
    entries = {}   # (parent, name) -> (version, ino)
    inodes = {}    # ino -> list of (version, mode, isize, offset, dsize, compr, data)
    for ntype, node in _nodes(image, end):
        if ntype == DIRENT:
            d = _dirent(node, end)
            if d:
                pino, version, ino, name = d
                if version >= entries.get((pino, name), (-1, 0))[0]:
                    entries[(pino, name)] = (version, ino)
        else:
            i = _inode(node, end)
            if i:
                inodes.setdefault(i[0], []).append(i[1:])
    children = {}
    for (pino, name), (_version, ino) in entries.items():
        if ino:
            children.setdefault(pino, []).append((name, ino))
    files = {}

    def walk(ino, prefix, depth):
        for name, child in sorted(children.get(ino, [])):
            nodes = sorted(inodes.get(child, []), key=lambda n: n[0])
            if not nodes:
                continue
            mode = nodes[-1][1]
            path = prefix + name
            if mode & 0o170000 == 0o040000 and depth < 32:
                walk(child, path + "/", depth + 1)
            elif mode & 0o170000 == 0o100000:
                files[path] = _file_data(nodes)

    walk(1, "", 0)
    return files


def _file_data(nodes):
    size = nodes[-1][2]
    data = bytearray(size)
    for _version, _mode, _isize, offset, dsize, compr, payload in nodes:
        if dsize == 0 or offset >= size:
            continue
        chunk = _decompress(compr, payload, dsize)
        data[offset:offset + len(chunk)] = chunk[:max(0, size - offset)]
    return bytes(data[:size])

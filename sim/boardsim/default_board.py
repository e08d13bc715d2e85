"""The demo board of `bsim create --default`, and the helpers that make its
images: application archives from the sources in sim/demo/, turned into
image files by the project's own image tool, bmimage.

The default board holds:
  slot 1 and slot 2  a demo application image each (versions 1.0.0.1 and
                     1.0.0.2); the application says which one it is and what
                     env-setup set
  rescue partition   a diagnostics image (1.0.0.9)
  boot loader, kernel, root file system, device tree
                     small stand-in components, so that the stored headers
                     and the rescue menu's version list show real versions
  EEPROM             image slot 1 selected
"""

import gzip
import io
import os
import shlex
import subprocess
import tarfile
import tempfile
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
DEMO = REPO / "sim" / "demo"

APP_VERSIONS = {1: "1.0.0.1", 2: "1.0.0.2"}
DIAG_VERSION = "1.0.0.9"
FLASH_VERSIONS = {"bootloader": "2.1.0.3", "kernel": "3.4.0.7", "rootfs": "3.4.0.7",
                  "devicetree": "1.2.0.0"}


def bmimage():
    """Path of the host image tool ($BMIMAGE, else the host build's)."""
    path = Path(os.environ.get("BMIMAGE") or REPO / "build/host/bin/bmimage")
    if not path.is_file():
        raise FileNotFoundError(f"bmimage not found at {path}: build the host tree first")
    return path


def archive(files):
    """A gzip-compressed tar archive (bytes) of {path: bytes or str}; paths
    ending in .strip, .sh or named under bin/ are made executable. The same
    files always give the same bytes."""
    out = io.BytesIO()
    with tarfile.open(fileobj=out, mode="w") as tar:
        dirs = set()
        for name in files:
            parts = Path(name).parts[:-1]
            for i in range(1, len(parts) + 1):
                dirs.add("/".join(parts[:i]))
        for d in sorted(dirs):
            info = tarfile.TarInfo(d)
            info.type, info.mode = tarfile.DIRTYPE, 0o755
            tar.addfile(info)
        for name, data in files.items():
            data = data.encode() if isinstance(data, str) else bytes(data)
            info = tarfile.TarInfo(name)
            info.size = len(data)
            executable = name.endswith((".strip", ".sh")) or "/bin/" in f"/{name}"
            info.mode = 0o755 if executable and not name.endswith("env-setup") else 0o644
            tar.addfile(info, io.BytesIO(data))
    # gzip without a time stamp: the same files make the same image bytes.
    return gzip.compress(out.getvalue(), mtime=0)


def release_file(label, version):
    """home/etc/demo-release: the identity the demo programs print."""
    return f"DEMO_IMAGE={shlex.quote(label)}\nDEMO_VERSION={shlex.quote(version)}\n"


def demo_files(label, version, env_setup=True, install=True):
    """Files of a demo application archive."""
    files = {
        "home/bin/mp.elf.strip": (DEMO / "home/bin/mp.elf.strip").read_bytes(),
        "home/etc/demo-release": release_file(label, version),
    }
    if install:
        files["home/bin/install.sh"] = (DEMO / "home/bin/install.sh").read_bytes()
    if env_setup is True:
        files["home/bin/env-setup"] = (DEMO / "home/bin/env-setup").read_bytes()
    elif env_setup:
        files["home/bin/env-setup"] = env_setup
    return files


def diag_files(label, version):
    """Files of a demo diagnostics archive."""
    return {
        "mpdiag.elf.strip": (DEMO / "mpdiag.elf.strip").read_bytes(),
        "home/etc/demo-release": release_file(label, version),
    }


def make_image(components, workdir=None):
    """An image file's bytes, made by bmimage from components given as
    dicts: {"type": "app", "payload": bytes, "version": "a.b.c.d", and any
    further bmimage options as "option": value (True for a flag)}."""
    with tempfile.TemporaryDirectory(dir=workdir) as tmp:
        args = [str(bmimage()), "create", "-o", f"{tmp}/out.img"]
        for i, comp in enumerate(components):
            comp = dict(comp)
            args += ["--type", str(comp.pop("type"))]
            payload = comp.pop("payload", None)
            if payload is not None:
                path = Path(tmp, f"payload{i}")
                path.write_bytes(payload)
                args += ["--file", str(path)]
            for key, value in comp.items():
                option = "--" + key.replace("_", "-")
                args += [option] if value is True else [option, str(value)]
        subprocess.run(args, check=True, capture_output=True)
        return Path(tmp, "out.img").read_bytes()


def app_image(slot_label, version, **archive_choices):
    return make_image([{"type": "app", "version": version,
                        "payload": archive(demo_files(slot_label, version, **archive_choices))}])


def diag_image(label="rescue partition", version=DIAG_VERSION):
    return make_image([{"type": "diag", "version": version,
                        "payload": archive(diag_files(label, version))}])


def flash_components():
    """Partition contents for the boot loader (payload only, holding its
    header copy at byte 240), kernel, root file system and device tree."""
    contents = {}
    filler = bytes(range(256)) * 16
    for kind, part in (("kernel", "kernel"), ("rootfs", "rfs"), ("devicetree", "devicetree")):
        contents[part] = make_image([{"type": kind, "version": FLASH_VERSIONS[kind], "payload": filler}])
    boot = make_image([{"type": "bootloader", "version": FLASH_VERSIONS["bootloader"],
                        "payload": filler, "boot_copy": True}])
    contents["uboot"] = boot[16:]
    return contents


def populate(board):
    """Fills a fresh board with the demo images (called by `bsim create --default`)."""
    board.set(slot1=app_image("image slot 1", APP_VERSIONS[1]),
              slot2=app_image("image slot 2", APP_VERSIONS[2]),
              rescue=diag_image(),
              image_select=1,
              **flash_components())

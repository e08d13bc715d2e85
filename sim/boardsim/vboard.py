"""The virtual board: the unchanged board build of bootmgr on a real Linux
kernel, in QEMU's ppce500 machine (qemu-system-ppc, an e500v2 core).

It is made from the same choices as a simulated board (see board.py) and
keeps its state in its own files, which persist across power-ons:

  BOARD/board.conf   backend=vboard and the settings below
  BOARD/flash.img    the one 64 MiB CFI NOR flash holding every partition
                     (see LAYOUT), the user partition a big-endian jffs2
  BOARD/vpd.bin      the VPD EEPROM (24C512 at 0x54 on the I2C bus)
  BOARD/mux.bin      backing file of the multiplexer's stand-in at 0x70
  BOARD/usb/         the stick's files, made into BOARD/state/usb.img (vfat)
                     at each power-on
  BOARD/env.txt      the U-Boot variables the environment was made from
  BOARD/log/console.log   what the console showed during the last power-on

The kernel, busybox and the initramfs come from scripts/vboard-build, which
writes their paths to build/vboard/pieces.env.

    board = VBoard.create(tmp / "vb", default=True, image_select=2)
    con = board.power_on()          # pexpect on the serial console
    con.expect_exact("demo> ")
    board.wait_power_off(con)       # .reason: reset, power-off, power-cut, exit
    board.eeprom(314); board.partition("kernel"); board.user_file("images/image2")

power_on(program=[NAME, ARGS...]) runs a board test program of the board
build (build/board/bin/NAME) on the console instead of bootmgr, then a
shell; variant_initramfs() makes such a start-up for any other inittab.
"""

import gzip
import hashlib
import os
import shlex
import shutil
import socket
import stat
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

from boardsim.board import REPO, Board, BoardError, PowerOff, _ConsoleLog
from boardsim.description import FLASH_ORDER, PARTITION_SIZES
from boardsim.jffs2 import read_jffs2

MiB = 1024 * 1024
FLASH_SIZE = 64 * MiB
ERASE_SIZE = 64 * 1024
# Partitions in flash order (sim/board.json); the user partition takes the rest.
ORDER = tuple(PARTITION_SIZES)
USER = next(name for name in FLASH_ORDER if name not in PARTITION_SIZES)


def _layout():
    layout, offset = {}, 0
    for name in ORDER:
        layout[name] = (offset, PARTITION_SIZES[name])
        offset += PARTITION_SIZES[name]
    layout[USER] = (offset, FLASH_SIZE - offset)
    return layout


LAYOUT = _layout()
# The name the kernel gives the flash (physmap-of: the node's unit address).
MTD_NAME = "f00000000.nor"
EEPROM_SIZE = 65536

VBOARD_CONF = {
    "backend": "vboard",
    "usb": "absent",          # plugged: the stick is in at power-on
    "usb_delay": "0",         # with usb=plugged: seconds after power-on until it is plugged
    "net": "none",            # user: QEMU's own DHCP/TFTP (no root); lab: tap into the network lab
    "memory": "256",          # MiB of RAM
}


def mtdparts():
    parts = []
    for name in ORDER:
        parts.append(f"{PARTITION_SIZES[name] // 1024}k({name})")
    return f"mtdparts={MTD_NAME}:" + ",".join(parts) + f",-({USER})"


def pieces():
    """Paths of the kernel and the initramfs (from scripts/vboard-build)."""
    found = {}
    env = REPO / "build/vboard/pieces.env"
    if env.exists():
        for line in env.read_text().splitlines():
            if "=" in line:
                k, v = line.split("=", 1)
                found[k] = Path(v)
    found["kernel"] = Path(os.environ.get("VBOARD_KERNEL") or found.get("kernel", ""))
    found["initramfs"] = Path(os.environ.get("VBOARD_INITRAMFS") or found.get("initramfs", ""))
    for what in ("kernel", "initramfs"):
        if not str(found[what]) or not found[what].is_file():
            raise BoardError(f"the virtual board's {what} is not built: run scripts/vboard-build")
    if shutil.which("qemu-system-ppc") is None:
        raise BoardError("qemu-system-ppc not found: install the package qemu-system-ppc "
                         "(scripts/setup-deps)")
    return found


# Where the board's test programs go in a variant initramfs.
PROBE_DIR = "usr/libexec/bootmgr-probes"


def variant_initramfs(inittab, files=None):
    """The board's initramfs with a second archive appended that holds
    `inittab` as /etc/inittab and `files` ({path on the board: bytes}); the
    kernel unpacks concatenated archives in order and the later file wins,
    so rootfs/ and the board's own archive stay as they are. Written under
    build/vboard/, named by its contents; returns its path."""
    if str(REPO / "vboard") not in sys.path:
        sys.path.insert(0, str(REPO / "vboard"))
    from mkinitramfs import newc_entry
    members = {"etc/inittab": inittab.encode()}
    members.update(files or {})
    records, dirs = [], set()
    for ino, (name, data) in enumerate(sorted(members.items()), start=1):
        parts = name.split("/")[:-1]
        for i in range(1, len(parts) + 1):
            d = "/".join(parts[:i])
            if d not in dirs:
                dirs.add(d)
                records.append(newc_entry(d, stat.S_IFDIR | 0o755, ino=10000 + len(dirs)))
        executable = name.startswith(PROBE_DIR + "/")
        records.append(newc_entry(name, stat.S_IFREG | (0o755 if executable else 0o644), data, ino=ino))
    extra = gzip.compress(b"".join(records + [newc_entry("TRAILER!!!", 0)]), mtime=0)
    base = pieces()["initramfs"].read_bytes()
    key = hashlib.sha256(base + extra).hexdigest()[:16]
    out = REPO / "build/vboard" / f"initramfs-{key}.cpio.gz"
    if not out.exists():
        tmp = out.with_suffix(".tmp")
        tmp.write_bytes(base + extra)
        tmp.replace(out)
    return out


def program_initramfs(program):
    """A start-up that runs the board test program `program` ([NAME, ARGS])
    on the console with it as controlling terminal, then a shell."""
    name = program[0]
    binary = REPO / "build/board/bin" / name
    if not binary.is_file():
        raise BoardError(f"{binary} is not built: run scripts/build-all board")
    line = " ".join(shlex.quote(a) for a in [f"/{PROBE_DIR}/{name}"] + list(program[1:]))
    inittab = ("::sysinit:/etc/init.d/rcS\n"
               f"ttyS0::once:/bin/sh -c {shlex.quote(line + '; exec /bin/sh')}\n")
    return variant_initramfs(inittab, {f"{PROBE_DIR}/{name}": binary.read_bytes()})


def bootmgr_initramfs(bootmgr):
    """The board's own start-up with the program at `bootmgr` (a board
    build) run as the boot manager instead of the initramfs's."""
    binary = Path(bootmgr)
    if not binary.is_file():
        raise BoardError(f"{binary} is not a file")
    inittab = (REPO / "rootfs/etc/inittab").read_text()
    if "/usr/sbin/bootmgr" not in inittab:
        raise BoardError("rootfs/etc/inittab does not start /usr/sbin/bootmgr")
    inittab = inittab.replace("/usr/sbin/bootmgr", f"/{PROBE_DIR}/bootmgr")
    return variant_initramfs(inittab, {f"{PROBE_DIR}/bootmgr": binary.read_bytes()})


def mkfs_jffs2(files, size):
    """A big-endian jffs2 image of `size` bytes holding {path: bytes}."""
    if shutil.which("mkfs.jffs2") is None:
        raise BoardError("mkfs.jffs2 not found: install the package mtd-utils")
    with tempfile.TemporaryDirectory() as tmp:
        root = Path(tmp, "root")
        root.mkdir()
        for name, data in files.items():
            target = root / name
            target.parent.mkdir(parents=True, exist_ok=True)
            target.write_bytes(data)
        out = Path(tmp, "user.jffs2")
        subprocess.run(["mkfs.jffs2", "-b", "-q", "-e", hex(ERASE_SIZE), f"--pad={size}",
                        "-r", str(root), "-o", str(out)], check=True, capture_output=True)
        return out.read_bytes()


def mkfs_vfat(folder, out, size=64 * MiB):
    """A vfat image (no partition table, as many sticks come) of the folder's files."""
    for tool in ("mkfs.vfat", "mcopy"):
        if shutil.which(tool) is None:
            raise BoardError(f"{tool} not found: install dosfstools and mtools")
    with open(out, "wb") as f:
        f.truncate(size)
    subprocess.run(["mkfs.vfat", "-n", "USBSTICK", str(out)], check=True, capture_output=True)
    entries = sorted(Path(folder).iterdir()) if Path(folder).is_dir() else []
    if entries:
        subprocess.run(["mcopy", "-s", "-i", str(out)] + [str(e) for e in entries] + ["::/"],
                       check=True, capture_output=True, env=dict(os.environ, MTOOLS_SKIP_CHECK="1"))


def _read_prompt(sock):
    """What the monitor sends up to its next prompt, or until it closes."""
    answer = b""
    while not answer.endswith(b"(qemu) "):
        chunk = sock.recv(4096)
        if not chunk:
            break
        answer += chunk
    return answer


class _MainLoopWaker:
    """Wakes QEMU's main loop once a second while the board is on.

    QEMU 7.2 now and then leaves the e500 asleep in its idle loop with the
    decrementer's interrupt pending and enabled (TSR[DIS], TCR[DIE] and
    MSR[EE] all set): nothing runs until its main loop wakes for some other
    reason, a key on the console or a monitor command. A board does not
    stop like that, and a test would wait out its time-out, so a harmless
    monitor command ("info status") wakes the main loop every WAKE_PERIOD
    seconds; a stall then lasts at most that long. It changes nothing the
    guest can see."""

    WAKE_PERIOD = 1.0

    def __init__(self, board):
        self._board = board
        self._stopped = threading.Event()
        self._thread = threading.Thread(target=self._run, name="qemu-waker", daemon=True)
        self._thread.start()

    def _run(self):
        while not self._stopped.wait(self.WAKE_PERIOD):
            try:
                self._board.monitor("info status", timeout=2)
            except (OSError, BoardError):
                pass  # QEMU is starting or has ended

    def stop(self):
        self._stopped.set()
        self._thread.join(timeout=5)


class VBoard(Board):
    """A virtual board's files and its power-ons (see the module text)."""

    conf_defaults = VBOARD_CONF

    def __init__(self, path):
        super().__init__(path)
        self._qemu = None
        self._monitor = self.path / "state/monitor.sock"
        self._plug_timer = None
        self._stick = 0
        self._killed = False
        self._initramfs = None
        self._monitor_lock = threading.Lock()
        self._waker = None

    # ---- storage ----

    def _make_storage(self):
        with open(self.path / "flash.img", "wb") as f:
            f.write(b"\xff" * LAYOUT[USER][0])
            f.write(mkfs_jffs2({}, LAYOUT[USER][1]))
        (self.path / "mux.bin").write_bytes(bytes(i & 0xFF for i in range(EEPROM_SIZE)))

    def _eeprom_size(self):
        return EEPROM_SIZE

    def partition(self, name):
        offset, size = LAYOUT[name]
        with open(self.path / "flash.img", "rb") as f:
            f.seek(offset)
            return f.read(size)

    def write_partition(self, name, data, offset=0, fill=False):
        """Writes bytes into a partition of the flash image (a plain file
        write). With `fill` the rest of the partition is erased flash."""
        if name not in LAYOUT:
            raise BoardError(f"unknown partition {name!r}")
        start, size = LAYOUT[name]
        data = bytes(data)
        if offset < 0 or offset + len(data) > size:
            raise BoardError(f"{len(data)} bytes at {offset} do not fit in {name} ({size} bytes)")
        if fill:
            data = b"\xff" * offset + data + b"\xff" * (size - offset - len(data))
            offset = 0
        with open(self.path / "flash.img", "r+b") as f:
            f.seek(start + offset)
            f.write(data)

    def user_files(self):
        """{path: bytes} of the user partition, read from the flash image."""
        return read_jffs2(self.partition(USER), big_endian=True)

    def user_file(self, name):
        return self.user_files().get(name)

    def write_user_files(self, files):
        """Adds or replaces files of the user partition ({path: bytes}); the
        jffs2 image is made anew from what it held and the new files."""
        held = self.user_files()
        held.update(files)
        self.write_partition(USER, mkfs_jffs2(held, LAYOUT[USER][1]))

    def _write_slot(self, slot, data):
        self.write_user_files({f"images/image{slot}": data})

    # ---- power ----

    def qemu_command(self):
        found = pieces()
        conf = self.conf()
        state = self.path / "state"
        cmd = ["qemu-system-ppc", "-M", "ppce500", "-cpu", "e500v2", "-m", conf["memory"],
               "-display", "none", "-no-reboot", "-nic", "none",
               "-kernel", str(found["kernel"]), "-initrd", str(self._initramfs or found["initramfs"]),
               "-append", f"console=ttyS0,115200 rdinit=/sbin/init quiet {mtdparts()}",
               "-chardev", "stdio,id=con0,signal=off", "-serial", "chardev:con0",
               "-monitor", f"unix:{self._monitor},server=on,wait=off",
               "-drive", f"if=pflash,file={self.path / 'flash.img'},format=raw",
               "-drive", f"if=none,id=vpd,file={self.path / 'vpd.bin'},format=raw",
               "-device", f"at24c-eeprom,bus=i2c,address=0x54,rom-size={EEPROM_SIZE},drive=vpd",
               "-drive", f"if=none,id=mux,file={self.path / 'mux.bin'},format=raw",
               "-device", f"at24c-eeprom,bus=i2c,address=0x70,rom-size={EEPROM_SIZE},drive=mux",
               "-device", "usb-ehci,id=ehci"]
        if conf["net"] == "user":
            tftp = self.path / "tftp"
            tftp.mkdir(exist_ok=True)
            cmd += ["-netdev", "user,id=n0,net=192.0.2.0/24,host=192.0.2.1,"
                    f"dhcpstart=192.0.2.15,tftp={tftp}",
                    "-device", "virtio-net-pci,netdev=n0,romfile="]
        elif conf["net"] == "lab":
            cmd += ["-netdev", "tap,id=n0,ifname=tap0,script=no,downscript=no",
                    "-device", "virtio-net-pci,netdev=n0,romfile="]
        if conf["usb"] == "plugged":
            mkfs_vfat(self.usb, state / "usb.img")
            if float(conf["usb_delay"] or 0) <= 0:
                cmd += ["-drive", f"if=none,id=stick0,file={state / 'usb.img'},format=raw",
                        "-device", "usb-storage,bus=ehci.0,drive=stick0,id=usbstick0"]
        return cmd

    def _lab_command(self, cmd):
        """Runs QEMU inside the network lab's board namespace, its tap
        bridged to the lab's veth end there."""
        from boardsim import netlab
        if os.geteuid() != 0:
            raise BoardError("net=lab needs root (network namespaces, a tap device)")
        self._netlab = netlab.start(self)
        ns = self._netlab if isinstance(self._netlab, (str, os.PathLike)) else \
            getattr(self._netlab, "netns", None) or getattr(self._netlab, "board_netns")
        bridge = ("ip tuntap add dev tap0 mode tap && ip link add br0 type bridge && "
                  "ip link set eth0 master br0 && ip link set tap0 master br0 && "
                  "ip link set eth0 up && ip link set tap0 up && ip link set br0 up")
        subprocess.run(["nsenter", f"--net={ns}", "sh", "-c", bridge], check=True,
                       capture_output=True)
        return ["nsenter", f"--net={ns}"] + cmd

    def power_on(self, program=None, arch=None, bootmgr=None, timeout=120, encoding=None,
                 stderr_to_file=False, dimensions=(24, 80), initramfs=None):
        """Powers the board on; returns a pexpect.spawn on its serial console.
        The arguments are the simulated board's: with `program` ([NAME,
        ARGS]) a board test program runs on the console instead of bootmgr,
        then a shell; `bootmgr` runs another board build of bootmgr. The
        board runs ppc code only (`arch` None or "ppc"), and its bootmgr's
        standard error is the console (no `stderr_to_file`). `initramfs`,
        the virtual board's own, starts it from another initramfs (see
        variant_initramfs). An argument it cannot honour is a BoardError."""
        import pexpect
        if arch not in (None, "ppc"):
            raise BoardError(f"the virtual board runs the board build (ppc), not arch={arch}")
        if stderr_to_file:
            raise BoardError("the virtual board's standard error is its console (no stderr_to_file)")
        if sum(x is not None for x in (program, bootmgr, initramfs)) > 1:
            raise BoardError("program, bootmgr and initramfs each choose the start-up: give one")
        if program:
            initramfs = program_initramfs(program)
        elif bootmgr:
            initramfs = bootmgr_initramfs(bootmgr)
        self._initramfs = initramfs
        cmd = self.qemu_command()
        if self.conf()["net"] == "lab":
            cmd = self._lab_command(cmd)
        # QEMU's stdio console keeps the terminal's output processing, which
        # would turn the guest's CR LF into CR CR LF: start it without NL->CRNL.
        cmd = ["sh", "-c", 'stty -onlcr 2>/dev/null; exec "$0" "$@"'] + cmd
        self._start_power_on()
        self._monitor.unlink(missing_ok=True)
        self._console_log = open(self.path / "log/console.log", "wb")
        self._killed = False
        con = pexpect.spawn(cmd[0], cmd[1:], timeout=timeout, encoding=encoding,
                            dimensions=dimensions, env=dict(os.environ, TERM="vt100"))
        con.delaybeforesend = None
        con.logfile_read = _ConsoleLog(self._console_log, encoding)
        con.board = self
        self._con = con
        conf = self.conf()
        delay = float(conf["usb_delay"] or 0)
        if conf["usb"] == "plugged" and delay > 0:
            self._plug_timer = threading.Timer(delay, self.plug_usb)
            self._plug_timer.daemon = True
            self._plug_timer.start()
        self._waker = _MainLoopWaker(self)
        return con

    def monitor(self, command, timeout=10):
        """Sends one command to the QEMU monitor; returns its answer."""
        with self._monitor_lock:
            return self._monitor_locked(command, timeout)

    def _monitor_locked(self, command, timeout):
        deadline = time.monotonic() + timeout
        while not self._monitor.exists():
            if time.monotonic() > deadline:
                raise BoardError("QEMU monitor not reachable")
            time.sleep(0.05)
        with socket.socket(socket.AF_UNIX) as s:
            s.settimeout(timeout)
            s.connect(str(self._monitor))
            if not _read_prompt(s).endswith(b"(qemu) "):
                raise BoardError("QEMU monitor closed")
            s.sendall(command.encode() + b"\n")
            return _read_prompt(s).decode(errors="replace")

    def plug_usb(self, folder=None):
        """Hot-plugs a stick made from `folder` (default BOARD/usb)."""
        self._stick += 1
        image = self.path / f"state/usb{self._stick}.img"
        mkfs_vfat(folder or self.usb, image)
        self.monitor(f"drive_add 0 if=none,id=hot{self._stick},file={image},format=raw")
        self.monitor(f"device_add usb-storage,bus=ehci.0,drive=hot{self._stick},"
                     f"id=hotstick{self._stick}")

    def unplug_usb(self):
        """Pulls the stick out (the one plugged at power-on, or the last hot-plugged)."""
        stick = f"hotstick{self._stick}" if self._stick else "usbstick0"
        self.monitor(f"device_del {stick}")

    def power_cut(self):
        """Kills QEMU at once (SIGKILL): flash and EEPROM keep what reached them."""
        con = self._con
        if con is not None and con.isalive():
            self._killed = True
            con.kill(9)

    def _reason(self, status):
        text = self.console_text()
        if self._killed:
            return PowerOff("power-cut", status)
        if "reboot: Restarting system" in text:
            return PowerOff("reset", status)
        if "reboot: System halted" in text or "reboot: Power down" in text:
            return PowerOff("power-off", status)
        return PowerOff("exit", status)

    def _record(self, off):
        (self.path / "state/last_power_off").write_text(f"{off.reason}\n")
        (self.path / "state/last_status").write_text(f"{off.status if off.status is not None else -1}\n")

    def wait_power_off(self, con, timeout=None):
        self._end_power_on(con, timeout)
        status = con.exitstatus if con.exitstatus is not None else -(con.signalstatus or 0)
        off = self._reason(status)
        self._record(off)
        return off

    def _finish(self):
        if self._waker is not None:
            self._waker.stop()
            self._waker = None
        if self._plug_timer is not None:
            self._plug_timer.cancel()
            self._plug_timer = None
        super()._finish()

    def release(self):
        con, self._con = self._con, None
        if con is not None and not con.closed:
            con.close(force=True)
        self._finish()


def open_board(path):
    """The board at `path`, simulated or virtual, as its board.conf says."""
    board = Board(path)
    if board.conf().get("backend") == "vboard":
        return VBoard(path)
    return board


__all__ = ["VBoard", "open_board", "LAYOUT", "FLASH_SIZE", "ERASE_SIZE", "pieces", "mtdparts"]


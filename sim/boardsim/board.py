"""A simulated board: its directory, its settings and its power-ons."""

import json
import os
import shlex
import struct
import subprocess
import sys
import tempfile
from pathlib import Path

from boardsim.description import DEVICE_NAMES, PARTITION_SIZES

ENV_SIZE = 0x20000

# board.conf keys and their defaults.
CONF_DEFAULTS = {
    "erase_size": "131072",
    "geometry": "ok",
    "missing": "",
    "eeprom": "present",
    "eeprom_size": "8192",
    "eeprom_page": "32",
    "fail_read_at": "0",
    "fail_erase_at": "0",
    "fail_write_at": "0",
    "power_cut_at": "0",
    "power_cut_file_at": "0",
    "power_cut_eeprom_at": "0",
    "eeprom_cut_seed": "0",
    "time_scale": "1.0",
    "usb": "absent",
    "usb_delay": "0",
    "usb_fail_read_at": "0",
    "usb_shrink_at": "0",
    "usb_shrink_to": "0",
    "console_input": "",
    "net": "none",
}
MISSING_NAMES = set(DEVICE_NAMES)

# Boot-selection bytes of the VPD EEPROM.
EEPROM_CHOICES = {"image_select": 256, "booted_image": 314, "usb_boot": 315}

REPO = Path(__file__).resolve().parents[2]
SIM = REPO / "sim"


class BoardError(Exception):
    """A board choice or file that cannot be used."""


# Ctrl-] on the terminal of `bsim run`: the operator powers the board off.
CONSOLE_ESCAPE = "\x1d"


class PowerOff:
    """How a power-on ended: reason "reset", "exit", "power-cut", "app-exit"
    (or "power-off" when the console was closed first) and the program's
    exit status (negative: the signal that ended it)."""

    def __init__(self, reason, status):
        self.reason = reason
        self.status = status

    def __repr__(self):
        return f"PowerOff(reason={self.reason!r}, status={self.status!r})"


def _arch(arch=None):
    arch = arch or os.environ.get("BOARDSIM_ARCH") or "host"
    if arch not in ("host", "ppc"):
        raise BoardError(f"unknown architecture {arch!r} (host or ppc)")
    return arch


def _build_dir(arch):
    return REPO / "build" / ("board" if arch == "ppc" else "host")


def default_bootmgr(arch=None):
    return Path(os.environ.get("BOOTMGR") or _build_dir(_arch(arch)) / "bin/bootmgr")


def default_layer(arch=None):
    return Path(os.environ.get("BOARDSIM_LAYER") or _build_dir(_arch(arch)) / "lib/libboardsim.so")


def test_programs_dir(arch=None):
    return Path(os.environ.get("BOARDSIM_TESTPROGS") or _build_dir(_arch(arch)) / "bin")


def _data_of(value):
    """Contents given as bytes, or as the path of a file holding them."""
    if isinstance(value, (bytes, bytearray)):
        return bytes(value)
    path = Path(value)
    if not path.is_file():
        raise BoardError(f"no such file: {path}")
    return path.read_bytes()


def _host_libdir():
    """The folder the host's dynamic loader searches first (LD_PRELOAD by name)."""
    for d in ("/usr/lib/x86_64-linux-gnu", "/usr/lib64", "/usr/lib"):
        if Path(d, "libc.so.6").exists():
            return d
    return "/usr/lib"


def _cache_dir():
    cache = Path(tempfile.gettempdir()) / f"boardsim-{os.getuid()}"
    cache.mkdir(exist_ok=True)
    return cache


def sandbox_mount_point():
    """Where each sandbox mounts its root tmpfs. Every sandbox has its own
    mount namespace, so all of them share this one empty folder."""
    root = _cache_dir() / "root"
    root.mkdir(exist_ok=True)
    return root


def duma_library():
    """The stand-in DUMA library, compiled once for the host and cached."""
    source = SIM / "boardsim/tools/duma.c"
    cache = _cache_dir()
    lib = cache / "libduma.so.0.0.0"
    if lib.exists() and lib.stat().st_mtime >= source.stat().st_mtime:
        return lib
    fd, tmp = tempfile.mkstemp(dir=cache, suffix=".so")
    os.close(fd)
    subprocess.run(["cc", "-shared", "-fPIC", "-O2", "-o", tmp, str(source)], check=True)
    os.replace(tmp, lib)
    return lib


# Settings of the memory checkers (sanitizers, valgrind) that reach the
# program on the board; the rest of the caller's environment does not.
SANITIZER_VARIABLES = ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS")
CHECKER_VARIABLES = ("VALGRIND_LIB", "VALGRIND_LAUNCHER")


def checker_plan(arch):
    """How the host program runs under a memory checker, from the caller's
    environment: BOARDSIM_PRELOAD (libraries preloaded before the device
    layer: a sanitised layer's runtime), BOARDSIM_WRAPPER (a command line that
    runs the program: a statically linked checker such as valgrind's tool
    itself, since a dynamic one would take the layer in) and the checkers' own
    variables. The host's /usr is the board's, so host paths hold.
    ASan and LSan reports go to log/sanitizer.PID in the board directory,
    where they outlive the power-on (tests/system/conftest.py looks for them;
    UBSan's runtime keeps its reports on the console)."""
    if arch == "ppc":
        return {}
    env = {k: os.environ[k] + ":log_path=/.boardsim/log/sanitizer"
           for k in SANITIZER_VARIABLES if k in os.environ}
    env.update({k: os.environ[k] for k in CHECKER_VARIABLES if k in os.environ})
    return {
        "preload": os.environ.get("BOARDSIM_PRELOAD", "").split(),
        "wrapper": shlex.split(os.environ.get("BOARDSIM_WRAPPER", "")),
        "checker_env": env,
    }


class Board:
    """A board directory (see sim/README.md) and the power-ons run on it.

    The choices that describe a board (EEPROM bytes, U-Boot variables,
    partition contents, slot files, stick files) are the same for every
    back-end; a back-end (this simulated board, or the virtual board of
    boardsim.vboard) says where they are kept and how the board runs."""

    conf_defaults = CONF_DEFAULTS

    def __init__(self, path):
        self.path = Path(path).resolve()
        self.user = self.path / "user"
        self.usb = self.path / "usb"
        self._netlab = None
        self._con = None
        self._console_log = None

    # ---- making and changing a board ----

    @classmethod
    def create(cls, path, default=False, **choices):
        """Makes a fresh board; the choices are those of `bsim create`.

        `env` (dict) and `usb` (dict name -> file or bytes) may be given as
        whole mappings, or as "env.NAME"/"usb.NAME" keys through `set`."""
        board = cls(path)
        if board.path.exists() and any(board.path.iterdir()):
            raise BoardError(f"{board.path} exists and is not empty")
        for d in ("usb", "log", "state"):
            (board.path / d).mkdir(parents=True, exist_ok=True)
        board._write_conf(dict(cls.conf_defaults))
        board._make_storage()
        (board.path / "env.txt").write_text("")
        for d in ("log/devices.log", "log/tools.log", "log/console.log"):
            (board.path / d).touch()
        (board.path / "state/power_on_count").write_text("0\n")
        board._make_vpd()
        if default:
            board._populate_default()
        board.set(**choices)
        if "env" not in choices and not any(k.startswith("env.") for k in choices):
            board._make_env()
        return board

    def _make_storage(self):
        """Erased flash partitions and an empty user partition."""
        for d in ("flash", "user"):
            (self.path / d).mkdir(parents=True, exist_ok=True)
        for name, size in PARTITION_SIZES.items():
            (self.path / "flash" / f"{name}.bin").write_bytes(b"\xff" * size)

    def _write_slot(self, slot, data):
        images = self.user / "images"
        images.mkdir(parents=True, exist_ok=True)
        (images / f"image{slot}").write_bytes(data)

    def user_file(self, name):
        """The bytes of a file of the user partition (e.g. "images/image1"),
        or None when it does not exist."""
        path = self.user / name
        return path.read_bytes() if path.is_file() else None

    def _populate_default(self):
        try:
            from boardsim import default_board
        except ImportError:
            return
        default_board.populate(self)

    def set(self, **choices):
        """Changes board.conf keys, EEPROM bytes, U-Boot variables and files."""
        conf = self.conf()
        conf_changed = env_changed = False
        env = self.env()
        for key, value in choices.items():
            if key in self.conf_defaults:
                conf[key] = self._conf_value(key, value)
                conf_changed = True
            elif key in EEPROM_CHOICES:
                self.set_eeprom(EEPROM_CHOICES[key], int(value, 0) if isinstance(value, str) else value)
            elif key == "env":
                env.update({str(k): str(v) for k, v in value.items()})
                env_changed = True
            elif key.startswith("env."):
                env[key[4:]] = str(value)
                env_changed = True
            elif key in ("slot1", "slot2"):
                self._write_slot(int(key[-1]), _data_of(value))
            elif key in PARTITION_SIZES:
                self.write_partition(key, _data_of(value), fill=True)
            elif key == "usb" and isinstance(value, dict):
                for name, data in value.items():
                    self._put_on_stick(name, data)
            elif key.startswith("usb."):
                self._put_on_stick(key[4:], value)
            else:
                raise BoardError(f"unknown board choice {key!r}")
        if conf_changed:
            self._write_conf(conf)
            if "eeprom_size" in choices:
                self._resize_vpd(int(conf["eeprom_size"], 0))
        if env_changed:
            self._make_env(env)

    def _conf_value(self, key, value):
        if key == "missing":
            names = value.split(",") if isinstance(value, str) else list(value)
            names = [n.strip() for n in names if n.strip()]
            unknown = set(names) - MISSING_NAMES
            if unknown:
                raise BoardError(f"unknown device(s) for missing: {', '.join(sorted(unknown))}")
            return ",".join(names)
        return str(value)

    def _put_on_stick(self, name, data):
        target = self.usb / name
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(_data_of(data))

    def conf(self):
        """board.conf as a dict of texts (defaults filled in)."""
        conf = dict(self.conf_defaults)
        path = self.path / "board.conf"
        if path.exists():
            for line in path.read_text().splitlines():
                if "=" in line and not line.lstrip().startswith("#"):
                    k, v = line.split("=", 1)
                    conf[k.strip()] = v.strip()
        return conf

    def _write_conf(self, conf):
        text = "".join(f"{k}={v}\n" for k, v in conf.items())
        (self.path / "board.conf").write_text(text)

    def env(self):
        """The U-Boot variables the environment partition was made from."""
        env = {}
        path = self.path / "env.txt"
        if path.exists():
            for line in path.read_text().splitlines():
                if "=" in line:
                    k, v = line.split("=", 1)
                    env[k] = v
        return env

    def _make_env(self, env=None):
        env = self.env() if env is None else env
        text = "".join(f"{k}={v}\n" for k, v in env.items())
        (self.path / "env.txt").write_text(text)
        made = subprocess.run(["mkenvimage", "-b", "-s", hex(ENV_SIZE), "-o", "-",
                               str(self.path / "env.txt")], check=True, capture_output=True)
        self.write_partition("ubootenv", made.stdout, fill=True)

    def _eeprom_size(self):
        return int(self.conf()["eeprom_size"], 0)

    def _make_vpd(self):
        (self.path / "vpd.bin").write_bytes(b"\xff" * self._eeprom_size())

    def _resize_vpd(self, size):
        data = (self.path / "vpd.bin").read_bytes()[:size]
        (self.path / "vpd.bin").write_bytes(data + b"\xff" * (size - len(data)))

    # ---- board state ----

    def eeprom(self, offset, count=None):
        """One EEPROM byte (an int), or `count` bytes."""
        data = (self.path / "vpd.bin").read_bytes()
        if count is None:
            return data[offset]
        return data[offset:offset + count]

    def set_eeprom(self, offset, value):
        data = bytearray((self.path / "vpd.bin").read_bytes())
        values = bytes([value]) if isinstance(value, int) else bytes(value)
        if offset < 0 or offset + len(values) > len(data):
            raise BoardError(f"EEPROM offset {offset} outside its {len(data)} bytes")
        data[offset:offset + len(values)] = values
        (self.path / "vpd.bin").write_bytes(bytes(data))

    def partition(self, name):
        return (self.path / "flash" / f"{name}.bin").read_bytes()

    def write_partition(self, name, data, offset=0, fill=False):
        """Writes bytes into a partition file (plain file write, no NOR rules).
        With `fill` the rest of the partition is set to erased flash."""
        if name not in PARTITION_SIZES:
            raise BoardError(f"unknown partition {name!r}")
        size = PARTITION_SIZES[name]
        data = bytes(data)
        if offset < 0 or offset + len(data) > size:
            raise BoardError(f"{len(data)} bytes at {offset} do not fit in {name} ({size} bytes)")
        path = self.path / "flash" / f"{name}.bin"
        current = b"\xff" * size if fill else path.read_bytes()
        path.write_bytes(current[:offset] + data + current[offset + len(data):])

    def power_on_count(self):
        path = self.path / "state/power_on_count"
        return int(path.read_text().strip() or 0) if path.exists() else 0

    def last_power_off(self):
        state = self.path / "state"
        try:
            reason = (state / "last_power_off").read_text().strip()
            status = int((state / "last_status").read_text().strip())
        except (OSError, ValueError):
            return None
        return PowerOff(reason, status)

    def _log_lines(self, name):
        path = self.path / "log" / name
        if not path.exists():
            return []
        lines = path.read_text(errors="replace").splitlines()
        marker = f"power-on {self.power_on_count()}"
        for i in range(len(lines) - 1, -1, -1):
            if lines[i] == marker:
                return lines[i + 1:]
        return lines

    def device_log(self):
        """Lines of the device trace of the last (or current) power-on."""
        return self._log_lines("devices.log")

    def tools_log(self):
        """Board-fake calls of the last (or current) power-on."""
        return self._log_lines("tools.log")

    def console_text(self):
        """Everything the console showed this power-on (bytes as latin-1)."""
        if self._console_log:
            self._console_log.flush()
        path = self.path / "log/console.log"
        return path.read_bytes().decode("latin-1") if path.exists() else ""

    def stderr_text(self):
        """Standard error of the program when power_on(stderr_to_file=True)."""
        path = self.path / "log/stderr.log"
        return path.read_bytes().decode("latin-1") if path.exists() else ""

    # ---- power ----

    def _start_power_on(self):
        count = self.power_on_count() + 1
        state = self.path / "state"
        state.mkdir(exist_ok=True)
        (state / "power_on_count").write_text(f"{count}\n")
        for stale in ("mark-reset", "mark-power-cut", "mark-app", "last_power_off",
                      "last_status"):
            (state / stale).unlink(missing_ok=True)
        log = self.path / "log"
        log.mkdir(exist_ok=True)
        for name in ("devices.log", "tools.log"):
            with open(log / name, "a") as f:
                f.write(f"power-on {count}\n")
        (log / "stderr.log").unlink(missing_ok=True)
        return count

    def _usb_delay(self, conf):
        if conf["usb"] != "plugged" or conf["usb_delay"] == "never":
            return None
        return float(conf["usb_delay"]) * float(conf["time_scale"])

    def launch_plan(self, program=None, arch=None, bootmgr=None, stderr_to_file=False):
        """What the sandbox needs to know to run one power-on."""
        arch = _arch(arch)
        args = []
        if program:
            program = [program] if isinstance(program, str) else list(program)
            exe = Path(program[0])
            if not exe.is_absolute() and "/" not in program[0]:
                exe = test_programs_dir(arch) / program[0]
            args = [str(a) for a in program[1:]]
        else:
            exe = Path(bootmgr) if bootmgr else default_bootmgr(arch)
        layer = default_layer(arch)
        for what, p in (("program", exe), ("device layer", layer)):
            if not p.is_file():
                raise BoardError(f"{what} not found: {p} (build it first)")
        conf = self.conf()
        plan = {
            "board": str(self.path), "arch": arch, "program": str(exe.resolve()), "args": args,
            "layer": str(layer.resolve()), "missing": [m for m in conf["missing"].split(",") if m],
            "usb_delay": self._usb_delay(conf), "host_libdir": _host_libdir(),
            "term": os.environ.get("TERM", "vt100"),
        }
        try:
            plan["duma"] = str(duma_library())
        except (OSError, subprocess.CalledProcessError):
            plan["duma"] = None
        if stderr_to_file:
            plan["stderr"] = "/.boardsim/log/stderr.log"
        plan.update(checker_plan(arch))
        prefix = os.environ.get("BOARDSIM_QEMU_PREFIX")
        if arch == "ppc" and prefix and Path(prefix, "lib").exists():
            plan["ppc_libdir"] = os.path.realpath(Path(prefix, "lib"))
        return plan

    def _net_namespace(self, conf):
        """Starts the network lab when the board asks for one; the path of the
        network namespace file the sandbox enters, or None (an empty one)."""
        if conf["net"] != "lab":
            return None
        try:
            from boardsim import netlab
        except ImportError:
            return None
        self._netlab = netlab.start(self)
        if isinstance(self._netlab, (str, os.PathLike)):
            return str(self._netlab)
        for attr in ("board_netns", "netns"):
            if getattr(self._netlab, attr, None):
                return str(getattr(self._netlab, attr))
        return None

    def _stop_netlab(self):
        lab, self._netlab = self._netlab, None
        if lab is None:
            return
        if hasattr(lab, "stop"):
            lab.stop()
        else:
            from boardsim import netlab
            if hasattr(netlab, "stop"):
                netlab.stop(self)

    def launch_command(self, plan):
        """The command line that runs one power-on (must run as root)."""
        plan = dict(plan, root=str(sandbox_mount_point()))
        plan_path = self.path / "state/launch.json"
        plan_path.write_text(json.dumps(plan, indent=1))
        cmd = ["unshare", "--mount", "--pid", "--fork", "--kill-child",
               "--propagation", "private"]
        netns = self._net_namespace(self.conf())
        if netns:
            cmd = ["nsenter", f"--net={netns}"] + cmd
        else:
            cmd.append("--net")
        return cmd + ["/usr/bin/python3", "-I", str(SIM / "boardsim/sandbox.py"), str(plan_path)]

    def power_on(self, program=None, arch=None, bootmgr=None, timeout=None, encoding=None,
                 stderr_to_file=False, dimensions=(24, 80)):
        """Powers the board on; returns a pexpect.spawn on its console.

        encoding None (the default) keeps the console byte for byte: str
        patterns are still accepted by expect/expect_exact and send."""
        import pexpect
        if os.geteuid() != 0:
            raise BoardError("the board's sandbox needs root")
        arch = _arch(arch)
        plan = self.launch_plan(program, arch, bootmgr, stderr_to_file)
        self._start_power_on()
        cmd = self.launch_command(plan)
        if timeout is None:
            timeout = 60 if arch == "ppc" else 30
        env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
        self._console_log = open(self.path / "log/console.log", "wb")
        con = pexpect.spawn(cmd[0], cmd[1:], timeout=timeout, encoding=encoding, env=env,
                            dimensions=dimensions)
        con.delaybeforesend = None
        con.logfile_read = _ConsoleLog(self._console_log, encoding)
        con.board = self
        self._con = con
        return con

    def wait_power_off(self, con, timeout=None):
        """Waits until the power-on ends; returns its PowerOff."""
        self._end_power_on(con, timeout)
        return self.last_power_off() or PowerOff("power-off", None)

    def _end_power_on(self, con, timeout):
        """Waits for the console's end (at most `timeout`, else the
        console's own), then closes it and ends the power-on."""
        import pexpect
        try:
            con.expect(pexpect.EOF, timeout=timeout if timeout is not None else con.timeout)
        finally:
            if con.isalive():
                con.close(force=True)
            else:
                con.close()
            self._con = None
            self._finish()

    def _finish(self):
        if self._console_log:
            self._console_log.close()
            self._console_log = None
        self._stop_netlab()

    def release(self):
        """Ends a power-on that is still running (the console is closed)."""
        con, self._con = self._con, None
        if con is not None and not con.closed:
            con.close(force=True)
        self._finish()

    def run(self, program=None, arch=None, bootmgr=None):
        """One power-on with the console on this terminal (bsim run, cycle).
        Ctrl-] on the terminal powers the board off: the power-off reason is
        then "power-off" whatever the program was doing. Standard input that
        is not a terminal is not relayed; the console is copied to standard
        output. An interrupt (KeyboardInterrupt) powers the board off and
        is raised again."""
        import pexpect
        con = self.power_on(program=program, arch=arch, bootmgr=bootmgr, timeout=None)
        escaped = []

        def watch_for_escape(data):
            # interact() returns both on the escape key and when the console
            # closes: only the key is the operator's power-off.
            if CONSOLE_ESCAPE.encode() in data:
                escaped.append(True)
            return data

        try:
            if sys.stdin.isatty():
                print("bsim: console of the board; Ctrl-] powers it off", file=sys.stderr)
                con.interact(escape_character=CONSOLE_ESCAPE, input_filter=watch_for_escape)
            else:
                con.logfile_read = _Tee(con.logfile_read, sys.stdout.buffer)
                con.expect(pexpect.EOF, timeout=None)
        except OSError:
            pass  # the console closed while it was being relayed
        except KeyboardInterrupt:
            self._power_off_by_operator()
            raise
        if escaped:
            return self._power_off_by_operator()
        return self.wait_power_off(con, timeout=5)

    def _power_off_by_operator(self):
        """Ends the running power-on and records it as a power-off: closing
        the console may still let the program end by itself (a read at end
        of input, a hang-up), but that is not why the board went off."""
        self.release()
        off = self.last_power_off()
        (self.path / "state/last_power_off").write_text("power-off\n")
        return PowerOff("power-off", off.status if off else None)


class _ConsoleLog:
    """pexpect log target writing the console's bytes to log/console.log."""

    def __init__(self, f, encoding):
        self.f = f
        self.encoding = encoding

    def write(self, data):
        if isinstance(data, str):
            data = data.encode(self.encoding or "latin-1", errors="replace")
        if not self.f.closed:
            self.f.write(data)

    def flush(self):
        if not self.f.closed:
            self.f.flush()


class _Tee:
    def __init__(self, *targets):
        self.targets = targets

    def write(self, data):
        for t in self.targets:
            t.write(data)
            t.flush()

    def flush(self):
        pass


def read_header(data, offset=0):
    """The 16-byte stored header at `offset` as (crc, len, magic, id), or None."""
    if len(data) < offset + 16:
        return None
    return struct.unpack(">IIII", data[offset:offset + 16])


COMPONENT_TYPES = {
    0x01504547: "application",
    0x02504547: "boot loader",
    0x03504547: "kernel",
    0x04504547: "root file system",
    0x05504547: "device tree",
    0x06504547: "diagnostics",
}


def describe_header(header):
    if header is None:
        return "none"
    crc, length, magic, ident = header
    if (crc, length, magic, ident) == (0xFFFFFFFF,) * 4:
        return "erased"
    kind = COMPONENT_TYPES.get(magic & 0x7FFFFFFF, f"unknown type 0x{magic & 0x7FFFFFFF:08x}")
    ext = " (extended)" if magic & 0x80000000 else ""
    version = ".".join(str((ident >> s) & 0xFF) for s in (24, 16, 8, 0))
    return f"{kind}{ext} version {version} len {length} crc 0x{crc:08x}"


__all__ = ["Board", "BoardError", "PowerOff", "PARTITION_SIZES", "describe_header",
           "read_header"]

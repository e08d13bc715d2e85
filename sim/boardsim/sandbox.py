"""The board's sandbox: the init process of one power-on.

Runs as PID 1 of fresh mount and PID namespaces (started by `launch_command`
through `unshare`, as root). It builds the board's root file system on a
private tmpfs, starts the program under test chrooted into it with the
console on standard input, output and error, plays the USB agent, and when
the program ends (or the board resets or loses power) ends every process of
the board and records why the power-on ended in BOARD/state/.

    python3 sandbox.py PLAN.json
"""

import ctypes
import json
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

MS_RDONLY = 1
MS_NOSUID = 2
MS_NODEV = 4
MS_REMOUNT = 32
MS_BIND = 4096
MS_PRIVATE = 1 << 18
MS_REC = 16384

# The board's device files, from sim/board.json (read directly: the sandbox
# runs isolated, without the boardsim package on its path).
BOARD = json.loads((Path(__file__).resolve().parents[1] / "board.json").read_text())
PARTITIONS = tuple(p["name"] for p in BOARD["partitions"] if p["kind"] == "mtd")
USER_PARTITIONS = tuple(p["name"] for p in BOARD["partitions"] if p["kind"] != "mtd")
I2C_BUSES = tuple(f"i2c-{n}" for n in range(len(BOARD["i2c_buses"])))

# Board fakes (sim/boardsim/tools/), put over /usr/bin and /usr/sbin.
FAKES = ("reboot", "mount", "umount", "flash_eraseall", "backtrace", "gdbserver", "rx",
         "dhclient")

# The root file system's busybox tools; the rest of /usr stays the host's.
APPLETS = ("sh", "ash", "tar", "gunzip", "gzip", "zcat", "mkdir", "cp", "mv", "rm", "touch",
           "chmod", "chown", "find", "md5sum", "tftp", "ifconfig", "route", "sleep", "ls",
           "cat", "echo", "ln", "dd", "sync", "test", "[", "grep", "sed", "head", "tail", "wc",
           "cmp", "kill", "uname", "rmdir", "stty", "printf", "expr", "true", "false",
           "basename", "dirname", "mktemp", "hexdump", "od", "sort", "cut", "tr", "xargs")

# Signals to init: SIGTERM reboot (as busybox init takes it), SIGUSR2 power
# cut (the device layer) or busybox poweroff, SIGUSR1 busybox halt, SIGHUP
# the console closed. How long a reset leaves the program to end by itself
# (real seconds):
RESET_GRACE = 1.0

_libc = ctypes.CDLL(None, use_errno=True)
_libc.mount.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_ulong,
                        ctypes.c_char_p]


def _b(text):
    return None if text is None else os.fsencode(str(text))


def mount(source, target, fstype=None, flags=0, data=None):
    if _libc.mount(_b(source), _b(target), _b(fstype), flags, _b(data)) != 0:
        err = ctypes.get_errno()
        raise OSError(err, f"mount {source} on {target}: {os.strerror(err)}")


def bind(source, target, readonly=False):
    mount(source, target, None, MS_BIND)
    if readonly:
        mount(None, target, None, MS_REMOUNT | MS_BIND | MS_RDONLY)


def touch(path):
    Path(path).touch()
    return path


class BoardRoot:
    """The board's view of the file system, built under `root`."""

    def __init__(self, plan):
        self.plan = plan
        self.root = Path(plan["root"])
        self.board = Path(plan["board"])
        self.missing = set(plan.get("missing", []))

    def p(self, relative):
        return self.root / relative.lstrip("/")

    def build(self):
        mount(None, "/", None, MS_REC | MS_PRIVATE)
        mount("tmpfs", self.root, "tmpfs", MS_NOSUID, "mode=0755")
        for d in ("usr", "etc", "proc", "sys", "dev", "tmp", "run", "var/lib/dhcp", "mnt/usb",
                  "user", ".boardsim", ".sim/bin", ".sim/sbin", ".sim/hostlib", ".sim/lib",
                  ".sim/real", "root"):
            self.p(d).mkdir(parents=True, exist_ok=True)
        for name in ("bin", "sbin", "lib", "lib32", "lib64"):
            if Path("/usr", name).is_dir():
                os.symlink(f"usr/{name}", self.p(name))
        os.symlink("/run", self.p("var/run"))
        bind("/usr", self.p("usr"), readonly=True)
        bind("/etc", self.p("etc"), readonly=True)
        self.tools()
        self.devices()
        bind(self.board, self.p(".boardsim"))
        mount("tmpfs", self.p("tmp"), "tmpfs", MS_NOSUID, "mode=1777")
        mount("tmpfs", self.p("run"), "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755")
        mount("proc", self.p("proc"), "proc", MS_NOSUID | MS_NODEV)
        mount("sysfs", self.p("sys"), "sysfs", MS_NOSUID | MS_NODEV | MS_RDONLY)
        self.program()

    def tools(self):
        here = Path(__file__).resolve().parent / "tools"
        for d in (".sim/bin", ".sim/sbin"):
            for name in FAKES:
                target = self.p(f"{d}/{name}")
                target.write_bytes((here / name).read_bytes())
                target.chmod(0o755)
        for name in APPLETS:
            os.symlink("/usr/bin/busybox", self.p(f".sim/bin/{name}"))
        touch(self.p(".sim/sbin/bootmgr"))
        for name, host in (("rx", "/usr/bin/rx"), ("dhclient", "/usr/sbin/dhclient")):
            if Path(host).exists():
                bind(host, touch(self.p(f".sim/real/{name}")))
        mount("overlay", self.p("usr/bin"), "overlay", 0,
              f"lowerdir={self.p('.sim/bin')}:/usr/bin")
        mount("overlay", self.p("usr/sbin"), "overlay", 0,
              f"lowerdir={self.p('.sim/sbin')}:/usr/sbin")
        duma = self.plan.get("duma")
        libdir = self.plan.get("host_libdir")
        if duma and libdir and Path(libdir).is_dir():
            (self.p(".sim/hostlib") / "libduma.so.0.0.0").write_bytes(Path(duma).read_bytes())
            mount("overlay", self.p(libdir), "overlay", 0,
                  f"lowerdir={self.p('.sim/hostlib')}:{libdir}")

    def devices(self):
        dev = self.p("dev")
        mount("tmpfs", dev, "tmpfs", MS_NOSUID, "mode=0755")
        for name in ("null", "zero", "full", "random", "urandom", "tty"):
            bind(f"/dev/{name}", touch(dev / name))
        (dev / "pts").mkdir()
        mount("devpts", dev / "pts", "devpts", MS_NOSUID, "newinstance,ptmxmode=0666,mode=0620")
        os.symlink("pts/ptmx", dev / "ptmx")
        (dev / "shm").mkdir()
        os.symlink("/proc/self/fd", dev / "fd")
        for i, name in enumerate(("stdin", "stdout", "stderr")):
            os.symlink(f"/proc/self/fd/{i}", dev / name)
        console = os.ttyname(0) if os.isatty(0) else None
        if console:
            bind(console, touch(dev / "console"))
            for tty in BOARD["serial"]:
                if tty not in self.missing:
                    bind(console, touch(dev / tty))
        for name in PARTITIONS:
            backing = self.board / "flash" / f"{name}.bin"
            if name not in self.missing and backing.exists():
                bind(backing, touch(dev / f"mtd-{name}"))
        for bus in I2C_BUSES:
            if bus not in self.missing:
                touch(dev / bus)
        for name in USER_PARTITIONS:
            touch(dev / f"mtd-{name}")
            touch(dev / f"mtd-{name}-char")

    def program(self):
        bind(self.plan["program"], self.p("usr/sbin/bootmgr"))
        bind(self.plan["layer"], touch(self.p(".sim/lib/libboardsim.so")))
        if self.plan["arch"] == "ppc":
            prefix = self.p(".sim/qemu")
            prefix.mkdir()
            os.symlink(self.plan.get("ppc_libdir", "/usr/powerpc-linux-gnu/lib"), prefix / "lib")


def program_argv(plan):
    args = ["/usr/sbin/bootmgr"] + list(plan.get("args", []))
    if plan["arch"] == "ppc":
        return ["/usr/bin/qemu-ppc", "-L", "/.sim/qemu", "-E",
                "LD_PRELOAD=/.sim/lib/libboardsim.so"] + args
    # A checker that runs the program itself (valgrind ...), from the host's /usr.
    return list(plan.get("wrapper") or []) + args


def program_env(plan):
    env = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "HOME": "/root", "SHELL": "/bin/sh",
           "TERM": plan.get("term", "vt100"), "USER": "root", "LOGNAME": "root",
           "BOARDSIM_SANDBOX": "1"}
    env.update(plan.get("checker_env") or {})
    if plan["arch"] != "ppc":
        # A sanitised layer needs its sanitizer runtime loaded before it.
        env["LD_PRELOAD"] = " ".join(list(plan.get("preload") or []) +
                                     ["/.sim/lib/libboardsim.so"])
    return env


WATCHED = (signal.SIGCHLD, signal.SIGUSR1, signal.SIGUSR2, signal.SIGTERM, signal.SIGHUP)


def start_program(plan):
    pid = os.fork()
    if pid:
        return pid
    try:
        os.chroot(plan["root"])
        os.chdir("/")
        os.setpgid(0, 0)
        if os.isatty(0):
            try:
                os.tcsetpgrp(0, os.getpgrp())
            except OSError:
                pass
        if plan.get("stderr"):
            fd = os.open(plan["stderr"], os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
            os.dup2(fd, 2)
            os.close(fd)
        for sig in (signal.SIGINT, signal.SIGQUIT, signal.SIGTSTP, signal.SIGTTOU,
                    signal.SIGTTIN, signal.SIGPIPE, signal.SIGHUP):
            signal.signal(sig, signal.SIG_DFL)
        signal.pthread_sigmask(signal.SIG_SETMASK, [])
        argv = program_argv(plan)
        os.execve(argv[0], argv, program_env(plan))
    except BaseException as e:  # noqa: BLE001 - the child must never return
        os.write(2, f"boardsim: cannot start the program: {e}\n".encode())
    os._exit(127)


class UsbAgent:
    """Mounts the stick at /mnt/usb and creates /tmp/usb once its delay is over."""

    def __init__(self, plan):
        self.root = Path(plan["root"])
        self.stick = Path(plan["board"]) / "usb"
        delay = plan.get("usb_delay")
        self.due = None if delay is None else time.monotonic() + float(delay)

    def timeout(self, now):
        return None if self.due is None else max(0.0, self.due - now)

    def poll(self, now):
        if self.due is None or now < self.due:
            return
        self.due = None
        self.stick.mkdir(exist_ok=True)
        bind(self.stick, self.root / "mnt/usb")
        (self.root / "tmp/usb").touch()
        log_tool(self.stick.parent, "usb-agent mounted /mnt/usb")


def log_tool(board, line):
    with open(Path(board) / "log/tools.log", "a") as f:
        f.write(line + "\n")


def end_board():
    """Ends every other process of the board (dhclient daemons included)."""
    try:
        os.kill(-1, signal.SIGKILL)
    except ProcessLookupError:
        pass
    while True:
        try:
            os.waitpid(-1, 0)
        except ChildProcessError:
            return


def supervise(plan, main_pid):
    """Waits for the program's end, a reset or a power cut; gives the status."""
    agent = UsbAgent(plan)
    reset_deadline = None
    while True:
        now = time.monotonic()
        waits = [t for t in (agent.timeout(now),
                             None if reset_deadline is None else max(0.0, reset_deadline - now))
                 if t is not None]
        info = signal.sigtimedwait(WATCHED, min(waits)) if waits else signal.sigwaitinfo(WATCHED)
        now = time.monotonic()
        agent.poll(now)
        if info is None:
            if reset_deadline is not None and now >= reset_deadline:
                return None
            continue
        if info.si_signo == signal.SIGTERM and reset_deadline is None:
            note_reset(plan)
            reset_deadline = now + RESET_GRACE
        elif info.si_signo in (signal.SIGUSR1, signal.SIGUSR2, signal.SIGHUP):
            return None
        elif info.si_signo == signal.SIGCHLD:
            status = reap(main_pid)
            if status is not None:
                return status


def note_reset(plan):
    """SIGTERM to init is a reboot request (busybox's reboot applet, which
    the shell prefers to PATH, sends it; so does the reboot fake, after
    logging its own line)."""
    state = Path(plan["board"]) / "state"
    if not (state / "mark-reset").exists():
        log_tool(plan["board"], "reboot")
        (state / "mark-reset").write_text("reset\n")


def reap(main_pid):
    """Collects ended children; the main program's wait status when it ended."""
    while True:
        try:
            pid, status = os.waitpid(-1, os.WNOHANG)
        except ChildProcessError:
            return None
        if pid == 0:
            return None
        if pid == main_pid:
            return status


def power_off_reason(state, status):
    if (state / "mark-power-cut").exists():
        return "power-cut"
    if (state / "mark-reset").exists():
        return "reset"
    if status is None:
        return "power-off"
    return "app-exit" if (state / "mark-app").exists() else "exit"


def exit_code(status):
    if status is None:
        return -9
    if os.WIFEXITED(status):
        return os.WEXITSTATUS(status)
    return -os.WTERMSIG(status)


def record(plan, status):
    state = Path(plan["board"]) / "state"
    reason = power_off_reason(state, status)
    code = exit_code(status)
    (state / "last_status").write_text(f"{code}\n")
    (state / "last_power_off").write_text(f"{reason}\n")
    return reason, code


def _note_signal(signo, frame):
    pass


def main(argv):
    plan = json.loads(Path(argv[1]).read_text())
    for sig in (signal.SIGINT, signal.SIGQUIT, signal.SIGTSTP, signal.SIGTTOU, signal.SIGTTIN):
        signal.signal(sig, signal.SIG_IGN)
    # A namespace's init only receives the signals it has a handler for;
    # they stay blocked and are taken with sigtimedwait.
    for sig in WATCHED:
        signal.signal(sig, _note_signal)
    signal.pthread_sigmask(signal.SIG_BLOCK, WATCHED)
    if os.getpid() != 1:
        sys.exit("boardsim sandbox: must run as PID 1 of its own PID namespace")
    subprocess.run(["/usr/bin/ip", "link", "set", "lo", "up"], stderr=subprocess.DEVNULL,
                   check=False)
    try:
        BoardRoot(plan).build()
    except OSError as e:
        # Told on the console and in state/, so a test sees why nothing ran.
        print(f"boardsim sandbox: cannot build the board's file system: {e}", file=sys.stderr)
        state = Path(plan["board"]) / "state"
        (state / "last_status").write_text("-1\n")
        (state / "last_power_off").write_text("sandbox-error\n")
        sys.exit(125)
    main_pid = start_program(plan)
    status = supervise(plan, main_pid)
    end_board()
    reason, code = record(plan, status)
    sys.exit(0 if reason == "reset" else (code if code >= 0 else 128 - code))


if __name__ == "__main__":
    main(sys.argv)

"""The network lab: a real Ethernet segment for the simulated board.

The board gets an ``eth0``: one end of a veth pair in a network namespace
of its own (the sandbox enters it); the other end, ``lab0``, sits in a lab
namespace holding a real TFTP server (tftpd-hpa's in.tftpd) and a real DHCP
server (dnsmasq). Only 192.0.2.0/24 addresses are used and nothing leaves
the two namespaces.

    lab = NetLab(board)                  # or NetLab(folder=...)
    netns = lab.start()                  # the board-side namespace path
    lab.netns                            # the same, while it runs
    lab.put("image.bin", data)           # a file the TFTP server serves
    lab.link_down(); lab.link_up()       # carrier on the board's eth0
    lab.tftp_stop(); lab.tftp_start(from_attempt=2)
    lab.board_addresses()                # IPv4 addresses on the board's eth0
    lab.stop()

The lab runs as the first process of its own PID namespace (this file run
as a program), so its servers end with it whatever happens to the test; the
board namespace is held by a process that dies with the test process.

With ``net=lab`` in board.conf the board's power-on calls ``start(board)``
and, at power-off, the lab's ``stop()``. A test that wants a lab of another
kind, or to control it while the board runs, makes it first with
``lab_for(board, ...)``; ``start(board)`` then starts that one.
"""

from __future__ import annotations

import ctypes
import json
import os
import pathlib
import select
import signal
import socket
import subprocess
import sys
import time

LAB_ADDR = "192.0.2.1"
LAB_PREFIX = 24
DHCP_FIRST = "192.0.2.100"
DHCP_LAST = "192.0.2.149"
TFTP_PORT = 69

_PR_SET_PDEATHSIG = 1


def _die_with_parent():
    """preexec_fn: the child gets SIGKILL when the test process goes."""
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(_PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)


class NetLabError(RuntimeError):
    pass


class NetLab:
    """Test-side handle on the lab; see the module text."""

    def __init__(self, board=None, folder=None, dhcp=True, tftp=True, eth0="veth",
                 tftp_from_attempt=1):
        if folder is None:
            if board is None:
                raise ValueError("NetLab needs a board or a folder")
            folder = pathlib.Path(board.path) / "lab"
        self.folder = pathlib.Path(folder)
        self.tftp_root = self.folder / "tftp"
        self.dhcp = dhcp
        self.tftp = tftp
        self.tftp_from_attempt = tftp_from_attempt
        # "veth": the board's eth0 is joined to the lab; "ifb": eth0 is an
        # interface without a link state (its ethtool link request fails);
        # "none": the board namespace has no eth0 at all.
        self.eth0 = eth0
        self._holder = None
        self._lab = None

    # -- life cycle ---------------------------------------------------------
    def start(self):
        """Makes both namespaces and starts the servers; returns the path of
        the board's network namespace (for setns/nsenter)."""
        if self._holder is not None:
            return self.netns_path
        self.folder.mkdir(parents=True, exist_ok=True)
        self.tftp_root.mkdir(exist_ok=True)
        # in.tftpd serves as an unprivileged user from its chroot.
        os.chmod(self.tftp_root, 0o755)
        self._holder = subprocess.Popen(
            ["unshare", "--net", "--", "sleep", "infinity"],
            stdin=subprocess.DEVNULL, preexec_fn=_die_with_parent)
        self._wait_for_own_netns(self._holder.pid)
        self._board_exec(["ip", "link", "set", "lo", "up"])
        if self.eth0 == "ifb":
            self._board_exec(["ip", "link", "add", "eth0", "type", "ifb"])
        if self.eth0 != "veth":
            return self.netns_path
        self._lab = subprocess.Popen(
            ["unshare", "--net", "--pid", "--fork", "--kill-child", "--",
             sys.executable, os.path.abspath(__file__), "serve",
             json.dumps({"board_netns": self.netns_path, "folder": str(self.folder),
                         "dhcp": self.dhcp, "tftp": self.tftp,
                         "tftp_from_attempt": self.tftp_from_attempt})],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1,
            preexec_fn=_die_with_parent)
        self._reply(timeout=20)
        return self.netns_path

    def stop(self):
        """Ends the servers and both namespaces (the veth pair goes with them)."""
        if self._lab is not None:
            try:
                self._lab.stdin.close()
            except OSError:
                pass
            try:
                self._lab.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self._lab.kill()
                self._lab.wait()
            self._lab = None
        if self._holder is not None:
            self._holder.kill()
            self._holder.wait()
            self._holder = None

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()

    @property
    def netns_path(self):
        return f"/proc/{self._holder.pid}/ns/net"

    @property
    def netns(self):
        """The board's namespace path while the lab runs, else None."""
        return self.netns_path if self._holder is not None else None

    @property
    def running(self):
        return self._holder is not None

    # -- what the lab offers ------------------------------------------------
    def put(self, name, data):
        """Places a file in the TFTP server's folder; returns its path."""
        self.tftp_root.mkdir(parents=True, exist_ok=True)
        path = self.tftp_root / name
        path.write_bytes(data)
        os.chmod(path, 0o644)
        return path

    def link_down(self):
        self._command("link down")

    def link_up(self):
        self._command("link up")

    def tftp_stop(self):
        self._command("tftp stop")

    def tftp_start(self, from_attempt=1):
        """(Re)starts the TFTP server. With from_attempt N the requests of the
        first N-1 clients (each run of a TFTP client is one client, by its
        source port) go unanswered; the Nth client is served."""
        self._command(f"tftp start {int(from_attempt)}")

    def tftp_clients(self):
        """How many TFTP clients the server's gate has seen (served or not)."""
        return int(self._command("tftp clients"))

    def dhcp_stop(self):
        self._command("dhcp stop")

    def dhcp_start(self):
        self._command("dhcp start")

    def leases(self):
        """The DHCP server's lease lines."""
        path = self.folder / "dnsmasq.leases"
        return path.read_text().splitlines() if path.exists() else []

    # -- looking at the board's side ----------------------------------------
    def board_exec(self, argv):
        """Runs a host command inside the board's namespace; its output."""
        return self._board_exec(argv).stdout

    def board_addresses(self):
        """IPv4 addresses with prefix ("192.0.2.10/24") on the board's eth0."""
        out = self._board_exec(["ip", "-j", "-4", "addr", "show", "dev", "eth0"],
                               check=False).stdout
        found = []
        for link in json.loads(out or "[]"):
            for info in link.get("addr_info", []):
                found.append(f"{info['local']}/{info['prefixlen']}")
        return found

    def board_routes(self):
        return self._board_exec(["ip", "-4", "route", "show"]).stdout.splitlines()

    def board_link(self):
        """The board's eth0 as `ip -j link` sees it (flags, operstate)."""
        out = self._board_exec(["ip", "-j", "link", "show", "dev", "eth0"]).stdout
        return json.loads(out)[0]

    def lab_exec(self, argv, check=False, timeout=30):
        """Runs a host command on the lab's side of the link (where the
        servers run, 192.0.2.1); its CompletedProcess."""
        if self._lab is None:
            raise NetLabError("the lab is not running")
        return subprocess.run(["nsenter", f"--net=/proc/{self._lab.pid}/ns/net", "--"] +
                              list(argv), capture_output=True, text=True, check=check,
                              timeout=timeout)

    # -- plumbing -----------------------------------------------------------
    def _board_exec(self, argv, check=True):
        return subprocess.run(["nsenter", f"--net={self.netns_path}", "--"] + list(argv),
                              capture_output=True, text=True, check=check, timeout=30)

    @staticmethod
    def _wait_for_own_netns(pid):
        mine = os.readlink("/proc/self/ns/net")
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            try:
                if os.readlink(f"/proc/{pid}/ns/net") != mine:
                    return
            except FileNotFoundError:
                break
            time.sleep(0.01)
        raise NetLabError("the board's network namespace did not come up")

    def _command(self, line):
        if self._lab is None:
            raise NetLabError("the lab is not running")
        self._lab.stdin.write(line + "\n")
        self._lab.stdin.flush()
        return self._reply(timeout=20)

    def _reply(self, timeout):
        ready, _, _ = select.select([self._lab.stdout], [], [], timeout)
        line = self._lab.stdout.readline() if ready else ""
        if not line.startswith("ok"):
            raise NetLabError(f"lab: {line.strip() or 'no answer'}")
        return line[2:].strip()


# ---------------------------------------------------------------------------
# The board's seam: one lab per board directory.

_labs = {}


def lab_for(board, **options):
    """The lab of this board, made with these options (NetLab's) when the
    board has none yet or options are given; not started."""
    key = str(pathlib.Path(board.path).resolve())
    lab = _labs.get(key)
    if lab is None or options:
        if lab is not None:
            lab.stop()
        lab = NetLab(board, **options)
        _labs[key] = lab
    return lab


def start(board):
    """Called by the board at power-on with net=lab: starts its lab."""
    lab = lab_for(board)
    lab.start()
    return lab


def stop(board):
    lab = _labs.get(str(pathlib.Path(board.path).resolve()))
    if lab is not None:
        lab.stop()


# ---------------------------------------------------------------------------
# The lab side: first process of the lab's PID and network namespaces.


class _Lab:
    def __init__(self, conf):
        self.board_netns = conf["board_netns"]
        self.folder = pathlib.Path(conf["folder"])
        self.tftp_root = self.folder / "tftp"
        self.tftpd = None
        self.gate = None
        self.gate_clients = []
        self.serve_from = 1
        self.dnsmasq = None
        self.log = open(self.folder / "lab.log", "a", buffering=1)

    def note(self, text):
        self.log.write(f"{time.strftime('%H:%M:%S')} {text}\n")

    @staticmethod
    def sh(*argv):
        subprocess.run(list(argv), check=True, capture_output=True, timeout=30)

    def plumb(self):
        self.sh("ip", "link", "set", "lo", "up")
        self.sh("ip", "link", "add", "lab0", "type", "veth", "peer", "name", "eth0",
                "netns", self.board_netns)
        self.sh("ip", "addr", "add", f"{LAB_ADDR}/{LAB_PREFIX}", "dev", "lab0")
        self.sh("ip", "link", "set", "lab0", "up")

    # TFTP: the lab holds the server's socket itself. A gate peeks at each
    # request: those of clients not yet to be served are read and dropped;
    # the first one to serve stays queued and the socket is handed to
    # in.tftpd (its inetd mode), which then answers it and every later one.
    def tftp_start(self, from_attempt):
        self.tftp_stop()
        self.gate = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.gate.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.gate.bind((LAB_ADDR, TFTP_PORT))
        self.gate_clients = []
        self.serve_from = max(1, from_attempt)
        if self.serve_from == 1:
            self.hand_over_tftp()

    def hand_over_tftp(self):
        self.tftpd = subprocess.Popen(
            ["in.tftpd", "-t", "3600", "-s", str(self.tftp_root)],
            stdin=self.gate.fileno(), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            start_new_session=True)
        self.note(f"tftp served by in.tftpd pid {self.tftpd.pid}")

    def tftp_gate_step(self):
        """One waiting request, while the gate still holds the socket."""
        _, client = self.gate.recvfrom(2048, socket.MSG_PEEK)
        if client not in self.gate_clients:
            self.gate_clients.append(client)
            self.note(f"tftp client {len(self.gate_clients)} {client[0]}:{client[1]}")
        if self.gate_clients.index(client) + 1 >= self.serve_from:
            self.hand_over_tftp()
        else:
            self.gate.recvfrom(2048)

    def tftp_stop(self):
        if self.tftpd is not None:
            try:
                os.killpg(self.tftpd.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self.tftpd.wait()
            self.tftpd = None
        if self.gate is not None:
            self.gate.close()
            self.gate = None

    def dhcp_start(self):
        self.dhcp_stop()
        self.dnsmasq = subprocess.Popen(
            ["dnsmasq", "--keep-in-foreground", "--conf-file=/dev/null", "--port=0",
             "--no-ping", "--no-hosts", "--no-resolv", "--interface=lab0", "--bind-interfaces",
             f"--dhcp-range={DHCP_FIRST},{DHCP_LAST},255.255.255.0,1h",
             f"--dhcp-option=option:router,{LAB_ADDR}",
             f"--dhcp-leasefile={self.folder / 'dnsmasq.leases'}", "--pid-file=",
             "--user=", "--group=", "--dhcp-authoritative",
             f"--log-facility={self.folder / 'dnsmasq.log'}", "--log-dhcp"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.note(f"dnsmasq pid {self.dnsmasq.pid}")

    def dhcp_stop(self):
        if self.dnsmasq is not None:
            self.dnsmasq.kill()
            self.dnsmasq.wait()
            self.dnsmasq = None

    def command(self, line):
        words = line.split()
        if words == ["link", "down"]:
            self.sh("ip", "link", "set", "lab0", "down")
        elif words == ["link", "up"]:
            self.sh("ip", "link", "set", "lab0", "up")
        elif words[:2] == ["tftp", "start"]:
            self.tftp_start(int(words[2]) if len(words) > 2 else 1)
        elif words == ["tftp", "stop"]:
            self.tftp_stop()
        elif words == ["tftp", "clients"]:
            return str(len(self.gate_clients))
        elif words == ["dhcp", "start"]:
            self.dhcp_start()
        elif words == ["dhcp", "stop"]:
            self.dhcp_stop()
        else:
            raise ValueError(f"unknown command {line!r}")
        return ""

    def run(self, conf):
        self.plumb()
        if conf.get("tftp", True):
            self.tftp_start(int(conf.get("tftp_from_attempt", 1)))
        if conf.get("dhcp", True):
            self.dhcp_start()
        self.answer("")
        while True:
            watched = [sys.stdin]
            if self.gate is not None and self.tftpd is None:
                watched.append(self.gate)
            ready, _, _ = select.select(watched, [], [])
            if self.gate in ready and self.tftpd is None:
                self.tftp_gate_step()
            if sys.stdin in ready:
                line = sys.stdin.readline()
                if not line:
                    break
                try:
                    self.answer(self.command(line))
                except (ValueError, OSError, subprocess.SubprocessError) as err:
                    print(f"error {err}", flush=True)
        self.tftp_stop()
        self.dhcp_stop()

    @staticmethod
    def answer(text):
        print(f"ok {text}".rstrip(), flush=True)


def _serve(conf_text):
    conf = json.loads(conf_text)
    lab = _Lab(conf)
    try:
        lab.run(conf)
    except (OSError, subprocess.SubprocessError) as err:
        print(f"error {err}", flush=True)
        raise SystemExit(1)


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "serve":
        _serve(sys.argv[2])
    else:
        raise SystemExit("usage: netlab.py serve CONF-JSON (run by NetLab)")

"""The far end of an Xmodem transfer to the board's console: a scripted
sender for the cases a real sender never produces, and a relay that runs
lrzsz's real `sx` (optionally over a noisy line)."""

import os
import pty
import random
import re
import select
import shutil
import signal
import subprocess
import time
import tty

SOH, STX, EOT, ACK, NAK, CAN = 0x01, 0x02, 0x04, 0x06, 0x15, 0x18
INVITE = ord("C")
FILL = 0x1A

SX = shutil.which("sx") or "/usr/bin/sx"


def crc16(data, crc=0):
    """CRC-16/XMODEM, bit by bit (independent of the receiver's table)."""
    for b in data:
        crc ^= b << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021) if crc & 0x8000 else (crc << 1)
            crc &= 0xFFFF
    return crc


def block(number, data, size=1024, bad_crc=False, complement=None):
    """One block on the wire: header, number, complement, data, CRC."""
    data = bytes(data).ljust(size, bytes([FILL]))
    assert len(data) == size
    crc = crc16(data) ^ (0x0101 if bad_crc else 0)
    comp = (255 - (number & 0xFF)) if complement is None else complement
    head = SOH if size == 128 else STX
    return bytes([head, number & 0xFF, comp & 0xFF]) + data + bytes([crc >> 8, crc & 0xFF])


def padded(data, size):
    """What the receiver stores for data sent in blocks of `size`."""
    n = -(-len(data) // size) * size if data else 0
    return data.ljust(n, bytes([FILL]))


class Line:
    """Raw access to the console master of the simulated board. Everything
    the board sends is kept in `seen` for later checks."""

    def __init__(self, fd, already=b""):
        self.fd = fd
        self.pending = bytearray(already)
        self.seen = bytearray(already)

    def _fill(self, timeout):
        r, _, _ = select.select([self.fd], [], [], max(0.0, timeout))
        if not r:
            return False
        try:
            chunk = os.read(self.fd, 65536)
        except OSError:
            return False
        self.pending += chunk
        self.seen += chunk
        return bool(chunk)

    def read_chunk(self, timeout):
        if not self.pending:
            self._fill(timeout)
        out = bytes(self.pending)
        self.pending.clear()
        return out

    def read_byte(self, timeout):
        end = time.monotonic() + timeout
        while not self.pending:
            if not self._fill(end - time.monotonic()) and time.monotonic() >= end:
                return None
        b = self.pending[0]
        del self.pending[0]
        return b

    def write(self, data):
        os.write(self.fd, bytes(data))

    def after_invitation(self, timeout):
        """Waits for an invitation sent after this call, dropping the older
        ones still unread. Before the first block the receiver invites once
        a (scaled) second: what is written right after a fresh invitation
        reaches a receiver that has just begun its wait, and an answer read
        next cannot be an invitation left over from before."""
        self.pending.clear()
        while self._fill(0):
            self.pending.clear()
        if self.reply(timeout, wanted=(INVITE,)) is None:
            raise AssertionError(f"no invitation; got {bytes(self.seen[-200:])!r}")

    def wait_text(self, text, timeout):
        """Waits until `text` has been seen in the board's output since the
        last read; what follows it stays to be read."""
        start = len(self.seen) - len(self.pending)
        end = time.monotonic() + timeout
        while (at := self.seen.find(text.encode(), start)) < 0:
            if time.monotonic() >= end:
                raise AssertionError(f"{text!r} not seen; got {bytes(self.seen[-400:])!r}")
            self._fill(end - time.monotonic())
        self.pending = bytearray(self.seen[at + len(text):])

    def reply(self, timeout, wanted=(ACK, NAK, CAN, INVITE)):
        """The next protocol byte from the receiver, skipping its notes."""
        end = time.monotonic() + timeout
        while True:
            b = self.read_byte(end - time.monotonic())
            if b is None or b in wanted:
                return b

    def collect(self, seconds):
        """Everything that arrives within `seconds`."""
        end = time.monotonic() + seconds
        got = bytearray()
        while time.monotonic() < end:
            got += self.read_chunk(end - time.monotonic())
        return bytes(got)

    def quiet(self, seconds):
        """Reads and keeps whatever arrives until `seconds` pass with nothing."""
        got = bytearray()
        while True:
            chunk = self.read_chunk(seconds)
            if not chunk:
                return bytes(got)
            got += chunk


class Noise:
    """Corrupts, drops or duplicates bytes with the given probability each,
    from a seeded generator so that a failing run can be replayed."""

    def __init__(self, rate, seed):
        self.rate = rate
        self.rng = random.Random(seed)
        self.faults = 0

    def apply(self, data):
        if not self.rate:
            return data
        out = bytearray()
        for b in data:
            if self.rng.random() >= self.rate:
                out.append(b)
                continue
            self.faults += 1
            kind = self.rng.randrange(3)
            if kind == 0:
                out.append(b ^ self.rng.randrange(1, 256))
            elif kind == 2:
                out += bytes([b, b])
        return bytes(out)


# A pause of the sender this long or longer, once blocks flow, is a receiver
# waiting out one of its time-outs before it asks for a block again.
STALL = 0.5


class SenderStream:
    """Follows what sx sends (before any noise) to know where its blocks end
    and how many EOTs it has sent outside them, and how long it stood idle
    in pauses of STALL seconds or more after its first block."""

    def __init__(self):
        self.skip = 0
        self.eots = 0
        self.blocks = 0
        self.first_block_at = None
        self.last_eot_at = None
        self.last_at = None
        self.stalled = 0.0

    def feed(self, data):
        # Byte by byte, some tens of microseconds a block: that time is part
        # of the line bench_xmodem.py measures both receivers over, and lrzsz
        # rx is sensitive to it. rx flushes its input right after each ACK;
        # the sooner the next block comes, the more often it lands before
        # that flush, and each time rx waits out a time-out and asks for the
        # block again (passed on in slices, that happens every few hundred
        # blocks).
        now = time.monotonic()
        if self.first_block_at is not None and now - self.last_at >= STALL:
            self.stalled += now - self.last_at
        self.last_at = now
        for b in data:
            if self.skip:
                self.skip -= 1
            elif b in (SOH, STX):
                self.skip = 2 + (128 if b == SOH else 1024) + 2
                self.blocks += 1
                self.first_block_at = self.first_block_at or now
            elif b == EOT:
                self.eots += 1
                self.last_eot_at = now


def open_download(line, timeout=60, every=0.3):
    """Answers the speed-change prompt with Enter, again every `every`
    seconds, until the receiver's first invitation arrives. The prompt
    itself may never be seen (the port is flushed in both directions right
    after it is printed), and its "Change the baud rate" must not pass for
    an invitation. Where the board's clock keeps real time, `every` must
    outlast its one read a second plus the receiver's start: busybox rx
    takes an Enter that arrives after its start-up flush for a bad block
    header and answers it with a NAK, which sx takes as a request for
    checksums while rx keeps to CRCs, and the transfer fails."""
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        line.write(b"\r")
        stop = time.monotonic() + every
        while time.monotonic() < stop:
            b = line.read_byte(stop - time.monotonic())
            if b != INVITE:
                continue
            follow = bytearray()
            while len(follow) < 5:
                n = line.read_byte(0.1)
                if n is None:
                    break
                follow.append(n)
            in_text = bool(follow) and b"hange".startswith(bytes(follow))
            if not in_text:
                line.pending[:0] = follow
                return
    raise AssertionError(f"no invitation; board said {bytes(line.seen[-300:])!r}")


def cancel_while_inviting(line, timeout=60):
    """Cancels the way a sender does, with two CANs, sent right after an
    invitation so that both reach the receiver's header wait rather than a
    block read. For a receiver still waiting for its first block, which
    invites without limit: sx's own cancel never arrives over a pty, as it
    flushes its output when it exits. Returns without sending when the
    receiver shows it has ended or got past its first block (an ACK, five
    CANs, or the end of download mode, seen at any time on this line)."""
    line.pending.clear()
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        # The line has carried this one transfer only: any of these, now
        # or earlier, shows that the receiver no longer invites.
        seen = line.seen
        if ACK in seen or bytes([CAN] * 5) in seen or b"Change the baud rate back" in seen:
            return
        b = line.read_byte(end - time.monotonic())
        if b == INVITE:
            follow = line.read_chunk(0.02)
            if not follow:
                line.write(bytes([CAN, CAN]))
                return
            line.pending[:0] = follow
    raise AssertionError(f"receiver neither invites nor ends; got {bytes(line.seen[-200:])!r}")


# What the port control prints while it waits for the operator's Enter:
# its speed-change requests and its reminders.
OPERATOR_WAIT = re.compile(rb"Change the baud rate|key to be hit")


def finish(line, scale=1.0, timeout=120, result=rb"Xmodem1K result (-?\d+)"):
    """Once the sender is done: presses Enter whenever the board shows that
    it waits for it (an Enter at any other moment would be a stray byte in
    the transfer), until the probe prints its result."""
    end = time.monotonic() + timeout
    pattern = re.compile(result + rb"\r?\n")
    answered = len(line.seen) - len(line.pending)
    fallback = max(30.0 * scale, 3.0)
    last_enter = time.monotonic()
    while time.monotonic() < end:
        m = pattern.search(line.seen)
        if m:
            return int(m.group(1))
        waiting = OPERATOR_WAIT.search(line.seen, answered)
        if waiting or time.monotonic() - last_enter > fallback:
            # CR: the Enter of download mode, and LF once the console's own
            # settings (CR to LF) are back.
            line.write(b"\r")
            answered = len(line.seen)
            last_enter = time.monotonic()
        line.read_chunk(0.1)
    raise AssertionError(f"no result; board said {bytes(line.seen[-300:])!r}")


def run_sx(line, path, one_k=True, noise=None, timeout=120, grace=0.5, program=SX, bps=None):
    """Relays between `sx` on its own pty and the board until sx ends, or
    the grace period after its second EOT or the receiver's cancel passes
    (time for the last answer), or the time-out passes; sx is then stopped. Returns (sx exit
    status or None, the sender stream record, bytes from the board). With
    `bps` the relay passes bytes no faster than a serial line of that speed
    (10 bits a byte) would."""
    master, slave = pty.openpty()
    tty.setraw(slave)
    args = [program, "-b", "-q"] + (["-k"] if one_k else []) + [str(path)]
    proc = subprocess.Popen(args, stdin=slave, stdout=slave, stderr=subprocess.DEVNULL,
                            start_new_session=True)
    os.close(slave)
    sent = SenderStream()
    from_board = bytearray()
    end = time.monotonic() + timeout
    stop_at = None
    sx_open = True

    def line_time(chunk):
        if bps:
            time.sleep(len(chunk) * 10.0 / bps)

    last_invite = [0.0]

    def to_sx(chunk):
        # The board's clock runs fast, so before the first block its
        # invitations come many times a second; sx takes them in chunks and
        # would answer a leftover one with a second copy of block 1. Pass
        # them at the pace of a real receiver, one a second.
        if sent.blocks == 0 and INVITE in chunk:
            now = time.monotonic()
            keep = now - last_invite[0] >= 1.0
            if keep:
                last_invite[0] = now
            first = chunk.index(INVITE)
            rest = bytes(b for b in chunk[first + 1:] if b != INVITE)
            chunk = chunk[:first] + (bytes([INVITE]) if keep else b"") + rest
        os.write(master, noise.apply(chunk) if noise else chunk)

    def to_board(chunk):
        sent.feed(chunk)
        line.write(noise.apply(chunk) if noise else chunk)
        line_time(chunk)

    try:
        while time.monotonic() < end and (stop_at is None or time.monotonic() < stop_at):
            fds = [line.fd] + ([master] if sx_open else [])
            r, _, _ = select.select(fds, [], [], 0.05)
            if line.fd in r:
                chunk = os.read(line.fd, 65536)
                line.seen += chunk
                from_board += chunk
                if sx_open:
                    to_sx(chunk)
                    line_time(chunk)
                if bytes([CAN] * 5) in from_board and stop_at is None:
                    stop_at = time.monotonic() + grace
            if master in r:
                try:
                    chunk = os.read(master, 65536)
                except OSError:
                    chunk = b""
                if chunk:
                    to_board(chunk)
                else:
                    sx_open = False
            if stop_at is None and (sent.eots >= 2 or proc.poll() is not None):
                stop_at = time.monotonic() + grace
            if not sx_open and proc.poll() is not None:
                break  # sx has ended and all it wrote has been passed on
    finally:
        status = proc.poll()
        if status is None:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
        os.close(master)
    return status, sent, bytes(from_board)

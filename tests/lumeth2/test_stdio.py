"""Frame records on the standard streams: read_exact, write_frame, emit."""

import os
import struct
import subprocess
import sys

import numpy as np
import pytest

from orvane._lumeth2 import _chain_host as m

FRAME = 720 * 416 * 3
PX_A = bytes(range(256)) * (FRAME // 256)
PX_B = bytes(reversed(PX_A))


def run_child(code, stdin=b"", unbuffered=False):
    env = {k: v for k, v in os.environ.items() if k != "PYTHONUNBUFFERED"}
    if unbuffered:  # stdout's byte layer is then the raw file, not a buffered writer
        env["PYTHONUNBUFFERED"] = "1"
    prelude = "import sys\nfrom orvane._lumeth2 import _chain_host as m\n"
    return subprocess.run([sys.executable, "-c", prelude + code], input=stdin,
                          capture_output=True, timeout=120, env=env)


@pytest.mark.parametrize("unbuffered", [False, True], ids=["buffered", "unbuffered"])
def test_records_over_a_real_pipe_are_exact(unbuffered):
    code = (
        "px_a = bytes(range(256)) * (720 * 416 * 3 // 256)\n"
        "px_b = bytes(reversed(px_a))\n"
        "m.emit([(3, px_a), (4, px_a), (258, memoryview(px_b))])\n"
        "m.emit([])\n"
        "m.write_frame(-1, b'')\n"
        "m._OUT.flush()\n"
    )
    r = run_child(code, unbuffered=unbuffered)
    assert r.returncode == 0, r.stderr
    want = (b"\x03\0\0\0" + PX_A + b"\x04\0\0\0" + PX_A + b"\x02\x01\0\0" + PX_B
            + b"\xff\xff\xff\xff")
    assert len(r.stdout) == 3 * (FRAME + 4) + 4
    assert r.stdout == want


def test_read_exact_over_a_real_pipe():
    code = (
        "got = [m.read_exact(4), m.read_exact(0), m.read_exact(4), m.read_exact(1),"
        " m.read_exact(0)]\n"
        "sys.stderr.write(repr(got))\n"
    )
    r = run_child(code, stdin=b"abcdef")
    assert r.returncode == 0, r.stderr
    assert r.stdout == b""
    # 'ef' is taken by the short read and gone: the next read finds the end
    assert r.stderr.decode() == repr([b"abcd", b"", None, None, b""])


def wait_drained(fd, what, timeout=60.0):
    """Wait until the pipe behind `fd` holds no unread bytes (the reader took them)."""
    import fcntl
    import termios
    import time

    buf = bytearray(4)
    deadline = time.monotonic() + timeout
    while True:
        fcntl.ioctl(fd, termios.FIONREAD, buf)
        if int.from_bytes(buf, sys.byteorder) == 0:
            return
        assert time.monotonic() < deadline, what
        os.sched_yield()


def wait_filled(fd, n, timeout=60.0):
    """Wait until the pipe behind `fd` holds at least `n` unread bytes."""
    import fcntl
    import termios
    import time

    buf = bytearray(4)
    deadline = time.monotonic() + timeout
    while True:
        fcntl.ioctl(fd, termios.FIONREAD, buf)
        if int.from_bytes(buf, sys.byteorder) >= n:
            return
        assert time.monotonic() < deadline, "the writer never wrote"
        os.sched_yield()


PIECES = """
import os, sys
from orvane._lumeth2 import _chain_host as m
if sys.argv[1] == "nonblocking":
    os.set_blocking(0, False)
sys.stderr.write("reading\\n")
sys.stderr.flush()
d = m.read_exact(8)
m._OUT.write(repr(d).encode())
m._OUT.flush()
"""


@pytest.mark.parametrize("mode", ["blocking", "nonblocking"])
def test_read_exact_waits_for_bytes_that_arrive_in_pieces(mode):
    # The second piece is written only once the child has taken the first and
    # waits for the rest: a reader that made one raw read, or took "nothing
    # ready" on a non-blocking input for the end, would come back short.
    env = {k: v for k, v in os.environ.items() if k != "PYTHONUNBUFFERED"}
    p = subprocess.Popen([sys.executable, "-c", PIECES, mode], stdin=subprocess.PIPE,
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    try:
        assert p.stderr.readline() == b"reading\n"
        p.stdin.write(b"abc")
        p.stdin.flush()
        wait_drained(p.stdin.fileno(), "the child never read the first piece")
        p.stdin.write(b"defgh")
        p.stdin.flush()
        out = p.stdout.read()
        assert p.wait(timeout=120) == 0, p.stderr.read()
    finally:
        p.kill()
        p.wait()
    assert out == repr(b"abcdefgh").encode()


NONBLOCKING_OUT = """
import os, sys
from orvane._lumeth2 import _chain_host as m
os.set_blocking(1, False)
px = bytes(range(256)) * (720 * 416 * 3 // 256)
m.emit([(3, px), (4, px[::-1]), (5, px)])
m.write_frame(-1, b"")
m._OUT.flush()
sys.stderr.write("done\\n")
"""


@pytest.mark.parametrize("unbuffered", [False, True], ids=["buffered", "unbuffered"])
def test_records_are_whole_on_a_nonblocking_stdout(unbuffered):
    # The parent starts reading only once pixels are in the pipe: a record's
    # 898,560 pixel bytes cannot fit a pipe, so the child's non-blocking stdout is
    # full part-way through the first record. The raw writer then takes part or
    # nothing, the buffered one raises BlockingIOError; either way every byte
    # must arrive, in order.
    env = {k: v for k, v in os.environ.items() if k != "PYTHONUNBUFFERED"}
    if unbuffered:
        env["PYTHONUNBUFFERED"] = "1"
    p = subprocess.Popen([sys.executable, "-c", NONBLOCKING_OUT], stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, env=env)
    try:
        wait_filled(p.stdout.fileno(), 4096)
        out = p.stdout.read()
        status = p.wait(timeout=120)
        err = p.stderr.read()
    finally:
        p.kill()
        p.wait()
    assert status == 0 and err.endswith(b"done\n"), err
    px = bytes(range(256)) * (FRAME // 256)
    assert out == b"\x03\0\0\0" + px + b"\x04\0\0\0" + px[::-1] + b"\x05\0\0\0" + px + b"\xff" * 4


class Out:
    def __init__(self, fail_on=None):
        self.calls = []
        self.fail_on = fail_on

    def write(self, b):
        if self.fail_on is not None and len(self.calls) == self.fail_on:
            raise BrokenPipeError(32, "Broken pipe")
        self.calls.append(("write", b))
        return len(b)

    def flush(self):
        self.calls.append(("flush",))


@pytest.fixture
def out(monkeypatch):
    o = Out()
    monkeypatch.setattr(m, "_OUT", o)
    return o


def test_emit_writes_index_then_callers_pixels_and_flushes_once(out):
    view = memoryview(PX_B)
    m.emit([(3, PX_A), (4, PX_A), (5, view)])
    kinds = [c[0] for c in out.calls]
    assert kinds == ["write"] * 6 + ["flush"]
    assert [bytes(c[1]) for c in out.calls[0::2][:3]] == [b"\x03\0\0\0", b"\x04\0\0\0", b"\x05\0\0\0"]
    # the pixel objects go out as they are: never copied or joined with the index
    assert out.calls[1][1] is PX_A and out.calls[3][1] is PX_A and out.calls[5][1] is view


def test_emit_of_an_empty_list_writes_and_flushes_nothing(out):
    m.emit([])
    assert out.calls == []


@pytest.mark.parametrize(
    "idx,head",
    [
        (3, b"\x03\0\0\0"),
        (258, b"\x02\x01\0\0"),
        (-1, b"\xff\xff\xff\xff"),
        (2**31 - 1, b"\xff\xff\xff\x7f"),
        (-(2**31), b"\0\0\0\x80"),
        (np.int64(7), b"\x07\0\0\0"),
    ],
)
def test_index_encoding(out, idx, head):
    m.write_frame(idx, b"px")
    assert out.calls == [("write", head), ("write", b"px")]


@pytest.mark.parametrize("idx", [2**31, -(2**31) - 1, 2**80, 1.5])
def test_index_outside_int32_fails_before_the_record(out, idx):
    with pytest.raises(struct.error):
        m.emit([(3, PX_A), (idx, PX_A)])
    # the record before it stays written, nothing of the bad one, no flush
    assert out.calls == [("write", b"\x03\0\0\0"), ("write", PX_A)]


def test_write_errors_reach_the_caller(monkeypatch):
    o = Out(fail_on=1)
    monkeypatch.setattr(m, "_OUT", o)
    with pytest.raises(BrokenPipeError):
        m.emit([(3, PX_A)])


@pytest.mark.parametrize("frames,exc", [([(3,)], ValueError), ([(3, b"", 1)], ValueError), ([3], TypeError)])
def test_emit_refuses_records_that_are_not_pairs(out, frames, exc):
    with pytest.raises(exc):
        m.emit(frames)


def test_read_exact_uses_the_current_input(monkeypatch):
    class In:
        def __init__(self, answers):
            self.answers = list(answers)
            self.asked = []

        def read(self, n):
            self.asked.append(n)
            return self.answers.pop(0)

    src = In([b"1234", None, b"12"])
    monkeypatch.setattr(m, "_IN", src)
    assert m.read_exact(4) == b"1234"
    assert m.read_exact(4) is None  # a non-blocking stream with nothing ready
    assert m.read_exact(4) is None  # short
    assert src.asked == [4, 4, 4]  # one request each, never a retry


def test_emit_goes_through_a_rebound_write_frame(monkeypatch, out):
    seen = []
    monkeypatch.setattr(m, "write_frame", lambda k, d: seen.append((k, d)))
    m.emit([(3, b"a"), (4, b"b")])
    assert seen == [(3, b"a"), (4, b"b")]
    assert out.calls == [("flush",)]


@pytest.mark.parametrize("n,exc", [(-1, ValueError), (-(2**70), ValueError), (None, TypeError),
                                   ("4", TypeError), (4.0, TypeError)])
def test_read_exact_refuses_bad_counts_before_reading(monkeypatch, n, exc):
    # a negative count would otherwise read the whole input, None all of it too
    class In:
        def read(self, k):
            raise AssertionError("the stream was read")

    monkeypatch.setattr(m, "_IN", In())
    with pytest.raises(exc):
        m.read_exact(n)


class RawOut(Out):
    """A raw writer that takes at most `take` bytes per call, as a pipe write cut by a signal does."""

    def __init__(self, take):
        super().__init__()
        self.take = take
        self.data = bytearray()

    def write(self, b):
        b = memoryview(b).cast("B")[: self.take]
        self.data += b
        self.calls.append(("write", len(b)))
        return len(b)


@pytest.mark.parametrize("take", [1, 3, 4096, FRAME - 1])
def test_short_writes_of_a_raw_stream_are_completed(monkeypatch, take):
    raw = RawOut(take)
    monkeypatch.setattr(m, "_OUT", raw)
    px = np.arange(FRAME // 4, dtype=np.float32)  # a buffer whose items are not bytes
    m.emit([(3, PX_A[:1000]), (258, memoryview(px))])
    assert bytes(raw.data) == b"\x03\0\0\0" + PX_A[:1000] + b"\x02\x01\0\0" + px.tobytes()
    assert raw.calls[-1] == ("flush",)


SIGNAL_IN_WAIT = """
import os, signal, sys, threading
from orvane._lumeth2 import _chain_host as m

class Ended(Exception):
    pass

def handler(signum, frame):
    raise Ended()

signal.signal(signal.SIGUSR1, handler)
main_tid = threading.get_native_id()
waiting = {7, 271}  # poll, ppoll on x86-64

def sender():
    # The signal goes to this thread, so the main thread's wait is not interrupted:
    # only a wait that looks for pending handlers by itself ever ends.
    signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGUSR1})
    for _ in range(200000):
        with open(f"/proc/self/task/{main_tid}/syscall") as f:
            if f.read().split()[0] in {str(n) for n in waiting}:
                break
        os.sched_yield()
    os.kill(os.getpid(), signal.SIGUSR1)

signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGUSR1})
t = threading.Thread(target=sender)
t.start()
os.set_blocking(0, False)
try:
    m.read_exact(8)
except Ended:
    print("ended")
"""


@pytest.mark.skipif(os.uname().machine != "x86_64", reason="reads x86-64 system call numbers")
def test_a_signal_that_does_not_interrupt_the_input_wait_still_runs_its_handler():
    r, w = os.pipe()
    try:
        out = subprocess.run([sys.executable, "-c", SIGNAL_IN_WAIT], stdin=r, capture_output=True, timeout=60)
    finally:
        os.close(r)
        os.close(w)
    assert out.stdout == b"ended\n", out.stderr.decode()[-2000:]

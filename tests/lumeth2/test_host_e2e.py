"""The host as a program: generated models packed as a directory, QVX and zip bundle, a
parent speaking the frame protocol over real pipes."""
import hashlib
import json
import os
import subprocess

import numpy as np
import pytest

from lumeth2_bundle_pack import FORMS, write_bundle
from orvane._lumeth2 import _chain_host as ch
from orvane._lumeth2._client import FRAME_BYTES, RESET, HostClient, HostError, block, host_command, isolated_env

TAG = "[render-stream-chain-host] "
SPC, WIN = 25600, 44000
READY_NULL = b'READY {"fps":20,"width":416,"height":720,"sample_rate":16000,"color":null}\n'


def speech(n, seed=0):
    rng = np.random.default_rng(seed)
    t = np.arange(n) / 16000
    return (0.3 * np.sin(2 * np.pi * 140 * t) * (0.5 + 0.5 * np.sin(2 * np.pi * 4 * t))
            + 0.02 * rng.standard_normal(n)).astype(np.float32)


@pytest.fixture
def run_env(tmp_path):
    stage = tmp_path / "stage"
    stage.mkdir()
    env = isolated_env(tmp_path, stage)
    return env, stage


@pytest.fixture
def start():
    """Start hosts that are killed at teardown whatever the test did with them."""
    hosts = []

    def start(bundle, *args, env):
        hosts.append(HostClient(bundle, *args, env=env))
        return hosts[-1]

    yield start
    for h in hosts:
        h.kill()


def finish(h):
    """End the input; (status, output nobody read, standard error)."""
    status = h.close()
    return status, h.rest(), h.stderr_text().encode()


def refused(bundle, env):
    """A host that ends before its READY line: (status, standard error)."""
    with pytest.raises(HostError, match="did not start") as e:
        HostClient(bundle, env=env)
    return e.value.status, e.value


def members(l2_models, **extra):
    m = {"canon.bin": np.zeros(74880, "<f4").tobytes(),
         "combined_litert.tflite": l2_models["combined"].read_bytes()}
    m.update(extra)
    return m


def ours(err):
    """The host's own log lines (LiteRT writes lines of its own to standard error)."""
    return [ln for ln in err.decode().splitlines() if ln.startswith(TAG)]


def idx(recs):
    return [i for i, _ in recs]


def in_order(lines, *prefixes):
    """The first line starting with each prefix, in that order, wherever they stand: the
    host may add lines between them (a thread-cap line on a machine with few cores)."""
    found, at = [], 0
    for p in prefixes:
        at = next(i for i in range(at, len(lines)) if lines[i].startswith(p))
        found.append(lines[at])
        at += 1
    return found


@pytest.mark.parametrize("form", FORMS)
def test_stream_end_to_end(tmp_path, l2_models, run_env, form, start):
    env, stage = run_env
    bundle = write_bundle(form, tmp_path / "bundle", members(l2_models))
    h = start(bundle, "--threads", "2", env=env)
    assert h.ready == {"fps": 20, "width": 416, "height": 720, "sample_rate": 16000, "color": None}
    assert h.ready_line == READY_NULL
    pcm = speech(3 * SPC + WIN)

    h.feed(pcm[:SPC])  # chunk 0: 21 frames, the first one twice
    first = h.records(22)
    assert idx(first) == list(range(3, 25))
    assert first[0][1] == first[1][1] and all(len(d) == 720 * 416 * 3 for _, d in first)
    h.feed(pcm[SPC:WIN])  # chunk 1
    assert idx(h.records(32)) == list(range(25, 57))
    h.feed(pcm[WIN:WIN + SPC])  # chunk 2
    assert idx(h.records(32)) == list(range(57, 89))
    h.feed(pcm[WIN + SPC:WIN + SPC + 1000])  # not a whole chunk: nothing yet
    h.flush()
    tail = h.until_end()  # the rest, zero-padded, then -1
    assert idx(tail) == list(range(89, 121))
    h.send(RESET)
    h.feed(pcm[:SPC])
    assert idx(h.records(22)) == list(range(3, 25))
    status, rest, err = finish(h)

    assert status == 0 and rest == b""
    lines = ours(err)
    assert lines[0] == TAG + "warming up identity=" + os.path.abspath(bundle) + " threads=2 ..."
    colour, ready = in_order(lines, TAG + "colour-correct:", TAG + "ready ")
    assert colour.startswith(TAG + "colour-correct: NOT APPLIED \u2014 this container carries no color.json.")
    assert ready == TAG + "ready 416x720 @20fps  model=combined_litert.tflite"
    assert lines[-1] == TAG + "stdin closed \u2014 exiting"
    assert list(stage.iterdir()) == []  # staged model copies are gone


def test_split_bundle_with_colour_and_desync(tmp_path, l2_models, run_env, start):
    env, stage = run_env
    rows = [list(range(256)), [255 - i for i in range(256)], list(range(256))]
    bundle = write_bundle("zip", tmp_path / "bundle", {
        "canon.bin": np.zeros(74880, "<f4").tobytes(),
        "identity.tflite": l2_models["split_id"].read_bytes(),
        "shared-enc.tflite": l2_models["split_enc"].read_bytes(),
        "color.json": json.dumps({"lut": rows}).encode(),
    })
    h = start(bundle, env=dict(env, LIBQUARO_THREADS="2"))
    ready = h.ready
    assert ready["color"] == {"kind": "lut", "sha256": hashlib.sha256(np.asarray(rows, np.uint8).tobytes()).hexdigest()}
    h.feed(np.zeros(SPC, np.float32))
    assert idx(h.records(22)) == list(range(3, 25))
    h.send((0x01000001).to_bytes(4, "little"))
    status, rest, err = finish(h)
    assert status == 1 and rest == b""
    lines = [ln[len(TAG):] for ln in ours(err)]
    base, enc, colour, ready = in_order(lines, "two-artifact split: base", "two-artifact split: enc=",
                                        "colour-correct:", "ready ")
    assert base.startswith("two-artifact split: base UNVERIFIED")
    assert colour.startswith("colour-correct: APPLIED \u2014 per-channel LUT")
    assert ready == "ready 416x720 @20fps  model=shared-enc.tflite+identity.tflite"
    assert lines[-1] == "bad step size 16777217 \u2014 protocol desync"
    assert list(stage.iterdir()) == []


def test_missing_signature_ends_start_up_before_ready(tmp_path, l2_models, run_env, start):
    env, stage = run_env
    bundle = write_bundle("qvx", tmp_path / "bundle", dict(members(l2_models),
                          **{"combined_litert.tflite": l2_models["no_dec8"].read_bytes()}))
    status, e = refused(bundle, env)
    assert status != 0 and e.fatal is None
    assert "LiteRT chain missing signature(s) " in str(e) and "FATAL" not in str(e)
    assert list(stage.iterdir()) == []  # the exit hook removed the staged copy


def test_demo_script_writes_a_frame_strip(tmp_path):
    import subprocess
    import sys

    tools = os.path.join(os.path.dirname(__file__), "..", "..", "tools")
    out = tmp_path / "strip.png"
    r = subprocess.run([sys.executable, os.path.join(tools, "demo.py"), "--seconds", "1", "--out", str(out)],
                       capture_output=True, timeout=300)
    assert r.returncode == 0, r.stderr[-2000:]
    assert out.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert b"rendered 22 frames" in r.stdout  # 1 s of audio: the flushed first chunk


def test_bundle_fault_after_staging_leaves_no_temp_file(tmp_path, run_env, start):
    """R5 after the bundle's own (wrong) shared encoder was staged out of a container:
    status 3, one FATAL line, and the exit hook removes the staged copy."""
    env, stage = run_env
    want = hashlib.sha256(b"the right base").hexdigest()
    manifest = json.dumps({"dependencies": [{"id": "lumeth2-shared-enc", "sha256": want}]}).encode()
    bundle = write_bundle("qvx", tmp_path / "bundle", {
        "canon.bin": np.zeros(74880, "<f4").tobytes(), "identity.tflite": b"id",
        "shared-enc.tflite": b"a different base", "manifest.json": manifest})
    status, e = refused(bundle, env)
    assert status == 3
    # The error carries the host's FATAL line.
    assert e.fatal.startswith(TAG + "FATAL: " + bundle + " was cut against shared-enc.tflite")
    assert str(e) == "the render-stream host did not start (status 3): " + e.fatal
    staged = e.fatal.split("Resolution: ")[1].split(" (co-located in the bundle): sha mismatch")[0]
    assert staged.startswith(str(stage)) and staged.endswith("_shared-enc.tflite")
    assert list(stage.iterdir()) == []


def test_records_equal_an_in_process_renderer_fed_the_same_samples(tmp_path, l2_models, run_env, start):
    """The program's bytes over real pipes against a Renderer in this process: a serve loop
    that dropped, shifted or byte-swapped samples, or wrote other pixels, would differ."""
    env, _ = run_env
    rows = [[(i * 7 + c * 40) % 256 for i in range(256)] for c in range(3)]
    colour = json.dumps({"lut": rows}).encode()
    bundle = write_bundle("zip", tmp_path / "bundle", members(l2_models, **{"color.json": colour}))
    pcm = speech(3 * SPC + WIN + 5000, seed=7)
    cuts = [0, 1, 4097, SPC - 3, SPC + 5, WIN + 11, 2 * SPC + WIN - 5, len(pcm)]  # blocks of uneven sizes
    blocks = [pcm[a:b] for a, b in zip(cuts, cuts[1:])]

    renderer = ch.Renderer(ch.LitertChain([str(l2_models["combined"])], np.zeros(74880, np.float32), 2),
                           ch.parse_color_correct(colour)[0])
    want = []
    for b in blocks:
        renderer.feed(b)
        want.append([(k, bytes(d)) for k, d in renderer.ready_chunks()])
    tail = [(k, bytes(d)) for k, d in renderer.flush_chunks()]
    assert sum(map(len, want)) == 22 + 4 * 32 and tail  # five whole chunks, then a flushed tail

    h = start(bundle, "--threads", "2", env=env)
    assert h.ready["color"]["kind"] == "lut"
    for b, recs in zip(blocks, want):
        h.feed(b)
        got = h.records(len(recs))
        assert idx(got) == idx(recs)
        assert all(g == w for (_, g), (_, w) in zip(got, recs)), "pixels differ from the in-process renderer"
    h.flush()
    assert h.until_end() == tail
    status, rest, _ = finish(h)
    assert status == 0 and rest == b""


def test_nonblocking_stdin_is_waited_on_not_taken_for_its_end(tmp_path, l2_models, run_env):
    env, stage = run_env
    bundle = write_bundle("qvx", tmp_path / "bundle", members(l2_models))
    r, w = os.pipe()
    os.set_blocking(r, False)  # the host's stdin: reads that find nothing would block
    p = subprocess.Popen(host_command() + ["render-stream", bundle], stdin=r, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, env=env)
    os.close(r)
    try:
        assert p.stdout.readline() == READY_NULL
        with os.fdopen(w, "wb") as feed:
            feed.write(block(speech(SPC)))  # arrives after the host found its input empty
            feed.flush()
            recs = []
            for _ in range(22):
                k = int.from_bytes(p.stdout.read(4), "little", signed=True)
                recs.append((k, len(p.stdout.read(FRAME_BYTES))))
        assert recs == [(k, FRAME_BYTES) for k in range(3, 25)]
        assert p.wait(timeout=120) == 0
        err = p.stderr.read().decode()
    finally:
        p.kill()
        p.wait()
    assert ours(err.encode())[-1] == TAG + "stdin closed \u2014 exiting"
    assert list(stage.iterdir()) == []


@pytest.mark.parametrize("setting, args, line", [
    ({"LUMETH2_RGB_THREADS": "9" * 20}, [], None),  # more pixel threads than frames: as many as frames
    ({"LIBQUARO_THREADS": "9" * 20}, [], "threads " + "9" * 20 + " -> 1024 (the most one interpreter is given)"),
    ({}, ["--threads", str(2**31)], "threads 2147483648 -> 1024 (the most one interpreter is given)"),
], ids=["rgb-threads", "libquaro-threads", "threads-arg"])
def test_huge_thread_counts_start_and_serve(tmp_path, l2_models, run_env, start, setting, args, line):
    env, _ = run_env
    bundle = write_bundle("qvx", tmp_path / "bundle", members(l2_models))
    h = start(bundle, *args, env=dict(env, **setting))
    assert h.ready["width"] == 416
    if line is None:  # the pixel pool is what this setting sizes: render a chunk with it
        h.feed(speech(SPC))
        assert idx(h.records(22)) == list(range(3, 25))
    status, rest, err = finish(h)
    assert status == 0 and rest == b"", err.decode()[-2000:]
    if line is not None:
        assert TAG + line in ours(err)


@pytest.mark.parametrize("blocking", [True, False], ids=["blocking-stdin", "nonblocking-stdin"])
def test_sigterm_while_waiting_for_input_ends_through_the_exit_path(tmp_path, l2_models, run_env, blocking):
    import signal

    env, stage = run_env
    bundle = write_bundle("zip", tmp_path / "bundle", members(l2_models))
    r, w = os.pipe()
    os.set_blocking(r, blocking)
    p = subprocess.Popen(host_command() + ["render-stream", bundle], stdin=r, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, env=env)
    os.close(r)
    try:
        assert p.stdout.readline() == READY_NULL
        p.send_signal(signal.SIGTERM)
        status = p.wait(timeout=120)
        err = p.stderr.read()
    finally:
        os.close(w)
        p.kill()
        p.wait()
    assert status == 128 + signal.SIGTERM, err.decode()[-2000:]
    assert TAG + "stdin closed \u2014 exiting" not in ours(err)  # not taken for the end of input
    assert list(stage.iterdir()) == []

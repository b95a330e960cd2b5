"""The live road on a real lumeth-2 bundle: AsyncAvatar over the render-stream host
(generated models, real pipes), compared with the offline road frame by frame."""
from __future__ import annotations

import asyncio
import gc
import json
import os
import subprocess
import sys
import threading

import numpy as np
import pytest

from orvane._avatar import AsyncAvatar
from orvane._lumeth2 import _client
from orvane._lumeth2._client import HostClient, HostError, isolated_env

from .helpers import arun

SPT = 800
NATIVE = (720, 416, 3)
FORMS = ("dir", "qvx", "zip")


def speech(seconds, seed):
    """Voiced-sounding int16 test speech: a pitch glide under a syllable envelope."""
    rng = np.random.default_rng(seed)
    n = int(seconds * 16000)
    t = np.arange(n) / 16000
    env = 0.2 + 0.8 * np.abs(np.sin(2 * np.pi * 3.0 * t + seed))
    x = env * np.sin(2 * np.pi * (120 + 40 * seed) * t * (1 + 0.2 * t)) + 0.05 * rng.standard_normal(n)
    return (np.clip(0.5 * x, -1, 1) * 32767).astype(np.int16)


@pytest.fixture(scope="module")
def bundles(tmp_path_factory):
    pytest.importorskip("ai_edge_litert")
    import make_demo_bundle

    base = tmp_path_factory.mktemp("l2live")
    models = make_demo_bundle.model_bytes()
    return {f: make_demo_bundle.build_demo_bundle(base / f"avatar-{f}", f, models=models) for f in FORMS}


@pytest.fixture(autouse=True)
def host_env(tmp_path, monkeypatch):
    """Hosts stage into a private folder that must be empty again at the end of the test:
    every host the test started has been ended and reaped."""
    stage = tmp_path / "stage"
    stage.mkdir()
    for k in list(os.environ):
        if k.startswith(("LUMETH2_", "LIBQUARO_")):
            monkeypatch.delenv(k)
    for k, v in isolated_env(tmp_path, stage).items():
        if os.environ.get(k) != v:
            monkeypatch.setenv(k, v)
    monkeypatch.setenv("ORVANE_CACHE_DIR", str(tmp_path / "cache"))
    yield stage
    gc.collect()
    assert list(stage.iterdir()) == [], "a host outlived its test"


def offline(bundle, pcm):
    import orvane

    with orvane.open(bundle) as av:
        return list(av.render(pcm))


@pytest.fixture(scope="module")
def reference(bundles):
    """Offline frames of a test clip, rendered once per module (every form holds the
    same models, so one form serves as the reference for all)."""
    memo = {}

    def ref(seconds, seed):
        if (seconds, seed) not in memo:
            memo[seconds, seed] = offline(bundles["dir"], speech(seconds, seed))
        return memo[seconds, seed]

    return ref


async def push(av, pcm, pieces, last=True):
    for i, part in enumerate(np.array_split(pcm, pieces)):
        await av.push_audio(part.astype("<i2").tobytes(), 16000, last_chunk=last and i == pieces - 1)


async def until_eos(it, out):
    async for fr in it:
        out.append(fr)
        if fr.end_of_speech:
            return out
    raise AssertionError("the stream ended before the end of speech")


class _Speech(list):
    """A list whose membership test is by identity (the records' own equality compares
    their image arrays)."""

    def __contains__(self, x):
        return any(x is y for y in self)


def speech_of(frames, mid=None):
    return _Speech(f for f in frames if f.bgr_image is not None and f.source_message_id is not None
            and (mid is None or f.source_message_id == mid))


def check_utterance(frames, pcm, size, ref):
    """Every tick of ``pcm`` got exactly one frame, in order, carrying its audio, and its
    picture is the offline road's frame for that tick."""
    ticks = -(-pcm.size // SPT)
    sp = speech_of(frames)
    assert [f.frame_index for f in sp] == list(range(ticks))
    marker = frames[-1]
    assert marker.end_of_speech and marker.bgr_image is None and marker.frame_index == ticks
    assert not any(f.end_of_speech for f in frames[:-1])
    heard = np.concatenate([f.audio_chunk.data for f in sp])
    want = np.zeros(ticks * SPT, np.int16)
    want[:pcm.size] = (pcm.astype(np.float32) / np.float32(32767)).clip(-1, 1) * 32767
    np.testing.assert_array_equal(heard, want)
    assert len(ref) == ticks         # offline: one frame per tick, tick k's frame at k
    for f, rgb in zip(sp, ref, strict=True):
        img = f.bgr_image[..., ::-1]
        if size is not None:
            # Fitted into the output size: scaled to the full height (nearest
            # neighbour), centred between black bars.
            assert f.bgr_image.shape == (size[1], size[0], 3)
            h = size[1]
            w = round(NATIVE[1] * h / NATIVE[0])
            x = (size[0] - w) // 2
            assert not img[:, :x].any() and not img[:, x + w:].any()
            img = img[:, x:x + w]
            rgb = rgb[(np.arange(h) * NATIVE[0]) // h][:, (np.arange(w) * NATIVE[1]) // w]
        assert np.array_equal(img, rgb), f"tick {f.frame_index} differs from the offline frame"


@pytest.mark.parametrize("form,size", [("dir", None), ("dir", (1280, 720)), ("qvx", (1280, 720)), ("zip", (640, 360))],
                         ids=["dir-native-clock", "dir-1280x720", "qvx-1280x720", "zip-640x360"])
def test_live_stream_every_speech_tick_equals_offline(bundles, reference, form, size):
    bundle = bundles[form]
    short, long = speech(1.0, 1), speech(3.0, 2)
    refs = {1: reference(1.0, 1), 3: reference(3.0, 2)}

    async def go():
        # The default output size is (1280, 720): leave it unsaid there.
        kw = {} if size == (1280, 720) else {"output_size": size}
        av = await AsyncAvatar.create(model_path=bundle, **kw)
        rt = av._runtime
        compose, threads = rt.tick_compose_to_size, set()

        def spy(*a):
            threads.add(threading.current_thread().name.split("_")[0])
            return compose(*a)

        rt.tick_compose_to_size = spy
        try:
            first = av.get_first_frame()
            got = []
            it = av.run()
            await push(av, short, 1)
            got.append(await until_eos(it, []))
            await push(av, long, 15)      # 0.2 s pieces, as a voice agent sends them
            got.append(await until_eos(it, []))
            await it.aclose()
            return first, got, av._is_l2_stream(), threads
        finally:
            await av.shutdown()

    first, (a, b), l2, threads = arun(go(), timeout=120)
    assert l2 is (size is None)           # native size plays out on the clock
    # Composing waits for the host's chunks: never on the event loop's thread.
    assert threads == (set() if size is None else {"orvane-engine"})
    if size is None:
        assert first.shape == NATIVE and first.any()   # the resting picture
    else:
        assert first.shape == (size[1], size[0], 3)
        assert {f.bgr_image.shape for f in a + b if f.bgr_image is not None} == {(size[1], size[0], 3)}
    check_utterance(a, short, size, refs[1])
    check_utterance(b, long, size, refs[3])


@pytest.fixture(scope="module")
def face_bundle(tmp_path_factory):
    """The demo face: its pictures depend on each tick's audio level, so a picture paired
    with the wrong tick, or audio scaled differently, shows."""
    pytest.importorskip("ai_edge_litert")
    import make_demo_bundle

    return make_demo_bundle.build_demo_bundle(tmp_path_factory.mktemp("face") / "avatar", "qvx")


@pytest.mark.parametrize("size", [None, (1280, 720)], ids=["native-clock", "1280x720"])
def test_live_equals_offline_on_the_demo_face(face_bundle, size):
    """Two utterances (the second after the stream's reset), a partial last tick in each:
    every live picture equals, byte for byte, the offline frame of the same tick."""
    clips = [speech(2.33, 8), speech(1.71, 9)]
    refs = [offline(face_bundle, pcm) for pcm in clips]

    async def go():
        av = await AsyncAvatar.create(model_path=face_bundle, output_size=size)
        try:
            it = av.run()
            got = []
            for pcm in clips:
                await push(av, pcm, 7)
                got.append(await until_eos(it, []))
            await it.aclose()
            return got
        finally:
            await av.shutdown()

    for frames, pcm, ref in zip(arun(go(), timeout=120), clips, refs):
        check_utterance(frames, pcm, size, ref)


@pytest.mark.parametrize("size", [None, (1280, 720)], ids=["native-clock", "1280x720"])
def test_interrupt_mid_utterance_then_new_speech(bundles, reference, size):
    bundle = bundles["dir"]
    old, new = speech(3.0, 3), speech(1.3, 4)
    ref = reference(1.3, 4)

    async def go():
        # The default output size is (1280, 720): leave it unsaid there.
        kw = {} if size == (1280, 720) else {"output_size": size}
        av = await AsyncAvatar.create(model_path=bundle, **kw)
        try:
            await push(av, old, 15, last=False)
            it = av.run()
            frames = []
            async for fr in it:
                frames.append(fr)
                if len(speech_of(frames)) >= 3:
                    break
            old_id = speech_of(frames)[0].source_message_id
            av.interrupt()
            await push(av, new, 4)
            after = await until_eos(it, [])
            await it.aclose()
            return old_id, after
        finally:
            await av.shutdown()

    old_id, after = arun(go(), timeout=120)
    # At most the tick whose pull had started when the interrupt came is still the
    # old utterance's; then the new one, from its first tick, with nothing of the old.
    stale = [i for i, f in enumerate(after) if f in speech_of(after, old_id)]
    assert len(stale) <= 1 and all(i < 2 for i in stale)
    fresh = [f for i, f in enumerate(after) if i not in stale]
    check_utterance(fresh, new, size, ref)


def test_refused_bundle_raises_with_the_hosts_fatal_line(tmp_path, bundles):
    import hashlib

    from lumeth2_bundle_pack import write_bundle

    want = hashlib.sha256(b"the right base").hexdigest()
    manifest = json.dumps({"engine": "lumeth2",
                           "dependencies": [{"id": "lumeth2-shared-enc", "sha256": want}]}).encode()
    bad = write_bundle("qvx", tmp_path / "bad", {
        "canon.bin": np.zeros(74880, "<f4").tobytes(), "identity.tflite": b"id",
        "shared-enc.tflite": b"a different base", "manifest.json": manifest})

    from orvane._exceptions import OrvaneError
    with pytest.raises(OrvaneError) as ei:
        arun(AsyncAvatar.create(model_path=bad))
    assert ei.value.args[0] == "that is not a usable avatar"
    e = ei.value.__cause__
    assert isinstance(e, HostError) and e.status == 3
    assert e.fatal.startswith("[render-stream-chain-host] FATAL: " + bad + " was cut against")
    assert e.fatal in str(e)
    assert str(ei.value) == f"that is not a usable avatar ({bad}: HostError: {e.fatal})"  # what to do, whole


@pytest.mark.parametrize("form", FORMS)
def test_offline_render_one_frame_per_tick(bundles, form):
    """orvane.open(bundle).render(audio) in process: one frame per tick of audio, frame k
    the host's frame for tick k (its repeated first record left out), the samples scaled
    as the live road scales them."""
    pcm = speech(2.33, 5)
    ticks = -(-pcm.size // SPT)
    got = offline(bundles[form], pcm)
    with HostClient(bundles["dir"]) as h:
        h.feed(pcm.astype(np.float32) / np.float32(32767))
        h.flush()
        host = [h.frame(d) for _, d in h.until_end()]
    assert np.array_equal(host[0], host[1])          # on the wire the first frame comes twice
    assert len(got) == ticks < len(host) - 1
    for k, (a, b) in enumerate(zip(got, host[1:])):
        assert a.shape == NATIVE and np.array_equal(a, b), k


# -- the host client and runtime: ended, reaped, bounded --------------------------------
def alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


EXIT_SCRIPT = """
import sys
from orvane import _core
fx = _core.Fixture(sys.argv[1])
rt = _core.Runtime(fx)
fx2 = _core.Fixture(sys.argv[1])          # a second fixture keeps its spare host
print(rt._host.proc.pid, fx2._spare.proc.pid, flush=True)
# neither is closed: interpreter exit must end and reap both
"""


def test_hosts_end_on_close_drop_and_exit(bundles):
    from orvane import _core

    fx = _core.Fixture(bundles["dir"])
    rt = _core.Runtime(fx)
    proc = rt._host.proc
    rt.close()
    assert proc.returncode == 0
    with pytest.raises(RuntimeError, match="closed"):
        rt.push_audio(np.zeros(800, np.float32))

    rt2 = _core.Runtime(fx)             # the spare went to the first runtime: a new host
    proc2 = rt2._host.proc
    assert proc2 is not proc
    del rt2
    gc.collect()
    assert proc2.returncode is not None  # the finaliser ended and reaped it

    r = subprocess.run([sys.executable, "-c", EXIT_SCRIPT, bundles["dir"]], capture_output=True,
                       timeout=120, text=True)
    assert r.returncode == 0 and "Fatal Python error" not in r.stderr, r.stderr[-2000:]
    pids = [int(p) for p in r.stdout.split()]
    assert len(pids) == 2 and not any(alive(p) for p in pids)


STUCK = "import sys; print('READY {\\\"fps\\\":20,\\\"width\\\":4,\\\"height\\\":2,\\\"sample_rate\\\":16000}', flush=True); sys.stdin.read()"


def test_reads_are_bounded_and_a_dead_host_raises(monkeypatch):
    monkeypatch.setattr(_client, "host_command", lambda: [sys.executable, "-c", STUCK])
    with HostClient("/nowhere", read_timeout=0.2) as h:
        assert (h.width, h.height) == (4, 2)
        with pytest.raises(HostError, match="wrote nothing for"):
            h.record()          # alive but silent: the wait ends
        h.proc.kill()
        h.proc.wait()
        with pytest.raises(HostError, match=r"stopped \(status -9\)"):
            h.record(timeout=30)
        with pytest.raises(HostError, match="stopped"):
            h.record(timeout=30)  # and stays so for every later look


PLANT = "import pathlib; pathlib.Path({!r}).write_text('ran'); raise SystemExit('planted module ran')\n"


@pytest.mark.parametrize("name", ["numpy.py", "shared_enc_dep.py"])
def test_module_entry_never_imports_from_the_working_folder(tmp_path, monkeypatch, bundles, name):
    """Without the console script beside the interpreter the host runs as a module; a
    module of the same name in the caller's working folder must not be imported."""
    work = tmp_path / "work"
    work.mkdir()
    marker = tmp_path / "marker"
    (work / name).write_text(PLANT.format(str(marker)))
    monkeypatch.chdir(work)
    monkeypatch.setattr(_client.shutil, "which", lambda *a, **k: None)
    cmd = _client.host_command()
    assert cmd[0] == sys.executable and cmd[-2:] == ["-m", "orvane._lumeth2._cli"]
    with HostClient(bundles["dir"]) as h:
        h.feed(np.zeros(25600, np.float32))
        assert len(h.records(22)) == 22
    assert not marker.exists()


def test_bundle_at_a_relative_path_beginning_with_a_dash(tmp_path, monkeypatch, bundles):
    import shutil

    shutil.copytree(bundles["dir"], tmp_path / "-avatar")
    monkeypatch.chdir(tmp_path)
    got = offline("-avatar", speech(0.5, 6))
    assert len(got) == 10 and got[0].shape == NATIVE


def test_host_runtime_chunks_pairing_and_reset(bundles):
    """The runtime as the avatar drives it: geometry from READY, a push returns with the
    chunk it completes rendered (21 ticks, then 32), tick k after a start or a reset is
    the host's frame for tick k (its repeated first record left out), the resting
    picture is the host's picture for silence."""
    from orvane import _core

    x = speech(3.0, 7).astype(np.float32) / np.float32(32767)
    with HostClient(bundles["dir"]) as h:
        h.flush()
        silence = h.frame(h.until_end()[0][1])
        h.reset()
        h.feed(x[:44000])
        recs = h.records(54)
        assert [i for i, _ in recs] == list(range(3, 57)) and recs[0][1] == recs[1][1]
        ref = [h.frame(d) for _, d in recs[1:]]     # frames of ticks 0..52
        assert not np.array_equal(ref[0], ref[1])

    fx = _core.Fixture(bundles["qvx"])
    assert (fx.audio_samples_per_tick, fx.audio_sample_rate, fx.frame_width, fx.frame_height) == (800, 16000, 416, 720)
    rt = _core.Runtime(fx)
    try:
        assert [rt.samples_for_chunk(k) for k in range(3)] == [25600, 44000, 69600]
        assert np.array_equal(rt.get_source_frame(-1)[..., ::-1], silence)
        for again in (False, True):                 # on a new host, then after a reset
            rt.push_audio(x[:25599])
            assert rt.ticks_available() == 0
            rt.push_audio(x[25599:25600])
            assert rt.ticks_available() == 21       # no waiting after the push returned
            (i0, a), (i1, b) = rt.pull_frame(-1), rt.pull_frame(-1)
            assert (i0, i1) == (0, 1)
            assert np.array_equal(a[..., ::-1], ref[0]) and np.array_equal(b[..., ::-1], ref[1]), again
            rt.reset_stream()                       # 19 ticks never pulled: gone with the stream
            assert rt.ticks_available() == 0
        rt.push_audio(x[:30000])
        rt.push_audio(x[30000:44000])
        got = [rt.pull_frame(-1) for _ in range(53)]
        with pytest.raises(ValueError, match="cursor past end"):
            rt.pull_frame(-1)
        assert [i for i, _ in got] == list(range(53))
        assert all(np.array_equal(img[..., ::-1], r) for (_, img), r in zip(got, ref, strict=True))
        rt.end_utterance()                          # the flush: every tick of the audio covered
        assert rt.ticks_available() >= -(-44000 // SPT) - 53
    finally:
        rt.close()
        fx.close()


@pytest.mark.parametrize("size", [(1280, 720), (640, 360), (208, 720), (416, 1000), (416, 720)])
def test_fit_keeps_aspect_centred_on_black(size):
    """The fit of a 416 x 720 frame into an output size: the largest nearest-neighbour
    scale that keeps it whole, centred, black around it, channels turned to BGR."""
    from orvane._lumeth2._live import fit_into

    rgb = np.random.default_rng(0).integers(0, 256, NATIVE, dtype=np.uint8)
    W, H = size
    s = min(W / NATIVE[1], H / NATIVE[0])
    w, h = round(NATIVE[1] * s), round(NATIVE[0] * s)
    y, x = (H - h) // 2, (W - w) // 2
    want = np.zeros((H, W, 3), np.uint8)
    want[y:y + h, x:x + w] = rgb[(np.arange(h) * NATIVE[0]) // h][:, (np.arange(w) * NATIVE[1]) // w][..., ::-1]
    assert np.array_equal(fit_into(rgb, W, H), want)


class _Boom(Exception):
    pass


@pytest.mark.parametrize("size", [None, (1280, 720)], ids=["native-clock", "1280x720"])
def test_speech_after_a_producer_error(bundles, reference, size):
    """The runtime's first feed fails: the consumer gets the error, and speech pushed
    afterwards streams from the same host with every tick its offline picture."""
    bundle = bundles["dir"]
    new = speech(1.3, 4)
    ref = reference(1.3, 4)

    async def go():
        av = await AsyncAvatar.create(model_path=bundle, output_size=size)
        rt = av._runtime
        armed = {"push_audio": True, "tick_compose_to_size": True}

        def fail_once(name):
            real = getattr(rt, name)

            def call(*a):
                if armed[name]:
                    armed[name] = False
                    raise _Boom("engine fell over")
                return real(*a)

            setattr(rt, name, call)

        for name in armed:
            fail_once(name)
        try:
            await av.push_audio(speech(0.5, 9).tobytes(), 16000)
            with pytest.raises(_Boom, match="engine fell over"):
                async for _ in av.run():
                    pass
            await push(av, new, 3)
            it = av.run()
            after = await until_eos(it, [])
            await it.aclose()
            return after
        finally:
            await av.shutdown()

    check_utterance(arun(go(), timeout=120), new, size, ref)


# -- a host that is alive but answers nothing --------------------------------------------
STALL_LIMIT_S = 4.0   # the read limit of these tests' hosts: far above a chunk's render time


def reaped(proc):
    """Killed by the package and waited for: no process, no zombie left behind."""
    return proc.returncode == -9 and not os.path.exists(f"/proc/{proc.pid}")


@pytest.fixture
def short_read_limit(monkeypatch):
    monkeypatch.setattr(_client, "READ_TIMEOUT_S", STALL_LIMIT_S)


@pytest.fixture
def stopped():
    """Stops a process with SIGSTOP; lets it go again at the end if nobody killed it."""
    import signal

    procs = []

    def stop(proc):
        procs.append(proc)
        os.kill(proc.pid, signal.SIGSTOP)

    yield stop
    for p in procs:
        if p.returncode is None:
            os.kill(p.pid, signal.SIGCONT)


@pytest.mark.parametrize("size", [None, (1280, 720)], ids=["native-clock", "1280x720"])
@pytest.mark.parametrize("fault, error", [("killed", r"stopped \(status -9\)"), ("stalled", "wrote nothing for")])
def test_speech_after_a_failed_host(bundles, reference, short_read_limit, stopped, size, fault, error):
    """The host dies (SIGKILL) or stops answering (SIGSTOP: its stream fails after the read
    limit) mid-utterance: the consumer gets the host's error, the old host is reaped, and
    speech pushed afterwards streams on a new host with every tick its offline picture."""
    new = speech(1.3, 4)
    ref = reference(1.3, 4)
    old = speech(3.0, 3)

    async def go():
        av = await AsyncAvatar.create(model_path=bundles["dir"], output_size=size)
        try:
            await push(av, old[:32000], 4, last=False)
            it = av.run()
            async for fr in it:
                if fr.bgr_image is not None and fr.source_message_id is not None:
                    break
            bad = av._runtime._host.proc
            if fault == "killed":
                bad.kill()
                bad.wait()
            else:
                stopped(bad)
            await push(av, old[32000:], 1)     # one piece: nothing of it stays queued
            with pytest.raises(HostError, match=error):
                async for _ in it:
                    pass
            await push(av, new, 3)
            it = av.run()
            after = await until_eos(it, [])
            await it.aclose()
            return after, av._runtime._host.proc, bad
        finally:
            await av.shutdown()

    after, host, bad = arun(go(), timeout=180)
    assert host is not bad and reaped(bad)
    check_utterance(after, new, size, ref)


STREAM_PIECES = 80  # pieces of a still-streaming source, one every 0.25 s: far beyond the read limit


@pytest.mark.parametrize("audio", ["all-sent", "still-streaming"])
def test_offline_render_after_a_stalled_host(bundles, short_read_limit, stopped, audio):
    """The offline wrapper: a render whose host stops answering fails with HostError after
    the read limit, also while its audio is still coming in (the host owes the frames of
    the chunks it was sent), the host is killed and reaped, and the next render runs on a
    new host and gives the same frames as a fresh one."""
    import time

    from orvane._lumeth2 import Lumeth2Engine

    pcm = speech(2.33, 5)
    want = offline(bundles["dir"], pcm)
    held = threading.Event()
    sent = []

    def source():
        yield pcm[:25600].tobytes()      # the first chunk: rendered before the host stops
        assert held.wait(60)
        if audio == "all-sent":
            yield pcm[25600:].tobytes()
            return
        # Chunk 1 complete at once, then a trickle that never completes another.
        yield pcm[25600:44000].tobytes()
        for i in range(STREAM_PIECES):
            time.sleep(0.25)
            sent.append(i)
            yield pcm[44000 + 10 * i: 44000 + 10 * (i + 1)].tobytes()

    eng = Lumeth2Engine(bundles["dir"])
    try:
        g = eng.frames(source())
        next(g)
        hung = eng._proc
        stopped(hung)
        held.set()
        with pytest.raises(HostError, match="wrote nothing for"):
            for _ in g:
                pass
        assert len(sent) < STREAM_PIECES, "the stall was found only once the audio had ended"
        assert reaped(hung)
        got = list(eng.frames([pcm.tobytes()]))
        assert eng._proc is not hung and eng.stop_reason == "end-of-audio"
        assert len(got) == len(want) and all(np.array_equal(a, b) for a, b in zip(got, want))
    finally:
        eng.close()

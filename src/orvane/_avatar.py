"""Live streaming avatar: push speech audio, iterate the video frames that speak it.

``AsyncAvatar`` feeds pushed 16-bit PCM (any rate, resampled to 16 kHz) into the native
frame runtime and turns every runtime tick into one ``VideoFrame`` carrying that tick's
audio, handed out through a bounded output queue.  Lumeth-2 avatars streamed at their
native size go through a playout clock that paces their bursty chunks.

Threads: everything runs on the caller's event loop except the runtime calls that may
block on the model (``push_audio``, ``pull_frame``, ``end_utterance``, and
``tick_compose_to_size`` of a runtime that says it waits: ``compose_waits``), which run on
one worker thread per avatar ("orvane-engine"), and model loading, which runs on the
loop's default executor.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import copy
import dataclasses
import logging
import math
import numbers
import os
import time
from pathlib import Path

import numpy as np

from orvane import _core
from orvane._loader import NativeFixtureLoaderMixin
from orvane._exceptions import ModelNotFoundError, RuntimeNotReadyError
from orvane._models import AudioChunk, VideoControl, VideoFrame
from orvane._models import INT16_MAX

_log = logging.getLogger("orvane")

_SAMPLE_RATE_HZ = 16000
_FPS = 25
_LOOKBACK_TICKS = 3
_STREAM_FLUSH_PAD_TICKS = 8
_DEFAULT_OUTPUT_SIZE = (1280, 720)
_V2_DRAIN_STALL_S = 2.0
_V2_FLUSH_PAD_TICKS = 16
_FIRST_FRAME_WAIT_S = 1.0
_FIRST_FRAME_POLL_S = 0.01
_STREAM_END = object()
_SYNC_LEAD_S = 0.025

def _queued_reader(sink):
    """A zero-argument function returning the seconds of audio ``sink`` holds unplayed."""
    if callable(sink) and not hasattr(sink, "queued_duration"):
        return sink
    src = sink
    # Session -> runner -> synchroniser -> audio source, as far as the links exist.
    for attr in ("_avatar_runner", "av_sync", "_audio_source"):
        nxt = getattr(src, attr, None)
        if nxt is not None:
            src = nxt
    if not hasattr(src, "queued_duration"):
        raise TypeError(
            "sync_to() needs the LiveKit plugin's AvatarSession (after start()), an AvatarRunner, "
            "its AVSynchronizer, an rtc.AudioSource or a function returning the seconds of audio "
            "queued; got " + type(sink).__name__)

    def read():
        return src.queued_duration

    return read


_L2_PREROLL_FRAMES = 36
_L2_CHUNK0_FRAMES = 21
_L2_CHUNK_FRAMES = 32
_L2_START_MARGIN_S = 0.15
_L2_R1_FACTOR = 1.35
_L2_FEED_SLICE_SAMPLES = 25600
_L2_CATCHUP_S = 0.5


def _i16_to_f32(arr):
    """int16 PCM -> a fresh float32 array at unit scale (no clipping)."""
    return np.asarray(arr).astype(np.float32) / float(INT16_MAX)


def _resample_linear(pcm, src_sr, dst_sr):
    """Linear resampling of mono ``pcm`` from ``src_sr`` to ``dst_sr`` Hz, same dtype.

    Both grids span [0, 1) so the first sample is kept and the tail of an upsampled chunk
    holds the last input sample (no extrapolation); no low-pass filter."""
    if src_sr == dst_sr or pcm.size == 0:
        return pcm
    n = pcm.size
    n_out = round(n * dst_sr / src_sr)
    if n_out <= 0:
        return np.empty(0, dtype=pcm.dtype)
    xp = np.arange(n, dtype=np.float64) / n
    xq = np.arange(n_out, dtype=np.float64) / n_out
    out = np.interp(xq, xp, np.asarray(pcm, dtype=np.float64))
    if pcm.dtype == np.float64:
        return out
    return out.astype(pcm.dtype)


def _pcm_append(store, n, x):
    """Append ``x`` to the first ``n`` samples of ``store``; returns (store, new length).

    The utterance buffer grows with spare capacity so a long utterance pushed in small
    chunks is not copied whole on every chunk.  Growth always moves to a fresh array, and
    writes land only beyond ``n``, so views handed out earlier never change under their
    holders."""
    need = n + x.size
    if need > store.size:
        grown = np.empty(max(need, 2 * store.size, 16384), dtype=np.float32)
        grown[:n] = store[:n]
        store = grown
    store[n:need] = x
    return store, need


def _model_file(model_path):
    """``model_path`` with a leading ``~`` expanded; ModelNotFoundError when nothing is there."""
    path = Path(model_path).expanduser()
    if not os.path.exists(path):   # an unreadable path counts as missing
        raise ModelNotFoundError("Ferrin model not found: " + str(path))
    return path


def _keep_only(q, keep):
    """Take every item off ``q`` and put back, in order, those for which ``keep`` holds.

    Never suspends, so no other task sees the queue half emptied, and the items put back
    always fit."""
    kept = []
    while True:
        try:
            it = q.get_nowait()
        except asyncio.QueueEmpty:
            break
        if keep(it):
            kept.append(it)
    for it in kept:
        q.put_nowait(it)


def _is_terminal(it) -> bool:
    """The last word of a stream: its end sentinel or the error that ended it."""
    return it is _STREAM_END or isinstance(it, BaseException)


def _queued(q):
    """The items waiting on ``q``, oldest first, left in place."""
    items = []

    def keep(it):
        items.append(it)
        return True

    _keep_only(q, keep)
    return items


async def _get_within(q, timeout):
    """The next item of ``q``, waiting at most ``timeout`` seconds (asyncio.TimeoutError
    when none came).

    Not ``asyncio.wait_for``: on Python 3.11 a cancel that meets an arriving item there is
    dropped and the item returned, so a producer or clock torn down by cleanup() would
    act on the item after teardown (its output landing in the next stream, a clock
    running for ever).  Here the cancel always wins; an item it meets is dropped with the
    stream being torn down, and a get that did not finish leaves its item in ``q``."""
    get = asyncio.ensure_future(q.get())
    try:
        done, _ = await asyncio.wait((get,), timeout=timeout)
    finally:
        if not get.done():
            get.cancel()
    if not done:
        raise asyncio.TimeoutError
    return get.result()


def _valid_rate(rate) -> bool:
    # A bool is an int to Python but never a sample rate.
    if isinstance(rate, (bool, np.bool_)) or not isinstance(rate, numbers.Real):
        return False
    return math.isfinite(rate) and rate > 0


def _no_image(img) -> bool:
    # The runtime answers "no picture yet" with None or an empty image.
    return img is None or getattr(img, "size", 1) == 0


class AsyncAvatar(NativeFixtureLoaderMixin):
    """Native streaming facade over the frame runtime.

    The package's public asynchronous class is ``orvane.AsyncOrvane`` (module
    ``orvane.runtime_async``); the package-level name ``orvane.AsyncAvatar`` is an alias of
    that class.  Both share the fixture loader ``orvane._loader.NativeFixtureLoaderMixin``.

    Lifecycle::

        avatar = await AsyncAvatar.create(model_path="...")
        await avatar.push_audio(pcm_bytes, sample_rate, last_chunk=True)
        async for frame in avatar.run():
            ...   # frame.bgr_image, frame.audio_chunk
        await avatar.shutdown()
    """

    def __init__(self, *, input_buffer_size=0, output_buffer_size=6,
                 output_size=_DEFAULT_OUTPUT_SIZE, num_threads=0):
        from collections import deque

        self._num_threads = num_threads
        self._output_size = output_size
        self._fixture = None
        self._runtime = None
        self._model_path = None
        self._in_queue = asyncio.Queue(maxsize=input_buffer_size)
        self._out_queue = asyncio.Queue(maxsize=output_buffer_size)
        self._producer_task = None
        self._running = False
        self._stop_event = asyncio.Event()
        self._interrupt_event = asyncio.Event()
        self._audio_queued = None
        self._sync_pend = deque()
        self._stream_pushed = 0
        self._engine_executor = None
        self._playout = None
        self._emitter_task = None
        self._playout_reset = False
        # Items taken off _out_queue and not yet handed over.  They live here, not in an
        # iterator, so that the next iterator hands them over first even when the one
        # its consumer left by ``break`` has not been finalised yet.
        self._out_carry = deque()
        # The one get on _out_queue a paced iterator may leave out (what it takes lands in
        # _out_carry), and the iterator that started last.
        self._out_get = None
        self._out_reader = None
        # The frame whose voice a synced iterator handed out last, with its picture and
        # the release the sink's queue gave then: the picture is held from the next request
        # on, by whichever iterator makes it.
        self._sync_voiced = None
        # Interrupt generation: every interrupt() bumps it, every pushed control carries the
        # one it was pushed under, and so does every frame made for it.  Older ones are
        # dropped wherever they are, which decides barge-in by push order.
        self._gen = 0
        self._emit_gen = 0
        # The generation of an utterance the engine failed on before its end was taken: its
        # pieces still to come, up to its last chunk or end-of-speech control, go with it.
        self._drop_to_end = None

    # -- construction and model loading -------------------------------------------
    @classmethod
    async def create(cls, *, model_path=None, input_buffer_size=0, output_buffer_size=6,
                     num_threads=0, verbose=None, batch_workers=1, quality="medium",
                     identity=None, output_size=_DEFAULT_OUTPUT_SIZE):
        """Build an avatar for ``model_path`` and load its model off the event loop."""
        if model_path is None:
            raise ValueError("AsyncAvatar.create: model_path is required")
        path = _model_file(model_path)
        avatar = cls(input_buffer_size=input_buffer_size, output_buffer_size=output_buffer_size,
                     output_size=output_size, num_threads=num_threads)
        await avatar._load_model(str(path))
        return avatar

    async def set_model(self, model_path):
        """Stop a running stream and load another model; the next ``run()`` uses it."""
        path = _model_file(model_path)
        await self.stop()
        await self._load_model(str(path))

    async def _load_model(self, path):
        """Take the engine kind of the model at ``path`` and load it off the event loop."""
        from orvane._exceptions import OrvaneError, _invalid_model
        from orvane._qvx_engine import engine_id_for_path

        try:
            self._engine_id = engine_id_for_path(path)
            await asyncio.get_running_loop().run_in_executor(None, self._load_fixture_blocking, path)
        except (OrvaneError, ImportError):
            raise  # already ours, or an installation fault rather than the model's
        except Exception as e:
            # A damaged model, or a host that would not start on it: one refusal naming
            # the file and what is wrong, never the loader's own error (or traceback).
            raise _invalid_model(path, e) from e

    # -- input ----------------------------------------------------------------------
    async def push_audio(self, data, sample_rate, last_chunk=True):
        """Queue ``data`` (16-bit little-endian mono PCM at ``sample_rate`` Hz)."""
        if not _valid_rate(sample_rate):
            # Refused here: a rate of 0 or None would only fail later inside the producer,
            # ending the stream, and a negative one would turn the speech into nothing.
            raise ValueError("AsyncAvatar.push_audio: sample_rate must be a positive, finite number "
                             "of Hz, got %r" % (sample_rate,))
        control = self._tagged(VideoControl.from_audio(data, sample_rate, last_chunk))
        # Bytes, not items: a memoryview over an int16 array has half as many items.
        self._note_arrival(memoryview(data).nbytes * 0.5 / float(sample_rate))
        if last_chunk:
            self._arrival_ended()
        await self._in_queue.put(control)

    async def push(self, control):
        """Queue a ready-made ``VideoControl``."""
        if isinstance(control, VideoControl):
            # A copy carries the tag: the caller may push the same control again later.
            control = self._tagged(copy.copy(control))
        await self._in_queue.put(control)

    def _tagged(self, control):
        # Tagged when the push is made, not when it lands: a push still waiting for room
        # in a bounded queue as interrupt() comes was made before it.
        control._ov_gen = self._gen
        return control

    def _stale(self, it) -> bool:
        """True for a control or frame of speech pushed before the latest interrupt()."""
        gen = getattr(it, "_ov_gen", None)
        return gen is not None and gen < self._gen

    def _note_arrival(self, seconds):
        if getattr(self, "_arr_t0", None) is None or getattr(self, "_arr_done", False):
            self._arr_t0 = time.monotonic()
            self._arr_s = 0.0
            self._arr_done = False
        self._arr_s += seconds if seconds > 0.0 else 0.0

    def _arrival_ended(self):
        if not getattr(self, "_arr_done", False):
            self._arr_t_end = time.monotonic()
        self._arr_done = True

    def _arrival_dropped(self):
        self._arr_t0 = None
        self._arr_s = 0.0
        self._arr_done = False

    async def flush(self):
        """Mark the end of the current utterance's speech."""
        self._arrival_ended()
        await self._in_queue.put(self._tagged(VideoControl(end_of_speech=True)))

    def run(self):
        """The asynchronous iterator of output frames; starts the stream on first use."""
        return self._run_iter()

    # -- output ---------------------------------------------------------------------
    async def _run_iter(self):
        await self._ensure_running()
        pend = self._sync_pend
        carry = self._out_carry
        me = object()
        self._out_reader = me
        # A consumer that left at a voice left its picture to this iterator.
        self._hold_voiced(settle=False)
        try:
            while True:
                if not carry:
                    if self._audio_queued is None and not pend:
                        get = self._out_get
                        if get is not None and not get.done():
                            # A get a paced iteration left out takes the next item: wait
                            # for it, so that items keep their queue order.
                            await asyncio.wait((get,))
                            continue
                        carry.append(await self._out_queue.get())
                    else:
                        timeout = max(0.0, pend[0][0] - time.monotonic()) if pend else None
                        await asyncio.wait((self._out_getter(),), timeout=timeout)
                        while pend and pend[0][0] <= time.monotonic():
                            yield pend.popleft()[1]
                        continue
                elif pend:
                    while pend and pend[0][0] <= time.monotonic():
                        yield pend.popleft()[1]
                    if not carry:
                        continue
                item = carry[0]
                if item is _STREAM_END:
                    # The end stays in carry until the held pictures are out: a consumer
                    # leaving meanwhile leaves the rest of them and the end to the next
                    # iterator.
                    while pend:
                        release, picture = pend[0]
                        await asyncio.sleep(max(0.0, release - time.monotonic()))
                        if pend and pend[0][1] is picture:
                            pend.popleft()
                            yield picture
                    if carry and carry[0] is _STREAM_END:
                        carry.popleft()
                    return
                carry.popleft()
                if isinstance(item, BaseException):
                    # Speech still queued behind the failed utterance stays for the next
                    # stream; the producer has left word of what went with it.
                    self._arrival_dropped()
                    raise item
                if self._stale(item):
                    continue            # made for speech pushed before an interrupt()
                ac = getattr(item, "audio_chunk", None)
                if (self._audio_queued is not None and isinstance(item, VideoFrame)
                        and item.bgr_image is not None and ac is not None):
                    picture = dataclasses.replace(item, audio_chunk=None, end_of_speech=False)
                    dur = np.size(ac.data) / float(ac.sample_rate)
                    # Until the consumer comes back from the voice, the picture is due when
                    # the audio queued now has played.
                    self._sync_voiced = (item, picture, dur, self._release_after(0.0))
                    yield dataclasses.replace(item, bgr_image=None)
                    self._hold_voiced(settle=True)
                    continue
                yield item
        except asyncio.CancelledError:
            self._drop_out_get()
            await self.stop()
            raise
        finally:
            if self._out_reader is me:
                self._out_reader = None
                self._drop_out_get()

    def _release_after(self, dur):
        """When a picture is due whose voice of ``dur`` seconds is the last the sink holds."""
        reader = self._audio_queued
        try:
            queued = max(0.0, float(reader())) if reader is not None else 0.0
        except Exception:
            queued = 0.0
        return time.monotonic() + max(0.0, queued - dur) - _SYNC_LEAD_S

    def _hold_voiced(self, settle):
        """Hold the picture whose voice went out last.  ``settle``: the consumer has come
        back for more, so the sink's queue now includes that voice."""
        voiced = self._sync_voiced
        if voiced is None:
            return
        self._sync_voiced = None
        item, picture, dur, release = voiced
        if self._stale(item):
            return
        if settle:
            release = self._release_after(dur)
        self._sync_pend.append((release, picture))

    def _out_getter(self):
        """The one get on _out_queue that may be out; what it takes lands in _out_carry."""
        get = self._out_get
        if get is None or get.done():
            get = asyncio.ensure_future(self._take_out())
            self._out_get = get
        return get

    async def _take_out(self):
        # One step from the item leaving the queue to its landing in carry: a cancel
        # before it leaves the item in the queue.
        self._out_carry.append(await self._out_queue.get())

    def _drop_out_get(self):
        get = self._out_get
        self._out_get = None
        if get is not None and not get.done():
            get.cancel()

    def sync_to(self, sink):
        """Hold each picture back until its voice plays out of ``sink`` (None: off)."""
        if sink is None:
            self._audio_queued = None
            return
        self._audio_queued = _queued_reader(sink)

    # -- teardown -------------------------------------------------------------------
    async def stop(self):
        """End the running stream gracefully; the model stays loaded."""
        if not self._running:
            return
        self._stop_event.set()
        try:
            self._in_queue.put_nowait(self._tagged(VideoControl(end_of_speech=True)))
        except asyncio.QueueFull:
            pass
        if self._producer_task is not None:
            producer = self._producer_task
            drain = asyncio.create_task(self._drain_out_queue_until(producer))
            try:
                await asyncio.wait_for(producer, 5.0)
            except asyncio.TimeoutError:
                producer.cancel()
                try:
                    await asyncio.wait_for(producer, 1.0)
                except (asyncio.TimeoutError, asyncio.CancelledError):
                    pass
            except asyncio.CancelledError:
                pass
            drain.cancel()
            try:
                await drain
            except (asyncio.CancelledError, Exception):
                pass
        self._producer_task = None
        if self._emitter_task is not None:
            if not self._emitter_task.done():
                self._emitter_task.cancel()
                try:
                    await self._emitter_task
                except (asyncio.CancelledError, Exception):
                    pass
            self._emitter_task = None
        self._playout = None
        self._running = False
        self._drop_out_get()
        self._out_carry.clear()
        while not self._out_queue.empty():
            try:
                self._out_queue.get_nowait()
            except asyncio.QueueEmpty:
                break
        # The drain above threw the producer's own end sentinel away: leave one, so that a
        # run() iteration waiting in another task ends instead of waiting for ever.  The
        # next start removes it if nobody took it.
        try:
            self._out_queue.put_nowait(_STREAM_END)
        except asyncio.QueueFull:
            pass

    async def _drain_out_queue_until(self, producer_task):
        # Keeps a producer (or clock) that waits on a full output queue nobody reads any
        # more able to finish.
        try:
            while not producer_task.done():
                try:
                    await asyncio.wait_for(self._out_queue.get(), 0.1)
                except asyncio.TimeoutError:
                    pass
        except asyncio.CancelledError:
            return

    async def shutdown(self):
        """Stop the stream and release the engine worker, the runtime and the fixture."""
        await self.stop()
        self._close_runtime()
        self._runtime = None
        self._fixture = None

    # -- legacy surface ---------------------------------------------------------------
    def set_identity(self, identity):
        """No effect: these models fix their reference face when the avatar is packed."""
        return None

    class _SettingsProxy:
        FPS: int = _FPS
        INPUT_SAMPLE_RATE: int = _SAMPLE_RATE_HZ
        PROCESS_IDLE_VIDEO: bool = False
        ALLOW_VIDEO_SCRIPT_UPDATE: bool = True
        OUTPUT_WIDTH: int = 1280

        def __init__(self, fps: int = _FPS):
            self.FPS = int(fps)

    @property
    def settings(self):
        """A fresh settings view whose ``FPS`` is the model's own frame rate."""
        return self._SettingsProxy(self._engine_fps)

    @property
    def _engine_fps(self):
        fx = self._fixture
        if fx is None:
            return _FPS
        try:
            spt = int(fx.audio_samples_per_tick)
            sr = int(fx.audio_sample_rate)
            if spt > 0 and sr > 0:
                return max(1, sr // spt)
        except Exception:
            pass
        return _FPS

    async def start(self, **kwargs):
        """No effect: ``create`` loads the model and ``run()`` starts the stream."""
        return None

    def interrupt(self):
        """Barge-in: drop the speech pushed before this call, wherever it has got to, and
        start the next utterance afresh with the speech pushed after it."""
        if not self._running:
            return
        self._gen += 1
        self._drain_queue(self._in_queue)
        # A producer that has already ended left its error and end sentinel behind: they
        # are the stream's last word, not the utterance's, so they go back in order (the
        # consumer would otherwise wait for ever and never learn why).
        _keep_only(self._out_queue, _is_terminal)
        kept = [it for it in self._out_carry if _is_terminal(it)]
        self._out_carry.clear()
        self._out_carry.extend(kept)
        self._sync_pend.clear()
        if self._playout is not None:
            _keep_only(self._playout, _is_terminal)
            self._playout_reset = True
            self._arrival_dropped()
            self._l2_r0 = None
        self._interrupt_event.set()

    @staticmethod
    def _drain_queue(q):
        while True:
            try:
                q.get_nowait()
            except asyncio.QueueEmpty:
                return

    @property
    def video_graph(self):
        """Always None: the runtime has no video graph."""
        return None

    # -- first frame --------------------------------------------------------------------
    def get_first_frame(self):
        """One image before any frame has come out of ``run()`` (blocking, up to 1 s)."""
        if self._fixture is None or self._runtime is None:
            _log.warning("orvane: no first frame — no model is loaded "
                         "(await AsyncOrvane.create(model_path=...))")
            return None
        if self._output_size is not None:
            width = int(self._output_size[0])
            height = int(self._output_size[1])
            return np.zeros((height, width, 3), dtype=np.uint8)
        img = self._wait_source_frame(_FIRST_FRAME_WAIT_S)
        if img is not None:
            return img
        try:
            width = int(self._fixture.frame_width)
            height = int(self._fixture.frame_height)
        except Exception as e:
            _log.warning("orvane: no first frame — this model cannot say how big a frame is (%s: %s)",
                         type(e).__name__, e)
            return None
        if width > 0 and height > 0:
            _log.warning("orvane: the engine produced no resting frame in %.1fs; reporting this "
                         "model's own %dx%d geometry with a blank frame so the session can still start",
                         _FIRST_FRAME_WAIT_S, width, height)
            return np.zeros((height, width, 3), dtype=np.uint8)
        _log.warning("orvane: no first frame — this model reports a %dx%d frame size", width, height)
        return None

    def _wait_source_frame(self, timeout_s):
        deadline = time.monotonic() + (timeout_s if timeout_s > 0.0 else 0.0)
        why = None
        while True:
            try:
                img = self._runtime.get_source_frame(0)
            except Exception as e:
                why = e
            else:
                if img is not None and getattr(img, "size", 0) > 0:
                    return img
            if time.monotonic() >= deadline:
                break
            time.sleep(_FIRST_FRAME_POLL_S)
        if why is not None:
            _log.warning("orvane: the engine had no resting frame after %.1fs (%s: %s)",
                         timeout_s, type(why).__name__, why)
        return None

    def _end_stream_before_close(self):
        if not getattr(self, "_running", False):
            return
        ev = getattr(self, "_stop_event", None)
        if ev is not None:
            try:
                ev.set()
            except Exception:
                pass
        for name in ("_producer_task", "_emitter_task"):
            task = getattr(self, name, None)
            setattr(self, name, None)
            if task is not None and not task.done():
                try:
                    task.cancel()
                except Exception:
                    pass
        self._playout = None
        self._running = False
        q = self._out_queue
        try:
            self._drop_out_get()
            self._out_carry.clear()
            while not q.empty():
                q.get_nowait()
            q.put_nowait(_STREAM_END)
        except Exception:
            pass

    def _close_runtime(self):
        ex = getattr(self, "_engine_executor", None)
        self._engine_executor = None
        if ex is not None:
            ex.shutdown(wait=True)
        rt = self._runtime
        close = getattr(rt, "close", None) if rt is not None else None
        if close is None:
            return
        try:
            close()
        except Exception as e:
            _log.warning("orvane: releasing the engine failed (%s: %s)", type(e).__name__, e)

    def cleanup(self):
        """Synchronous teardown: end the stream (a waiting ``run()`` ends cleanly), then
        release the engine worker and the runtime."""
        self._end_stream_before_close()
        self._close_runtime()
        if self._fixture is None:
            return
        self._fixture = None
        self._runtime = None

    # -- geometry and rates ---------------------------------------------------------------
    @property
    def frame_width(self):
        if self._fixture is None:
            return None
        if self._output_size is not None:
            return int(self._output_size[0])
        return int(self._fixture.frame_width)

    @property
    def frame_height(self):
        if self._fixture is None:
            return None
        if self._output_size is not None:
            return int(self._output_size[1])
        return int(self._fixture.frame_height)

    @property
    def sample_rate(self):
        return _SAMPLE_RATE_HZ

    @property
    def fps(self):
        return self._engine_fps

    @property
    def samples_per_tick(self):
        if self._fixture is None:
            raise RuntimeNotReadyError("Fixture not loaded; await create() first.")
        return int(self._fixture.audio_samples_per_tick)

    # -- producer -------------------------------------------------------------------------
    async def _ensure_running(self):
        if getattr(self, "_fixture", None) is None or getattr(self, "_runtime", None) is None:
            raise RuntimeNotReadyError("AsyncAvatar: no fixture loaded. Call create(model_path=...).")
        if self._running:
            if not self._failed_stream_over():
                return
            # The producer ended by an error and the consumer has been told: this stream is
            # over.  What the dead stream left after its error (its end sentinel, hold or
            # resting frames of the clock) goes, and the next stream starts afresh on a
            # runtime that has not seen the failure.
            self._producer_task = None
            self._emitter_task = None
            self._playout = None
            self._running = False
            self._drain_queue(self._out_queue)
            self._runtime = self._fresh_runtime(self._fixture)
        # An end sentinel left by the previous stream's stop() or cleanup() that no
        # consumer took would end the new stream's iteration at once; so would one an
        # earlier iterator took and kept.
        _keep_only(self._out_queue, lambda it: it is not _STREAM_END)
        self._out_carry.clear()
        self._stop_event = asyncio.Event()
        self._interrupt_event = asyncio.Event()
        self._running = True
        if self._is_l2_stream():
            self._playout = asyncio.Queue()
            self._playout_reset = False
            self._emitter_task = asyncio.create_task(self._emit_clock(), name="orvane-l2-playout-clock")
        self._producer_task = asyncio.create_task(self._produce_frames(),
                                                  name="orvane-ferrin-async-producer")

    def _failed_stream_over(self):
        """True once the producer has ended (by an error: nothing else ends it while the
        stream runs) and that error has reached the consumer."""
        producer = self._producer_task
        if producer is None or not producer.done() or self._stop_event.is_set():
            return False      # running, never started here, or a stop() is under way
        clock = self._emitter_task
        if clock is not None and not clock.done():
            return False      # still forwarding the producer's last items
        left = list(self._out_carry) + _queued(self._out_queue)
        return not any(isinstance(it, BaseException) for it in left)

    async def _produce_frames(self):
        assert self._fixture is not None and self._runtime is not None
        fx = self._fixture
        spt = int(fx.audio_samples_per_tick)
        fps = self._engine_fps
        out_size = self._output_size
        rt = self._runtime
        empty = np.zeros(0, dtype=np.float32)
        pcm_buf = empty          # the utterance so far: a view of pcm_store[:pcm_len]
        pcm_store, pcm_len = empty, 0
        ticks_emitted = 0
        current_message_id = None
        # The open utterance's end (its last chunk or end-of-speech control) is still to come.
        end_pending = False
        self._emit_gen = self._gen

        def barge_in():
            # The reaction to interrupt(): a fresh runtime and an empty utterance.
            nonlocal rt, pcm_buf, pcm_store, pcm_len, ticks_emitted, current_message_id, end_pending
            self._interrupt_event.clear()
            end_pending = False
            rt = self._fresh_runtime(fx)
            self._runtime = rt
            pcm_buf, pcm_store, pcm_len = empty, empty, 0
            ticks_emitted = 0
            current_message_id = None
            self._stream_pushed = 0

        try:
            try:
                while not self._stop_event.is_set():
                    if self._interrupt_event.is_set():
                        barge_in()
                    wait_s = (1.0 / fps) if out_size is None else 1.0
                    try:
                        chunk = await _get_within(self._in_queue, wait_s)
                    except asyncio.TimeoutError:
                        if self._stop_event.is_set():
                            break
                        if (out_size is None and self._playout is None
                                and pcm_buf.size // spt <= ticks_emitted):
                            try:
                                idle_bgr = rt.get_source_frame(-1)
                            except Exception:
                                idle_bgr = None
                            if not _no_image(idle_bgr):
                                rest = AudioChunk(data=np.zeros(spt, dtype=np.int16),
                                                  sample_rate=_SAMPLE_RATE_HZ, last_chunk=False)
                                await self._out_queue.put(VideoFrame(bgr_image=idle_bgr, audio_chunk=rest))
                        continue
                    if not isinstance(chunk, VideoControl):
                        continue
                    gen = getattr(chunk, "_ov_gen", self._gen)
                    if gen < self._gen:
                        # Pushed before the latest interrupt(): this wait took it off the
                        # queue before the barge-in's drain could, but it is just as old.
                        continue
                    audio = chunk.audio
                    is_terminal = bool(chunk.end_of_speech) or (audio is not None and bool(audio.last_chunk))
                    if self._drop_to_end is not None:
                        if gen == self._drop_to_end:
                            # The rest of an utterance the engine failed on.
                            if is_terminal:
                                self._drop_to_end = None
                            continue
                        self._drop_to_end = None        # a barge-in has come since
                    if self._interrupt_event.is_set():
                        # Pushed after the barge-in: drop the old utterance now and let the
                        # item open the next one, instead of losing it to the reaction at
                        # the top of the loop.
                        barge_in()
                    self._emit_gen = gen
                    if audio is not None:
                        end_pending = not is_terminal
                    elif is_terminal:
                        end_pending = False
                    if audio is not None and current_message_id is None:
                        if self._runtime is not rt or pcm_buf.size > 0 or ticks_emitted > 0:
                            rt = self._fresh_runtime(fx)
                            self._runtime = rt
                            pcm_buf, pcm_store, pcm_len = empty, empty, 0
                            ticks_emitted = 0
                        else:
                            # Compose mode keeps a per-stream tick cursor too, so the
                            # stream is cleared for every new utterance in both modes.
                            rt.reset_stream()
                        self._stream_pushed = 0
                        self._l2_r0 = None
                        current_message_id = chunk.message_id
                    if audio is not None:
                        data = audio.data
                        if isinstance(data, (bytes, bytearray, memoryview)):
                            data = np.frombuffer(data, dtype="<i2")
                        pcm_i16 = np.ascontiguousarray(data, dtype=np.int16)
                        if audio.sample_rate != _SAMPLE_RATE_HZ:
                            tmp_f32 = _i16_to_f32(pcm_i16)
                            tmp_f32 = _resample_linear(tmp_f32, audio.sample_rate, _SAMPLE_RATE_HZ)
                            pcm_i16 = (tmp_f32 * INT16_MAX).astype(np.int16)
                        pcm_store, pcm_len = _pcm_append(pcm_store, pcm_len, _i16_to_f32(pcm_i16))
                        pcm_buf = pcm_store[:pcm_len]
                    if pcm_buf.size == 0 and not is_terminal:
                        continue
                    ticks_emitted += await self._emit_ready_ticks(
                        rt=rt, pcm_buf=pcm_buf, spt=spt, out_size=out_size, ticks_emitted=ticks_emitted,
                        message_id=current_message_id, eos_padding=False)
                    if not is_terminal:
                        continue
                    total_audio_ticks = -(-pcm_buf.size // spt)
                    remaining = max(total_audio_ticks - ticks_emitted, 0)
                    if remaining > 0:
                        pad = _STREAM_FLUSH_PAD_TICKS if out_size is None else _LOOKBACK_TICKS
                        if self._is_v2_stream():
                            pad = max(_V2_FLUSH_PAD_TICKS, pad)
                        target_len = (ticks_emitted + remaining + pad) * spt
                        if pcm_buf.size < target_len:
                            pcm_store, pcm_len = _pcm_append(
                                pcm_store, pcm_len, np.zeros(target_len - pcm_buf.size, dtype=np.float32))
                            pcm_buf = pcm_store[:pcm_len]
                        if self._is_v2_stream():
                            ticks_emitted += await self._drain_v2_tail(
                                rt=rt, pcm_buf=pcm_buf, spt=spt, ticks_emitted=ticks_emitted,
                                tail_total=ticks_emitted + remaining, message_id=current_message_id)
                            remaining = 0
                        else:
                            emitted_now = await self._emit_ready_ticks(
                                rt=rt, pcm_buf=pcm_buf, spt=spt, out_size=out_size,
                                ticks_emitted=ticks_emitted, message_id=current_message_id,
                                eos_padding=True, tail_total=ticks_emitted + remaining)
                            ticks_emitted += emitted_now
                            # The flush flags its last frame only when it got one out (the
                            # tick at tail_total - 1 in compose mode).  When the runtime ran
                            # dry first, the marker below carries the end of speech instead,
                            # so the consumer always learns that the utterance is over.
                            flagged = (emitted_now == remaining) if out_size is not None else emitted_now > 0
                            if not flagged and not (self._stop_event.is_set()
                                                    or self._interrupt_event.is_set()):
                                remaining = 0
                    if remaining == 0:
                        eos = VideoFrame(bgr_image=None, audio_chunk=None, frame_index=ticks_emitted,
                                         source_message_id=current_message_id, end_of_speech=True)
                        await self._emit_out(eos)
                    if out_size is None:
                        rt.reset_stream()
                    pcm_buf, pcm_store, pcm_len = empty, empty, 0
                    ticks_emitted = 0
                    current_message_id = None
                    self._stream_pushed = 0
            except Exception as e:
                # The failed utterance's pieces still to come go with it; complete
                # utterances queued behind it are the next stream's.
                self._drop_to_end = self._emit_gen if end_pending else None
                # The consumer re-raises it; the producer itself logs nothing.
                try:
                    await self._emit_out(e)
                except Exception:
                    pass
        finally:
            # A producer ended by teardown (cleanup() lets go of it before cancelling it)
            # says nothing more: teardown has given the consumer its sentinel, and a
            # farewell put still waiting for room would land in the next stream.
            if self._producer_task is asyncio.current_task():
                try:
                    await self._emit_out(_STREAM_END)
                except Exception:
                    pass

    def _fresh_runtime(self, fx):
        if self._is_v2_stream():
            rt = self._runtime
            try:
                rt.reset_stream()
            except Exception as e:
                _log.warning("orvane: could not reset the engine between utterances (%s: %s)",
                             type(e).__name__, e)
            return rt
        return _core.Runtime(fx)

    def _is_l2_stream(self):
        from orvane.unified_header import ENGINE_LUMETH2

        return getattr(self, "_engine_id", None) == ENGINE_LUMETH2 and self._output_size is None

    async def _emit_out(self, item):
        if isinstance(item, VideoFrame):
            item._ov_gen = self._emit_gen
        if self._playout is not None:
            await self._playout.put(item)
        else:
            await self._out_queue.put(item)

    # -- lumeth-2 playout clock ---------------------------------------------------------
    async def _emit_clock(self):
        from collections import deque

        q = self._playout
        assert q is not None
        period = 1.0 / float(self._engine_fps)
        spt = int(self._fixture.audio_samples_per_tick) if self._fixture is not None else 800
        silence = np.zeros(spt, dtype=np.int16)
        buf = deque()
        playing = False
        last_bgr = None
        # The interrupt generation of the speech last_bgr was made for: frames that repeat
        # it carry it, so a hold frame whose put was waiting as interrupt() came is dropped
        # with the rest of that speech.
        last_gen = None
        next_due = time.monotonic()
        t_chunk0 = None
        lag0 = None
        ahead_s = _L2_CHUNK_FRAMES * spt / _SAMPLE_RATE_HZ - _L2_CHUNK0_FRAMES * period

        def audio_for(frames):
            return frames * period + ahead_s

        def chunk1_audio_s():
            rt = self._runtime
            f = getattr(rt, "samples_for_chunk", None) if rt is not None else None
            if f is not None:
                try:
                    return float(f(1)) / float(_SAMPLE_RATE_HZ)
                except Exception:
                    pass
            return audio_for(_L2_CHUNK0_FRAMES + _L2_CHUNK_FRAMES)

        def terminal(it):
            return it is _STREAM_END or isinstance(it, BaseException)

        def silent(bgr):
            return VideoFrame(bgr_image=bgr, audio_chunk=AudioChunk(
                data=silence, sample_rate=_SAMPLE_RATE_HZ, last_chunk=False))

        def held():
            fr = silent(last_bgr)
            if last_gen is not None:
                fr._ov_gen = last_gen
            return fr

        def next_chunk_in_time(ready, now):
            nonlocal t_chunk0, lag0
            t0 = getattr(self, "_arr_t0", None)
            got = float(getattr(self, "_arr_s", 0.0) or 0.0)
            if t0 is None or got <= 0.0:
                return False
            done = bool(getattr(self, "_arr_done", False))
            if t_chunk0 is None:
                t_chunk0 = now
                rate0 = got / max(now - t0, 0.001)
                lag0 = max(0.0, now - (t0 + audio_for(ready) / rate0))
            need1 = chunk1_audio_s()
            t_end = getattr(self, "_arr_t_end", None) if done else None
            rate = got / max((t_end if t_end is not None else now) - t0, 0.001)
            t_audio1 = max(t_chunk0, t0 + need1 / rate)
            steady = getattr(self, "_l2_steady_s", None)
            if steady is not None:
                r1 = steady
            else:
                r0 = getattr(self, "_l2_r0", None)
                r1 = (r0 if r0 is not None else (lag0 if lag0 else 0.0)) * _L2_R1_FACTOR
            return now + ready * period >= t_audio1 + r1 + _L2_START_MARGIN_S

        while True:
            while True:
                try:
                    it = q.get_nowait()
                except asyncio.QueueEmpty:
                    break
                if not self._stale(it):
                    buf.append(it)
            if self._playout_reset:
                self._playout_reset = False
                # Only what was made before the barge-in goes: frames of speech pushed
                # right after it may be here already.
                buf = deque(it for it in buf
                            if terminal(it) or getattr(it, "_ov_gen", None) == self._gen)
                playing = False
                t_chunk0 = None
                lag0 = None
                if last_gen is not None and last_gen < self._gen:
                    # The interrupted speech's picture is not shown again.
                    last_bgr = None
                    last_gen = None
            if self._stop_event.is_set() and any(terminal(it) for it in buf):
                for it in list(buf):
                    if terminal(it):
                        await self._out_queue.put(it)
                        if it is _STREAM_END:
                            return
                buf.clear()
            now = time.monotonic()
            if now < next_due:
                try:
                    it = await _get_within(q, next_due - now)
                except asyncio.TimeoutError:
                    continue
                if not self._stale(it):
                    buf.append(it)
                continue
            # A late clock ticks back to back, but never makes up more than the catch-up span.
            next_due = max(next_due + period, time.monotonic() - _L2_CATCHUP_S)
            if not playing and buf:
                ready = sum(1 for it in buf if isinstance(it, VideoFrame) and it.bgr_image is not None)
                ended = any(terminal(it) or (isinstance(it, VideoFrame) and it.end_of_speech) for it in buf)
                if ready >= _L2_PREROLL_FRAMES:
                    playing = True
                elif ended:
                    playing = True
                elif ready >= _L2_CHUNK0_FRAMES and next_chunk_in_time(ready, time.monotonic()):
                    playing = True
                if playing:
                    t_chunk0 = None
                    lag0 = None
                    self._drop_queued_resting()
            shown = False
            while playing and buf and not shown:
                it = buf.popleft()
                await self._out_queue.put(it)
                if it is _STREAM_END:
                    return
                if isinstance(it, VideoFrame):
                    if it.bgr_image is not None:
                        last_bgr = it.bgr_image
                        last_gen = getattr(it, "_ov_gen", None)
                        shown = True
                    if it.end_of_speech:
                        playing = False
            if shown:
                continue
            if playing and last_bgr is not None:
                await self._out_queue.put(held())
                continue
            rt = self._runtime
            idle = None
            if rt is not None:
                try:
                    idle = rt.get_source_frame(-1)
                except Exception:
                    idle = None
            if not _no_image(idle):
                fr = silent(idle)
            elif last_bgr is not None:
                fr = held()
            else:
                continue
            fr._ov_resting = True
            await self._out_queue.put(fr)

    def _drop_queued_resting(self):
        _keep_only(self._out_queue, lambda it: not getattr(it, "_ov_resting", False))
        kept = [it for it in self._out_carry if not getattr(it, "_ov_resting", False)]
        self._out_carry.clear()
        self._out_carry.extend(kept)

    # -- engine worker ------------------------------------------------------------------
    async def _engine(self, fn, *args):
        ex = self._engine_executor
        if ex is None:
            ex = concurrent.futures.ThreadPoolExecutor(max_workers=1, thread_name_prefix="orvane-engine")
            self._engine_executor = ex
        loop = asyncio.get_running_loop()
        return await loop.run_in_executor(ex, fn, *args)

    # -- v2 engines ---------------------------------------------------------------------
    def _is_v2_stream(self):
        from orvane.unified_header import is_v2_engine

        return bool(is_v2_engine(getattr(self, "_engine_id", None)))

    async def _drain_v2_tail(self, *, rt, pcm_buf, spt, ticks_emitted, tail_total, message_id):
        # The tail is collected the way the utterance was: composed at the output size
        # when one is set.  Pulling it at native size would mix frame sizes in one
        # stream, and the streaming feed would send the utterance again from its first
        # sample, since composing never moves the pushed-sample count.
        kw = dict(rt=rt, pcm_buf=pcm_buf, spt=spt, message_id=message_id, tail_total=tail_total,
                  out_size=self._output_size, eos_padding=True, mark_last=False)
        emitted = await self._emit_ready_ticks(ticks_emitted=ticks_emitted, **kw)
        try:
            await self._engine(rt.end_utterance)
        except Exception as e:
            _log.warning("orvane: the engine could not end the utterance; its last frames may be "
                         "missing (%s: %s)", type(e).__name__, e)
        stall = time.monotonic() + _V2_DRAIN_STALL_S
        while ticks_emitted + emitted < tail_total:
            if self._stop_event.is_set() or self._interrupt_event.is_set():
                break
            n = await self._emit_ready_ticks(ticks_emitted=ticks_emitted + emitted, **kw)
            if n:
                emitted += n
                stall = time.monotonic() + _V2_DRAIN_STALL_S
                continue
            if time.monotonic() > stall:
                break
            await asyncio.sleep(1.0 / self._engine_fps)
        return emitted

    # -- tick emitter ---------------------------------------------------------------------
    async def _emit_ready_ticks(self, *, rt, pcm_buf, spt, out_size, ticks_emitted, message_id,
                                eos_padding, tail_total=None, mark_last=True):
        n_samples = int(pcm_buf.size)
        streaming = out_size is None

        if streaming and self._is_l2_stream():
            # Never hand the engine more than one chunk's worth of backlog at once, and
            # emit what each slice completes before feeding the next.
            early = 0
            while n_samples - self._stream_pushed > _L2_FEED_SLICE_SAMPLES:
                if self._stop_event.is_set() or self._interrupt_event.is_set():
                    break
                end = self._stream_pushed + _L2_FEED_SLICE_SAMPLES
                early += await self._emit_ready_ticks(
                    rt=rt, pcm_buf=pcm_buf[:end], spt=spt, out_size=out_size,
                    ticks_emitted=ticks_emitted + early, message_id=message_id,
                    eos_padding=False, tail_total=None, mark_last=False)
            if early != 0:
                return early + await self._emit_ready_ticks(
                    rt=rt, pcm_buf=pcm_buf, spt=spt, out_size=out_size,
                    ticks_emitted=ticks_emitted + early, message_id=message_id,
                    eos_padding=eos_padding, tail_total=tail_total, mark_last=mark_last)

        if streaming and n_samples > self._stream_pushed:
            new_pcm = np.array(pcm_buf[self._stream_pushed:], dtype=np.float32, copy=True)
            l2 = self._is_l2_stream()
            had = int(rt.ticks_available()) if l2 else 0
            t_feed = time.monotonic()
            await self._engine(rt.push_audio, new_pcm)
            if l2 and int(rt.ticks_available()) > had:
                dur = time.monotonic() - t_feed
                if getattr(self, "_l2_r0", None) is None:
                    self._l2_r0 = dur
                else:
                    prev = getattr(self, "_l2_steady_s", None)
                    self._l2_steady_s = dur if prev is None else 0.7 * prev + 0.3 * dur
            self._stream_pushed = n_samples

        ready_total = max(n_samples // spt - _LOOKBACK_TICKS, 0)
        if streaming:
            avail = int(rt.ticks_available())
            if not eos_padding:
                n_to_emit = min(avail, max(ready_total - ticks_emitted, 0))
            elif tail_total is not None:
                n_to_emit = min(avail, max(tail_total - ticks_emitted, 0))
            else:
                n_to_emit = avail
        elif eos_padding:
            assert tail_total is not None
            n_to_emit = tail_total - ticks_emitted
        else:
            n_to_emit = ready_total - ticks_emitted
        if n_to_emit <= 0:
            return 0

        emitted = 0
        for k in range(n_to_emit):
            if self._stop_event.is_set() or self._interrupt_event.is_set():
                return emitted
            tick_idx = ticks_emitted + k
            seg = pcm_buf[tick_idx * spt:(tick_idx + 1) * spt]
            if seg.size < spt:
                seg = np.concatenate((seg, np.zeros(spt - seg.size, dtype=np.float32)))
            pcm_i16 = (np.clip(seg, -1.0, 1.0) * INT16_MAX).astype(np.int16)
            if streaming:
                _, bgr = await self._engine(rt.pull_frame, -1)
            else:
                try:
                    args = (pcm_buf, -1, int(out_size[0]), int(out_size[1]))
                    if getattr(rt, "compose_waits", False):
                        # A runtime over a rendering process waits for the chunk a tick
                        # belongs to: on the engine worker, not on the event loop.
                        _, bgr = await self._engine(rt.tick_compose_to_size, *args)
                    else:
                        _, bgr = rt.tick_compose_to_size(*args)
                except ValueError as e:
                    text = str(e)
                    if "cursor past end" in text or "status=6" in text:
                        return emitted
                    raise
            if streaming:
                is_last = mark_last and eos_padding and k == n_to_emit - 1
            else:
                is_last = mark_last and eos_padding and tick_idx == tail_total - 1
            chunk = AudioChunk(data=pcm_i16, sample_rate=_SAMPLE_RATE_HZ, last_chunk=is_last)
            await self._emit_out(VideoFrame(bgr_image=bgr, audio_chunk=chunk, frame_index=tick_idx,
                                            source_message_id=message_id, end_of_speech=is_last))
            emitted += 1
        return emitted


__all__ = ["AsyncAvatar"]

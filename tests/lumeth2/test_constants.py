"""Stream constants and the host's log line `_elog`."""

import io
import os
import subprocess
import sys

import pytest

from orvane._lumeth2 import _chain_host as m

STREAM = {
    "SR": 16000, "SPF": 800, "SPC": 25600, "FPS": 20, "WIN_SAMPLES": 44000,
    "TEMPO_SAMPLES": 35200, "CHUNK0_LAT": 6, "STEADY_LAT": 8, "STEADY_PX": 32,
    "PRESENT_DELAY_FRAMES": 1, "LC": 16, "LH": 90, "LW": 52, "CTX": 16, "NA": 16,
    "CA": 384, "FH": 720, "FW": 416, "PLANE": 4680, "HWPX": 299520, "FRAME36": 168480,
}


def test_stream_constants():
    got = {k: getattr(m, k) for k in STREAM}
    assert got == STREAM
    assert all(type(v) is int for v in got.values())
    # the relations the rest of the chain leans on
    assert m.SPF * m.FPS == m.SR
    assert m.STEADY_PX * m.SPF == m.SPC
    assert m.TEMPO_SAMPLES * 1.25 == m.WIN_SAMPLES
    assert m.STEADY_PX == 4 * m.STEADY_LAT
    assert m.LC * m.PLANE == 74880
    assert m.HWPX * 3 == 898560


NAMED = {
    "SR_WSOLA_SEGMENT": 1312, "SR_WSOLA_OVERLAP": 192, "SR_WSOLA_SEARCH": 235,
    "_SIGS": ("enc", "tok14", "step", "dec16", "dec8"),
    "COLOR_MEMBER": "color.json", "COLOR_ENV": "LUMETH2_COLOR_CORRECT",
    "COLOR_LOG_PREFIX": "colour-correct:", "RGB_THREADS_ENV": "LUMETH2_RGB_THREADS",
    "COMBINED_MEMBER": "combined_litert.tflite", "Q8GD_MEMBER": "combined_litert_q8gd.tflite",
    "Q8GD_HEADER_KEY": "litert_q8gd", "Q8GD_ENV": "LUMETH2_Q8GD",
    "INT8_DOT_FLAGS": ("avx512_vnni", "avx_vnni"), "Q8GD_LOG": "[q8gd]",
}


def test_named_constants():
    got = {k: getattr(m, k) for k in NAMED}
    assert got == NAMED
    assert {k: type(v) for k, v in got.items()} == {k: type(v) for k, v in NAMED.items()}
    assert (m.SR_WSOLA_SEGMENT - m.SR_WSOLA_OVERLAP, (m.SR_WSOLA_SEARCH - 1) // 2) == (1120, 117)


# The module body assigns its names in this order (later code may rely on the
# earlier names being in place, e.g. the colour constants before the streams).
LOAD_ORDER = [
    "atexit", "zipfile", "ThreadPoolExecutor", "_futures_wait", "np", "_SED", "_SED_WHY",
    "COLOR_MEMBER", "parse_color_correct", "_IN", "_OUT", "_elog", "SR", "SPF", "SPC", "FPS",
    "WIN_SAMPLES", "TEMPO_SAMPLES", "CHUNK0_LAT", "STEADY_LAT", "STEADY_PX",
    "PRESENT_DELAY_FRAMES", "LC", "LH", "LW", "CTX", "NA", "CA", "FH", "FW", "PLANE", "HWPX",
    "FRAME36", "sliding_window_view", "SR_WSOLA_SEGMENT", "SR_WSOLA_OVERLAP", "SR_WSOLA_SEARCH",
    "tempo_wsola", "_SIGS", "LitertChain", "build_dec_inputs", "px_to_rgb888", "RGB_THREADS_ENV",
    "_RGB_POOL", "_RGB_POOL_LOCK", "_RGB_TLS", "px_to_rgb888_chunk", "_SlidingPCM", "Renderer",
    "read_exact", "write_frame", "emit", "_qvx_toc", "_member_bytes", "_listing",
    "COMBINED_MEMBER", "Q8GD_MEMBER", "Q8GD_HEADER_KEY", "Q8GD_ENV", "INT8_DOT_FLAGS", "Q8GD_LOG",
    "_select_q8gd", "litert_runtime_version", "_STAGED", "_stage_dir", "_drop_staged",
    "_release_staged", "_stage_tflite", "_resolve_shared_enc", "main", "_serve",
]


def test_module_body_load_order():
    order = list(vars(m))
    assert [n for n in order if n in LOAD_ORDER] == LOAD_ORDER


class Recorder:
    def __init__(self):
        self.events = []

    def write(self, s):
        self.events.append(("write", s))
        return len(s)

    def flush(self):
        self.events.append(("flush",))


@pytest.mark.parametrize(
    "args,line",
    [
        ((), "[render-stream-chain-host]\n"),
        (("ready", 3), "[render-stream-chain-host] ready 3\n"),
        (("",), "[render-stream-chain-host] \n"),
        (("", ""), "[render-stream-chain-host]  \n"),
        (("it's", None, 1.5, [1, "a"]), "[render-stream-chain-host] it's None 1.5 [1, 'a']\n"),
        (("FATAL: no canon.bin in /x — y",), "[render-stream-chain-host] FATAL: no canon.bin in /x — y\n"),
    ],
)
def test_elog_line(monkeypatch, args, line):
    rec = Recorder()
    monkeypatch.setattr(sys, "stderr", rec)
    assert m._elog(*args) is None
    assert "".join(e[1] for e in rec.events if e[0] == "write") == line
    assert rec.events[-1] == ("flush",)


def test_elog_looks_up_stderr_at_every_call(monkeypatch):
    a, b = io.StringIO(), io.StringIO()
    monkeypatch.setattr(sys, "stderr", a)
    m._elog("one")
    monkeypatch.setattr(sys, "stderr", b)
    m._elog("two")
    assert a.getvalue() == "[render-stream-chain-host] one\n"
    assert b.getvalue() == "[render-stream-chain-host] two\n"


def test_elog_without_a_stderr_writes_nothing(monkeypatch):
    # and above all nothing to stdout, which carries the frame protocol
    out = Recorder()
    monkeypatch.setattr(sys, "stderr", None)
    monkeypatch.setattr(sys, "stdout", out)
    assert m._elog("lost") is None
    assert out.events == []


def test_elog_refuses_keywords(monkeypatch):
    rec = Recorder()
    monkeypatch.setattr(sys, "stderr", rec)
    with pytest.raises(TypeError, match="unexpected keyword argument 'sep'"):
        m._elog("x", sep=",")
    assert rec.events == []


def test_elog_passes_write_errors_on(monkeypatch):
    class Broken:
        def write(self, s):
            raise BrokenPipeError(32, "Broken pipe")

        def flush(self):
            pass

    monkeypatch.setattr(sys, "stderr", Broken())
    with pytest.raises(BrokenPipeError):
        m._elog("x")


def test_elog_bytes_on_the_real_stream():
    code = ("from orvane._lumeth2 import _chain_host as m\n"
            "m._elog('ready', 3)\nm._elog('a — b')\nm._elog()\n")
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, timeout=120,
                       env={**os.environ, "PYTHONIOENCODING": "utf-8"})
    assert r.returncode == 0, r.stderr
    assert r.stdout == b""
    assert r.stderr == ("[render-stream-chain-host] ready 3\n"
                        "[render-stream-chain-host] a — b\n"
                        "[render-stream-chain-host]\n").encode()

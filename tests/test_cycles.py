"""Native classes that hold Python objects take part in cycle collection.

Each maker below builds an instance of a native class whose held object refers
back to it, and returns (instance, the held object). Without traverse and clear
slots such a cycle is never freed, and the extension reports the instances as
leaked when the interpreter exits.
"""
import gc
import os
import pathlib
import subprocess
import sys
import weakref

import numpy as np
import pytest

from orvane import _open
from orvane._f2u import host
from orvane._lumeth2 import _chain_host as l2


class Holder:
    """A plain object that refers back to what holds it."""

    def new_hist(self):  # enough of a chain for a Renderer
        return np.zeros(3, np.float32)

    def close(self):  # enough of an engine for an Avatar
        pass


def _renderer(models):
    h = Holder()
    r = l2.Renderer(h)
    h.back = r
    return r, h


def _litert_chain(models):
    c = l2.LitertChain([models["combined"]], np.zeros(16 * 4680, np.float32), 1)
    h = Holder()
    h.back = c
    c._its.append(h)
    return c, h


def _color_correct(models):
    h = Holder()
    cc = l2.ColorCorrect("lut", lut=np.zeros((3, 256), np.uint8), source=h)
    h.back = cc
    return cc, h


def _ar2_noise(models):
    a = host.AR2Noise({"ar": [{"a1": 0.5, "a2": 0.1, "sig": 1.0}]}, 3)
    h = Holder()
    h.back = a
    a.h = h  # through the instance dictionary
    return a, h


def _avatar(models):
    h = Holder()
    a = _open.Avatar(h, "ferrin1")
    h.back = a
    return a, h


def _clocked_chunks(models):
    h = Holder()
    it = _open._RenderClock().chunks(h)
    h.back = it
    return it, h


MAKERS = {
    "Renderer": _renderer,
    "LitertChain": _litert_chain,
    "ColorCorrect": _color_correct,
    "AR2Noise": _ar2_noise,
    "Avatar": _avatar,
    "_ClockedChunks": _clocked_chunks,
}


@pytest.fixture(scope="module")
def models(tmp_path_factory):
    pytest.importorskip("ai_edge_litert")
    import make_lumeth2_models

    return make_lumeth2_models.write_models(tmp_path_factory.mktemp("cycle_models"))


@pytest.mark.parametrize("make", MAKERS.values(), ids=MAKERS.keys())
def test_cycle_through_a_native_instance_is_freed(make, models):
    obj, held = make(models)
    gone = weakref.ref(held)
    del obj, held
    gc.collect()
    assert gone() is None


def _sliding_pcm(models):
    # its one reference, the buffer's storage, cannot close a cycle; the
    # collector still sees it
    b = l2._SlidingPCM()
    return b, b.storage


HELD = {
    "Renderer": lambda r: [r.chain, r.cc, r._pcm, r.buf, r.hist],
    "LitertChain": lambda c: [c._its, c.enc, c.tok, c.step, c.dec16, c.dec8, c.canon],
    "ColorCorrect": lambda cc: [cc.kind, cc.lut, cc.source],
    "AR2Noise": lambda a: [a.__dict__, *a.rng],
    "Avatar": lambda a: [a._engine, a._engine_id],
    "_SlidingPCM": lambda b: [b.storage],
}


@pytest.mark.parametrize("name", HELD)
def test_collector_sees_what_an_instance_holds(name, models):
    obj, _ = (_sliding_pcm if name == "_SlidingPCM" else MAKERS[name])(models)
    assert gc.is_tracked(obj)
    seen = gc.get_referents(obj)
    for x in HELD[name](obj):
        assert any(x is y for y in seen)


def test_no_instance_is_left_at_exit(models):
    # cycles through every class are left for the interpreter to collect as it
    # shuts down; the extensions report any instance still alive then
    code = (
        "import pathlib, sys\n"
        f"sys.path[:0] = [{str(pathlib.Path(__file__).parent)!r}, {str(pathlib.Path(__file__).parents[1] / 'tools')!r}]\n"
        "import test_cycles as t\n"
        "models = {k: pathlib.Path(v) for k, v in " + repr({k: str(v) for k, v in models.items()}) + ".items()}\n"
        "keep = [make(models) for make in t.MAKERS.values()] + [t._sliding_pcm(models)]\n"
        "print('built', len(keep))\n"
    )
    env = {k: v for k, v in os.environ.items() if k != "PYTHONUNBUFFERED"}
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, timeout=120, env=env)
    assert r.returncode == 0, r.stderr.decode()
    assert r.stdout == f"built {len(MAKERS) + 1}\n".encode()
    assert b"leaked" not in r.stderr, r.stderr.decode()

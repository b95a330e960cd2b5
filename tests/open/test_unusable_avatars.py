"""Avatars that cannot be used are refused with InvalidAvatar naming the file and what is
wrong, never a raw error or a traceback: damaged containers and manifests, random
damage to real containers, a pipe swapped in under the name, a bundle the render host
will not start on; in `open`, in the streaming `create` and on the command line. Names
that land on one path are one member to the kind lookup and to the unpack alike."""
import asyncio
import json
import os
import pathlib
import random
import struct
import subprocess
import sys
import threading
import wave
import zipfile

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from cache_fixtures import cache, members, om  # noqa: E402,F401
from lumeth2_bundle_pack import write_qvx, write_zip  # noqa: E402

CANNOT_RUN = ("that avatar cannot run on this machine. Render it in the cloud with the Video API "
              "(POST /v1/video/generate), or open it on Apple Silicon macOS or Linux.")


def qvx_pairs(path, pairs) -> str:
    """A QVX container of (name bytes, data) pairs, duplicates kept, in this order."""
    table_len = 8 + sum(2 + len(n) + 16 for n, _ in pairs)
    head, body, offset = bytearray(b"QVX\0" + struct.pack("<HH", 1, len(pairs))), bytearray(), table_len
    for name, data in pairs:
        head += struct.pack("<H", len(name)) + name + struct.pack("<QQ", offset, len(data))
        body += data
        offset += len(data)
    pathlib.Path(path).write_bytes(bytes(head + body))
    return str(path)


def zip_pairs(path, pairs) -> str:
    with zipfile.ZipFile(path, "w") as z:
        for name, data in pairs:
            z.writestr(name, data)
    return str(path)


def non_utf8_zip_name(path) -> str:
    """A zip whose member name is flagged UTF-8 but is not."""
    zip_pairs(path, [("manifest.json", b'{"engine": "ferrin2-light"}'), ("mXdel.bin", b"w")])
    raw = pathlib.Path(path).read_bytes().replace(b"mXdel", b"m\xffdel")
    raw = raw.replace(b"\x14\x00\x00\x00", b"\x14\x00\x00\x08")  # general purpose flag: UTF-8 names
    pathlib.Path(path).write_bytes(raw)
    return str(path)


def light(tag="a") -> bytes:
    return json.dumps({"engine": "ferrin2-light", "tag": tag}).encode()


def damaged(kind, tmp_path) -> str:
    p = tmp_path / f"{kind}.qvx"
    weights = ("models/w.bin", bytes(64))
    if kind == "text-file":
        p.write_text("this is a note, not an avatar\n")
    elif kind == "empty-zip":
        zip_pairs(p, [])
    elif kind == "cut-short-zip":
        write_zip(p, members())
        p.write_bytes(p.read_bytes()[: p.stat().st_size // 2])
    elif kind == "damaged-qvx-table":
        p.write_bytes(b"QVX\0" + struct.pack("<HH", 1, 3) + struct.pack("<H", 40) + b"manifest")
    elif kind == "qvx-member-outside":
        p.write_bytes(b"QVX\0" + struct.pack("<HH", 1, 1) + struct.pack("<H", 13) + b"manifest.json"
                      + struct.pack("<QQ", 1 << 40, 10))
    elif kind == "non-utf8-qvx-name":
        qvx_pairs(p, [(b"manifest.json", light()), (b"m\xffdel.bin", b"w")])
    elif kind == "non-utf8-zip-name":
        non_utf8_zip_name(p)
    elif kind == "broken-manifest":
        write_qvx(p, {"manifest.json": b'{"engine": "ferrin2-li', weights[0]: weights[1]})
    elif kind == "manifest-not-utf8":
        write_zip(p, {"manifest.json": b'{"engine": "\xff\xfe"}', weights[0]: weights[1]})
    elif kind == "engine-less-manifest":
        write_qvx(p, {"manifest.json": b'{"name": "no engine"}', weights[0]: weights[1]})
    elif kind == "manifest-a-list":
        write_zip(p, {"manifest.json": b"[]", weights[0]: weights[1]})
    elif kind == "manifest-nested-deep":
        write_qvx(p, {"manifest.json": b"[" * 200000 + b"]" * 200000, weights[0]: weights[1]})
    elif kind == "manifest-less-zip":
        write_zip(p, {weights[0]: weights[1]})
    elif kind == "zip-member-before-start":
        # The end record puts the central directory 4 KB further on than it lies: the
        # reader takes the difference for bytes prepended to the archive, and every
        # member's local header then lies before the start of the file.
        write_zip(p, members())
        raw = bytearray(p.read_bytes())
        end = raw.rindex(b"PK\x05\x06")
        struct.pack_into("<I", raw, end + 16, struct.unpack_from("<I", raw, end + 16)[0] + 4096)
        p.write_bytes(bytes(raw))
    elif kind == "fifo":
        os.mkfifo(p)
    else:
        raise AssertionError(kind)
    return str(p)


DAMAGED = ["text-file", "empty-zip", "cut-short-zip", "damaged-qvx-table", "qvx-member-outside",
           "non-utf8-qvx-name", "non-utf8-zip-name", "broken-manifest", "manifest-not-utf8",
           "engine-less-manifest", "manifest-a-list", "manifest-nested-deep", "manifest-less-zip",
           "zip-member-before-start", "fifo"]


def in_thread(fn, timeout=60):
    """fn() run on a daemon thread: (finished, result or exception)."""
    box = {}

    def run():
        try:
            box["r"] = fn()
        except BaseException as e:  # noqa: BLE001 - handed back to the test
            box["r"] = e

    t = threading.Thread(target=run, daemon=True)
    t.start()
    t.join(timeout)
    return not t.is_alive(), box.get("r")


def assert_refused(e, path):
    """InvalidAvatar in one line. A refusal made here of an error that escaped the kind
    lookup or the engine names the file and keeps that error as its cause; the unpack's
    and the fixture adapter's own refusals keep the caught error as their detail."""
    from orvane._errors import InvalidAvatar
    assert isinstance(e, InvalidAvatar), repr(e)
    assert e.args[0] == "that is not a usable avatar"
    assert "\n" not in str(e), str(e)
    if e.__cause__ is not None:
        assert str(e).startswith(f"that is not a usable avatar ({path}: "), str(e)
    else:
        assert isinstance(e.detail, Exception), repr(e.detail)


@pytest.mark.parametrize("kind", DAMAGED)
def test_damaged_container_is_invalid_avatar(om, cache, tmp_path, kind):
    path = damaged(kind, tmp_path)
    done, e = in_thread(lambda: om.open(path))
    assert done, "open() hung"
    assert_refused(e, path)
    assert path in str(e), str(e)


@pytest.mark.parametrize("kind", ["empty-zip", "manifest-less-zip"])
def test_container_without_a_manifest_says_so(om, cache, tmp_path, kind):
    """A container with no engine manifest is read as a fixture description: the refusal
    names the file and says what was missing, not a bare JSON or UTF-8 decoding error."""
    path = damaged(kind, tmp_path)
    done, e = in_thread(lambda: om.open(path))
    assert done, "open() hung"
    assert_refused(e, path)
    assert f"{path} has no engine manifest" in str(e), str(e)


@pytest.mark.parametrize("kind", ["text-file", "cut-short-zip", "non-utf8-zip-name", "broken-manifest",
                                  "engine-less-manifest", "fifo"])
@pytest.mark.parametrize("how", ["create", "set_model"])
def test_streaming_load_refuses_a_damaged_model(tmp_path, kind, how):
    from orvane._avatar import AsyncAvatar
    from orvane._exceptions import OrvaneError
    path = damaged(kind, tmp_path)

    async def load():
        if how == "create":
            return await AsyncAvatar.create(model_path=path)
        av = AsyncAvatar()
        try:
            await av.set_model(path)
        finally:
            await av.shutdown()

    done, e = in_thread(lambda: asyncio.run(load()))
    assert done, f"{how}() hung"
    assert isinstance(e, OrvaneError), repr(e)  # the streaming API's family, and the offline one's class
    assert_refused(e, path)
    assert e.__cause__ is not None


def test_swapped_in_pipe_never_hangs_the_kind_lookup(om, tmp_path):
    """The owner of an offered file swaps a named pipe in and out under its name: the
    kind lookup checks what it opened, so it never waits on the pipe."""
    script = r"""
import os, sys, threading, time
import orvane._open as om
path = sys.argv[1]
real = open(sys.argv[2], "rb").read()
stop = False
def swap():
    n = 0
    while not stop:
        n += 1
        fifo, plain = f"{path}.f{n}", f"{path}.p{n}"
        os.mkfifo(fifo)
        os.rename(fifo, path)
        with open(plain, "wb") as f:
            f.write(real)
        os.rename(plain, path)
threading.Thread(target=swap, daemon=True).start()
end = time.monotonic() + 4
seen = set()
while time.monotonic() < end:
    try:
        seen.add(om._engine_of(path))
    except (ValueError, OSError) as e:
        seen.add(type(e).__name__)
stop = True
print(sorted(seen))
"""
    good = write_qvx(tmp_path / "good.qvx", members())
    r = subprocess.run([sys.executable, "-c", script, str(tmp_path / "offered.qvx"), good],
                       capture_output=True, timeout=120)
    assert r.returncode == 0, r.stderr.decode()[-2000:]
    assert "ferrin2-light" in r.stdout.decode()


# ---- random damage to real containers ----

def mutate(data: bytes, rng: random.Random) -> bytes:
    b = bytearray(data)
    how = rng.randrange(5)
    if how == 0:  # flipped bytes
        for _ in range(rng.randint(1, 8)):
            b[rng.randrange(len(b))] ^= 1 << rng.randrange(8)
    elif how == 1:  # cut short
        del b[rng.randrange(len(b)):]
    elif how == 2:  # a run overwritten
        at = rng.randrange(len(b))
        n = rng.randint(1, 32)
        b[at:at + n] = bytes(rng.randrange(256) for _ in range(n))
    elif how == 3:  # bytes inserted
        at = rng.randrange(len(b))
        b[at:at] = bytes(rng.randrange(256) for _ in range(rng.randint(1, 16)))
    else:  # bytes removed
        at = rng.randrange(len(b))
        del b[at:at + rng.randint(1, 16)]
    return bytes(b)


@pytest.mark.parametrize("form", ["qvx", "zip"])
def test_randomly_damaged_containers_open_or_are_refused(om, cache, tmp_path, form):
    base = tmp_path / f"base.{form}"
    (write_qvx if form == "qvx" else write_zip)(base, members(extra=300))
    data = base.read_bytes()
    rng = random.Random(18)
    outcomes = {"opened": 0, "refused": 0}
    for i in range(150):
        p = tmp_path / f"m{i}.{form}"
        p.write_bytes(mutate(data, rng))
        try:
            with om.open(str(p)):
                outcomes["opened"] += 1
        except om.NotSupported as e:
            assert e.args[0] == CANNOT_RUN, (i, e)  # damage that renamed the engine kind
        except om.InvalidAvatar as e:
            assert_refused(e, str(p))
            outcomes["refused"] += 1
        except Exception as e:  # noqa: BLE001
            pytest.fail(f"mutation {i}: {type(e).__name__}: {e}")
    assert outcomes["opened"] and outcomes["refused"], outcomes


# ---- the command line ----

@pytest.mark.parametrize("kind", ["text-file", "cut-short-zip", "non-utf8-qvx-name", "broken-manifest",
                                  "engine-less-manifest", "fifo"])
def test_command_line_says_one_line_and_exits_1(cache, tmp_path, kind):
    path = damaged(kind, tmp_path)
    speech = tmp_path / "speech.wav"
    with wave.open(str(speech), "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(16000)
        w.writeframes(bytes(3200))
    r = subprocess.run([sys.executable, "-m", "orvane", "render", path, str(speech), str(tmp_path / "out.mp4")],
                       capture_output=True, stdin=subprocess.DEVNULL, timeout=120,
                       env=dict(os.environ, ORVANE_CACHE_DIR=os.path.dirname(cache)))
    err = r.stderr.decode()
    assert r.returncode == 1 and r.stdout == b"", err
    assert err.count("\n") == 1 and err.startswith(f"orvane: that is not a usable avatar ({path}: "), err


# ---- names that land on one path ----

@pytest.mark.parametrize("form", ["qvx", "zip"])
@pytest.mark.parametrize("second", ["manifest.json", "./manifest.json", "models/../manifest.json"])
def test_kind_lookup_and_unpack_read_the_same_manifest(om, cache, tmp_path, form, second):
    """Of two names for one path the last is the member, in the kind lookup as in the
    unpacked entry."""
    first = json.dumps({"engine": "ferrin2-light", "tag": "first"}).encode()
    last = json.dumps({"engine": "ferrin2-golden", "tag": "last"}).encode()
    pairs = [("manifest.json", first), ("models/w.bin", b"w"), (second, last)]
    p = tmp_path / f"a.{form}"
    if form == "qvx":
        qvx_pairs(p, [(n.encode(), d) for n, d in pairs])
    else:
        with pytest.warns(UserWarning) if second == "manifest.json" else _nothing():
            zip_pairs(p, pairs)
    assert om._engine_of(str(p)) == "ferrin2-golden"
    entry = om._materialise(str(p))
    assert json.loads(pathlib.Path(entry, "manifest.json").read_bytes())["tag"] == "last"


class _nothing:
    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False


@pytest.mark.parametrize("order", ["broken-last", "broken-first"])
def test_duplicate_manifest_broken_copy(om, cache, tmp_path, order):
    """A container whose kind came from one copy of the manifest while the unpack kept the
    other was published as an entry that failed every later open with a raw error."""
    broken = b'{"engine": "ferrin2-li'
    pairs = [(b"manifest.json", light()), (b"models/w.bin", b"w"), (b"./manifest.json", broken)]
    if order == "broken-first":
        pairs.reverse()
    p = qvx_pairs(tmp_path / "a.qvx", pairs)
    for _ in range(2):  # the second open is a cache hit
        if order == "broken-last":
            with pytest.raises(om.InvalidAvatar):
                om.open(p)
        else:
            with om.open(p) as a:
                assert a is not None


# ---- a bundle the render host will not start on ----

@pytest.fixture
def bad_l2_bundle(tmp_path):
    """A lumeth-2 bundle whose model is no model: the real host ends at start-up, its
    report a whole Python traceback."""
    pytest.importorskip("ai_edge_litert")
    from lumeth2_bundle_pack import write_dir
    return write_dir(tmp_path / "bundle", {"manifest.json": b'{"engine": "lumeth2"}',
                                           "canon.bin": bytes(74880 * 4),
                                           "combined_litert.tflite": b"not a model at all"})


def test_host_start_failure_is_invalid_avatar(om, bad_l2_bundle):
    from orvane._lumeth2._client import HostError
    with pytest.raises(om.InvalidAvatar) as ei:
        om.open(bad_l2_bundle)
    assert_refused(ei.value, bad_l2_bundle)
    assert isinstance(ei.value.__cause__, HostError) and len(str(ei.value)) < 600


def test_host_start_failure_in_create_is_invalid_model(bad_l2_bundle):
    from orvane._avatar import AsyncAvatar
    from orvane._exceptions import OrvaneError
    from orvane._lumeth2._client import HostError
    with pytest.raises(OrvaneError) as ei:
        asyncio.run(AsyncAvatar.create(model_path=bad_l2_bundle))
    assert_refused(ei.value, bad_l2_bundle)
    assert isinstance(ei.value.__cause__, HostError)


def test_host_start_failure_on_the_command_line(bad_l2_bundle, tmp_path):
    r = subprocess.run([sys.executable, "-m", "orvane", "render", bad_l2_bundle, "speech.wav",
                        str(tmp_path / "out.mp4")], capture_output=True, stdin=subprocess.DEVNULL, timeout=120)
    err = r.stderr.decode()
    assert r.returncode == 1 and err.count("\n") == 1, err
    assert err.startswith(f"orvane: that is not a usable avatar ({bad_l2_bundle}: HostError: "), err

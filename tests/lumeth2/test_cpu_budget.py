"""CPU budget (affinity, cgroup v2/v1 quotas) and the default thread count."""

import os

import pytest

from orvane._lumeth2 import _chain_host as m

from .cgroup_fixtures import cgroup_tree

LEAF = "0::/user.slice/app.scope\n"
V1_ONE_CORE = ("100000\n", "100000\n")

CASES = [
    # id, cpu count, affinity, /proc/self/cgroup, cpu.max per level, v1 pair, expected
    ("no-files", 8, None, None, None, None, 8),
    ("no-count-reported", None, None, None, None, None, 8),
    ("zero-count-reported", 0, None, None, None, None, 8),
    ("affinity-narrows", 8, 3, None, None, None, 3),
    ("affinity-wider-than-count", 4, 16, None, None, None, 4),
    ("max-everywhere-v1-not-read", 8, None, LEAF,
     {"": "max 100000\n", "user.slice": "max 100000\n", "user.slice/app.scope": "max 100000\n"},
     V1_ONE_CORE, 8),
    ("tightest-level-wins", 8, None, LEAF,
     {"user.slice": "100000 100000\n", "user.slice/app.scope": "150000 100000\n"}, None, 1),
    ("only-leaf-limited", 8, None, LEAF, {"user.slice/app.scope": "150000 100000\n"}, None, 2),
    ("mount-root-level-counts", 8, None, LEAF,
     {"": "200000 100000", "user.slice/app.scope": "max 100000"}, None, 2),
    ("half-core-gives-one", 8, None, LEAF, {"user.slice/app.scope": "50000 100000"}, None, 1),
    ("quota-above-count", 8, None, LEAF, {"user.slice/app.scope": "1600000 100000"}, None, 8),
    ("extra-fields-ignored", 8, None, LEAF, {"user.slice/app.scope": "300000 100000 junk"}, None, 3),
    ("single-field-falls-to-v1", 8, None, LEAF,
     {"": "150000", "user.slice/app.scope": "150000"}, ("250000\n", "100000\n"), 3),
    ("no-cpu-max-v1-unlimited", 8, None, LEAF, None, ("-1\n", "100000\n"), 8),
    ("no-cpu-max-v1-quota", 8, None, None, None, ("250000", "100000"), 3),
    ("v1-malformed", 8, None, None, None, ("abc", "100000"), 8),
    ("v1-period-missing", 8, None, None, None, ("250000", None), 8),
    ("non-integer-quota-still-found", 8, None, LEAF,
     {"user.slice/app.scope": "lots 100000"}, V1_ONE_CORE, 8),
    ("zero-period-skips-level", 8, None, LEAF, {"user.slice/app.scope": "100000 0"}, None, 8),
    ("zero-quota-no-cap", 8, None, LEAF, {"user.slice/app.scope": "0 100000"}, None, 8),
    ("negative-quota-lifts-cap", 8, None, LEAF,
     {"user.slice": "100000 100000", "user.slice/app.scope": "-5 100000"}, None, 8),
    ("no-unified-line-only-mount-root", 8, None, "1:cpu:/x\n",
     {"": "100000 100000", "x": "max 100000"}, None, 1),
    ("root-group", 8, None, "0::/\n", {"": "300000 100000"}, None, 3),
    ("trailing-slashes-dropped", 8, None, "0::/a/b//\n", {"a/b": "200000 100000"}, None, 2),
    ("first-unified-line-wins", 8, None, "0::/a\n0::/b\n",
     {"a": "100000 100000", "b": "max 100000"}, None, 1),
    ("crlf-lines", 8, None, "1:cpu:/\r\n0::/a\r\n", {"a": "100000 100000"}, None, 1),
    ("undecodable-cpu-max-skipped", 8, None, LEAF,
     {"user.slice/app.scope": b"\xff\xfe 100000"}, V1_ONE_CORE, 1),
    ("affinity-and-quota", 16, 6, LEAF, {"user.slice/app.scope": "1000000 100000"}, None, 6),
    ("huge-quota", 8, None, LEAF, {"user.slice/app.scope": "9" * 400 + " 1"}, None, 8),
    # a group name that is not UTF-8 is no cgroup information: only the mount root counts
    ("undecodable-group-name", 8, None, b"0::/caf\xe9\n", {"": "200000 100000", "caf": "100000 100000"},
     None, 2),
    ("undecodable-other-line", 8, None, b"1:cpu:/\xff\n0::/a\n", {"": "300000 100000", "a": "100000 100000"},
     None, 3),
]


@pytest.mark.parametrize("cpus,aff,proc,v2,v1,want", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_effective_cpu_count(tmp_path, cpus, aff, proc, v2, v1, want):
    root = cgroup_tree(tmp_path, proc=proc, v2=v2, v1=v1)
    assert m._effective_cpu_count_at(root, cpus, aff) == want


def test_live_system():
    n = m.effective_cpu_count()
    assert isinstance(n, int) and 1 <= n <= (os.cpu_count() or 8)
    aff = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else None
    assert n == m._effective_cpu_count_at("", os.cpu_count(), aff)


@pytest.mark.parametrize(
    "cores,args,want",
    [
        (8, (), 8),
        (8, (2,), 4),
        (64, (), 24),
        (64, (2,), 24),
        (40, (2,), 20),
        (1, (2,), 1),
        (1, (), 1),
        (2, (1, 6), 6),
        (8, (2, 6), 4),
        (8, (1, None), 8),
        (8, (1, -3), 8),
        (8, (1, "5"), 5),
        (8, (1, 2.9), 2),
        (3, (3, 0), 1),
    ],
)
def test_default_threads(monkeypatch, cores, args, want):
    monkeypatch.delenv("LIBQUARO_THREADS", raising=False)
    monkeypatch.setattr(m, "effective_cpu_count", lambda: cores)
    assert m.default_threads(*args) == want


@pytest.mark.parametrize("env,want", [("", 8), ("3", 3), (" 5 ", 5), ("0", 8), ("-2", 8), ("40", 40)])
def test_default_threads_env(monkeypatch, env, want):
    monkeypatch.setenv("LIBQUARO_THREADS", env)
    monkeypatch.setattr(m, "effective_cpu_count", lambda: 8)
    assert m.default_threads() == want
    assert m.default_threads(n_interpreters=2) == min(want, 4)
    assert m.default_threads(requested=7) == 7  # an explicit request wins


@pytest.mark.parametrize("env", ["word", "8.0", "3 threads"])
def test_default_threads_env_not_integer(monkeypatch, env):
    monkeypatch.setenv("LIBQUARO_THREADS", env)
    with pytest.raises(ValueError, match=r"invalid literal for int\(\) with base 10: " + repr(env)):
        m.default_threads()


def test_default_threads_bad_request():
    with pytest.raises(ValueError):
        m.default_threads(1, "many")

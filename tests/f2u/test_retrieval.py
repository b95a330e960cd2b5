"""Bank retrieval: nearest bank key per frame with hysteresis, across calls."""

from types import SimpleNamespace

import numpy as np
import pytest


def bank(key, sd=1.0, proj=None, mu=None):
    return SimpleNamespace(bank_key=np.asarray(key, np.float64), bank_sd=np.asarray(sd, np.float64),
                           bank_proj=proj, bank_mu=mu)


class RetrRef:
    def __init__(self, idn, hyst=0.85):
        self.Kb, self.proj, self.mu = idn.bank_key, idn.bank_proj, idn.bank_mu
        if self.proj is not None:
            self.Kb = (self.Kb - self.mu) @ self.proj
        self.sd, self.hyst, self.prev = idn.bank_sd, hyst, None

    def __call__(self, keys):
        q = np.asarray(keys, np.float64)
        if self.proj is not None:
            q = (q - self.mu) @ self.proj
        d = np.linalg.norm((q[:, None, :] - self.Kb[None, :, :]) / self.sd, axis=2)
        out = []
        for i in range(len(q)):
            j = int(np.argmin(d[i]))
            if self.prev is not None and d[i, self.prev] <= d[i, j] / self.hyst:
                j = self.prev
            out.append(j)
            self.prev = j
        return np.array(out, dtype=np.int64)


def random_bank(rng, N=40, K=12, P=None):
    key = rng.standard_normal((N, K))
    sd = np.abs(rng.standard_normal(P or K)) + 0.3
    if P is None:
        return bank(key, sd)
    return bank(key, sd, rng.standard_normal((K, P)), rng.standard_normal(K))


@pytest.mark.parametrize("P", [None, 5])
@pytest.mark.parametrize("hyst", [0.85, 1.0, 0.5])
def test_matches_reference_across_calls(host, P, hyst):
    rng = np.random.default_rng(3)
    idn = random_bank(rng, P=P)
    # a slowly drifting query stream so the hysteresis decides often
    keys = np.cumsum(rng.standard_normal((120, 12)) * 0.3, axis=0)
    ours, ref = host.Retr(idn, hyst), RetrRef(idn, hyst)
    got = np.concatenate([ours(keys[a:b]) for a, b in [(0, 1), (1, 50), (50, 50), (50, 120)]])
    want = ref(keys)
    assert got.dtype == np.int64 and got.shape == (120,)
    np.testing.assert_array_equal(got, want)
    assert ours.prev == int(want[-1])
    np.testing.assert_array_equal(ours.Kb, ref.Kb)


def test_attributes_after_construction(host):
    proj, mu = np.eye(2, 2) * 2.0, np.array([1.0, 1.0])
    idn = bank([[1.0, 2.0], [3.0, 5.0]], sd=[1.0, 2.0], proj=proj, mu=mu)
    r = host.Retr(idn)
    np.testing.assert_array_equal(r.Kb, [[0.0, 2.0], [4.0, 8.0]])
    assert r.proj is proj and r.mu is mu and r.sd is idn.bank_sd
    assert r.hyst == 0.85 and r.prev is None
    assert host.Retr(idn, hyst=0.5).hyst == 0.5


# Bank on a line: entry 0 at 0, entry 1 at x; the query sits at q.
# prev = 0 is set by a first query at 0.
@pytest.mark.parametrize(
    "x, q, hyst, want",
    [
        (1.9, 1.0, 0.85, 0),  # prev at 1.0, new at 0.9: 1.0 <= 0.9 / 0.85, prev stays
        (1.8, 1.0, 0.85, 1),  # new at 0.8: 1.0 > 0.8 / 0.85, the new entry wins
        (2.0, 1.0, 0.85, 0),  # equal distances: prev stays
        (2.0, 1.0, 1.0, 0),  # hyst 1.0, exact tie: still the previous entry
        (1.9, 1.0, 1.0, 1),  # hyst 1.0: plain nearest
    ],
)
def test_hysteresis_rule(host, x, q, hyst, want):
    r = host.Retr(bank([[0.0], [x]]), hyst)
    assert r([[0.0]]).tolist() == [0]
    assert r([[q]]).tolist() == [want]
    assert r.prev == want


def test_first_row_nearest_lowest_index_on_ties(host):
    r = host.Retr(bank([[1.0], [-1.0], [1.0]]))
    assert r([[0.0]]).tolist() == [0]
    r = host.Retr(bank([[5.0], [1.0], [1.0]]))
    assert r([[1.0]]).tolist() == [1]


def test_distances_scaled_by_sd_in_unprojected_space(host):
    # without the spread entry 0 is nearer; dimension 0 counts 10x less with it
    idn = bank([[3.0, 0.0], [0.0, 2.0]], sd=[10.0, 1.0])
    assert host.Retr(idn)([[0.0, 0.0]]).tolist() == [0]
    idn = bank([[3.0, 0.0], [0.0, 2.0]], sd=[1.0, 10.0])
    assert host.Retr(idn)([[0.0, 0.0]]).tolist() == [1]


def test_zero_rows_keep_prev(host):
    r = host.Retr(bank([[0.0], [1.0]]))
    r([[1.0]])
    out = r(np.zeros((0, 1)))
    assert out.shape == (0,) and out.dtype == np.int64
    assert r.prev == 1


@pytest.mark.parametrize("keys", [[[0, 1]], np.ones((2, 1), np.int32)])
def test_any_numeric_keys(host, keys):
    r = host.Retr(bank([[0.0, 0.0], [0.0, 1.0]] if len(keys[0]) == 2 else [[0.0], [1.0]]))
    assert r(keys).tolist() == [1] * len(keys)


@pytest.mark.parametrize("P", [None, 3])
def test_wrong_key_width_fails_and_keeps_prev(host, P):
    rng = np.random.default_rng(0)
    r = host.Retr(random_bank(rng, N=4, K=5, P=P))
    r(rng.standard_normal((1, 5)))
    prev = r.prev
    for width in (4, 1):  # a single column must not broadcast against the bank
        with pytest.raises(ValueError):
            r(np.zeros((2, width)))
    assert r.prev == prev


def test_empty_bank_fails_with_rows(host):
    r = host.Retr(bank(np.zeros((0, 2))))
    assert r(np.zeros((0, 2))).shape == (0,)
    with pytest.raises(ValueError, match="empty"):
        r(np.zeros((1, 2)))


def test_rebound_prev_is_honoured(host):
    r = host.Retr(bank([[0.0], [1.0]]))
    r.prev = 1
    assert r([[0.48]]).tolist() == [1]  # 0.52 <= 0.48 / 0.85


@pytest.mark.parametrize("where", ["key", "bank"])
def test_nan_distances_follow_numpy_argmin(host, where):
    # a NaN distance is the minimum numpy's argmin reports (its first NaN)
    rng = np.random.default_rng(5)
    idn = random_bank(rng, N=6, K=3)
    keys = rng.standard_normal((5, 3))
    if where == "key":
        keys[2, 1] = np.nan
    else:
        idn.bank_key[4, 0] = np.nan
    np.testing.assert_array_equal(host.Retr(idn)(keys), RetrRef(idn)(keys))


def test_prev_is_handed_on_as_given(host):
    r = host.Retr(bank([[0.0], [1.0], [2.0]]))
    r.prev = -1  # counts from the end, like any numpy index
    assert r([[1.9]]).tolist() == [-1] and r.prev == -1
    r.prev = 7  # outside the bank: untouched by a call without rows, refused by one with rows
    assert r(np.zeros((0, 1))).shape == (0,) and r.prev == 7
    with pytest.raises(IndexError):
        r([[0.0]])
    assert r.prev == 7


def test_spread_must_be_numeric(host):
    r = host.Retr(bank([[0.0], [1.0]]))
    r.sd = None  # np.asarray would read it as NaN and pick entry 0 silently
    with pytest.raises(TypeError):
        r([[1.0]])
    assert r.prev is None

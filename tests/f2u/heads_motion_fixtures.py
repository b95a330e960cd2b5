"""Fixtures for the f2u motion heads and opener tests: numpy reference
pipelines written from the behaviour (they run the same model sessions, so
results must match to the bit), recording sessions and noise, and small
stand-ins for the opener's parameter set, eye map, cross-calibration and
residual noise."""

from __future__ import annotations

import math
import types

import numpy as np

C = 4


# ---- recording helpers ---------------------------------------------------------------


class RecSession:
    """Wraps a session (or a function feeds -> outputs) and keeps every feed dict."""

    def __init__(self, inner):
        self.inner = inner
        self.feeds = []

    def run(self, names, feeds):
        assert names is None
        self.feeds.append({k: np.array(v, copy=True) for k, v in feeds.items()})
        if callable(self.inner):
            return self.inner(feeds)
        return self.inner.run(None, feeds)


def pack_view(pk, **changes):
    """A duck-typed copy of a pack's attributes, with some replaced."""
    names = ("a", "h", "W_TOK", "F", "flow_D", "det_dims", "flow_dims", "s_det", "s_dflow", "s_hctx", "s_hdraw")
    ns = types.SimpleNamespace(**{n: getattr(pk, n) for n in names})
    for k, v in changes.items():
        setattr(ns, k, v)
    return ns


class RecNoise:
    """A noise source wrapper that counts the calls of each kind."""

    def __init__(self, inner):
        self.inner = inner
        self.calls = []

    def code(self, pr):
        self.calls.append("code")
        return self.inner.code(pr)

    def u(self):
        self.calls.append("u")
        return self.inner.u()

    def x0(self, n):
        self.calls.append(("x0", n))
        return self.inner.x0(n)


class DrawNoise:
    """Plain numpy noise in the NoiseSource protocol (reference side)."""

    def __init__(self, seed):
        self.rng = np.random.default_rng(seed)

    def code(self, pr):
        p = np.asarray(pr, np.float64)[0]
        return int(self.rng.choice(len(p), p=p / p.sum()))

    def u(self):
        return np.array([self.rng.random()], np.float32)

    def x0(self, n):
        return self.rng.standard_normal((1, n)).astype(np.float32)


def token(rng):
    return rng.standard_normal((C, 3, 768)).astype(np.float32)


# ---- DetS reference ----------------------------------------------------------------------


class DetSRef:
    def __init__(self, pk, idv126, noise=None):
        self.pk = pk
        a = pk.a
        self.mu, self.sd = a["det_mu"], a["det_sd"]
        v = np.asarray(idv126)
        dt = v.dtype if np.issubdtype(v.dtype, np.floating) else np.float64
        v = v.astype(dt)
        self.idt = ((v - a["det_id_mu"].astype(dt)) / a["det_id_sd"].astype(dt)).astype(np.float32)
        self.feats, self.hist = [], []
        self.rec = None if noise is None else list(noise)
        self.rng = np.random.default_rng(0)

    def _x0(self):
        if self.rec is not None:
            return np.asarray(self.rec.pop(0), np.float32).reshape(1, self.pk.flow_D)
        return self.rng.standard_normal((1, self.pk.flow_D)).astype(np.float32)

    def step(self, feat4):
        pk, W, F = self.pk, self.pk.W_TOK, self.pk.F
        self.feats.append(np.asarray(feat4, np.float32)[None])
        if len(self.feats) > W:
            self.feats.pop(0)
        n = len(self.feats)
        pad = W - n
        feat = np.zeros((1, W * C, 3, 768), np.float32)
        feat[:, pad * C:] = np.concatenate(self.feats, axis=1)
        hist = np.zeros((1, W, C * F), np.float32)
        valid = np.zeros((1, W), bool)
        H = self.hist[-n:] if len(self.hist) >= n else self.hist
        for i, e in enumerate(H):
            hist[0, W - len(H) + i] = e
            valid[0, W - len(H) + i] = True
        tokv = np.zeros((1, W), bool)
        tokv[0, pad:] = True
        det, h = pk.s_det.run(None, {"feat": feat, "hist": hist, "valid": valid, "tokv": tokv, "idv": self.idt})
        y = np.zeros((C, F), np.float32)
        y[:, pk.det_dims] = det[0]
        if pk.s_dflow is not None:
            x0 = self._x0()
            out = pk.s_dflow.run(None, {"h": h, "x0": x0})[0]
            y[:, pk.flow_dims] = np.asarray(out).reshape(-1, len(pk.flow_dims))[:C]
        self.hist.append(y.reshape(-1).copy())
        if len(self.hist) > W:
            self.hist.pop(0)
        return y * self.sd + self.mu, h


# ---- HeadL reference -----------------------------------------------------------------------


class HeadLRef:
    def __init__(self, pk, idv129, noise, cap_tokens=1024, keep_tokens=64, *, bweights):
        self.pk, self.noise = pk, noise
        h = pk.h
        for k in ("p", "nk", "S", "D", "pf", "nkf", "ncode", "Lc"):
            setattr(self, k, int(h[k]))
        v = np.asarray(idv129, np.float64)[None]
        a = pk.a
        self.idt = (v.astype(np.float32) - a["h2l_id_mu"].astype(np.float32)) / a["h2l_id_sd"].astype(np.float32)
        self.pose_deg = v[:, 126:129].astype(np.float32)
        self.l_mu, self.l_sd = np.float32(a["h2l_l_mu"]), np.float32(a["h2l_l_sd"])
        self.cap, self.keep = int(cap_tokens), int(keep_tokens)
        self.cps = np.zeros((1, self.p + self.nk * self.cap + self.S, 3), np.float32)
        self.cpf = np.zeros((1, self.pf + self.nkf * self.cap + self.S, 3), np.float32)
        self.lprev = np.float32(math.log(float(h["eps"])))
        self.hid = np.zeros(h["hid_shape"], np.float32)
        self.code = self.k = self.kb = 0
        self.nx0 = 1 + 3 * self.nkf + 3 * self.nk
        self.bweights = bweights

    def _compact(self):
        sh = self.k - self.kb - self.keep
        if sh <= 0:
            return
        for buf, n, q in ((self.cps, self.nk, self.p), (self.cpf, self.nkf, self.pf)):
            a = n * sh
            end = self.S + n * (self.k - self.kb) + q
            buf[0, : end - a] = buf[0, a:end].copy()
            buf[0, end - a:] = 0
        self.kb += sh

    def _rows(self, buf, n, Dk, q):
        t = C * self.k + np.arange(4)
        j = t // Dk - n * self.kb
        sl = buf[0, self.S + j.min(): self.S + j.max() + q + 1].astype(np.float64)
        W = self.bweights((t % Dk) / Dk, q)
        j0 = j - j.min()
        out = np.zeros((4, 3))
        for r in range(4):
            acc = np.zeros(3)
            for i in range(q + 1):
                acc = acc + W[r, i] * sl[j0[r] + i]
            out[r] = acc
        return out

    def step(self, feat4, h):
        if self.k - self.kb >= self.cap - 1:
            self._compact()
        S, k, kb = self.S, self.k, self.kb
        es = S + self.nk * (k - kb) + self.p - 1
        ef = S + self.nkf * (k - kb) + self.pf - 1
        feeds = {
            "f": np.asarray(feat4, np.float32).reshape(1, 1, 4, 3, 768),
            "hh": np.asarray(h, np.float32).reshape(1, 1, -1),
            "shist": self.cps[:, es - S + 1: es + 1][None].copy(),
            "fhist": self.cpf[:, ef - S + 1: ef + 1][None].copy(),
            "lprev": np.array([[self.lprev]], np.float32),
            "tok": np.array([[k]], np.int64),
            "idt": self.idt,
            "hid": self.hid,
            "pose_deg": self.pose_deg,
            "k0": np.array([1.0 if k == 0 else 0.0], np.float32),
        }
        g, self.hid, pr = self.pk.s_hctx.run(None, feeds)
        if self.ncode and k % self.Lc == 0:
            self.code = self.noise.code(pr)
        u = self.noise.u()
        x0 = self.noise.x0(self.nx0)
        lpn = np.array([(self.lprev - self.l_mu) / self.l_sd], np.float32)
        df, ds, lp = self.pk.s_hdraw.run(
            None, {"g": g, "code": np.array([self.code], np.int64), "u": u, "x0": x0, "lpn": lpn})
        c = self.cps[:, es].copy()
        for i in range(self.nk):
            c = c + ds[:, i]
            self.cps[:, es + 1 + i] = c
        c = self.cpf[:, ef].copy()
        for i in range(self.nkf):
            c = c + df[:, i]
            self.cpf[:, ef + 1 + i] = c
        self.lprev = np.float32(np.asarray(lp).reshape(-1)[0])
        res = self._rows(self.cps, self.nk, self.D, self.p) + self._rows(self.cpf, self.nkf, C // self.nkf, self.pf)
        self.k += 1
        return res


# ---- opener stand-ins and reference ------------------------------------------------------


def tau_feat_ref(tau, started):
    bins = [0, 4, 8, 12, 16, 20, 25, 30, 38, 50, 63, 88, 125, 1000000000]
    i = sum(1 for b in bins if b <= tau) - 1
    v = np.zeros(26, np.float32)
    v[i + 13 if started else i] = 1
    return v


def params(*, K=3, aw=((-6, 0), (-2, 1)), n_clips=7, NX=5, b=-1.0, q=0.3, REF=3, seed=0, D=2):
    """A stand-in eye-event parameter set with the fields the opener reads."""
    rng = np.random.default_rng(seed)
    nfeat = 26 + len(aw) * K
    return types.SimpleNamespace(
        lib=rng.random((n_clips, NX)) * 2 - 0.5,
        pre=rng.random(n_clips),
        flut=rng.random(n_clips) < 0.5,
        k=150,
        q=q,
        REF=REF,
        aw=[tuple(w) for w in aw],
        w=rng.standard_normal(nfeat) * 0.3,
        mu_x=rng.standard_normal(nfeat) * 0.1,
        sd_x=0.5 + rng.random(nfeat),
        b=b,
        res={"B": rng.standard_normal((3, 12)), "V": rng.standard_normal((D, 12))},
        u=np.full(12, 0.25),
    )


class EyeMapStub:
    rest = (0.3, 0.5)

    def key(self, f):
        f = np.asarray(f, np.float64)
        return np.stack([0.2 + 1.5 * f, 0.1 + 1.2 * np.maximum(f, 0)], 1)


class XCalStub:
    def lev(self, p):
        return np.clip(np.asarray(p, np.float64) * 3.0, 0, 7)

    def keys(self, kfl):
        return np.asarray(kfl, np.float64)[:, ::-1] * 0.9 + 0.05


class TableNoise:
    """Residual noise rows from a fixed table; refuses released rows like AR2Noise."""

    def __init__(self, D=2, seed=5):
        self.tab = np.random.default_rng(seed).standard_normal((20000, D))
        self.asked = []

    def rows(self, t0, t1):
        self.asked.append((t0, t1))
        return self.tab[t0:t1].copy()


def path_tables():
    d = np.linspace(-1, 1, 4 * 12).reshape(4, 12)
    c = np.array([0.0, 0.5, 1.0, 2.0])
    return d, c


class OpenRef:
    """F3COpen / F3XBOpen from the behaviour, in plain numpy."""

    def __init__(self, g, emap, P, d, c, seed, shift, noise, ehyst=0.95, keep_onsets=64, *, path_delta, xc=None,
                 trim=True):
        self.g, self.emap = g, emap
        self.P = np.asarray(P, np.float64)
        self.d, self.c, self.shift, self.ehyst, self.noise = d, c, shift, ehyst, noise
        self.rng = np.random.default_rng(int(seed) % 2**32)
        rest = 0.5 * (emap.rest[0] + emap.rest[1])
        sel = np.argsort(np.abs(g.pre - rest))[: g.k]
        self.pool_f = sel[g.flut[sel]]
        self.pool_s = sel[~g.flut[sel]]
        self.NX = g.lib.shape[1]
        self.B, self.V = np.asarray(g.res["B"]), np.asarray(g.res["V"])
        self.aw = g.aw
        self.amin = min(a for a, b in self.aw)
        self.f = np.zeros(4096 + self.NX)
        self.fb, self.on, self.n_on, self.last, self.th = 0, [], 0, None, 0
        self.keep_onsets = keep_onsets
        self.cs_last = self.cs = None
        self.cb = 0
        self.pend = np.zeros((0, 69), np.float32)
        self.n = self.done = 0
        self.prev = None
        self.xc = xc
        self.path_delta = path_delta  # the module's own (a neighbouring service)
        self.trim = trim

    def add(self, rows, fp, fe):
        x = np.column_stack([np.asarray(fp, np.float64), np.asarray(fe, np.float64)])
        rows = np.asarray(rows, np.float32)
        if len(x):
            if self.cs_last is None:
                self.cs_last = np.zeros((1, x.shape[1]))
                self.cs = self.cs_last.copy()
            c = self.cs_last + np.cumsum(x, axis=0)
            self.cs = np.concatenate([self.cs, c])
            self.cs_last = c[-1:].copy()
        if len(x) == 0 and len(rows) == 0:
            return
        self.pend = np.concatenate([self.pend, rows])
        self.n += len(rows)

    def _f_need(self, hi):
        if hi - self.fb <= len(self.f):
            return
        keep = self.f[max(self.done - self.fb, 0):]
        self.fb = max(self.fb, self.done)
        nf = np.zeros(max(2 * len(keep), hi - self.fb + 4096))
        nf[: len(keep)] = keep
        self.f = nf

    def _hazard(self):
        cs, cb, g = self.cs, self.cb, self.g
        while self.th < self.n:
            t = self.th
            self.th = t + 1
            gap = t - self.last if self.last is not None else t
            if self.last is not None and gap < g.REF:
                continue
            means = []
            for a, b in self.aw:
                lo = min(max(t + a, 0), self.n)
                hi = min(max(t + b, 0), self.n)
                means.append((cs[hi - cb] - cs[lo - cb]) / max(hi - lo, 1))
            fv = np.concatenate([tau_feat_ref(gap, self.last is not None)] + means)
            z = (fv - g.mu_x) / g.sd_x
            logit = float(np.dot(z, g.w)) + g.b + self.shift
            with np.errstate(over="ignore"):  # exp overflowing to inf: p is 0, the draw is still taken
                p = 1.0 / (1.0 + np.exp(-logit))
            if not self.rng.random() < p:
                continue
            pool = self.pool_s
            if g.q is not None and len(self.pool_f):
                pool = self.pool_f if self.rng.random() < g.q else self.pool_s
            j = int(pool[self.rng.integers(len(pool))])
            clip = g.lib[j]
            self._f_need(t + self.NX)
            o = t - self.fb
            self.f[o: o + self.NX] = np.maximum(self.f[o: o + self.NX], clip)
            self.on.append(t)
            self.n_on += 1
            if len(self.on) > self.keep_onsets:
                del self.on[: len(self.on) - self.keep_onsets]
            self.last = t
        if cs is None or not self.trim:
            return
        lo = max(self.th + self.amin - 1, 0)
        if lo - self.cb > 2048:
            self.cs = self.cs[lo - self.cb:]
            self.cb = lo

    def _base(self):
        self._hazard()
        done, n = self.done, self.n
        if n <= done:
            return None
        rows = self.pend[: n - done].astype(np.float32)
        self.pend = self.pend[n - done:]
        base = rows[:, 63:66].astype(np.float64) @ self.B + self.noise.rows(done, n) @ self.V
        self._f_need(n)
        track = self.f[done - self.fb: n - self.fb].copy()
        return rows, base, track, n

    def _eyes(self, out, Rr, keys, EYE4):
        left = self.path_delta(keys[:, 0], self.d, self.c, self.g.u)[:, 0:6]
        right = self.path_delta(keys[:, 1], self.d, self.c, self.g.u)[:, 6:12]
        out[:, EYE4] = (np.concatenate([left, right], 1) + Rr).astype(np.float32)

    def pop(self, EYE4):
        st = self._base()
        if st is None:
            return None
        rows, base, track, n = st
        if self.xc is None:
            keys = self.emap.key(track)
            self._eyes(rows, base, keys, EYE4)
            L, R = [], []
            for i in range(len(rows)):
                js = []
                for s in (0, 1):
                    dist = np.abs(keys[i, s] - self.P)
                    j = int(np.argmin(dist))
                    if self.prev is not None and dist[self.prev[s]] <= dist[j] / self.ehyst:
                        j = self.prev[s]
                    js.append(j)
                self.prev = (js[0], js[1])
                L.append(js[0])
                R.append(js[1])
            self.done = n
            return rows, np.array(L, np.int64), np.array(R, np.int64)
        kfl = self.emap.key(track)
        keys = self.xc.keys(kfl)
        level = 0.5 * (self.xc.lev(kfl[:, 0]) + self.xc.lev(kfl[:, 1]))
        self._eyes(rows, base, keys, EYE4)
        E = len(self.P)
        out = []
        for i in range(len(rows)):
            dist = np.abs(level[i] - np.arange(E))
            j = int(np.argmin(dist))
            if self.prev is not None and dist[self.prev[0]] <= dist[j] / self.ehyst:
                j = self.prev[0]
            self.prev = (j, j)
            out.append(j)
        self.done = n
        arr = np.array(out, np.int64)
        return rows, arr, arr.copy()

"""Plain numpy versions of the f2u sources' bit-exact steps.

The tests compare the native module against these value for value, and the
benchmark times them as the baseline; both import them from here so the
reference logic lives once.
"""
import numpy as np

HOP, SWIN, TW, SP8 = 640, 32000, 200, 1598 / 199
GROUPS = ((0, 4), (4, 8), (8, 12))
BURN, AR2_BLOCK, AR2_SEED_MASK = 200, 1024, 0x5A5A5A5A


def f16rt_ref(x):
    return np.asarray(x, np.float32).astype(np.float16).astype(np.float32)


def zscore_ref(buf):
    x = buf.astype(np.float64)
    mu = x.mean()
    var = ((x - mu) ** 2).mean()
    inv = np.float32(1.0) / np.sqrt(np.float32(np.float32(var) + np.float32(1e-7)))
    return ((x - mu) * np.float64(inv)).astype(np.float32)


# ---- audio encoder ----------------------------------------------------------------


def window_of(b0, B, R):
    """(win_start, win_end) of a block."""
    win_end = int(b0 + B + R) * HOP
    return win_end - SWIN, win_end


def positions(b0, B, R):
    """Fractional trunk position of each frame of a block."""
    win_start, _ = window_of(b0, B, R)
    ps = []
    for j in range(B):
        gi = b0 + j
        f0 = 0 if gi < TW else (gi // (TW // 2) - 1) * (TW // 2)
        ps.append((f0 * HOP - win_start) / 80.0 + (gi - f0) * SP8)
    return ps


def block_ref(pk, aud, b0, B, R):
    """Enc.block: float16 (N, 3, D) group means of the head over resampled trunk rows."""
    win_start, win_end = window_of(b0, B, R)
    z = zscore_ref(aud.window(win_start, win_end))
    tr = np.asarray(pk.s_trunk.run([pk.trunk_out], {pk.trunk_in: z[None]})[0][0], np.float32)
    LT = tr.shape[1]
    x = np.zeros((B, 640), np.float32)
    for j, p in enumerate(positions(b0, B, R)):
        i0 = int(np.floor(p))
        al = p - i0
        i1 = min(i0 + 1, LT - 1)
        v = (1.0 - al) * tr[:, i0].astype(np.float64) + al * tr[:, i1].astype(np.float64)
        x[j] = f16rt_ref(v.astype(np.float32))
    emb = pk.s_head.run(["emb"], {"x": x})[0]
    out = []
    for e in emb:
        r = f16rt_ref(e)
        out.append(np.stack([r[a:b].mean(axis=0) for a, b in GROUPS]).astype(np.float16))
    return np.stack(out)


# ---- AR(2) noise ---------------------------------------------------------------------


class AR2Ref:
    """Row-addressed per-channel AR(2) stream with block growth and release."""

    BLOCK = AR2_BLOCK

    def __init__(self, res, seed):
        self.ar = [(float(c["a1"]), float(c["a2"]), float(c["sig"])) for c in res["ar"]]
        s = (seed ^ AR2_SEED_MASK) % 2**32
        self.rng = [np.random.default_rng([s, j]) for j in range(len(self.ar))]
        self.state = []
        for (a1, a2, sig), g in zip(self.ar, self.rng):
            l1 = l2 = 0.0
            e = g.standard_normal(BURN) * sig
            for t in range(2, BURN):
                nx = (a1 * l1 + a2 * l2) + e[t]
                l2, l1 = l1, nx
            self.state.append([l1, l2])
        self.buf = np.zeros((0, len(self.ar)))
        self.b0 = 0

    def _grow(self, upto):
        while self.b0 + len(self.buf) < upto:
            blk = np.zeros((self.BLOCK, len(self.ar)))
            for j, ((a1, a2, sig), g) in enumerate(zip(self.ar, self.rng)):
                e = g.standard_normal(self.BLOCK) * sig
                l1, l2 = self.state[j]
                for t in range(self.BLOCK):
                    nx = (a1 * l1 + a2 * l2) + e[t]
                    l2, l1 = l1, nx
                    blk[t, j] = l1
                self.state[j] = [l1, l2]
            self.buf = np.concatenate([self.buf, blk])

    def rows(self, t0, t1):
        if t0 < self.b0:
            raise IndexError("AR2Noise: rows already released")
        self._grow(t1)
        out = self.buf[t0 - self.b0:t1 - self.b0]
        drop = t0 - self.b0
        if drop > 4 * self.BLOCK:
            self.buf = self.buf[drop:]
            self.b0 += drop
        return out


# ---- identity --------------------------------------------------------------------------


def cone_ref(P):
    """[P, d2x, d2y, d2xy] along channels, computed in P's type, float32 result."""
    q = np.pad(P, ((0, 0), (0, 0), (1, 1), (1, 1)), mode="edge")
    H, W = P.shape[2:]
    c = q[:, :, 1:H + 1, 1:W + 1]
    d2x = (q[:, :, 1:H + 1, 0:W] - 2.0 * c) + q[:, :, 1:H + 1, 2:W + 2]
    d2yf = (q[:, :, 0:H, :] - 2.0 * q[:, :, 1:H + 1, :]) + q[:, :, 2:H + 2, :]
    d2y = d2yf[:, :, :, 1:W + 1]
    d2xy = (d2yf[:, :, :, 0:W] - 2.0 * d2y) + d2yf[:, :, :, 2:W + 2]
    return np.ascontiguousarray(np.concatenate([P, d2x, d2y, d2xy], 1).astype(np.float32))


R_MEMBERS = ("g_src", "g_f32", "g_f128", "x_s_t", "b_rgb", "b_mask", "b_x", "b_f32", "e_rgb", "e_mL", "e_mR", "e_x")


def identity_ref(path):
    """An identity archive's attributes as a dict."""
    with np.load(path, allow_pickle=False) as z:
        m = {k: z[k] for k in z.files}
    f64 = lambda k: np.array(m[k], np.float64)  # noqa: E731
    f32c = lambda k: np.ascontiguousarray(m[k].astype(np.float32))  # noqa: E731
    opt = lambda k: f64(k) if m[k].size else None  # noqa: E731
    src = {"kp_c": f64("src_kp_c"), "R": f64("src_R"), "exp": f64("src_exp"), "t": f64("src_t"),
           "scale": float(m["src_scale"]), "x_s": f32c("src_x_s")}
    out = dict(src=src, idv=f64("idv"), pose=f64("pose"), shift=float(m["shift"]), e_img=f64("e_img"),
               xcal_m=opt("xcal_m"), bank_key=f64("bank_key"), bank_sd=f64("bank_sd"), bank_proj=opt("bank_proj"),
               bank_mu=opt("bank_mu"), roi_m=m["bank_roi"].astype(np.float32), roi_e=m["eb_roi"].astype(np.float32))
    out["r"] = {k: f32c(k) for k in R_MEMBERS}
    out["planes"] = cone_ref(out["r"]["g_src"])
    return out

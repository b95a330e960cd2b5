"""Arrays at odd byte offsets (legal in numpy, e.g. a view into a packed buffer) give the
same results as their aligned copies."""
import numpy as np
import pytest

from orvane._f2u import host


def misaligned(a):
    a = np.ascontiguousarray(a)
    buf = np.zeros(a.nbytes + 1, np.uint8)
    out = np.ndarray(a.shape, a.dtype, buf[1:].data)
    out[...] = a
    assert not out.flags.aligned
    return out


rng = np.random.default_rng(5)


@pytest.mark.parametrize("fn, arg", [
    (host.f16rt, rng.standard_normal(1001).astype(np.float32)),
    (host.zscore_native, rng.standard_normal(257).astype(np.float32)),
    (host.rotvec_to_rotmat, rng.standard_normal((17, 3))),
    (host.cone, rng.standard_normal((1, 3, 33, 31)).astype(np.float32)),
    (lambda u: host.bweights(u), rng.random(99)),
])
def test_misaligned_input_matches_aligned(fn, arg):
    np.testing.assert_array_equal(fn(misaligned(arg)), fn(arg.copy()))

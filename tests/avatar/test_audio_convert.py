"""int16 -> float32 scaling and the linear resampler, against a reference written from the
definition (grids i/N and j/n_out over [0, 1), hold the last sample, no filter)."""

import numpy as np
import pytest

from orvane._avatar import _i16_to_f32, _resample_linear
from orvane._models import INT16_MAX


def ref_resample(pcm, src, dst):
    n = len(pcm)
    n_out = round(n * dst / src)
    if n_out <= 0:
        return np.empty(0, pcm.dtype)
    out = []
    for j in range(n_out):
        x = j * n / n_out                     # fractional input index
        i = int(np.floor(x))
        if i >= n - 1:
            v = float(pcm[-1])
        else:
            f = x - i
            v = float(pcm[i]) * (1 - f) + float(pcm[i + 1]) * f
        out.append(v)
    return np.array(out).astype(pcm.dtype) if pcm.dtype != np.float64 else np.array(out)


def test_i16_to_f32_scales_without_clipping():
    x = np.array([0, 1, -1, 32767, -32768, 12345], np.int16)
    y = _i16_to_f32(x)
    assert y.dtype == np.float32 and y is not x
    np.testing.assert_array_equal(y, x.astype(np.float32) / np.float32(INT16_MAX))
    assert y[4] < -1.0                       # the most negative value is divided like any other
    z = np.zeros(7, np.int16)
    assert np.array_equal(_i16_to_f32(z), np.zeros(7, np.float32))


@pytest.mark.parametrize("n,src,dst,n_out", [
    (441, 44100, 16000, 160),
    (3, 44100, 16000, 1),
    (1, 48000, 16000, 0),
    (5, 32000, 16000, 2),        # 2.5 rounds to the even neighbour
    (7, 16000, 48000, 21),
    (480, 48000, 16000, 160),
    (2, 8000, 16000, 4),
])
def test_resample_length_and_values(n, src, dst, n_out):
    rng = np.random.default_rng(n)
    x = rng.uniform(-1, 1, n).astype(np.float32)
    y = _resample_linear(x, src, dst)
    assert y.dtype == np.float32 and y.size == n_out
    np.testing.assert_allclose(y, ref_resample(x, src, dst), rtol=0, atol=1e-6)
    if n_out:
        assert y[0] == x[0]


def test_resample_upsampling_pair_holds_last_sample():
    y = _resample_linear(np.array([0.0, 1.0]), 8000, 16000)
    assert y.dtype == np.float64
    np.testing.assert_array_equal(y, [0.0, 0.5, 1.0, 1.0])


def test_resample_identity_cases_return_same_object():
    x = np.arange(5, dtype=np.float32)
    assert _resample_linear(x, 16000, 16000.0) is x
    e = np.zeros(0, np.float32)
    assert _resample_linear(e, 8000, 16000) is e


def test_resample_int16_truncates_and_keeps_dtype():
    x = np.array([0, 3, -3, 7], np.int16)
    y = _resample_linear(x, 8000, 16000)
    assert y.dtype == np.int16
    # Midpoints 1.5 -> 1 and 0.0, -3 -> ..., truncation toward zero.
    np.testing.assert_array_equal(y, ref_resample(x, 8000, 16000))
    np.testing.assert_array_equal(y[:4], [0, 1, 3, 0])


def test_resample_single_sample_fills_output():
    y = _resample_linear(np.array([0.25], np.float32), 8000, 32000)
    np.testing.assert_array_equal(y, [0.25] * 4)

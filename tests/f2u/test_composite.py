"""Patch compositing: a patch placed on its source rectangle, moved through the
frame's grid and blended in place."""

import numpy as np
import pytest

from heads_render_fixtures import composite_ref, identity_grid512


def wavy_grid(seed=0, amp=0.02, dtype=np.float32):
    rng = np.random.default_rng(seed)
    g = identity_grid512().astype(np.float64)
    yy, xx = np.mgrid[0:512, 0:512] / 512.0
    a, b = rng.uniform(0.5, 2.0, 2)
    g[..., 0] += amp * np.sin(2 * np.pi * a * yy) + 0.01
    g[..., 1] += amp * np.cos(2 * np.pi * b * xx) - 0.015
    return g.astype(dtype)


def patch(h, w, seed=0, k=1):
    rng = np.random.default_rng(seed)
    return (rng.uniform(-1, 1, (3, h, w)).astype(np.float32), rng.uniform(0, 1, (k, h, w)).astype(np.float32))


def frame(seed=5, dtype=np.float32):
    return np.random.default_rng(seed).uniform(-1, 1, (3, 512, 512)).astype(dtype)


@pytest.mark.parametrize(
    "roi, hw, k",
    [
        ((300.0, 420.0, 180.0, 330.0), (30, 36), 1),
        ((150, 230, 140, 370), (20, 56), 3),  # extra mask planes are ignored
        ((-20.0, 60.5, 470.25, 530.0), (16, 12), 1),  # partly off the frame
    ],
)
def test_matches_numpy_reference_bit_exact(host, roi, hw, k):
    rgb, mask = patch(*hw, k=k)
    gm = wavy_grid()
    o, want = frame(), frame()
    assert host._composite(o, gm, roi, rgb, mask) is None
    composite_ref(want, gm, roi, rgb, mask)
    np.testing.assert_array_equal(o, want)
    assert not np.array_equal(o, frame())


@pytest.mark.parametrize("gdtype", [np.float64, ">f4"])
def test_float64_frame_and_other_grids(host, gdtype):
    rgb, mask = patch(30, 36)
    gm = wavy_grid(dtype=gdtype)  # a byte-swapped float32 grid still computes in float32
    o, want = frame(dtype=np.float64), frame(dtype=np.float64)
    host._composite(o, gm, (300.0, 420.0, 180.0, 330.0), rgb, mask)
    composite_ref(want, gm, (300.0, 420.0, 180.0, 330.0), rgb, mask)
    assert o.dtype == np.float64
    np.testing.assert_array_equal(o, want)


def test_strided_frame_view(host):
    rgb, mask = patch(30, 36)
    gm = wavy_grid()
    big, want = np.zeros((2, 3, 512, 512), np.float32), frame()
    big[1] = frame()
    o = big[1]
    host._composite(big[1], gm, (300, 420, 180, 330), rgb, mask)
    composite_ref(want, gm, (300, 420, 180, 330), rgb, mask)
    np.testing.assert_array_equal(o, want)
    # a channel-last buffer seen channel-first
    hwc = np.ascontiguousarray(frame().transpose(1, 2, 0))
    view = hwc.transpose(2, 0, 1)
    host._composite(view, gm, (300, 420, 180, 330), rgb, mask)
    np.testing.assert_array_equal(view, want)


def _hwc_view(o):
    """The same frame in a channel-last buffer, seen channel-first (a strided view)."""
    return np.ascontiguousarray(o.transpose(1, 2, 0)).transpose(2, 0, 1)


def _nan_in_box(gm):
    # a sample position the native remap does not take: the box goes through OpenCV
    gm = gm.copy()
    gm[360, 250] = np.nan
    return gm


# float16 frames blend as float32 ones and round once on the store (numpy's rule
# for float32 operands); long double frames blend as float64 ones.
@pytest.mark.parametrize("dtype, wide", [(np.float16, np.float32), (np.longdouble, np.float64)])
@pytest.mark.parametrize("layout", ["contiguous", "strided"])
@pytest.mark.parametrize("grid", ["plain", "nan"])
def test_float16_and_long_double_frames_keep_their_type(host, dtype, wide, layout, grid):
    roi = (300.0, 420.0, 180.0, 330.0)
    rgb, mask = patch(30, 36)
    gm = wavy_grid() if grid == "plain" else _nan_in_box(wavy_grid())
    start = frame(dtype=wide).astype(dtype)
    o = start.copy() if layout == "contiguous" else _hwc_view(start)
    ow = start.astype(wide)  # the same values in the wide type
    assert host._composite(o, gm, roi, rgb, mask) is None
    host._composite(ow, gm, roi, rgb, mask)
    assert o.dtype == np.dtype(dtype)
    np.testing.assert_array_equal(o, ow.astype(dtype))
    assert not np.array_equal(o, start)
    # untouched outside the patch's box
    same = np.all(ow == start.astype(wide), axis=0)
    assert same.sum() > 200000
    np.testing.assert_array_equal(o[:, same], start[:, same])
    if dtype == np.float16:  # and numpy's own arithmetic agrees
        want = start.copy()
        composite_ref(want, gm, roi, rgb, mask)
        np.testing.assert_array_equal(o, want)


@pytest.mark.parametrize("dtype", [">f2", ">f4", ">f8", np.int32, np.complex64])
def test_unsupported_frame_types_are_named(host, dtype):
    rgb, mask = patch(8, 8)
    o = np.zeros((3, 512, 512), dtype)
    with pytest.raises(TypeError, match=r"not supported \(float16, float32, float64 or long double, native byte "
                                        r"order\)"):
        host._composite(o, identity_grid512(), (0, 512, 0, 512), rgb, mask)
    assert not o.any()


def test_identity_grid_full_frame_patch_samples_pixel_centres(host):
    rgb, mask = patch(512, 512)
    o = frame()
    want = mask[0] * rgb + (1 - mask[0]) * o
    host._composite(o, identity_grid512(), (0, 512, 0, 512), rgb, mask)
    np.testing.assert_allclose(o, want, rtol=0, atol=1e-6)


def test_stretched_patch_box(host):
    rgb, mask = patch(50, 50)
    mask[:] = 1.0
    o = frame()
    before = o.copy()
    host._composite(o, identity_grid512(), (100, 200, 300, 400), rgb, mask)
    changed = np.any(o != before, axis=0)
    rows, cols = np.flatnonzero(changed.any(axis=1)), np.flatnonzero(changed.any(axis=0))
    assert (rows[0], rows[-1], cols[0], cols[-1]) == (99, 200, 299, 400)
    outside = np.ones((512, 512), bool)
    outside[99:201, 299:401] = False
    np.testing.assert_array_equal(o[:, outside], before[:, outside])
    # inside the rectangle the patch is taken whole (alpha 1)
    assert np.all(np.abs(o[:, 100:200, 300:400]) <= 1.0)
    assert not np.any(o[:, 100:200, 300:400] == before[:, 100:200, 300:400])


def test_samples_all_outside_leave_frame_untouched(host):
    rgb, mask = patch(20, 20)
    o = frame()
    before = o.copy()
    gm = np.full((512, 512, 2), 0.9, np.float32)  # every sample far right/below the rectangle
    host._composite(o, gm, (0, 100, 0, 100), rgb, mask)
    np.testing.assert_array_equal(o, before)


# roi = whole frame and a 512 x 512 patch: mx = (g + 1) * 256 - 0.5, so mx = -1 at
# g = -1 - 1/512 and mx = w at g = 1 + 1/512 (both exact in float32); likewise my.
# The patch colours are NaN, so any pixel inside the blended box turns NaN, even
# where its alpha is 0: the box shows directly.
@pytest.mark.parametrize("axis", [0, 1])
@pytest.mark.parametrize("edge", [-1.0 - 1.0 / 512, 1.0 + 1.0 / 512])
def test_strict_bounds_at_the_patch_edges(host, axis, edge):
    rgb = np.full((3, 512, 512), np.nan, np.float32)
    mask = np.ones((1, 512, 512), np.float32)
    gm = np.zeros((512, 512, 2), np.float32)
    gm[..., axis] = edge
    o = frame()
    before = o.copy()
    host._composite(o, gm, (0, 512, 0, 512), rgb, mask)
    np.testing.assert_array_equal(o, before)
    gm[:5, :7, axis] = edge - np.sign(edge) / 65536  # 1/256 of a patch pixel inside (exact in float32)
    host._composite(o, gm, (0, 512, 0, 512), rgb, mask)
    assert np.isnan(o[:, :5, :7]).all()
    np.testing.assert_array_equal(o[:, 5:], before[:, 5:])
    np.testing.assert_array_equal(o[:, :, 7:], before[:, :, 7:])


def test_partly_covered_box_keeps_pixels_sampled_beyond_the_patch(host):
    # a grid turned by 30 degrees: the patch lands as a diamond, its bounding box
    # holds output pixels whose samples miss the patch
    yy, xx = np.mgrid[0:512, 0:512]
    cx, cy = xx - 255.5, yy - 255.5
    c, s = np.cos(np.pi / 6), np.sin(np.pi / 6)
    gm = np.stack([(c * cx - s * cy + 256) * 2 / 512 - 1, (s * cx + c * cy + 256) * 2 / 512 - 1], -1)
    gm = gm.astype(np.float32)
    rgb, mask = patch(40, 40)
    mask[:] = 1.0
    roi = (200, 300, 220, 320)
    o = frame()
    before = o.copy()
    host._composite(o, gm, roi, rgb, mask)
    u = gm[..., 0] * np.float32(512 / 100) + np.float32((512 - 2 * 220) / 100) - 1
    v = gm[..., 1] * np.float32(512 / 100) + np.float32((512 - 2 * 200) / 100) - 1
    mx, my = (u + 1) * 40 * 0.5 - 0.5, (v + 1) * 40 * 0.5 - 0.5
    inb = (mx > -1) & (mx < 40) & (my > -1) & (my < 40)
    rows, cols = np.flatnonzero(inb.any(axis=1)), np.flatnonzero(inb.any(axis=0))
    box = np.zeros((512, 512), bool)
    box[rows[0]:rows[-1] + 1, cols[0]:cols[-1] + 1] = True
    missed = box & ~inb
    assert missed.sum() > 1000
    np.testing.assert_array_equal(o[:, missed], before[:, missed])
    np.testing.assert_array_equal(o[:, ~box], before[:, ~box])
    inner = (mx >= 0) & (mx <= 39) & (my >= 0) & (my <= 39)
    assert np.all(o[:, inner] != before[:, inner])


@pytest.mark.parametrize(
    "roi, exc",
    [((1, 2, 3), ValueError), ((1, 2, 3, 4, 5), ValueError), ((10, 20, 30, 30), ZeroDivisionError),
     ((10, 10, 30, 40), ZeroDivisionError)],
)
def test_bad_regions(host, roi, exc):
    rgb, mask = patch(8, 8)
    o = frame()
    before = o.copy()
    with pytest.raises(exc):
        host._composite(o, wavy_grid(), roi, rgb, mask)
    np.testing.assert_array_equal(o, before)


def test_shape_mismatches(host):
    rgb, mask = patch(8, 8)
    o = frame()
    with pytest.raises(ValueError):
        host._composite(o, np.zeros((256, 256, 2), np.float32), (0, 512, 0, 512), rgb, mask)
    with pytest.raises(ValueError):
        host._composite(o, wavy_grid(), (0, 512, 0, 512), rgb, np.ones((1, 8, 9), np.float32))
    np.testing.assert_array_equal(o, frame())


def test_arguments_by_name(host):
    rgb, mask = patch(30, 36)
    gm = wavy_grid()
    o, want = frame(), frame()
    host._composite(mask=mask, rgb=rgb, roi=(300, 420, 180, 330), gm=gm, o=o)
    composite_ref(want, gm, (300, 420, 180, 330), rgb, mask)
    np.testing.assert_array_equal(o, want)
    with pytest.raises(TypeError):
        host._composite(o, gm, (300, 420, 180, 330), rgb)


def ro_frame():
    o = frame()
    o.flags.writeable = False
    return o


@pytest.mark.parametrize(
    "o, roi, k, exc",
    [
        (np.zeros((512, 512), np.float32), (0, 512, 0, 512), 1, ValueError),  # no channel axis
        (np.zeros((1, 3, 512, 512), np.float32), (0, 512, 0, 512), 1, ValueError),
        (np.zeros((3, 512, 512), np.int32), (0, 512, 0, 512), 1, TypeError),
        (np.zeros((3, 512, 512), np.float32).tolist(), (0, 512, 0, 512), 1, TypeError),  # not changeable in place
        (ro_frame(), (0, 512, 0, 512), 1, ValueError),
        (frame(), ("0", "512", "0", "512"), 1, TypeError),  # text is not a number
        (frame(), (0, 512, 0, 512), 0, IndexError),  # a mask without plane 0
    ],
)
def test_bad_frames_regions_and_masks(host, o, roi, k, exc):
    rgb, _ = patch(8, 8)
    mask = np.ones((k, 8, 8), np.float32)
    with pytest.raises(exc):
        host._composite(o, identity_grid512(), roi, rgb, mask)

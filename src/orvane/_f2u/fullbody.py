"""Stand-in for the package's full-body module (the real one ships with the
engine layer). It provides only `pose_T`, the pose track the face host asks for,
in a simple form: per frame, the translation of the driving keypoints' centroid
from the source keypoints' centroid.
"""

from __future__ import annotations

import numpy as np


def pose_T(x_s, x_d):
    """(T, 3) float32: mean(x_d[t]) - mean(x_s) over the 21 keypoints."""
    xs = np.asarray(x_s, dtype=np.float64).reshape(-1, 3)
    xd = np.asarray(x_d, dtype=np.float64)
    xd = xd.reshape(xd.shape[0], xs.shape[0], 3)  # also for zero frames
    return (xd.mean(axis=1) - xs.mean(axis=0)).astype(np.float32)

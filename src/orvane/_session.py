"""Session engine for the "ferrin2-light" / "ferrin2-golden" kinds (small stand-in).

The real engine renders on its own threads; this stand-in renders synchronously: every
``BYTES_PER_FRAME`` bytes pushed make one speech frame (a grey image), and ``end()`` adds
the remainder as one more speech frame followed by one rest frame.
"""

FPS = 25
BYTES_PER_FRAME = 32000 // FPS  # 1280: FPS * BYTES_PER_FRAME is one second of 16 kHz int16 PCM

LE_UTT_IDLE = 0
LE_UTT_SPEECH = 1


class EngineUnavailable(Exception):
    def __init__(self, message, detail=None):
        super().__init__(message)
        self.detail = detail


class EngineFailed(Exception):
    def __init__(self, message, detail=None):
        super().__init__(message)
        self.detail = detail


class AvatarOutdated(Exception):
    def __init__(self, message, detail=None, code=None):
        super().__init__(message)
        self.detail = detail
        self.code = code


class Session:
    """One avatar's session: push PCM, pull ``(frame, kind)`` pairs without waiting."""

    borrow = None

    def __init__(self, root, manifest):
        self.root = root
        self.manifest = manifest
        size = manifest.get("frame_size", [64, 64]) if isinstance(manifest, dict) else [64, 64]
        self._shape = (int(size[1]), int(size[0]), 3)
        self._closed = False
        self.reset()

    def reset(self):
        self._pending = 0
        self._ready = []

    def _frame(self, i):
        import numpy as np

        return np.full(self._shape, i % 256, dtype=np.uint8)

    def push(self, chunk):
        if self._closed:
            raise EngineFailed("the session is closed", "push after close")
        self._pending += len(chunk)
        while self._pending >= BYTES_PER_FRAME:
            self._pending -= BYTES_PER_FRAME
            self._ready.append((self._frame(len(self._ready)), LE_UTT_SPEECH))

    def pull(self):
        return self._ready.pop(0) if self._ready else None

    def end(self):
        if self._pending:
            self._pending = 0
            self._ready.append((self._frame(len(self._ready)), LE_UTT_SPEECH))
        self._ready.append((self._frame(0), LE_UTT_IDLE))

    def check_render(self):
        if self._closed:
            raise EngineFailed("the session is closed", "renderer released")

    def close(self):
        self._closed = True

"""A stand-in renderer with the real cadence, for driving the serve loop without models.

Same cadence as the real renderer: chunk 0 is ready after SPC samples, chunk c >= 1
after WIN + (c - 1) * SPC; the first chunk yields 22 records (its first frame twice),
later chunks 32; a flush renders enough chunks to cover every fed frame. Frame payloads are a few bytes so
that the wire stays small; the serve loop does not look at them.
"""
import io
import struct

WIN = 44000
SPC = 25600
FLUSH = b"\xff\xff\xff\xff"
RESET = b"\xfe\xff\xff\xff"


def block(n_samples, value=0.0):
    return struct.pack("<I", n_samples) + struct.pack("<f", value) * n_samples


class FakeRenderer:
    def __init__(self, cc=None, wall_per_chunk=0.5):
        self.cc = cc
        self.wall_per_chunk = wall_per_chunk
        self.resets = 0
        self.fed_blocks = []  # sizes of every feed() call
        self.largest_list = 0  # most records handed out by one call
        self.reset()
        self.resets = 0

    def reset(self):
        self.resets += 1
        self.fed = 0
        self.chunks = 0
        self.next_idx = 3
        self._c_n = 0
        self._c_wall = 0.0

    def feed(self, pcm):
        assert pcm.dtype.name == "float32" and pcm.ndim == 1
        self.fed_blocks.append(int(pcm.shape[0]))
        self.fed += int(pcm.shape[0])

    def _chunk(self):
        n = 22 if self.chunks == 0 else 32
        out = []
        for _ in range(n):
            out.append((self.next_idx, bytes([self.next_idx % 251]) * 6))
            self.next_idx += 1
        self.chunks += 1
        self._c_n += 1
        self._c_wall += self.wall_per_chunk
        return out

    def _hand_out(self, frames):
        self.largest_list = max(self.largest_list, len(frames))
        return frames

    @staticmethod
    def need(c):
        return SPC if c == 0 else WIN + (c - 1) * SPC

    def ready_chunks(self):
        out = []
        while self.fed >= self.need(self.chunks):
            out += self._chunk()
        return self._hand_out(out)

    def flush_chunks(self):
        end_fi = (self.fed + 799) // 800 - 1
        n_chunks = max(1, (end_fi + 12 + 31) // 32)
        out = []
        while self.chunks < n_chunks:
            out += self._chunk()
        return self._hand_out(out)

    def rtf(self):
        if self._c_n == 0:
            return None
        return (self._c_wall / self._c_n) / 1.6


def parse_output(raw):
    """Split the host's standard output into the READY line and the records.

    Records are (index, payload) with the fake's 6-byte payload; the flush marker is (-1, b"")."""
    line, _, rest = raw.partition(b"\n")
    recs = []
    buf = io.BytesIO(rest)
    while True:
        w = buf.read(4)
        if not w:
            break
        (idx,) = struct.unpack("<i", w)
        recs.append((idx, b"" if idx == -1 else buf.read(6)))
    return line + b"\n", recs

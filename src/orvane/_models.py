"""Streaming records (small stand-in for the package's own module).

``VideoControl`` goes into an ``AsyncAvatar``; ``VideoFrame`` comes out, carrying one tick
of audio as an ``AudioChunk``.  Plain dataclasses: a copy with changed fields is
``dataclasses.replace``.  They compare by identity: their fields hold numpy arrays, whose
``==`` has no single truth value, so a field-wise ``==`` would make ``frame in frames`` or
``list.remove`` raise.
"""

from __future__ import annotations

import dataclasses
import itertools
from typing import Any, Optional

import numpy as np

__all__ = ["INT16_MAX", "AudioChunk", "VideoControl", "VideoFrame"]

# Full scale of 16-bit PCM, used in both directions of the int16 <-> float conversion.
INT16_MAX = 32767

_ids = itertools.count(1)


def _new_message_id() -> str:
    return "msg-%d" % next(_ids)


@dataclasses.dataclass(eq=False)
class AudioChunk:
    """Mono 16-bit PCM: ``data`` is an int16 array at ``sample_rate`` Hz."""

    data: Any
    sample_rate: int = 16000
    last_chunk: bool = False


@dataclasses.dataclass(eq=False)
class VideoControl:
    """One input item: audio of an utterance, or an end-of-speech mark."""

    audio: Optional[AudioChunk] = None
    message_id: Optional[str] = None
    end_of_speech: bool = False

    @classmethod
    def from_audio(cls, data, sample_rate, last_chunk=True):
        """Control carrying ``data`` (bytes of little-endian int16 mono PCM).

        Every control gets a fresh message id; a consumer tells utterances apart by the
        id of an utterance's first chunk.
        """
        if not isinstance(data, (bytes, bytearray, memoryview)):
            # bytes() would take a list as byte values and an int as a length.
            raise TypeError("VideoControl.from_audio: data must be bytes of 16-bit PCM, not %s"
                            % type(data).__name__)
        pcm = np.frombuffer(bytes(data), dtype="<i2").astype(np.int16)
        return cls(audio=AudioChunk(pcm, sample_rate, bool(last_chunk)),
                   message_id=_new_message_id(), end_of_speech=False)


@dataclasses.dataclass(eq=False)
class VideoFrame:
    """One output frame: a BGR uint8 image (or None) with its tick of audio (or None)."""

    bgr_image: Any = None
    audio_chunk: Optional[AudioChunk] = None
    frame_index: int = 0
    source_message_id: Optional[str] = None
    end_of_speech: bool = False

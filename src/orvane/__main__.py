"""Command line of the package (small stand-in): ``python -m orvane render <avatar> <audio> <out.mp4>``.

``_write(avatar, audio, out_mp4)`` renders ``audio`` with an open avatar into an MP4 file
through PyAV (H.264 video, or MPEG-4 part 2 where the encoder is missing, and AAC audio:
the speech the frames were rendered from, 16 kHz mono) and returns the output path.
Picture k goes with the sound of frame k: an engine's repeated first frames
(``present_delay_frames``) and frames past the end of the audio stay out of the file.
"""
import math
import os
import secrets
import stat
import sys
from fractions import Fraction

_RATE = 16000  # the offline layer's PCM: mono signed 16-bit samples at 16 kHz
_NO_FRAMES = "no frames came out of that render — check that the audio has speech in it, then try again"


class _Kept:
    """The audio of one render as the engine pulls it, kept for the sound track.

    A whole clip (bytes, array or file) is converted once, up front; a streamed input
    is converted item by item as the render asks for it, and each item goes on to the
    render already converted."""

    def __init__(self, audio):
        from orvane._open import _pcm, _whole_clip

        self.pcm = bytearray()
        clip = _whole_clip(audio)
        if clip is not None:
            self.pcm += clip
            self.complete = True
            self.source = clip
        else:
            self.complete = False

            def items():
                for item in audio:
                    data = _pcm(item)
                    self.pcm += data
                    yield data
                self.complete = True

            self.source = items()

    def samples(self) -> int:
        return len(self.pcm) // 2


def _video_stream(out, rate, height, width):
    try:
        stream = out.add_stream("libx264", rate=rate)
    except ValueError:  # unknown codec: a PyAV build without x264
        stream = out.add_stream("mpeg4", rate=rate)
    stream.height, stream.width = height, width
    stream.pix_fmt = "yuv420p"
    return stream


def _muxer_name(path: str) -> str:
    """The path as the muxer must be handed it: it reads "-" as standard output and
    "<protocol>:<rest>" ("take:1.mp4") as a protocol before it looks for a file;
    a path that starts with "/" or "./" is always a plain file."""
    return path if os.path.isabs(path) else os.path.join(".", path)


def _replaced(out_mp4: str):
    """The status of the file `out_mp4` names, or None when there is none to replace."""
    try:
        st = os.stat(out_mp4)
    except (FileNotFoundError, NotADirectoryError):
        return None
    return st if stat.S_ISREG(st.st_mode) else None


def _part_file(out_mp4: str) -> str:
    """A new, empty file beside `out_mp4` (same extension, so the muxer picks the
    same format) that the video is written into before it takes the real name.
    While a file is being replaced, the new one is its owner's alone until it
    takes that file's permissions (a private video never passes through a
    readable one)."""
    folder, base = os.path.split(out_mp4)
    root, ext = os.path.splitext(base)
    mode = 0o600 if _replaced(out_mp4) is not None else 0o666
    while True:
        part = os.path.join(folder, f".{root}.{secrets.token_hex(6)}.part{ext}")
        try:
            os.close(os.open(part, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0), mode))
            return part
        except FileExistsError:
            continue


def _take_permissions(part: str, out_mp4: str) -> None:
    """Give `part` the group and permission bits of the file it is about to replace,
    so that re-rendering over a private video leaves a private video. The group is
    kept only where we may set it; set-id bits never carry over."""
    st = _replaced(out_mp4)
    if st is None:
        return
    try:
        os.chown(part, -1, st.st_gid)
    except OSError:
        pass  # not one of our groups: the folder's default stays
    os.chmod(part, stat.S_IMODE(st.st_mode) & 0o777)


def _write(avatar, audio, out_mp4):
    kept = _Kept(audio)
    frames = iter(avatar.render(kept.source))
    first = next(frames, None)
    if first is None:
        raise ValueError("the render gave no frames")
    # A render or an encoder that fails midway must neither leave a cut-short video
    # under the name asked for nor destroy a file already there: the video takes
    # that name only once it is complete.
    part = _part_file(out_mp4)
    try:
        _mux(avatar, kept, frames, first, part)
        _take_permissions(part, out_mp4)
        os.replace(part, out_mp4)
    except BaseException:
        try:
            os.unlink(part)
        except OSError:
            pass
        raise
    return out_mp4


def _mux(avatar, kept, frames, first, path):
    import av
    import numpy as np

    rate = int(getattr(avatar._engine, "frames_per_second", None) or 25)
    delay = int(getattr(avatar._engine, "present_delay_frames", None) or 0)
    with av.open(_muxer_name(path), mode="w", format="mp4") as out:
        video = _video_stream(out, rate, first.shape[0] // 2 * 2, first.shape[1] // 2 * 2)
        sound = out.add_stream("aac", rate=_RATE)
        sound.layout = "mono"
        sound.time_base = Fraction(1, _RATE)
        state = {"n": 0, "heard": 0, "seen": 0}

        def hear(upto: int):
            # sound up to sample `upto` of what the render has pulled so far
            upto = min(upto, kept.samples())
            if upto <= state["heard"]:
                return
            pcm = np.frombuffer(bytes(kept.pcm[2 * state["heard"]: 2 * upto]), "<i2").reshape(1, -1)
            frame = av.AudioFrame.from_ndarray(pcm, format="s16", layout="mono")
            frame.sample_rate = _RATE
            frame.pts, frame.time_base = state["heard"], Fraction(1, _RATE)
            state["heard"] = upto
            for packet in sound.encode(frame):
                out.mux(packet)

        def show(img):
            state["seen"] += 1
            if state["seen"] <= delay:  # an engine's repeated first frame: picture k shows sound k
                return
            # Once the whole input is known, the video stops where the sound does: frames
            # an engine renders past the end of the audio are left out.
            if kept.complete and state["n"] >= math.ceil(kept.samples() * rate / _RATE):
                return
            vf = av.VideoFrame.from_ndarray(np.ascontiguousarray(img[: video.height, : video.width]),
                                            format="rgb24")
            vf.pts, vf.time_base = state["n"], Fraction(1, rate)
            state["n"] += 1
            for packet in video.encode(vf):
                out.mux(packet)
            hear(state["n"] * _RATE // rate)

        show(first)
        for img in frames:
            show(img)
        if state["n"] == 0:
            # Every frame lay past the end of the audio (an engine that renders a
            # whole chunk for empty speech): the file would hold no picture.
            from orvane._errors import Failed, refuse

            raise refuse(Failed, _NO_FRAMES, f"engine={avatar._engine_id} gave no frame within "
                                             f"{kept.samples()} samples of audio")
        hear(kept.samples())
        for stream in (video, sound):
            for packet in stream.encode():
                out.mux(packet)


USAGE = "usage: python -m orvane render <avatar> <audio> <out.mp4>"


def _unwritable(path):
    """Why `path` cannot take the video file, or None; checked before any rendering."""
    if os.path.isdir(path):
        return "it is a folder"
    folder = os.path.dirname(path) or "."
    if not os.path.isdir(folder):
        return f"no folder {folder}"
    if not os.access(folder, os.W_OK | os.X_OK) or (os.path.exists(path) and not os.access(path, os.W_OK)):
        return "permission denied"
    return None


def _exit_on_sigterm():
    """SIGTERM (a service or container being stopped) ends the command as an exit with
    status 143 rather than at once, so the render's clean-up runs: the hidden part file is
    removed, a file being replaced stays as it was, and the avatar's host is ended."""
    import signal
    import threading

    if threading.current_thread() is not threading.main_thread():
        return
    if signal.getsignal(signal.SIGTERM) is not signal.SIG_DFL:
        return  # the caller's own handler stays

    def stop(signum, frame):
        signal.signal(signal.SIGTERM, signal.SIG_IGN)  # one clean-up, not one per signal
        raise SystemExit(128 + signum)

    signal.signal(signal.SIGTERM, stop)


def main(argv):
    if argv in (["-h"], ["--help"]):
        print(USAGE)
        return 0
    if len(argv) != 4 or argv[0] != "render":
        print(USAGE, file=sys.stderr)
        return 2
    _, source, audio, out_mp4 = argv
    problem = _unwritable(out_mp4)
    if problem:
        print(f"orvane: cannot write {out_mp4}: {problem}", file=sys.stderr)
        return 1
    import orvane._open as _open
    from orvane._errors import AvatarError

    _exit_on_sigterm()
    try:
        with _open.open(source) as avatar:
            print(avatar.render(audio, out_mp4=out_mp4))
    except (AvatarError, OSError) as e:
        # one line a user can act on; some decoder messages carry their own line breaks
        print("orvane: " + " ".join(str(e).split()), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

"""Command line of the package (small stand-in): ``python -m orvane render <avatar> <audio> <out.mp4>``.

``_write(avatar, audio, out_mp4)`` renders ``audio`` with an open avatar into an MP4 file
through PyAV and returns the output path.
"""
import sys


def _write(avatar, audio, out_mp4):
    import av

    frames = iter(avatar.render(audio))
    first = next(frames, None)
    if first is None:
        raise ValueError("the render gave no frames")
    rate = int(getattr(avatar._engine, "frames_per_second", None) or 25)
    with av.open(out_mp4, mode="w") as out:
        stream = out.add_stream("mpeg4", rate=rate)
        stream.height, stream.width = first.shape[0] // 2 * 2, first.shape[1] // 2 * 2
        stream.pix_fmt = "yuv420p"

        def put(img):
            img = img[: stream.height, : stream.width]
            for packet in stream.encode(av.VideoFrame.from_ndarray(img, format="rgb24")):
                out.mux(packet)

        put(first)
        for img in frames:
            put(img)
        for packet in stream.encode():
            out.mux(packet)
    return out_mp4


def main(argv):
    if len(argv) == 4 and argv[0] == "render":
        import orvane._open as _open

        with _open.open(argv[1]) as avatar:
            print(_write(avatar, argv[2], argv[3]))
        return 0
    print("usage: python -m orvane render <avatar> <audio> <out.mp4>", file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

"""Video files as encoders make them, for the tests that read, cut and write videos."""

import fractions

import av
import numpy as np


def make_video(path, frames=24, size=(64, 48), rate=24, times=None, audio=True, codec="libx264",
               pixel_format="yuv420p", key_every=6, colour=None, rotation=0, options=None):
    """A moving gradient, key frames every key_every frames, AAC audio as long as the video;
    times: the frames' times in seconds (default: frame i at i / rate)."""
    width, height = size
    y, x = np.mgrid[0:height, 0:width]
    images = []
    with av.open(str(path), "w") as container:
        video = container.add_stream(codec, rate=rate)
        video.width, video.height, video.pix_fmt = width, height, pixel_format
        tick = fractions.Fraction(1, 600) if times else fractions.Fraction(1, rate)
        video.codec_context.time_base = tick
        if codec == "libx264":
            video.options = {"g": str(key_every), "keyint_min": str(key_every), "sc_threshold": "0", "crf": "10"}
        video.options = {**video.options, **(options or {})}
        for field, value in (colour or {}).items():
            setattr(video.codec_context, field, value)
        if rotation:
            video.set_display_rotation(rotation)
        sound = container.add_stream("aac", rate=48000) if audio else None
        for i in range(frames):
            image = np.stack([(x * 3 + i * 4) % 256, (y * 4 + i) % 256, (x + y + i * 6) % 256], -1).astype(np.uint8)
            images.append(image)
            frame = av.VideoFrame.from_ndarray(image, "bgr24")
            frame.pts = round(times[i] / tick) if times else i
            frame.time_base = tick
            container.mux(video.encode(frame))
        container.mux(video.encode())
        if sound:
            end = (times[-1] if times else frames / rate) * 48000
            for i in range(int(end // 1024) + 1):
                chunk = av.AudioFrame.from_ndarray(np.full((1, 1024), 0.1 * np.sin(i), np.float32), format="fltp",
                                                   layout="mono")
                chunk.sample_rate, chunk.pts = 48000, i * 1024
                container.mux(sound.encode(chunk))
            container.mux(sound.encode())
    return images

"""Stand-in for NVIDIA's ``PyNvVideoCodec`` (test code; see ``standin``), with PyAV underneath.

Registered as ``PyNvVideoCodec`` where the real one is not importable.  It offers the names the
package calls, with PyNvVideoCodec's argument names and results: ``CreateDemuxer`` (``Demux()``
gives packets, an empty one with ``bsl == 0`` at the end), ``CreateDecoder`` (``Decode(packet)``
gives decoded frames whose ``cuda()`` planes expose ``__cuda_array_interface__`` over a pitched
device surface in NVDEC's native NV12 or P016 layout, and ``getPTS()``), ``CreateEncoder``
(``Encode(frame, pic_params)`` and ``EndEncode()`` give lists of dicts of ``data``, ``timestamp``
and ``picture_type``; the frame is read from device memory through ``cupy.asarray``) and
``NV_ENC_PIC_PARAMS``.  Only device memory is offered: ``usedevicememory=False`` and
``usecpuinputbuffer=True`` are refused.  Encoding is FFmpeg's (libx264, libx265, libsvtav1),
lossless for ``tuning_info='lossless'``; packets come out in Annex B form with their parameter
sets in band, as NVENC's do.
"""

import enum
import fractions

import numpy as np

_PITCH = 64  # NVDEC's surfaces have padded rows; so do these, to keep readers honest


class cudaVideoCodec(enum.IntEnum):
    H264 = 4
    HEVC = 8
    AV1 = 11


_CODECS = {'h264': cudaVideoCodec.H264, 'hevc': cudaVideoCodec.HEVC, 'av1': cudaVideoCodec.AV1}
_ENCODERS = {'h264': 'libx264', 'hevc': 'libx265', 'av1': 'libsvtav1'}
_PIC_TYPE_P, _PIC_TYPE_IDR = 0, 3


class PacketData:
    def __init__(self, packet=None, stream=None):
        self._packet, self._stream = packet, stream
        self.bsl = 0 if packet is None else packet.size
        self.pts = None if packet is None else packet.pts


class PyNvDemuxer:
    def __init__(self, filename):
        import av
        self._container = av.open(filename)
        self._stream = self._container.streams.video[0]
        self._packets = self._container.demux(self._stream)

    def GetNvCodecId(self):
        return _CODECS[self._stream.codec_context.name]

    def Demux(self):
        for packet in self._packets:
            if packet.size:
                return PacketData(packet, self._stream)
        return PacketData(None, self._stream)  # end of stream: flushes the decoder


def CreateDemuxer(filename):
    return PyNvDemuxer(filename)


class CAIMemoryView:
    def __init__(self, owner, offset, shape, strides):
        self._owner = owner  # keeps the surface alive
        self.__cuda_array_interface__ = {
            'shape': shape, 'strides': strides, 'typestr': owner.dtype.str,
            'data': (owner.data.ptr + offset, False), 'version': 3, 'stream': None}


class DecodedFrame:
    def __init__(self, frame, wide, pool, slot):
        import cupy
        w, h = frame.width, frame.height
        dtype = np.dtype(np.uint16 if wide else np.uint8)
        host = np.zeros((h * 3 // 2, _PITCH * ((w + _PITCH - 1) // _PITCH)), dtype)
        # The decoder's own samples, chroma interleaved (and 10-bit codes moved to the high bits).
        y, u, v = (np.frombuffer(p, dtype).reshape(-1, p.line_size // dtype.itemsize)[:rows, :cols]
                   for p, rows, cols in zip(frame.planes, (h, h // 2, h // 2), (w, w // 2, w // 2)))
        shift = 6 if wide else 0
        host[:h, :w] = y << shift
        host[h:, :w] = np.stack([u, v], -1).reshape(h // 2, w) << shift
        # NVDEC hands out surfaces from a small pool and reuses them on later Decode calls: a
        # reader that keeps a frame's planes past the next call sees another picture there.
        surface = pool[slot] if slot < len(pool) else None
        if surface is None or surface.shape != host.shape or surface.dtype != host.dtype:
            surface = cupy.asarray(host)
            pool[slot:slot + 1] = [surface]
        else:
            surface[...] = cupy.asarray(host)
        self._surface = surface
        i, pitch = dtype.itemsize, host.shape[1] * dtype.itemsize
        self._planes = [CAIMemoryView(self._surface, 0, (h, w, 1), (pitch, i, i)),
                        CAIMemoryView(self._surface, h * pitch, (h // 2, w // 2, 2), (pitch, 2 * i, i))]
        self._pts = frame.pts

    def cuda(self):
        return self._planes

    def getPTS(self):
        return self._pts


class PyNvDecoder:
    def __init__(self, codec):
        self._codec = cudaVideoCodec(codec)
        self._pool = []

    def Decode(self, packet):
        if not isinstance(packet, PacketData):
            raise TypeError('Decode takes a PacketData')
        stream = packet._stream
        frames = stream.codec_context.decode(packet._packet)
        out = []
        for frame in frames:
            name = frame.format.name
            if name not in ('yuv420p', 'yuvj420p', 'yuv420p10le'):
                raise RuntimeError('stand-in NVDEC gives NV12 and P016 only, not %s' % name)
            out.append(DecodedFrame(frame, name == 'yuv420p10le', self._pool, len(out)))
        return out


def CreateDecoder(gpuid=0, codec=cudaVideoCodec.H264, cudacontext=0, cudastream=0, usedevicememory=False,
                  **options):
    if not usedevicememory:
        raise NotImplementedError('the stand-in decodes into device memory only')
    return PyNvDecoder(codec)


class NV_ENC_PIC_PARAMS:
    def __init__(self):
        self.inputTimeStamp = 0
        self.encodePicFlags = 0


class PyNvEncoder:
    def __init__(self, width, height, fmt, options):
        import av
        if fmt not in ('NV12', 'P010'):
            raise ValueError('Unknown format: %s' % fmt)
        self._width, self._height, self._fmt = width, height, fmt
        fps = int(options.get('fps', 30))
        self._bframes = int(options.get('bf', 0))
        context = av.CodecContext.create(_ENCODERS[options.get('codec', 'h264')], 'w')
        context.width, context.height = width, height
        context.pix_fmt = 'yuv420p10le' if fmt == 'P010' else 'yuv420p'
        context.time_base, context.framerate = fractions.Fraction(1, fps), fps
        # As many B-frames as NVENC was asked for (none by default), whichever encoder stands in.
        codec_options = {'libx264': {'bf': str(self._bframes)},
                         'libx265': {'x265-params': 'bframes=%d:log-level=error' % self._bframes},
                         'libsvtav1': {} if self._bframes else {'svtav1-params': 'pred-struct=1'}}.get(context.name, {})
        if options.get('tuning_info') == 'lossless':
            codec_options['qp'] = '0'
        elif 'bitrate' in options:
            context.bit_rate = int(options['bitrate'])
        context.options = codec_options
        context.open()
        self._context = context

    def GetNumBFrames(self):
        return self._bframes

    def Encode(self, frame, pic_params=None):
        import av
        import cupy
        surface = cupy.asarray(frame)
        dtype = np.uint16 if self._fmt == 'P010' else np.uint8
        expected = (self._height * 3 // 2, self._width)
        if surface.shape != expected or surface.dtype != dtype:
            raise ValueError('Invalid shape: %s %s, expected: %s %s'
                             % (surface.shape, surface.dtype, expected, np.dtype(dtype)))
        host = surface.get()  # the hardware reads device memory; FFmpeg reads host memory
        picture = av.VideoFrame(self._width, self._height, 'p010le' if self._fmt == 'P010' else 'nv12')
        for rows, plane in zip((slice(0, self._height), slice(self._height, None)), picture.planes):
            step = plane.line_size // np.dtype(dtype).itemsize
            view = np.frombuffer(plane, dtype).reshape(-1, step)
            view[:host[rows].shape[0], :self._width] = host[rows]
        picture = picture.reformat(format=self._context.pix_fmt)
        picture.pts = 0 if pic_params is None else pic_params.inputTimeStamp
        return self._packets(self._context.encode(picture))

    def EndEncode(self):
        return self._packets(self._context.encode(None))

    @staticmethod
    def _packets(packets):
        return [{'data': bytes(p), 'timestamp': p.pts,
                 'picture_type': _PIC_TYPE_IDR if p.is_keyframe else _PIC_TYPE_P} for p in packets]


def CreateEncoder(width, height, fmt, usecpuinputbuffer, **kwargs):
    if usecpuinputbuffer:
        raise NotImplementedError('the stand-in encodes from device memory only')
    return PyNvEncoder(width, height, fmt, {k: v for k, v in kwargs.items()
                                            if k not in ('gpu_id', 'cudastream', 'cudacontext')})

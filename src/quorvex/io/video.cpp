// Reading and writing video files with FFmpeg through PyAV, frames converted on the GPU.
//
// Decoding and encoding run on the CPU in FFmpeg. Frames cross between host and device in their
// compact decoded form (the planes of yuv420p, yuv422p, yuv444p, their 10- and 12-bit and
// full-range variants, NV12, P010), one copy per plane, and the colour conversion to and from BGR
// float32 is one kernel of quorvex.color.yuv. Other pixel formats (RGB, grey, 16-bit, ...) are
// converted to BGR by FFmpeg on the CPU.
//
// On request the NVIDIA hardware codecs work instead (video_nvcodec.hpp). The reader
// (video_reader.hpp) and the writer (video_writer.hpp) keep their state in C++; their
// attributes are read-only properties of it. This file declares the module.
#include <nanobind/stl/pair.h>

#include "quorvex/function.hpp"
#include "quorvex/pixel_formats.hpp"
#include "quorvex/state.hpp"
#include "video_common.hpp"
#include "video_reader.hpp"
#include "video_writer.hpp"

namespace qv = quorvex;
namespace nb = nanobind;
using namespace qv::video;

NB_MODULE(video, m) {
    m.doc() =
        "Video files through FFmpeg (PyAV) with frames as device arrays: decoded and encoded on the CPU, "
        "colour-converted on the GPU; or decoded and encoded by NVDEC/NVENC (PyNvVideoCodec) on request.";
    nb::object none = nb::none();
    // The layouts VideoWriter takes: FFmpeg's name -> (bits, chroma '420'/'422'/'444', 'planar'/'semi').
    nb::dict writable;
    for (const PixelFormat *f : qv::kPixelFormats)
        if (f->decoded() && !f->full)
            writable[f->name] = nb::make_tuple(f->bits,
                                               f->vertical     ? "420"
                                               : f->horizontal ? "422"
                                                               : "444",
                                               f->semi() ? "semi" : "planar");
    m.attr("PIXEL_FORMATS") = writable;
    // A plain named tuple: compared, unpacked and replaced (._replace) as callers expect.
    nb::object colour = quorvex::stdlib::collections.get().attr("namedtuple")(
        "ColourDescription", nb::make_tuple("matrix", "full_range", "primaries", "transfer"),
        nb::arg("module") = m.attr("__name__"));
    colour.attr("__doc__") =
        "A video stream's colour description: matrix ('bt601', 'bt709', 'bt2020') and full_range, which "
        "the conversions apply, and the H.273 codes of its primaries and transfer (None: the matrix's own "
        "where a writer takes it).";
    nb::dict colour_fields;
    colour_fields["matrix"] = "str", colour_fields["full_range"] = "bool";
    colour_fields["primaries"] = "int | None", colour_fields["transfer"] = "int | None";
    colour.attr("__annotations__") = colour_fields;
    m.attr("ColourDescription") = colour;
    qv::Class(
        m, "VideoReader",
        "Frames of a video file's first video stream, in order, as device arrays.\n\n"
        "Frames are BGR float32 (H, W, 3), or with raw=True the decoder's planes (yuv420p, yuv422p, yuv444p, "
        "their 10- and 12-bit forms, nv12, p010le), 16-bit samples holding the codes in their low bits "
        "(P010's in its high bits). The layouts raw=True gives (and their full-range yuvj forms) are "
        "converted on the GPU; layouts without a kernel (RGB, grey, 16-bit, ...) are converted by FFmpeg on "
        "the CPU with the matrix, range and chroma given here, at 16 bits for more than 8.\n\n"
        "Attributes:\n"
        "    fps: frames per second (the codec's rate for raw elementary streams).\n"
        "    size: (width, height).\n"
        "    frame_count: an estimate: the container's count or Matroska's NUMBER_OF_FRAMES tag, else the "
        "stream's duration times its frame rate, rounded, else 0. Frames that do not decode (before the "
        "first "
        "key frame, past a truncation) are not given; a RuntimeWarning says so at the end, where frame_count "
        "becomes the number given.\n"
        "    duration: the video stream's, in seconds, or None.\n"
        "    pixel_format: the frames' layout.\n"
        "    time_base: of pts.\n"
        "    colour: the colour description, as a ColourDescription: matrix, full_range (the stream's unless "
        "given; without one, BT.709 from 720 rows up and BT.601 below), primaries, transfer (the "
        "stream's H.273 codes, None where it leaves them unspecified), as VideoWriter(colour=) takes it.\n"
        "    matrix, full_range, primaries, transfer: the same one by one (primaries and transfer 2 where "
        "unspecified).\n"
        "    rotation: the display rotation, degrees counter-clockwise, not applied to the frames.\n"
        "    codec: the stream's codec, e.g. 'hevc'.\n"
        "    mastering_display, content_light: HDR10 static metadata or None: a dict of 'red', 'green', "
        "'blue', 'white' CIE xy pairs and 'luminance' (min, max) in cd/m2; (MaxCLL, MaxFALL).\n"
        "    time, pts: of the frame returned last (seconds; time_base units).")
        .base(qv::stateful_base())
        .property("path", "str", qv::state_member<&Reader::path>)
        .property("raw", "bool", qv::state_member<&Reader::raw>)
        .property("fps", "float", qv::state_member<&Reader::fps>)
        .property("size", "tuple[int, int]", reader_size)
        .property("frame_count", "int", qv::state_member<&Reader::frame_count>)
        .property("duration", "float | None", qv::state_member<&Reader::duration>)
        .property("pixel_format", "str", qv::state_member<&Reader::pixel_format>)
        .property("time_base", "fractions.Fraction", qv::state_member<&Reader::time_base>)
        .property("colour", "ColourDescription", reader_colour)
        .property("matrix", "str", colour_matrix<Reader>)
        .property("full_range", "bool", colour_full_range<Reader>)
        .property("primaries", "int", colour_primaries<Reader>)
        .property("transfer", "int", colour_transfer<Reader>)
        .property("rotation", "int", qv::state_member<&Reader::rotation>)
        .property("codec", "str", qv::state_member<&Reader::codec>)
        .property("mastering_display", "dict | None", qv::state_member<&Reader::mastering_display>)
        .property("content_light", "tuple[int, int] | None", qv::state_member<&Reader::content_light>)
        .property("time", "float | None", qv::state_member<&Reader::time>)
        .property("pts", "int | None", qv::state_member<&Reader::pts>)
        .def("__init__", reader_init,
             {{"self"},
              {"path", "str | os.PathLike"},
              {"raw", "bool", nb::bool_(false)},
              {"matrix", "Optional[str]", none},
              {"full_range", "Optional[bool]", none},
              {"chroma", "str", nb::str("linear")},
              {"decoder", "str", nb::str("ffmpeg")},
              {"clip", "bool", nb::bool_(true)}},
             "None",
             "Opens the file and its first video stream.\n\n"
             "Args:\n"
             "    path: the video file.\n"
             "    raw: give the decoder's planes instead of BGR frames.\n"
             "    matrix, full_range: the colour description to convert with, instead of the stream's.\n"
             "    chroma: how subsampled chroma is brought to full size, 'linear' or 'nearest'.\n"
             "    decoder: 'ffmpeg', or 'nvdec' for 4:2:0 streams of even size decoded on the GPU through "
             "PyNvVideoCodec (extra 'nvcodec'); raw planes are then NV12 or P010 (y, uv).\n"
             "    clip: False keeps codes beyond the nominal range (super-white, sub-black) as values beyond "
             "0..1 "
             "in the layouts converted on the GPU.\n\n"
             "Raises:\n"
             "    ValueError: a stream coded with another matrix (FCC, SMPTE 240M, YCgCo, BT.2020 constant "
             "luminance, ...) unless matrix is given, or one NVDEC cannot decode.")
        .def("__iter__", reader_iter, {{"self"}}, "VideoReader", nullptr)
        .def("__next__", reader_next, {{"self"}}, "cp.ndarray | tuple[cp.ndarray, ...]",
             "The next frame; its time stamp is in time (seconds) and pts.")
        .def("close", reader_close, {{"self"}}, "None", "Closes the file.")
        .def("__enter__", enter, {{"self"}}, "VideoReader", nullptr)
        .def("__exit__", reader_exit, {{"self"}, {"exc_type"}, {"exc"}, {"traceback"}}, "None", nullptr)
        .finish();
    qv::Class(
        m, "VideoWriter",
        "Writes BGR frames to a video file.\n\n"
        "Frames (device or host (H, W, 3), float 0..1 or integer) are converted on the GPU to "
        "pixel_format's planes and encoded by FFmpeg, or by NVENC. The file is written under a hidden "
        "temporary name beside path and renamed onto it by close(); leaving a with-block by an exception "
        "discards it.\n\n"
        "Attributes:\n"
        "    frame_count: the frames written so far.\n"
        "    size: (width, height); fps, time_base, pixel_format, colour (and its matrix, full_range, "
        "primaries, transfer), rotation: as given (or defaulted).")
        .base(qv::stateful_base())
        .property("path", "str", qv::state_member<&Writer::path>)
        .property("fps", "fractions.Fraction", qv::state_member<&Writer::fps>)
        .property("size", "tuple[int, int]", writer_size)
        .property("pixel_format", "str", writer_pixel_format)
        .property("colour", "ColourDescription", writer_colour)
        .property("matrix", "str", colour_matrix<Writer>)
        .property("full_range", "bool", colour_full_range<Writer>)
        .property("rotation", "int", qv::state_member<&Writer::rotation>)
        .property("primaries", "int", colour_primaries<Writer>)
        .property("transfer", "int", colour_transfer<Writer>)
        .property("time_base", "fractions.Fraction", qv::state_member<&Writer::time_base>)
        .property("frame_count", "int", qv::state_member<&Writer::frame_count>)
        .property("closed", "bool", qv::state_member<&Writer::closed>)
        .def("__init__", writer_init,
             {{"self"},
              {"path", "str | os.PathLike"},
              {"fps", "float"},
              {"size", "tuple[int, int]"},
              {"codec", "str", nb::str("libx264")},
              {"pixel_format", "str", nb::str("yuv420p")},
              {"matrix", "str", nb::str("bt709")},
              {"full_range", "bool", nb::bool_(false)},
              {"options", "Optional[dict[str, str]]", none},
              {"audio_from", "str | os.PathLike | None", none},
              {"bit_rate", "Optional[int]", none},
              {"encoder", "str", nb::str("ffmpeg")},
              {"time_base", "Optional[fractions.Fraction]", none},
              {"rotation", "int", nb::int_(0)},
              {"primaries", "Optional[int]", none},
              {"transfer", "Optional[int]", none},
              {"colour", "Optional[ColourDescription]", none}},
             "None",
             "Opens the output and its encoder, refusing here what the encoder or the format would refuse "
             "later.\n\n"
             "Args:\n"
             "    path: the output file; its extension picks the container.\n"
             "    fps: frames per second, also an int or a fractions.Fraction (30000/1001).\n"
             "    size: (width, height).\n"
             "    codec, options: FFmpeg's encoder and its options (e.g. {'crf': '18'}).\n"
             "    pixel_format, matrix, full_range: the planes encoded and their colour description.\n"
             "    audio_from: a file whose audio streams are copied unchanged, interleaved with the video by "
             "time.\n"
             "    bit_rate: bits per second.\n"
             "    encoder: 'ffmpeg', or 'nvenc' to encode on the GPU through PyNvVideoCodec (extra "
             "'nvcodec', PyAV "
             "18 or later to mux): codec 'h264' (or 'libx264'), 'hevc' (or 'libx265') or 'av1', pixel_format "
             "4:2:0 at 8 or 10 bits (fed as NV12 or P010 device memory), an even size; options are then "
             "NVENC's "
             "(e.g. {'preset': 'p4', 'tuning_info': 'lossless'}), bit_rate its 'bitrate', the frame rate "
             "rounded "
             "for its rate control.\n"
             "    time_base: of the frames' times (default 1 / fps; AVI files keep 1 / fps and no B-frames, "
             "as "
             "the format holds no presentation times).\n"
             "    rotation: the display rotation written to the file (degrees counter-clockwise, as "
             "VideoReader.rotation), the pixels left as given.\n"
             "    primaries, transfer: the H.273 codes written beside the matrix (default: those of the "
             "matrix's "
             "standard).\n"
             "    colour: a ColourDescription (VideoReader.colour, say) in place of matrix, full_range, "
             "primaries and transfer; its None codes stand for the matrix's.\n\n"
             "Raises:\n"
             "    ValueError: settings the encoder or the container does not take.")
        .def("write", writer_write,
             {{"self"},
              {"frame", "cp.ndarray | np.ndarray"},
              {"time", "float | fractions.Fraction | None", none}},
             "None",
             "Encodes one frame of shape (height, width, 3), shown at time seconds (rounded to time_base; "
             "increasing), or one frame at fps after the frame before (the first at 0).")
        .def("close", writer_close, {{"self"}}, "None",
             "Flushes the encoder, copies the audio, closes the file and renames it onto path.")
        .def("__enter__", enter, {{"self"}}, "VideoWriter", nullptr)
        .def("__exit__", writer_exit, {{"self"}, {"exc_type"}, {"exc"}, {"traceback"}}, "None", nullptr)
        .finish();
}

// Reading and writing video files with FFmpeg through PyAV, frames converted on the GPU.
//
// Decoding and encoding run on the CPU in FFmpeg. Frames cross between host and device in their
// compact decoded form (the planes of yuv420p, yuv422p, yuv444p, their 10- and 12-bit and
// full-range variants, NV12, P010), one copy per plane, and the colour conversion to and from BGR
// float32 is one kernel of quorvex.color.yuv. Other pixel formats (RGB, grey, 16-bit, ...) are
// converted to BGR by FFmpeg on the CPU.
//
// On request the NVIDIA hardware codecs work instead (video_nvcodec.hpp). Readers and writers
// keep their state in C++ (Reader, Writer); their attributes are read-only properties of it.
#include <nanobind/stl/pair.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <tuple>

#include "quorvex/function.hpp"
#include "quorvex/kernel.hpp"
#include "quorvex/pixel_formats.hpp"
#include "quorvex/siblings.hpp"
#include "quorvex/state.hpp"
#include "quorvex/temporary_file.hpp"
#include "quorvex/video_codes.hpp"
#include "video_nvcodec.hpp"

namespace qv = quorvex;
namespace nb = nanobind;

namespace {

qv::Import av_module("av");

// Python's rounding of Fractions and floats (half to even), looked up once.
qv::Lookup py_round("builtins", "round");

using qv::PixelFormat;

const char *const kWritable =
    "'yuv420p', 'yuv422p', 'yuv444p', their 10- and 12-bit forms ('yuv420p10le', ...), "
    "'nv12' or 'p010le'";

// A layout FFmpeg decodes into that the GPU kernels take, or nullptr.
const PixelFormat *find_format(const std::string &name) {
    const PixelFormat *f = qv::find_pixel_format(name);
    return f && f->decoded() ? f : nullptr;
}

// A plane of a PyAV frame as a host array view without its row padding.
nb::object plane_view(nb::handle plane, int64_t rows, int64_t cols, bool wide) {
    const qv::Numpy &np = qv::np();
    nb::handle dtype = wide ? np.uint16 : np.uint8;
    int64_t step = nb::cast<int64_t>(plane.attr("line_size")) / (wide ? 2 : 1);
    nb::object all = np.module.attr("frombuffer")(plane, dtype).attr("reshape")(-1, step);
    return all[nb::make_tuple(nb::slice(nb::int_(0), nb::int_(rows), nb::int_(1)),
                              nb::slice(nb::int_(0), nb::int_(cols), nb::int_(1)))];
}

nb::object yuv_function(const char *name) { return qv::package_attr("quorvex.color.yuv", name); }

const char *matrix_name(nb::handle matrix, const char *function) {
    if (const qv::video::Matrix *known = qv::video::find_matrix(nb::cast<std::string>(matrix)))
        return known->name;
    qv::raise(PyExc_ValueError, "%s() takes matrix as 'bt601', 'bt709' or 'bt2020', got %R", function,
              matrix.ptr());
}

bool bool_arg(nb::handle value, const char *name, const char *function) {
    if (!PyBool_Check(value.ptr()))
        qv::raise(PyExc_TypeError, "%s() takes %s as a bool, got %s", function, name, qv::type_name(value));
    return value.ptr() == Py_True;
}

// A str argument that must be one of two names; true for the second.
bool choice(nb::handle value, const char *name, const char *first, const char *second, const char *function) {
    if (PyUnicode_Check(value.ptr())) {
        std::string v = nb::cast<std::string>(value);
        if (v == first || v == second) return v == second;
    }
    qv::raise(PyExc_ValueError, "%s() takes %s as '%s' or '%s', got %R", function, name, first, second,
              value.ptr());
}

nb::object fraction(nb::handle value) { return nb::module_::import_("fractions").attr("Fraction")(value); }

std::string fspath(nb::handle path) {
    nb::object p = nb::module_::import_("os").attr("fspath")(path);
    if (!PyUnicode_Check(p.ptr()))
        qv::raise(PyExc_TypeError, "path must be a str or os.PathLike of str, got %s", qv::type_name(p));
    return nb::cast<std::string>(p);
}

// ---------------------------------------------------------------- reading

// HDR10's static metadata, which FFmpeg attaches to each decoded frame (from the bitstream's SEI
// or the container's boxes): AVMasteringDisplayMetadata as a dict of CIE xy chromaticities
// ("red", "green", "blue", "white") and "luminance" (min, max, cd/m2), and AVContentLightLevel
// as (MaxCLL, MaxFALL). None for what the stream does not carry.
std::pair<nb::object, nb::object> hdr_metadata(nb::handle frame) {
    nb::object mastering = nb::none(), light = nb::none();
    if (frame.is_none()) return {mastering, light};
    for (nb::handle data : frame.attr("side_data").attr("values")()) {
        std::string type = nb::cast<std::string>(data.attr("type").attr("name"));
        if (type != "MASTERING_DISPLAY_METADATA" && type != "CONTENT_LIGHT_LEVEL") continue;
        Py_buffer view;
        if (PyObject_GetBuffer(data.ptr(), &view, PyBUF_SIMPLE) < 0) throw nb::python_error();
        std::vector<int32_t> v(size_t(view.len) / sizeof(int32_t));
        std::memcpy(v.data(), view.buf, v.size() * sizeof(int32_t));
        PyBuffer_Release(&view);
        auto ratio = [&](size_t i) { return nb::float_(v[i + 1] ? double(v[i]) / v[i + 1] : 0.0); };
        if (type == "CONTENT_LIGHT_LEVEL" && v.size() >= 2) {
            light = nb::make_tuple(uint32_t(v[0]), uint32_t(v[1]));
        } else if (type == "MASTERING_DISPLAY_METADATA" && v.size() >= 22 && v[20] && v[21]) {
            // display_primaries[3][2] (r, g, b), white_point[2], min_luminance, max_luminance: rationals
            nb::dict d;
            const char *names[] = {"red", "green", "blue", "white"};
            for (size_t c = 0; c < 4; ++c) d[names[c]] = nb::make_tuple(ratio(4 * c), ratio(4 * c + 2));
            d["luminance"] = nb::make_tuple(ratio(16), ratio(18));
            mastering = d;
        }
    }
    return {mastering, light};
}

constexpr int kUnspecified = 2;  // H.273's code for a colour property a stream does not state

// A colour description: the matrix and range the kernels convert with, and the H.273 codes of
// the primaries and transfer that go beside them.
struct Colour {
    const qv::video::Matrix *matrix = nullptr;
    bool full_range = false;
    int primaries = kUnspecified, transfer = kUnspecified;
};

qv::Lookup colour_description("quorvex.io.video", "ColourDescription");

nb::object colour_value(const Colour &c) {
    return colour_description(c.matrix->name, c.full_range, c.primaries, c.transfer);
}

struct Reader {
    std::string path, pixel_format, codec;
    const PixelFormat *format = nullptr;  // the planes handed out; nullptr where FFmpeg converts
    bool raw = false, clip = true, nearest = false;
    double fps = 0;
    std::pair<int64_t, int64_t> size;
    int64_t frame_count = 0, yielded = 0, rotation = 0;
    Colour colour;
    nb::object duration = nb::none(), time_base = nb::none(), mastering_display = nb::none(),
               content_light = nb::none(), time = nb::none(), pts = nb::none();
    nb::object container = nb::none(), frames = nb::none();  // PyAV's decoding iterator
    std::optional<qv::video::NvdecSession> nvdec;
    bool open = false;
};

nb::object reader_init(const qv::Args &a) {
    const char *function = "VideoReader";
    Reader &r = qv::make_state<Reader>(a[0]);
    r.raw = bool_arg(a["raw"], "raw", function);
    if (!a["matrix"].is_none()) matrix_name(a["matrix"], function);
    if (!a["full_range"].is_none()) bool_arg(a["full_range"], "full_range", function);
    r.nearest = choice(a["chroma"], "chroma", "linear", "nearest", function);
    bool nvdec = choice(a["decoder"], "decoder", "ffmpeg", "nvdec", function);
    r.clip = bool_arg(a["clip"], "clip", function);
    std::string path = fspath(a["path"]);
    nb::handle av = av_module.get();
    nb::object container = av.attr("open")(path);
    auto refuse = [&](auto... args) {
        container.attr("close")();
        qv::raise(PyExc_ValueError, args...);
    };
    nb::object streams = container.attr("streams").attr("video");
    if (nb::len(streams) == 0) refuse("%s(): '%s' has no video stream", function, path.c_str());
    nb::object stream = streams[nb::int_(0)];
    stream.attr("thread_type") = "AUTO";
    nb::object codec = stream.attr("codec_context");
    int64_t width = nb::cast<int64_t>(codec.attr("width")), height = nb::cast<int64_t>(codec.attr("height"));

    // Raw elementary streams carry no time stamps, and FFmpeg's average for them is its 25 fps
    // default: the codec's own rate (its timing information) holds there.
    std::string container_format = nb::cast<std::string>(container.attr("format").attr("name"));
    bool elementary = false;
    for (const char *name :
         {"h264", "hevc", "vvc", "m4v", "mpegvideo", "cavsvideo", "obu", "vc1", "rawvideo"})
        elementary = elementary || container_format == name;
    nb::object rate =
        elementary ? nb::object(codec.attr("framerate")) : nb::object(stream.attr("average_rate"));
    if (!rate.is_none() && !(nb::cast<double>(nb::float_(rate)) > 0)) rate = nb::none();
    if (rate.is_none()) rate = stream.attr("guessed_rate");
    double fps = rate.is_none() ? 0.0 : nb::cast<double>(nb::float_(rate));
    // The stream's own duration: Matroska keeps it in a tag, and the container's duration is that
    // of its longest stream, often the audio.
    nb::object metadata = stream.attr("metadata"), exact = nb::none();
    if (!stream.attr("duration").is_none() && !stream.attr("time_base").is_none())
        exact = stream.attr("duration") * stream.attr("time_base");
    else if (!(exact = qv::video::duration_tag(metadata)).is_none() && !stream.attr("start_time").is_none() &&
             !stream.attr("time_base").is_none())
        exact = exact - stream.attr("start_time") * stream.attr("time_base");  // the tag is the end time
    if (exact.is_none() && !container.attr("duration").is_none())
        exact = fraction(container.attr("duration")) / nb::int_(1000000);
    int64_t frames = nb::cast<int64_t>(stream.attr("frames"));
    if (frames == 0) frames = qv::video::count_tag(metadata);
    // Otherwise the duration in frames, exact at a constant rate.
    if (frames == 0 && !exact.is_none() && fps > 0)
        frames = nb::cast<int64_t>(py_round(exact * fraction(rate)));

    nb::object format = codec.attr("format");
    std::string pixel_format = format.is_none() ? std::string() : nb::cast<std::string>(format.attr("name"));
    const PixelFormat *pf = find_format(pixel_format);
    if (r.raw && !pf)
        refuse(
            "%s(raw=True) gives the planes of yuv420p, yuv422p, yuv444p, their 10- and "
            "12-bit forms, nv12 and p010le; '%s' is %s",
            function, path.c_str(), pixel_format.c_str());

    // The stream's own colour description, unless the caller says otherwise. Streams that carry
    // none are taken as BT.709 from 720 rows up and BT.601 below, as players do.
    if (!a["matrix"].is_none()) {
        r.colour.matrix = qv::video::find_matrix(matrix_name(a["matrix"], function));
    } else {
        int space = nb::cast<int>(codec.attr("colorspace"));
        r.colour.matrix = qv::video::find_matrix(height >= 720 ? "bt709" : "bt601");
        if (const qv::video::Matrix *tagged = qv::video::matrix_of_space(space))
            r.colour.matrix = tagged;
        else if (const char *other = qv::video::unconverted_space(space))
            // Decoding these with one of the three matrices would give wrong colours without a word.
            refuse(
                "%s(): '%s' is coded with the %s matrix, which is not converted here; pass "
                "matrix= to decode it as 'bt601', 'bt709' or 'bt2020' anyway",
                function, path.c_str(), other);
    }
    r.colour.full_range =
        a["full_range"].is_none()
            ? (pf && pf->full) || nb::cast<int>(codec.attr("color_range")) == qv::video::kRangeJpeg
            : a["full_range"].ptr() == Py_True;
    r.colour.primaries = nb::cast<int>(codec.attr("color_primaries"));
    r.colour.transfer = nb::cast<int>(codec.attr("color_trc"));

    if (nvdec) {
        // NVDEC's native surfaces are NV12 for 8-bit and P016 (10 bits in the high bits, as P010)
        // for 10-bit 4:2:0, which the nv12/p010 kernels read; other layouts have no kernel here.
        const PixelFormat *surface = nullptr;
        if (pf && pf->vertical && !pf->semi() && pf->bits <= 10)
            surface = find_format(pf->wide() ? "p010le" : "nv12");
        if (!surface)
            refuse("%s(decoder='nvdec') decodes 4:2:0 streams of 8 or 10 bits; '%s' is %s", function,
                   path.c_str(), pixel_format.c_str());
        if (width % 2 || height % 2)
            refuse("%s(decoder='nvdec') takes an even frame size, got %lldx%lld", function, (long long)width,
                   (long long)height);
        try {
            r.nvdec.emplace(path);
        } catch (...) {
            container.attr("close")();
            throw;
        }
        pixel_format = surface->name;
        pf = surface;
    }

    // The display rotation travels as side data that FFmpeg attaches to each decoded frame, so the
    // first frame is decoded now and handed out first.
    nb::object decoding = container.attr("decode")(stream), first;
    try {
        PyObject *f = PyIter_Next(decoding.ptr());
        if (!f && PyErr_Occurred()) throw nb::python_error();
        first = f ? nb::steal(f) : nb::none();
    } catch (...) {
        container.attr("close")();
        throw;
    }
    if (!first.is_none() && !nvdec)
        decoding = nb::module_::import_("itertools").attr("chain")(nb::make_tuple(first), decoding);

    std::tie(r.mastering_display, r.content_light) = hdr_metadata(first);
    r.rotation = first.is_none() ? 0 : nb::cast<int64_t>(py_round(first.attr("rotation")));
    r.codec = nb::cast<std::string>(codec.attr("codec").attr("canonical_name"));
    r.path = path;
    r.fps = fps;
    r.size = {width, height};
    r.frame_count = frames;
    r.duration = exact.is_none() ? nb::none() : nb::object(nb::float_(exact));
    r.pixel_format = pixel_format;
    r.format = pf;
    r.time_base = stream.attr("time_base");
    r.container = container;
    r.frames = decoding;
    r.open = true;
    return nb::none();
}

// The end of the frames; a warning where fewer came than frame_count said (frames before the
// first key frame, a truncated file), as callers size their work by it.
[[noreturn]] void stop(Reader &r) {
    if (r.yielded < r.frame_count &&
        PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                         "VideoReader: '%s' gave %lld frames where frame_count said %lld", r.path.c_str(),
                         (long long)r.yielded, (long long)r.frame_count) < 0)
        throw nb::python_error();
    r.frame_count = r.yielded;  // known now
    PyErr_SetNone(PyExc_StopIteration);
    throw nb::python_error();
}

nb::object reader_iter(const qv::Args &a) { return nb::borrow(a[0]); }

nb::object reader_next(const qv::Args &a) {
    Reader &r = qv::state<Reader>(a[0]);
    if (!r.open) qv::raise(PyExc_ValueError, "VideoReader is closed");
    nb::tuple planes;
    const PixelFormat *pf = r.format;
    if (r.nvdec) {
        nb::object frame = r.nvdec->next();
        if (!frame.is_valid()) stop(r);
        r.pts = frame.attr("getPTS")();
        r.time = nb::float_(r.pts * r.time_base);
        planes = qv::video::NvdecSession::planes(frame, qv::plane_shapes(*pf, r.size.first, r.size.second));
    } else {
        PyObject *next = PyIter_Next(r.frames.ptr());
        if (!next) {
            if (PyErr_Occurred()) throw nb::python_error();
            stop(r);
        }
        nb::object frame = nb::steal(next);
        r.time = frame.attr("time");
        r.pts = frame.attr("pts");
        std::string name = nb::cast<std::string>(frame.attr("format").attr("name"));
        pf = find_format(name);
        if (!pf) {
            if (r.raw)
                qv::raise(PyExc_ValueError,
                          "VideoReader(raw=True): a frame came in %s, which has no planes here",
                          name.c_str());
            // Layouts without a kernel (RGB, grey, 16-bit, ...): converted by FFmpeg with the matrix and
            // range this reader reports, at 16 bits for formats deeper than 8.
            ++r.yielded;
            bool deep = false;
            for (nb::handle c : frame.attr("format").attr("components"))
                deep = deep || nb::cast<int>(c.attr("bits")) > 8;
            nb::object bgr = frame.attr("reformat")(
                nb::arg("format") = deep ? "bgr48le" : "bgr24",
                nb::arg("src_colorspace") = r.colour.matrix->swscale,
                nb::arg("src_color_range") =
                    r.colour.full_range ? qv::video::kRangeJpeg : qv::video::kRangeMpeg,
                nb::arg("interpolation") = r.nearest ? "POINT" : "BILINEAR");
            return qv::sibling::to_float32(qv::cp().asarray(bgr.attr("to_ndarray")()));
        }
        int64_t width = nb::cast<int64_t>(frame.attr("width")),
                height = nb::cast<int64_t>(frame.attr("height"));
        std::vector<std::pair<int64_t, int64_t>> shapes = qv::plane_shapes(*pf, width, height);
        nb::object views = frame.attr("planes");
        nb::list device;
        for (size_t i = 0; i < shapes.size(); ++i)
            device.append(qv::cp().asarray(
                plane_view(views[nb::int_(i)], shapes[i].first, shapes[i].second, pf->wide())));
        planes = nb::tuple(device);
    }
    ++r.yielded;
    if (r.raw) return planes;
    nb::list args;
    for (nb::handle p : planes) args.append(p);
    args.append(r.colour.matrix->name), args.append(nb::bool_(r.colour.full_range));
    args.append(r.nearest ? "nearest" : "linear"), args.append(nb::bool_(r.clip));
    return yuv_function(pf->to_bgr)(*nb::tuple(args));
}

nb::object reader_close(const qv::Args &a) {
    Reader &r = qv::state<Reader>(a[0]);
    if (!r.container.is_none()) r.container.attr("close")();
    r.container = r.frames = nb::none();
    r.nvdec.reset();
    r.open = false;
    return nb::none();
}

nb::object enter(const qv::Args &a) { return nb::borrow(a[0]); }

nb::object reader_exit(const qv::Args &a) {
    reader_close(a);
    return nb::none();  // exceptions go on
}

nb::object reader_size(const qv::Args &a) { return nb::cast(qv::state<Reader>(a[0]).size); }
nb::object reader_matrix(const qv::Args &a) { return nb::str(qv::state<Reader>(a[0]).colour.matrix->name); }
nb::object reader_full_range(const qv::Args &a) {
    return nb::bool_(qv::state<Reader>(a[0]).colour.full_range);
}
nb::object reader_primaries(const qv::Args &a) { return nb::int_(qv::state<Reader>(a[0]).colour.primaries); }
nb::object reader_transfer(const qv::Args &a) { return nb::int_(qv::state<Reader>(a[0]).colour.transfer); }
// As a writer takes it: codes the stream leaves unspecified are None, so that the writer gives the
// matrix's own.
nb::object reader_colour(const qv::Args &a) {
    const Colour &c = qv::state<Reader>(a[0]).colour;
    auto code = [](int v) { return v == kUnspecified ? nb::none() : nb::object(nb::int_(v)); };
    return colour_description(c.matrix->name, c.full_range, code(c.primaries), code(c.transfer));
}

// ---------------------------------------------------------------- writing

nb::object fraction_of(nb::handle fps) {
    nb::handle fraction = nb::module_::import_("fractions").attr("Fraction");
    nb::object f;
    if (PyFloat_Check(fps.ptr()) && !std::isfinite(PyFloat_AsDouble(fps.ptr())))
        qv::raise(PyExc_ValueError, "VideoWriter() takes a positive, finite fps, got %R", fps.ptr());
    if (PyFloat_Check(fps.ptr()))
        f = fraction(fps).attr("limit_denominator")(1001);  // 29.97 -> 2997/100
    else if (PyLong_Check(fps.ptr()) || PyObject_IsInstance(fps.ptr(), fraction.ptr()) == 1)
        f = fraction(fps);
    else
        qv::raise(PyExc_TypeError, "VideoWriter() takes fps as a float, int or fractions.Fraction, got %s",
                  qv::type_name(fps));
    if (!(nb::cast<double>(nb::float_(f)) > 0))
        qv::raise(PyExc_ValueError, "VideoWriter() takes a positive fps, got %R", fps.ptr());
    return f;
}

// The colour description a writer tags its stream with: matrix, full_range, primaries and
// transfer, or a ColourDescription in their place (its None codes standing for the matrix's).
Colour given_colour(const qv::Args &a, const char *function) {
    nb::handle given = a["colour"];
    nb::object matrix = nb::borrow(a["matrix"]), full = nb::borrow(a["full_range"]);
    nb::object codes[2] = {nb::borrow(a["primaries"]), nb::borrow(a["transfer"])};
    if (!given.is_none()) {
        if (!nb::isinstance(given, colour_description.get()))
            qv::raise(PyExc_TypeError, "%s() takes colour as a ColourDescription or None, got %s", function,
                      qv::type_name(given));
        if (!matrix.equal(nb::str("bt709")) || !full.is(Py_False) || !codes[0].is_none() ||
            !codes[1].is_none())
            qv::raise(
                PyExc_ValueError,
                "%s() takes colour in place of matrix, full_range, primaries and transfer, not beside them",
                function);
        matrix = given.attr("matrix"), full = given.attr("full_range");
        codes[0] = given.attr("primaries"), codes[1] = given.attr("transfer");
    }
    Colour c;
    c.matrix = qv::video::find_matrix(matrix_name(matrix, function));
    c.full_range = bool_arg(full, "full_range", function);
    int *fields[2] = {&c.primaries, &c.transfer};
    const char *names[2] = {"primaries", "transfer"};
    *fields[0] = c.matrix->primaries, *fields[1] = c.matrix->transfer;
    for (int k = 0; k < 2; ++k) {
        if (codes[k].is_none()) continue;
        if (!PyLong_Check(codes[k].ptr()) || PyBool_Check(codes[k].ptr()) ||
            nb::cast<int64_t>(codes[k]) < 0 || nb::cast<int64_t>(codes[k]) > 255)
            qv::raise(PyExc_ValueError, "%s() takes %s as an H.273 code (0..255) or None, got %R", function,
                      names[k], codes[k].ptr());
        *fields[k] = nb::cast<int>(codes[k]);
    }
    return c;
}

struct Writer {
    std::string path, partial;  // the file asked for; the temporary one written until close()
    nb::object fps = nb::none(), time_base = nb::none();  // fractions.Fraction
    std::pair<int64_t, int64_t> size;
    const PixelFormat *format = nullptr;
    Colour colour;
    int64_t rotation = 0, frame_count = 0;
    int64_t step = 1;  // ticks of time_base per frame at fps: the step of frames written without a time
    std::optional<int64_t> last_pts;
    bool closed = true, avi = false;
    nb::object convert = nb::none(), container = nb::none(), stream = nb::none();
    // audio_from's file, its packets in order, its (source, output) stream pairs, a packet held back
    nb::object audio_source = nb::none(), audio_packets = nb::none(), audio_streams = nb::none();
    nb::object audio_held = nb::none();
    std::optional<qv::video::NvencSession> nvenc;
};

// Removes the partial output; errors here must not hide the one being raised.
void discard(Writer &w) {
    PyObject *type, *value, *trace;
    PyErr_Fetch(&type, &value, &trace);
    for (nb::object *c : {&w.container, &w.audio_source}) {
        if (!c->is_none() && PyObject_CallMethod(c->ptr(), "close", nullptr) == nullptr) PyErr_Clear();
        *c = nb::none();
    }
    if (!w.partial.empty()) std::remove(w.partial.c_str());
    w.nvenc.reset();
    w.closed = true;
    PyErr_Restore(type, value, trace);
}

nb::object writer_init(const qv::Args &a) {
    nb::handle given_rotation = a["rotation"];
    nb::handle given_codec = a["codec"];
    nb::handle given_options = a["options"];
    const char *function = "VideoWriter";
    Writer &w = qv::make_state<Writer>(a[0]);  // closed until everything is open
    std::string path = fspath(a["path"]);
    nb::object fps = fraction_of(a["fps"]);
    nb::handle size = a["size"];
    if (nb::len(size) != 2 || !PyLong_Check(size[0].ptr()) || !PyLong_Check(size[1].ptr()) ||
        nb::cast<int64_t>(size[0]) <= 0 || nb::cast<int64_t>(size[1]) <= 0)
        qv::raise(PyExc_ValueError, "%s() takes size as (width, height), two positive ints; got %R", function,
                  size.ptr());
    int64_t width = nb::cast<int64_t>(size[0]), height = nb::cast<int64_t>(size[1]);
    std::string pixel_format = nb::cast<std::string>(a["pixel_format"]);
    const PixelFormat *pf = find_format(pixel_format);
    if (!pf || pf->full)
        qv::raise(PyExc_ValueError, "%s() takes pixel_format as %s, got %R", function, kWritable,
                  a["pixel_format"].ptr());
    Colour colour = given_colour(a, function);
    bool nvenc = choice(a["encoder"], "encoder", "ffmpeg", "nvenc", function);
    nb::handle fraction_type = nb::module_::import_("fractions").attr("Fraction");
    nb::object time_base = nb::borrow(a["time_base"]);
    if (!time_base.is_none() && (PyObject_IsInstance(time_base.ptr(), fraction_type.ptr()) != 1 ||
                                 !(nb::cast<double>(nb::float_(time_base)) > 0)))
        qv::raise(PyExc_ValueError, "%s() takes time_base as a positive fractions.Fraction, got %R", function,
                  time_base.ptr());
    if (!PyLong_Check(given_rotation.ptr()) || PyBool_Check(given_rotation.ptr()))
        qv::raise(PyExc_TypeError, "%s() takes rotation as an int (degrees counter-clockwise), got %s",
                  function, qv::type_name(given_rotation));
    const char *nv_codec = nullptr;
    if (nvenc) {
        std::string codec =
            PyUnicode_Check(given_codec.ptr()) ? nb::cast<std::string>(given_codec) : std::string();
        // FFmpeg's software encoder names stand for their formats, so the default codec works too.
        if (codec == "h264" || codec == "libx264")
            nv_codec = "h264";
        else if (codec == "hevc" || codec == "libx265")
            nv_codec = "hevc";
        else if (codec == "av1")
            nv_codec = "av1";
        else
            qv::raise(PyExc_ValueError, "%s(encoder='nvenc') takes codec as 'h264', 'hevc' or 'av1', got %R",
                      function, given_codec.ptr());
        // NVENC is fed NV12 or P010 surfaces, which encode as 4:2:0 at 8 or 10 bits.
        if (!pf->vertical || pf->bits > 10)
            qv::raise(PyExc_ValueError,
                      "%s(encoder='nvenc') takes pixel_format as 'yuv420p', 'nv12', 'yuv420p10le' or "
                      "'p010le', got %R",
                      function, a["pixel_format"].ptr());
        pf = find_format(pf->wide() ? "p010le" : "nv12");
        if (width % 2 || height % 2)
            qv::raise(PyExc_ValueError, "%s(encoder='nvenc') takes an even frame size, got %lldx%lld",
                      function, (long long)width, (long long)height);
        qv::video::nvcodec();  // installed, or a message that says what installs it
    }
    nb::handle av = av_module.get();

    // Written beside the target under a hidden name with the same extension (which picks the
    // container format), and renamed onto it only once complete.
    size_t slash = path.find_last_of('/');
    std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    std::string name = path.substr(dir.size());
    size_t dot = name.find_last_of('.');
    std::string ext = dot == std::string::npos || dot == 0 ? "" : name.substr(dot);
    nb::handle os = nb::module_::import_("os");
    if (!nb::cast<bool>(os.attr("path").attr("isdir")(dir.empty() ? "." : dir))) {
        nb::object error = nb::handle(PyExc_FileNotFoundError)(
            nb::int_(2), nb::str("VideoWriter(): no folder to write the video into"), nb::str(dir.c_str()));
        PyErr_SetObject(PyExc_FileNotFoundError, error.ptr());
        throw nb::python_error();
    }
    std::string codec_name;
    if (!nvenc) {
        if (!PyUnicode_Check(given_codec.ptr()))
            qv::raise(PyExc_TypeError, "%s() takes codec as a str, got %s", function,
                      qv::type_name(given_codec));
        codec_name = nb::cast<std::string>(given_codec);
        nb::object encoder;
        try {
            encoder = av.attr("Codec")(codec_name, "w");
        } catch (nb::python_error &) {
            qv::raise(PyExc_ValueError, "%s(): FFmpeg here has no encoder %R", function, given_codec.ptr());
        }
        bool takes = false;
        nb::object formats = encoder.attr("video_formats");
        for (nb::handle f : formats.is_none() ? nb::list() : nb::cast<nb::list>(nb::list(formats)))
            takes = takes || nb::cast<std::string>(f.attr("name")) == pf->name;
        if (!takes)
            qv::raise(PyExc_ValueError, "%s(): %s does not encode pixel_format '%s' (for '%s')", function,
                      codec_name.c_str(), pf->name, path.c_str());
    }

    w.path = path;
    w.fps = fps;
    w.size = {width, height};
    w.format = pf;
    w.colour = colour;
    w.rotation = nb::cast<int64_t>(given_rotation);
    w.convert = yuv_function(pf->from_bgr);
    auto [partial, fd] = qv::create_temporary(nb::str(dir.empty() ? "." : dir.c_str()),
                                              nb::str(name.substr(0, name.size() - ext.size()).c_str()),
                                              ".partial" + ext, nb::str(path.c_str()));
    os.attr("close")(fd);
    w.partial = nb::cast<std::string>(partial);
    try {
        w.container = av.attr("open")(partial, "w");
    } catch (...) {
        std::remove(w.partial.c_str());
        throw;
    }
    try {
        nb::handle container = w.container;
        // AVI keeps no presentation times: frames there are on the frame grid, in decoding order,
        // so the encoder gets no B-frames.
        w.avi = nb::cast<std::string>(container.attr("format").attr("name")) == "avi";
        if (w.avi || time_base.is_none())
            time_base = fraction_type(fps.attr("denominator"), fps.attr("numerator"));
        w.time_base = time_base;
        w.step = std::max<int64_t>(1, nb::cast<int64_t>(py_round(nb::int_(1) / (fps * time_base))));
        if (nvenc) {
            w.nvenc.emplace(qv::video::NvencSession::Settings{nv_codec, pf->wide(), width, height, fps,
                                                              time_base, colour.matrix, colour.full_range,
                                                              given_options, a["bit_rate"]},
                            container);
            w.stream = nb::borrow(w.nvenc->stream());
        } else {
            if (!nb::cast<bool>(container.attr("supported_codecs").attr("__contains__")(codec_name)))
                qv::raise(PyExc_ValueError, "%s(): '%s' files do not take codec '%s'", function,
                          ext.empty() ? name.c_str() : ext.c_str(), codec_name.c_str());
            w.stream = container.attr("add_stream")(given_codec, nb::arg("rate") = fps);
            w.stream.attr("width") = width, w.stream.attr("height") = height,
            w.stream.attr("pix_fmt") = pf->name;
            nb::object codec = w.stream.attr("codec_context");
            codec.attr("time_base") = time_base;
            w.stream.attr("time_base") = time_base;
            codec.attr("colorspace") = colour.matrix->space;
            codec.attr("color_range") = colour.full_range ? qv::video::kRangeJpeg : qv::video::kRangeMpeg;
            codec.attr("color_primaries") = colour.primaries;
            codec.attr("color_trc") = colour.transfer;
            if (w.avi) codec.attr("max_b_frames") = 0;
            if (!given_options.is_none()) w.stream.attr("options") = given_options;
            // Where the thread count is left to the encoder, frame threads: PyAV's default of
            // slice threads makes libx264 about a fifth slower on two cores.
            if (given_options.is_none() || !nb::cast<bool>(given_options.attr("__contains__")("threads")))
                codec.attr("thread_type") = "FRAME";
            if (!a["bit_rate"].is_none()) w.stream.attr("bit_rate") = a["bit_rate"];
        }
        if (w.rotation % 360) w.stream.attr("set_display_rotation")(given_rotation);
        if (!a["audio_from"].is_none()) {
            w.audio_source = av.attr("open")(fspath(a["audio_from"]));
            nb::list pairs, streams;
            for (nb::handle s : w.audio_source.attr("streams").attr("audio")) {
                std::string audio_codec = nb::cast<std::string>(s.attr("codec_context").attr("name"));
                if (!nb::cast<bool>(container.attr("supported_codecs").attr("__contains__")(audio_codec)))
                    qv::raise(PyExc_ValueError, "%s(): '%s' files do not take the %s audio of audio_from",
                              function, ext.empty() ? name.c_str() : ext.c_str(), audio_codec.c_str());
                pairs.append(nb::make_tuple(s, container.attr("add_stream_from_template")(s)));
                streams.append(s);
            }
            // Copied as the video is written, packet by packet in time, so players need not buffer.
            if (nb::len(streams)) {
                w.audio_packets = w.audio_source.attr("demux")(*streams);
                w.audio_streams = pairs;
            }
        }
        // Everything the encoder or the format can refuse is refused here, before any frame. (NVENC's
        // streams take their parameter sets from the first packet; its session checked the rest.)
        try {
            if (!nvenc) container.attr("start_encoding")();
        } catch (nb::python_error &e) {
            if (!e.matches(av.attr("FFmpegError"))) throw;
            qv::raise(PyExc_ValueError, "%s(): %s cannot write '%s' as %s at %lldx%lld, %U fps: %U", function,
                      nvenc ? nv_codec : codec_name.c_str(), path.c_str(), pf->name, (long long)width,
                      (long long)height, qv::str_of(fps).ptr(), qv::str_of(e.value()).ptr());
        }
    } catch (...) {
        discard(w);
        throw;
    }
    w.closed = false;
    return nb::none();
}

// Copies the audio packets that come before `limit` seconds (all of them for None).
void mux_audio(Writer &w, nb::handle limit) {
    while (!w.audio_packets.is_none()) {
        if (w.audio_held.is_none()) {
            PyObject *next = PyIter_Next(w.audio_packets.ptr());
            if (!next) {
                if (PyErr_Occurred()) throw nb::python_error();
                w.audio_packets = nb::none();
                return;
            }
            nb::object packet = nb::steal(next);
            if (packet.attr("dts").is_none()) continue;  // the demuxer's end-of-stream marker
            w.audio_held = packet;
        }
        nb::handle packet = w.audio_held;
        if (!limit.is_none() && nb::cast<bool>((packet.attr("dts") * packet.attr("time_base")) > limit))
            return;
        for (nb::handle pair : w.audio_streams)
            if (pair[0].is(packet.attr("stream"))) packet.attr("stream") = pair[1];
        w.container.attr("mux")(packet);
        w.audio_held = nb::none();
    }
}

void mux(Writer &w, nb::handle packets) {
    for (nb::handle packet : packets) {
        if (w.avi) packet.attr("dts") = packet.attr("pts");  // frames in display order: AVI's only times
        nb::object dts = packet.attr("dts");
        if (!dts.is_none()) mux_audio(w, dts * packet.attr("time_base"));
        w.container.attr("mux")(packet);
    }
}

// The time stamp of the next frame in time_base: `time` in seconds, or one frame after the last.
int64_t next_pts(const Writer &w, nb::handle time) {
    if (time.is_none()) return w.last_pts ? *w.last_pts + w.step : 0;
    nb::handle fraction = nb::module_::import_("fractions").attr("Fraction");
    bool number = (PyLong_Check(time.ptr()) && !PyBool_Check(time.ptr())) || PyFloat_Check(time.ptr()) ||
                  PyObject_IsInstance(time.ptr(), fraction.ptr()) == 1;
    if (!number)
        qv::raise(PyExc_TypeError, "write() takes time as a float, int or fractions.Fraction, got %s",
                  qv::type_name(time));
    if (PyFloat_Check(time.ptr()) && !std::isfinite(PyFloat_AsDouble(time.ptr())))
        qv::raise(PyExc_ValueError, "write() takes a finite time, got %R", time.ptr());
    int64_t pts = nb::cast<int64_t>(py_round(fraction(time) / w.time_base));
    if (pts < 0) qv::raise(PyExc_ValueError, "write() takes times from 0 on, got %R", time.ptr());
    if (w.last_pts && pts <= *w.last_pts)
        qv::raise(PyExc_ValueError,
                  "write() takes times that increase, one tick of time_base %U at least; %R comes "
                  "at or before the frame before",
                  qv::str_of(w.time_base).ptr(), time.ptr());
    return pts;
}

nb::object writer_write(const qv::Args &a) {
    Writer &w = qv::state<Writer>(a[0]);
    nb::handle image = a["frame"];
    if (w.closed) qv::raise(PyExc_ValueError, "write() on a closed VideoWriter");
    if (!qv::is_device_array(image) && !qv::is_host_array(image))
        qv::raise(PyExc_TypeError, "write() takes frame as a cupy.ndarray or numpy.ndarray, got %s",
                  qv::type_name(image));
    std::vector<int64_t> shape = qv::shape_of(image);
    auto [width, height] = w.size;
    if (shape.size() != 3 || shape[2] != 3 || shape[0] != height || shape[1] != width)
        qv::raise(PyExc_ValueError, "write() takes BGR frames of shape (%lld, %lld, 3), got %U",
                  (long long)height, (long long)width, qv::str_of(image.attr("shape")).ptr());
    int64_t pts = next_pts(w, a["time"]);
    nb::tuple planes =
        nb::cast<nb::tuple>(w.convert(image, w.colour.matrix->name, nb::bool_(w.colour.full_range)));
    if (w.nvenc) {
        mux(w, w.nvenc->encode(planes, pts, w.step));
    } else {
        const PixelFormat &pf = *w.format;
        nb::object frame = av_module.get().attr("VideoFrame")(width, height, pf.name);
        std::vector<std::pair<int64_t, int64_t>> shapes = qv::plane_shapes(pf, width, height);
        nb::object targets = frame.attr("planes");
        for (size_t i = 0; i < shapes.size(); ++i) {
            nb::object target =
                plane_view(targets[nb::int_(i)], shapes[i].first, shapes[i].second, pf.wide());
            target[nb::ellipsis()] =
                qv::cp().asnumpy(planes[i]);  // waits for the conversion: the encoder is on the CPU
        }
        frame.attr("pts") = pts;
        frame.attr("time_base") = w.time_base;
        frame.attr("colorspace") = w.colour.matrix->space;
        frame.attr("color_range") = w.colour.full_range ? qv::video::kRangeJpeg : qv::video::kRangeMpeg;
        frame.attr("color_primaries") = w.colour.primaries;
        frame.attr("color_trc") = w.colour.transfer;
        mux(w, w.stream.attr("encode")(frame));
    }
    w.last_pts = pts;
    ++w.frame_count;
    return nb::none();
}

nb::object writer_close(const qv::Args &a) {
    Writer &w = qv::state<Writer>(a[0]);
    if (w.closed) return nb::none();
    try {
        if (w.frame_count == 0)
            qv::raise(PyExc_ValueError, "VideoWriter.close(): no frames were written, so '%s' is not made",
                      w.path.c_str());
        mux(w,
            w.nvenc ? nb::object(w.nvenc->finish(w.step)) : nb::object(w.stream.attr("encode")(nb::none())));
        mux_audio(w, nb::none());
        w.container.attr("close")();
        w.container = nb::none();
        w.nvenc.reset();
        if (!w.audio_source.is_none()) w.audio_source.attr("close")();
        w.audio_source = nb::none();
        nb::module_::import_("os").attr("replace")(w.partial, w.path);
    } catch (...) {
        discard(w);
        throw;
    }
    w.closed = true;
    return nb::none();
}

nb::object writer_exit(const qv::Args &a) {
    if (a["exc_type"].is_none())
        writer_close(a);
    else if (!qv::state<Writer>(a[0]).closed)
        discard(qv::state<Writer>(a[0]));  // an error in the with-block: no output
    return nb::none();                     // exceptions go on
}

nb::object writer_size(const qv::Args &a) { return nb::cast(qv::state<Writer>(a[0]).size); }
nb::object writer_pixel_format(const qv::Args &a) { return nb::str(qv::state<Writer>(a[0]).format->name); }
nb::object writer_matrix(const qv::Args &a) { return nb::str(qv::state<Writer>(a[0]).colour.matrix->name); }
nb::object writer_full_range(const qv::Args &a) {
    return nb::bool_(qv::state<Writer>(a[0]).colour.full_range);
}
nb::object writer_primaries(const qv::Args &a) { return nb::int_(qv::state<Writer>(a[0]).colour.primaries); }
nb::object writer_transfer(const qv::Args &a) { return nb::int_(qv::state<Writer>(a[0]).colour.transfer); }
nb::object writer_colour(const qv::Args &a) { return colour_value(qv::state<Writer>(a[0]).colour); }

}  // namespace

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
    nb::object colour =
        nb::module_::import_("collections")
            .attr("namedtuple")("ColourDescription",
                                nb::make_tuple("matrix", "full_range", "primaries", "transfer"),
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
        .property("matrix", "str", reader_matrix)
        .property("full_range", "bool", reader_full_range)
        .property("primaries", "int", reader_primaries)
        .property("transfer", "int", reader_transfer)
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
        .property("matrix", "str", writer_matrix)
        .property("full_range", "bool", writer_full_range)
        .property("rotation", "int", qv::state_member<&Writer::rotation>)
        .property("primaries", "int", writer_primaries)
        .property("transfer", "int", writer_transfer)
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

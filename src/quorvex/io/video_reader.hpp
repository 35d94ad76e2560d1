// VideoReader: a file's first video stream through PyAV (or NVDEC), frames as device arrays.
#pragma once

#include <nanobind/nanobind.h>

#include <cstring>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "quorvex/siblings.hpp"
#include "quorvex/state.hpp"
#include "video_common.hpp"
#include "video_nvcodec.hpp"

namespace quorvex::video {

// HDR10's static metadata, which FFmpeg attaches to each decoded frame (from the bitstream's SEI
// or the container's boxes): AVMasteringDisplayMetadata as a dict of CIE xy chromaticities
// ("red", "green", "blue", "white") and "luminance" (min, max, cd/m2), and AVContentLightLevel
// as (MaxCLL, MaxFALL). None for what the stream does not carry.
inline std::pair<nb::object, nb::object> hdr_metadata(nb::handle frame) {
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

inline nb::object reader_init(const qv::Args &a) {
    qv::require_fresh(a[0]);
    const char *function = "VideoReader";
    Reader r;  // the instance's state once everything is open: a failed open leaves it without one
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
        decoding = quorvex::stdlib::itertools.get().attr("chain")(nb::make_tuple(first), decoding);

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
    qv::make_state<Reader>(a[0], std::move(r));
    return nb::none();
}

// The end of the frames; a warning where fewer came than frame_count said (frames before the
// first key frame, a truncated file), as callers size their work by it.
[[noreturn]] inline void stop(Reader &r) {
    if (r.yielded < r.frame_count &&
        PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                         "VideoReader: '%s' gave %lld frames where frame_count said %lld", r.path.c_str(),
                         (long long)r.yielded, (long long)r.frame_count) < 0)
        throw nb::python_error();
    r.frame_count = r.yielded;  // known now
    PyErr_SetNone(PyExc_StopIteration);
    throw nb::python_error();
}

inline nb::object reader_iter(const qv::Args &a) { return nb::borrow(a[0]); }

inline nb::object reader_next(const qv::Args &a) {
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

inline nb::object reader_close(const qv::Args &a) {
    Reader &r = qv::state<Reader>(a[0]);
    if (!r.container.is_none()) r.container.attr("close")();
    r.container = r.frames = nb::none();
    r.nvdec.reset();
    r.open = false;
    return nb::none();
}

inline nb::object reader_exit(const qv::Args &a) {
    reader_close(a);
    return nb::none();  // exceptions go on
}

inline nb::object reader_size(const qv::Args &a) { return nb::cast(qv::state<Reader>(a[0]).size); }
// As a writer takes it: codes the stream leaves unspecified are None, so that the writer gives the
// matrix's own.
inline nb::object reader_colour(const qv::Args &a) {
    const Colour &c = qv::state<Reader>(a[0]).colour;
    auto code = [](int v) { return v == kUnspecified ? nb::none() : nb::object(nb::int_(v)); };
    return colour_description(c.matrix->name, c.full_range, code(c.primaries), code(c.transfer));
}

}  // namespace quorvex::video

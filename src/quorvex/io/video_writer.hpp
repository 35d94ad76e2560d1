// VideoWriter: frames converted on the device and encoded by FFmpeg (or NVENC) into a temporary
// file beside the target, renamed onto it when complete.
#pragma once

#include <nanobind/nanobind.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>
#include <string>
#include <utility>

#include "quorvex/state.hpp"
#include "quorvex/temporary_file.hpp"
#include "video_common.hpp"
#include "video_nvcodec.hpp"

namespace quorvex::video {

inline nb::object fraction_of(nb::handle fps) {
    nb::handle fraction = quorvex::stdlib::fractions.get().attr("Fraction");
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
inline Colour given_colour(const qv::Args &a, const char *function) {
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
inline void discard(Writer &w) {
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

inline nb::object writer_init(const qv::Args &a) {
    qv::require_fresh(a[0]);
    nb::handle given_rotation = a["rotation"];
    nb::handle given_codec = a["codec"];
    nb::handle given_options = a["options"];
    const char *function = "VideoWriter";
    Writer w;  // the instance's state once everything is open: a failed open leaves it without one
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
    nb::handle fraction_type = quorvex::stdlib::fractions.get().attr("Fraction");
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
    nb::handle os = quorvex::stdlib::os.get();
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
    qv::make_state<Writer>(a[0], std::move(w));
    return nb::none();
}

// Copies the audio packets that come before `limit` seconds (all of them for None).
inline void mux_audio(Writer &w, nb::handle limit) {
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

inline void mux(Writer &w, nb::handle packets) {
    for (nb::handle packet : packets) {
        if (w.avi) packet.attr("dts") = packet.attr("pts");  // frames in display order: AVI's only times
        nb::object dts = packet.attr("dts");
        if (!dts.is_none()) mux_audio(w, dts * packet.attr("time_base"));
        w.container.attr("mux")(packet);
    }
}

// The time stamp of the next frame in time_base: `time` in seconds, or one frame after the last.
inline int64_t next_pts(const Writer &w, nb::handle time) {
    if (time.is_none()) return w.last_pts ? *w.last_pts + w.step : 0;
    nb::handle fraction = quorvex::stdlib::fractions.get().attr("Fraction");
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

inline nb::object writer_write(const qv::Args &a) {
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

inline nb::object writer_close(const qv::Args &a) {
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
        quorvex::stdlib::os.get().attr("replace")(w.partial, w.path);
    } catch (...) {
        discard(w);
        throw;
    }
    w.closed = true;
    return nb::none();
}

inline nb::object writer_exit(const qv::Args &a) {
    if (a["exc_type"].is_none())
        writer_close(a);
    else if (!qv::state<Writer>(a[0]).closed)
        discard(qv::state<Writer>(a[0]));  // an error in the with-block: no output
    return nb::none();                     // exceptions go on
}

inline nb::object writer_size(const qv::Args &a) { return nb::cast(qv::state<Writer>(a[0]).size); }
inline nb::object writer_pixel_format(const qv::Args &a) {
    return nb::str(qv::state<Writer>(a[0]).format->name);
}
inline nb::object writer_colour(const qv::Args &a) { return colour_value(qv::state<Writer>(a[0]).colour); }

}  // namespace quorvex::video

// Reading and writing video files with FFmpeg through PyAV, frames converted on the GPU.
//
// Decoding and encoding run on the CPU in FFmpeg. Frames cross between host and device in their
// compact decoded form (the planes of yuv420p, yuv422p, yuv444p, their 10- and 12-bit and
// full-range variants, NV12, P010), one copy per plane, and the colour conversion to and from BGR
// float32 is one kernel of quorvex.color.yuv. Other pixel formats (RGB, grey, 16-bit, ...) are
// converted to BGR by FFmpeg on the CPU.
//
// On request the NVIDIA hardware codecs work instead, through PyNvVideoCodec: NVDEC leaves its
// NV12/P010 surfaces in device memory, where the yuv kernels read them; NVENC takes frames
// converted on the device and returns packets that PyAV muxes, so audio copy, time stamps and the
// temporary file behave as with FFmpeg's encoders.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "quorvex/function.hpp"
#include "quorvex/kernel.hpp"
#include "quorvex/pixel_formats.hpp"
#include "quorvex/siblings.hpp"
#include "quorvex/temporary_file.hpp"
#include "quorvex/video_codes.hpp"

namespace qv = quorvex;
namespace nb = nanobind;

namespace {

qv::Import av_module("av");

// Imported on each open rather than cached: opening a file dwarfs the lookup in sys.modules.
// Python's rounding of Fractions and floats (half to even), looked up once.
qv::Lookup py_round("builtins", "round");

nb::object nvcodec() { return qv::Import::now("PyNvVideoCodec"); }

using qv::PixelFormat;

const char *const kWritable =
    "'yuv420p', 'yuv422p', 'yuv444p', their 10- and 12-bit forms ('yuv420p10le', ...), "
    "'nv12' or 'p010le'";

// A layout FFmpeg decodes into that the GPU kernels take, or nullptr.
const PixelFormat *find_format(const std::string &name) {
    const PixelFormat *f = qv::find_pixel_format(name);
    return f && f->decoded() ? f : nullptr;
}

// (rows, elements per row) of each plane.
std::vector<std::pair<int64_t, int64_t>> plane_shapes(const PixelFormat &f, int64_t width, int64_t height) {
    int64_t cw = f.horizontal ? (width + 1) / 2 : width, ch = f.vertical ? (height + 1) / 2 : height;
    if (f.semi()) return {{height, width}, {ch, 2 * cw}};
    return {{height, width}, {ch, cw}, {ch, cw}};
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

// The current device and the handle of the current stream, for the NVIDIA codecs to work on.
std::pair<int64_t, uint64_t> device_and_stream() {
    nb::handle cuda = qv::cp().module.attr("cuda");
    int64_t device = nb::cast<int64_t>(cuda.attr("Device")().attr("id"));
    uint64_t stream = nb::cast<uint64_t>(cuda.attr("get_current_stream")().attr("ptr"));
    return {device, stream};
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

nb::object reader_init(const qv::Args &a) {
    const char *function = "VideoReader";
    nb::handle self = a[0];
    bool raw = bool_arg(a["raw"], "raw", function);
    if (!a["matrix"].is_none()) matrix_name(a["matrix"], function);
    if (!a["full_range"].is_none()) bool_arg(a["full_range"], "full_range", function);
    choice(a["chroma"], "chroma", "linear", "nearest", function);
    bool nvdec = choice(a["decoder"], "decoder", "ffmpeg", "nvdec", function);
    bool_arg(a["clip"], "clip", function);
    std::string path = fspath(a["path"]);
    nb::handle av = av_module.get();
    nb::object container = av.attr("open")(path);
    nb::object streams = container.attr("streams").attr("video");
    if (nb::len(streams) == 0) {
        container.attr("close")();
        qv::raise(PyExc_ValueError, "%s(): '%s' has no video stream", function, path.c_str());
    }
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
    nb::object duration = exact.is_none() ? nb::none() : nb::object(nb::float_(exact));
    int64_t frames = nb::cast<int64_t>(stream.attr("frames"));
    if (frames == 0) frames = qv::video::count_tag(metadata);
    // Otherwise the duration in frames, exact at a constant rate.
    if (frames == 0 && !exact.is_none() && fps > 0)
        frames = nb::cast<int64_t>(py_round(exact * fraction(rate)));

    nb::object format = codec.attr("format");
    std::string pixel_format = format.is_none() ? std::string() : nb::cast<std::string>(format.attr("name"));
    const PixelFormat *pf = find_format(pixel_format);
    if (raw && !pf)
        qv::raise(PyExc_ValueError,
                  "%s(raw=True) gives the planes of yuv420p, yuv422p, yuv444p, their 10- and "
                  "12-bit forms, nv12 and p010le; '%s' is %s",
                  function, path.c_str(), pixel_format.c_str());

    // The stream's own colour description, unless the caller says otherwise. Streams that carry
    // none are taken as BT.709 from 720 rows up and BT.601 below, as players do.
    nb::object matrix = nb::borrow(a["matrix"]), full = nb::borrow(a["full_range"]);
    if (matrix.is_none()) {
        int space = nb::cast<int>(codec.attr("colorspace"));
        const char *m = height >= 720 ? "bt709" : "bt601";
        if (const qv::video::Matrix *tagged = qv::video::matrix_of_space(space))
            m = tagged->name;
        else if (const char *other = qv::video::unconverted_space(space)) {
            // Decoding these with one of the three matrices would give wrong colours without a word.
            container.attr("close")();
            qv::raise(PyExc_ValueError,
                      "%s(): '%s' is coded with the %s matrix, which is not converted here; pass "
                      "matrix= to decode it as 'bt601', 'bt709' or 'bt2020' anyway",
                      function, path.c_str(), other);
        }
        matrix = nb::str(m);
    }
    if (full.is_none())
        full =
            nb::bool_((pf && pf->full) || nb::cast<int>(codec.attr("color_range")) == qv::video::kRangeJpeg);

    nb::object nv = nb::none();
    if (nvdec) {
        // NVDEC's native surfaces are NV12 for 8-bit and P016 (10 bits in the high bits, as P010)
        // for 10-bit 4:2:0, which the nv12/p010 kernels read; other layouts have no kernel here.
        const PixelFormat *surface = nullptr;
        if (pf && pf->vertical && !pf->semi() && pf->bits <= 10)
            surface = find_format(pf->wide() ? "p010le" : "nv12");
        if (!surface) {
            container.attr("close")();
            qv::raise(PyExc_ValueError,
                      "%s(decoder='nvdec') decodes 4:2:0 streams of 8 or 10 bits; '%s' is %s", function,
                      path.c_str(), pixel_format.c_str());
        }
        if (width % 2 || height % 2) {
            container.attr("close")();
            qv::raise(PyExc_ValueError, "%s(decoder='nvdec') takes an even frame size, got %lldx%lld",
                      function, (long long)width, (long long)height);
        }
        nb::object nvc;
        try {
            nvc = nvcodec();
            auto [device, stream_ptr] = device_and_stream();
            nb::object demuxer = nvc.attr("CreateDemuxer")(nb::arg("filename") = path);
            // On the current stream, so that a surface is rewritten only after the kernels that read it.
            nb::object decoder = nvc.attr("CreateDecoder")(
                nb::arg("gpuid") = device, nb::arg("codec") = demuxer.attr("GetNvCodecId")(),
                nb::arg("cudacontext") = 0, nb::arg("cudastream") = stream_ptr,
                nb::arg("usedevicememory") = true);
            nv = nb::make_tuple(demuxer, decoder);
        } catch (...) {
            container.attr("close")();
            throw;
        }
        pixel_format = surface->name;
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
    nb::object rotation = first.is_none() ? nb::object(nb::int_(0)) : nb::object(first.attr("rotation"));
    if (!first.is_none() && !nvdec)
        decoding = nb::module_::import_("itertools").attr("chain")(nb::make_tuple(first), decoding);

    auto [mastering, light] = hdr_metadata(first);
    self.attr("mastering_display") = mastering;
    self.attr("content_light") = light;
    self.attr("codec") = codec.attr("codec").attr("canonical_name");
    self.attr("path") = nb::str(path.c_str());
    self.attr("raw") = nb::bool_(raw);
    self.attr("rotation") = nb::int_(py_round(rotation));
    self.attr("primaries") = nb::int_(codec.attr("color_primaries"));
    self.attr("transfer") = nb::int_(codec.attr("color_trc"));
    self.attr("_yielded") = nb::int_(0);
    self.attr("fps") = nb::float_(fps);
    self.attr("size") = nb::make_tuple(width, height);
    self.attr("frame_count") = nb::int_(frames);
    self.attr("duration") = duration;
    self.attr("pixel_format") = nb::str(pixel_format.c_str());
    self.attr("time_base") = stream.attr("time_base");
    self.attr("matrix") = matrix;
    self.attr("full_range") = full;
    self.attr("chroma") = a["chroma"];
    self.attr("clip") = a["clip"];
    self.attr("time") = nb::none();
    self.attr("pts") = nb::none();
    self.attr("_container") = container;
    self.attr("_nvdec") = nv;
    // NVDEC's frames wait here between packets; FFmpeg's come from PyAV's decoding iterator.
    self.attr("_frames") = nvdec ? nb::object(nb::list()) : decoding;
    return nb::none();
}

// The end of the frames; a warning where fewer came than frame_count said (frames before the
// first key frame, a truncated file), as callers size their work by it.
[[noreturn]] void stop(nb::handle self) {
    int64_t yielded = nb::cast<int64_t>(self.attr("_yielded")),
            count = nb::cast<int64_t>(self.attr("frame_count"));
    if (yielded < count && PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                                            "VideoReader: '%s' gave %lld frames where frame_count said %lld",
                                            nb::cast<std::string>(self.attr("path")).c_str(),
                                            (long long)yielded, (long long)count) < 0)
        throw nb::python_error();
    self.attr("frame_count") = nb::int_(yielded);  // known now
    PyErr_SetNone(PyExc_StopIteration);
    throw nb::python_error();
}

// The next NVDEC frame as device arrays of its two planes, reading packets as needed.
nb::tuple nvdec_next(nb::handle self) {
    nb::list pending = nb::cast<nb::list>(self.attr("_frames"));
    while (nb::len(pending) == 0) {
        nb::object nv = self.attr("_nvdec");
        if (nv.is_none()) stop(self);
        // The demuxer's empty packet at the end flushes the frames the decoder still holds.
        nb::object packet = nv[0].attr("Demux")();
        for (nb::handle f : nv[1].attr("Decode")(packet)) pending.append(f);
        if (nb::cast<int64_t>(packet.attr("bsl")) == 0) self.attr("_nvdec") = nb::none();
    }
    nb::object frame = pending.attr("pop")(0);
    nb::object pts = frame.attr("getPTS")();
    self.attr("pts") = pts;
    self.attr("time") = nb::float_(pts * self.attr("time_base"));
    const PixelFormat &pf = *find_format(nb::cast<std::string>(self.attr("pixel_format")));
    nb::tuple size = nb::cast<nb::tuple>(self.attr("size"));
    std::vector<std::pair<int64_t, int64_t>> shapes =
        plane_shapes(pf, nb::cast<int64_t>(size[0]), nb::cast<int64_t>(size[1]));
    // The decoder reuses its surfaces and pitches their rows: each plane is copied, row by row
    // through its strides, into an array of ours (on the decoder's stream, so before the next
    // decode writes the surface); no pixel leaves the device.
    nb::object planes = frame.attr("cuda")();
    nb::list device;
    for (size_t i = 0; i < shapes.size(); ++i) {
        nb::object view = qv::cp().asarray(planes[nb::int_(i)]);
        device.append(qv::cp().ascontiguousarray(view).attr("reshape")(shapes[i].first, shapes[i].second));
    }
    return nb::tuple(device);
}

nb::object reader_iter(const qv::Args &a) { return nb::borrow(a[0]); }

nb::object reader_next(const qv::Args &a) {
    nb::handle self = a[0];
    nb::object frames = self.attr("_frames");
    if (frames.is_none()) qv::raise(PyExc_ValueError, "VideoReader is closed");
    bool raw = nb::cast<bool>(self.attr("raw"));
    nb::list device;
    const PixelFormat *pf;
    if (PyList_Check(frames.ptr())) {
        pf = find_format(nb::cast<std::string>(self.attr("pixel_format")));
        nb::tuple planes = nvdec_next(self);
        for (nb::handle p : planes) device.append(nb::borrow(p));  // already ours
    } else {
        PyObject *next = PyIter_Next(frames.ptr());
        if (!next) {
            if (PyErr_Occurred()) throw nb::python_error();
            stop(self);
        }
        nb::object frame = nb::steal(next);
        self.attr("time") = frame.attr("time");
        self.attr("pts") = frame.attr("pts");
        std::string name = nb::cast<std::string>(frame.attr("format").attr("name"));
        pf = find_format(name);
        if (!pf) {
            if (raw)
                qv::raise(PyExc_ValueError,
                          "VideoReader(raw=True): a frame came in %s, which has no planes here",
                          name.c_str());
            // Layouts without a kernel (RGB, grey, 16-bit, ...): converted by FFmpeg with the matrix and
            // range this reader reports, at 16 bits for formats deeper than 8.
            using qv::sibling::to_float32;
            self.attr("_yielded") = nb::int_(nb::cast<int64_t>(self.attr("_yielded")) + 1);
            bool deep = false;
            for (nb::handle c : frame.attr("format").attr("components"))
                deep = deep || nb::cast<int>(c.attr("bits")) > 8;
            std::string m = nb::cast<std::string>(self.attr("matrix"));
            nb::object bgr = frame.attr("reformat")(
                nb::arg("format") = deep ? "bgr48le" : "bgr24",
                nb::arg("src_colorspace") = qv::video::find_matrix(m)->swscale,
                nb::arg("src_color_range") =
                    nb::cast<bool>(self.attr("full_range")) ? qv::video::kRangeJpeg : qv::video::kRangeMpeg,
                nb::arg("interpolation") =
                    nb::cast<std::string>(self.attr("chroma")) == "nearest" ? "POINT" : "BILINEAR");
            return to_float32(qv::cp().asarray(bgr.attr("to_ndarray")()));
        }
        int64_t width = nb::cast<int64_t>(frame.attr("width")),
                height = nb::cast<int64_t>(frame.attr("height"));
        std::vector<std::pair<int64_t, int64_t>> shapes = plane_shapes(*pf, width, height);
        nb::object planes = frame.attr("planes");
        for (size_t i = 0; i < shapes.size(); ++i)
            device.append(qv::cp().asarray(
                plane_view(planes[nb::int_(i)], shapes[i].first, shapes[i].second, pf->wide())));
    }
    self.attr("_yielded") = nb::int_(nb::cast<int64_t>(self.attr("_yielded")) + 1);
    if (raw) return nb::tuple(device);
    nb::object convert = yuv_function(pf->to_bgr);
    nb::list args;
    for (nb::handle p : device) args.append(p);
    args.append(self.attr("matrix")), args.append(self.attr("full_range")), args.append(self.attr("chroma"));
    args.append(self.attr("clip"));
    return convert(*nb::tuple(args));
}

nb::object reader_close(const qv::Args &a) {
    nb::handle self = a[0];
    if (!self.attr("_container").is_none()) self.attr("_container").attr("close")();
    self.attr("_container") = nb::none();
    self.attr("_frames") = nb::none();
    self.attr("_nvdec") = nb::none();
    return nb::none();
}

nb::object enter(const qv::Args &a) { return nb::borrow(a[0]); }

nb::object reader_exit(const qv::Args &a) {
    reader_close(a);
    return nb::none();  // exceptions go on
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

// Removes the partial output; errors here must not hide the one being raised.
void discard(nb::handle self) {
    PyObject *type, *value, *trace;
    PyErr_Fetch(&type, &value, &trace);
    for (const char *name : {"_container", "_audio_source"}) {
        if (!nb::hasattr(self, name)) continue;
        nb::object c = self.attr(name);
        if (!c.is_none() && PyObject_CallMethod(c.ptr(), "close", nullptr) == nullptr) PyErr_Clear();
        self.attr(name) = nb::none();
    }
    if (nb::hasattr(self, "_partial")) std::remove(nb::cast<std::string>(self.attr("_partial")).c_str());
    self.attr("_nvenc") = nb::none();
    self.attr("closed") = nb::bool_(true);
    PyErr_Restore(type, value, trace);
}

// An NVENC session and the stream its packets are muxed into. NVENC's packets carry their
// parameter sets in band, which the muxers take from the first packet; a bitstream filter writes
// the colour description into them, as the FFmpeg path tags its streams.
void open_nvenc(nb::handle self, nb::handle nvc, const char *codec, const PixelFormat &pf, nb::handle fps,
                nb::handle time_base, int64_t width, int64_t height, const char *matrix, bool full,
                nb::handle options, nb::handle bit_rate) {
    auto [device, stream_ptr] = device_and_stream();
    nb::dict config;
    if (!options.is_none())
        for (auto [k, v] : nb::cast<nb::dict>(options)) config[k] = v;
    config["codec"] = codec;
    // NVENC's rate control takes whole frame rates; the container keeps the exact one.
    int64_t whole = std::max<int64_t>(1, nb::cast<int64_t>(py_round(fps)));
    config["fps"] = nb::str(nb::int_(whole));
    if (!bit_rate.is_none()) config["bitrate"] = nb::str(bit_rate);
    config["gpu_id"] = nb::str(nb::int_(device));
    config["cudastream"] = stream_ptr;  // orders its copy of each frame after the conversion
    nb::object encoder =
        nvc.attr("CreateEncoder")(width, height, pf.wide() ? "P010" : "NV12", false, **config);
    nb::object container = self.attr("_container");
    nb::object stream = container.attr("add_mux_stream")(
        codec, nb::arg("rate") = fps, nb::arg("width") = width, nb::arg("height") = height);
    nb::object frame_time = nb::borrow(time_base);
    stream.attr("time_base") = frame_time;
    int code = qv::video::find_matrix(matrix)->space;
    std::string tags =
        std::string(codec) + "_metadata=matrix_coefficients=" + std::to_string(code) +
        (std::string(codec) == "av1" ? std::string(":color_range=") + (full ? "pc" : "tv")
                                     : std::string(":video_full_range_flag=") + (full ? "1" : "0"));
    nb::object filter = nb::module_::import_("av.bitstream").attr("BitStreamFilterContext")(tags, stream);
    self.attr("_stream") = stream;
    self.attr("_nvenc") = nb::make_tuple(encoder, filter, frame_time, nvc.attr("NV_ENC_PIC_PARAMS"));
    // With B-frames packets come in decoding order: the k-th one decodes at time k - (B-frames).
    self.attr("_decoded") = nb::int_(-nb::cast<int64_t>(encoder.attr("GetNumBFrames")()));
    if (nb::cast<int64_t>(self.attr("rotation")) % 360)
        stream.attr("set_display_rotation")(self.attr("rotation"));
}

void mux(nb::handle self, nb::handle packets);

// Muxes NVENC's packets (dicts of data, timestamp and picture type), or flushes the filter (None).
void mux_nvenc(nb::handle self, nb::handle packets) {
    constexpr int kPictureI = 2, kPictureIdr = 3;  // NV_ENC_PIC_TYPE
    nb::tuple nv = nb::cast<nb::tuple>(self.attr("_nvenc"));
    nb::object container = self.attr("_container"), stream = self.attr("_stream");
    nb::handle packet_type = av_module.get().attr("Packet");
    int64_t decoded = nb::cast<int64_t>(self.attr("_decoded"));
    auto out = [&](nb::handle filtered) {
        for (nb::handle p : filtered) {
            p.attr("stream") = stream;
            mux(self, nb::make_tuple(p));
        }
    };
    if (packets.is_none()) return out(nv[1].attr("filter")(nb::none()));
    for (nb::handle d : packets) {
        nb::object p = packet_type(d["data"]);
        int picture = nb::cast<int>(d["picture_type"]);
        p.attr("pts") = d["timestamp"];
        p.attr("dts") = nb::int_(decoded++ * nb::cast<int64_t>(self.attr("_step")));
        p.attr("time_base") = nv[2];
        p.attr("is_keyframe") = nb::bool_(picture == kPictureIdr || picture == kPictureI);
        out(nv[1].attr("filter")(p));
    }
    self.attr("_decoded") = nb::int_(decoded);
}

nb::object writer_init(const qv::Args &a) {
    nb::handle given_rotation = a["rotation"];
    nb::handle given_codec = a["codec"];
    nb::handle given_options = a["options"];
    const char *function = "VideoWriter";
    nb::handle self = a[0];
    self.attr("closed") = nb::bool_(true);  // until everything is open
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
    const char *matrix = matrix_name(a["matrix"], function);
    bool full = bool_arg(a["full_range"], "full_range", function);
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
    const qv::video::Matrix &codes = *qv::video::find_matrix(matrix);
    int primaries = codes.primaries, transfer = codes.transfer;
    for (int k : {14, 15}) {
        if (a[k].is_none()) continue;
        if (!PyLong_Check(a[k].ptr()) || PyBool_Check(a[k].ptr()) || nb::cast<int64_t>(a[k]) < 0 ||
            nb::cast<int64_t>(a[k]) > 255)
            qv::raise(PyExc_ValueError, "%s() takes %s as an H.273 code (0..255) or None, got %R", function,
                      k == 14 ? "primaries" : "transfer", a[k].ptr());
        (k == 14 ? primaries : transfer) = nb::cast<int>(a[k]);
    }
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
    }
    nb::handle av = av_module.get();
    nb::object nvc = nvenc ? nvcodec() : nb::none();

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

    self.attr("path") = nb::str(path.c_str());
    self.attr("fps") = fps;
    self.attr("size") = nb::make_tuple(width, height);
    self.attr("pixel_format") = nb::str(pf->name);
    self.attr("matrix") = nb::str(matrix);
    self.attr("full_range") = nb::bool_(full);
    self.attr("rotation") = nb::borrow(given_rotation);
    self.attr("primaries") = nb::int_(primaries);
    self.attr("transfer") = nb::int_(transfer);
    self.attr("frame_count") = nb::int_(0);
    self.attr("_convert") = yuv_function(pf->from_bgr);
    self.attr("_audio_source") = nb::none();
    self.attr("_audio") = nb::none();
    auto [partial, fd] = qv::create_temporary(nb::str(dir.empty() ? "." : dir.c_str()),
                                              nb::str(name.substr(0, name.size() - ext.size()).c_str()),
                                              ".partial" + ext, nb::str(path.c_str()));
    os.attr("close")(fd);
    self.attr("_partial") = partial;
    try {
        self.attr("_container") = av.attr("open")(partial, "w");
    } catch (...) {
        std::remove(nb::cast<std::string>(partial).c_str());
        throw;
    }
    self.attr("_nvenc") = nb::none();
    self.attr("_pts") = nb::none();
    try {
        nb::object container = self.attr("_container");
        // AVI keeps no presentation times: frames there are on the frame grid, in decoding order,
        // so the encoder gets no B-frames.
        bool avi = nb::cast<std::string>(container.attr("format").attr("name")) == "avi";
        self.attr("_avi") = nb::bool_(avi);
        if (avi || time_base.is_none())
            time_base = fraction_type(fps.attr("denominator"), fps.attr("numerator"));
        self.attr("time_base") = time_base;
        // Ticks of time_base per frame at fps: the step of frames written without a time.
        int64_t step = std::max<int64_t>(1, nb::cast<int64_t>(py_round(nb::int_(1) / (fps * time_base))));
        self.attr("_step") = nb::int_(step);
        if (nvenc) {
            open_nvenc(self, nvc, nv_codec, *pf, fps, time_base, width, height, matrix, full, given_options,
                       a["bit_rate"]);
        } else {
            if (!nb::cast<bool>(container.attr("supported_codecs").attr("__contains__")(codec_name)))
                qv::raise(PyExc_ValueError, "%s(): '%s' files do not take codec '%s'", function,
                          ext.empty() ? name.c_str() : ext.c_str(), codec_name.c_str());
            nb::object stream = container.attr("add_stream")(given_codec, nb::arg("rate") = fps);
            stream.attr("width") = width, stream.attr("height") = height, stream.attr("pix_fmt") = pf->name;
            nb::object codec = stream.attr("codec_context");
            codec.attr("time_base") = time_base;
            stream.attr("time_base") = time_base;
            codec.attr("colorspace") = codes.space;
            codec.attr("color_range") = full ? qv::video::kRangeJpeg : qv::video::kRangeMpeg;
            codec.attr("color_primaries") = primaries;
            codec.attr("color_trc") = transfer;
            if (avi) codec.attr("max_b_frames") = 0;
            if (!given_options.is_none()) stream.attr("options") = given_options;
            // Where the thread count is left to the encoder, frame threads: PyAV's default of
            // slice threads makes libx264 about a fifth slower on two cores.
            if (given_options.is_none() || !nb::cast<bool>(given_options.attr("__contains__")("threads")))
                codec.attr("thread_type") = "FRAME";
            if (!a["bit_rate"].is_none()) stream.attr("bit_rate") = a["bit_rate"];
            if (nb::cast<int64_t>(given_rotation) % 360) stream.attr("set_display_rotation")(given_rotation);
            self.attr("_stream") = stream;
            self.attr("_colour") = nb::make_tuple(
                codes.space, full ? qv::video::kRangeJpeg : qv::video::kRangeMpeg, primaries, transfer);
        }
        nb::list audio;
        if (!a["audio_from"].is_none()) {
            nb::object source = av.attr("open")(fspath(a["audio_from"]));
            self.attr("_audio_source") = source;
            nb::list streams;
            for (nb::handle s : source.attr("streams").attr("audio")) {
                std::string audio_codec = nb::cast<std::string>(s.attr("codec_context").attr("name"));
                if (!nb::cast<bool>(container.attr("supported_codecs").attr("__contains__")(audio_codec)))
                    qv::raise(PyExc_ValueError, "%s(): '%s' files do not take the %s audio of audio_from",
                              function, ext.empty() ? name.c_str() : ext.c_str(), audio_codec.c_str());
                audio.append(nb::make_tuple(s, container.attr("add_stream_from_template")(s)));
                streams.append(s);
            }
            // Copied as the video is written, packet by packet in time, so players need not buffer.
            if (nb::len(streams))
                self.attr("_audio") = nb::make_tuple(source.attr("demux")(*streams), audio, nb::list());
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
        discard(self);
        throw;
    }
    self.attr("closed") = nb::bool_(false);
    return nb::none();
}

// Copies the audio packets that come before `limit` seconds (all of them for None).
void mux_audio(nb::handle self, nb::handle limit) {
    nb::object audio = self.attr("_audio");
    if (audio.is_none()) return;
    nb::object container = self.attr("_container");
    nb::list held = nb::cast<nb::list>(audio[2]);
    while (true) {
        if (nb::len(held) == 0) {
            PyObject *next = PyIter_Next(audio[0].ptr());
            if (!next) {
                if (PyErr_Occurred()) throw nb::python_error();
                self.attr("_audio") = nb::none();
                return;
            }
            nb::object packet = nb::steal(next);
            if (packet.attr("dts").is_none()) continue;  // the demuxer's end-of-stream marker
            held.append(packet);
        }
        nb::handle packet = held[0];
        if (!limit.is_none() && nb::cast<bool>((packet.attr("dts") * packet.attr("time_base")) > limit))
            return;
        for (nb::handle pair : audio[1])
            if (pair[0].is(packet.attr("stream"))) packet.attr("stream") = pair[1];
        container.attr("mux")(packet);
        held.attr("pop")(0);
    }
}

void mux(nb::handle self, nb::handle packets) {
    nb::object container = self.attr("_container");
    bool avi = nb::cast<bool>(self.attr("_avi"));
    for (nb::handle packet : packets) {
        if (avi) packet.attr("dts") = packet.attr("pts");  // frames in display order: AVI's only times
        nb::object dts = packet.attr("dts");
        if (!dts.is_none()) mux_audio(self, dts * packet.attr("time_base"));
        container.attr("mux")(packet);
    }
}

// The time stamp of the next frame in time_base: `time` in seconds, or one frame after the last.
int64_t next_pts(nb::handle self, nb::handle time) {
    nb::object last = self.attr("_pts");
    if (time.is_none())
        return last.is_none() ? 0 : nb::cast<int64_t>(last) + nb::cast<int64_t>(self.attr("_step"));
    nb::handle fraction = nb::module_::import_("fractions").attr("Fraction");
    bool number = (PyLong_Check(time.ptr()) && !PyBool_Check(time.ptr())) || PyFloat_Check(time.ptr()) ||
                  PyObject_IsInstance(time.ptr(), fraction.ptr()) == 1;
    if (!number)
        qv::raise(PyExc_TypeError, "write() takes time as a float, int or fractions.Fraction, got %s",
                  qv::type_name(time));
    if (PyFloat_Check(time.ptr()) && !std::isfinite(PyFloat_AsDouble(time.ptr())))
        qv::raise(PyExc_ValueError, "write() takes a finite time, got %R", time.ptr());
    int64_t pts = nb::cast<int64_t>(py_round(fraction(time) / self.attr("time_base")));
    if (pts < 0) qv::raise(PyExc_ValueError, "write() takes times from 0 on, got %R", time.ptr());
    if (!last.is_none() && pts <= nb::cast<int64_t>(last))
        qv::raise(PyExc_ValueError,
                  "write() takes times that increase, one tick of time_base %U at least; %R comes "
                  "at or before the frame before",
                  qv::str_of(self.attr("time_base")).ptr(), time.ptr());
    return pts;
}

nb::object writer_write(const qv::Args &a) {
    nb::handle self = a[0], image = a["frame"];
    if (nb::cast<bool>(self.attr("closed"))) qv::raise(PyExc_ValueError, "write() on a closed VideoWriter");
    if (!qv::is_device_array(image) && !qv::is_host_array(image))
        qv::raise(PyExc_TypeError, "write() takes frame as a cupy.ndarray or numpy.ndarray, got %s",
                  qv::type_name(image));
    std::vector<int64_t> shape = qv::shape_of(image);
    nb::tuple size = nb::cast<nb::tuple>(self.attr("size"));
    int64_t width = nb::cast<int64_t>(size[0]), height = nb::cast<int64_t>(size[1]);
    if (shape.size() != 3 || shape[2] != 3 || shape[0] != height || shape[1] != width)
        qv::raise(PyExc_ValueError, "write() takes BGR frames of shape (%lld, %lld, 3), got %U",
                  (long long)height, (long long)width, qv::str_of(image.attr("shape")).ptr());
    int64_t pts = next_pts(self, a["time"]);
    nb::tuple planes =
        nb::cast<nb::tuple>(self.attr("_convert")(image, self.attr("matrix"), self.attr("full_range")));
    int64_t index = nb::cast<int64_t>(self.attr("frame_count"));
    if (!self.attr("_nvenc").is_none()) {
        // NVENC takes one (H * 3 / 2, W) buffer, chroma rows after luma rows.
        nb::object surface = qv::cp().module.attr("concatenate")(planes);
        nb::object nv = self.attr("_nvenc");
        nb::object params = nv[3]();
        params.attr("inputTimeStamp") = pts;
        mux_nvenc(self, nv[0].attr("Encode")(surface, params));
        self.attr("_pts") = nb::int_(pts);
        self.attr("frame_count") = nb::int_(index + 1);
        return nb::none();
    }

    const PixelFormat &pf = *find_format(nb::cast<std::string>(self.attr("pixel_format")));
    nb::object frame = av_module.get().attr("VideoFrame")(width, height, pf.name);
    std::vector<std::pair<int64_t, int64_t>> shapes = plane_shapes(pf, width, height);
    nb::object targets = frame.attr("planes");
    for (size_t i = 0; i < shapes.size(); ++i) {
        nb::object target = plane_view(targets[nb::int_(i)], shapes[i].first, shapes[i].second, pf.wide());
        target[nb::ellipsis()] =
            qv::cp().asnumpy(planes[i]);  // waits for the conversion: the encoder is on the CPU
    }
    frame.attr("pts") = pts;
    frame.attr("time_base") = self.attr("time_base");
    nb::tuple colour = nb::cast<nb::tuple>(self.attr("_colour"));
    frame.attr("colorspace") = colour[0];
    frame.attr("color_range") = colour[1];
    frame.attr("color_primaries") = colour[2];
    frame.attr("color_trc") = colour[3];
    mux(self, self.attr("_stream").attr("encode")(frame));
    self.attr("_pts") = nb::int_(pts);
    self.attr("frame_count") = nb::int_(index + 1);
    return nb::none();
}

nb::object writer_close(const qv::Args &a) {
    nb::handle self = a[0];
    if (nb::cast<bool>(self.attr("closed"))) return nb::none();
    try {
        if (nb::cast<int64_t>(self.attr("frame_count")) == 0)
            qv::raise(PyExc_ValueError, "VideoWriter.close(): no frames were written, so '%s' is not made",
                      nb::cast<std::string>(self.attr("path")).c_str());
        nb::object container = self.attr("_container");
        if (!self.attr("_nvenc").is_none()) {
            mux_nvenc(self, self.attr("_nvenc")[0].attr("EndEncode")());
            mux_nvenc(self, nb::none());
        } else {
            mux(self, self.attr("_stream").attr("encode")(nb::none()));
        }
        mux_audio(self, nb::none());
        container.attr("close")();
        self.attr("_container") = nb::none();
        self.attr("_nvenc") = nb::none();
        if (!self.attr("_audio_source").is_none()) self.attr("_audio_source").attr("close")();
        self.attr("_audio_source") = nb::none();
        nb::module_::import_("os").attr("replace")(self.attr("_partial"), self.attr("path"));
    } catch (...) {
        discard(self);
        throw;
    }
    self.attr("closed") = nb::bool_(true);
    return nb::none();
}

nb::object writer_exit(const qv::Args &a) {
    if (a["exc_type"].is_none())
        writer_close(a);
    else if (!nb::cast<bool>(a[0].attr("closed")))
        discard(a[0]);  // an error in the with-block: no output
    return nb::none();  // exceptions go on
}

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
        "    matrix, full_range: the colour description (the stream's unless given; without one, BT.709 from "
        "720 rows up and BT.601 below).\n"
        "    primaries, transfer: the stream's H.273 codes.\n"
        "    rotation: the display rotation, degrees counter-clockwise, not applied to the frames.\n"
        "    codec: the stream's codec, e.g. 'hevc'.\n"
        "    mastering_display, content_light: HDR10 static metadata or None: a dict of 'red', 'green', "
        "'blue', 'white' CIE xy pairs and 'luminance' (min, max) in cd/m2; (MaxCLL, MaxFALL).\n"
        "    time, pts: of the frame returned last (seconds; time_base units).")
        .field("path", "str")
        .field("raw", "bool")
        .field("fps", "float")
        .field("size", "tuple[int, int]")
        .field("frame_count", "int")
        .field("duration", "float | None")
        .field("pixel_format", "str")
        .field("time_base", "fractions.Fraction")
        .field("matrix", "str")
        .field("full_range", "bool")
        .field("primaries", "int")
        .field("transfer", "int")
        .field("rotation", "int")
        .field("codec", "str")
        .field("mastering_display", "dict | None")
        .field("content_light", "tuple[int, int] | None")
        .field("time", "float | None")
        .field("pts", "int | None")
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
        "    size: (width, height); fps, time_base, pixel_format, matrix, full_range, rotation, "
        "primaries, transfer: as given (or defaulted).")
        .field("path", "str")
        .field("fps", "float | fractions.Fraction")
        .field("size", "tuple[int, int]")
        .field("pixel_format", "str")
        .field("matrix", "str")
        .field("full_range", "bool")
        .field("rotation", "int")
        .field("primaries", "int")
        .field("transfer", "int")
        .field("time_base", "fractions.Fraction")
        .field("frame_count", "int")
        .field("closed", "bool")
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
              {"transfer", "Optional[int]", none}},
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
             "standard).\n\n"
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

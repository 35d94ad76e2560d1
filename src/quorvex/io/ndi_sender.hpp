// NdiSender: BGR frames converted on the device and sent as an NDI source.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/stl/pair.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ndi_common.hpp"
#include "quorvex/state.hpp"

namespace quorvex::ndi {

// The runtime announces "HOST (name)" and crashes once that passes about 253 bytes; host names
// have up to 63.
inline constexpr size_t kMostNameBytes = 180;
// Below this the runtime divides by zero on the first frame.
inline constexpr double kLeastFrameRate = 0.5;

struct Sender {
    std::string name, fourcc;
    nb::object frame_rate = nb::none(), matrix = nb::none();  // fractions.Fraction; None or the matrix
    bool full_range = false, clock_video = true, closed = false;
    int64_t audio_channels = 0, sample_rate = 48000, sent = 0;
    std::optional<std::pair<int64_t, int64_t>> size;  // fixed by the first frame
    nb::object latency = nb::none(), sender = nb::none();
};

inline nb::object sender_init(const qv::Args &a) {
    qv::require_fresh(a[0]);
    const char *owner = "NdiSender()";
    std::string name = nb::cast<std::string>(a["name"]);
    if (name.empty()) qv::raise(PyExc_ValueError, "%s takes a non-empty name", owner);
    if (name.size() > kMostNameBytes)
        qv::raise(PyExc_ValueError, "%s takes a name of at most %zu bytes (UTF-8), got %zu", owner,
                  kMostNameBytes, name.size());
    for (unsigned char c : name)
        if (c < 0x20 || c == 0x7f)
            qv::raise(PyExc_ValueError, "%s takes a name without control characters, got %R", owner,
                      a["name"].ptr());
    nb::object fourccs = nb::borrow(color().fourccs);
    if (!PySequence_Contains(fourccs.ptr(), a["fourcc"].ptr()))
        qv::raise(PyExc_ValueError, "%s takes fourcc as one of %U, got %R", owner,
                  nb::str(", ").attr("join")(fourccs).ptr(), a["fourcc"].ptr());
    positive(a["frame_rate"], "frame_rate", owner);
    nb::object fraction = quorvex::stdlib::fractions.get().attr("Fraction");
    nb::object frame_rate = fraction(a["frame_rate"]).attr("limit_denominator")(1001);
    if (nb::cast<double>(nb::float_(frame_rate)) < kLeastFrameRate)
        qv::raise(PyExc_ValueError, "%s takes a frame_rate of 1/2 or more (NDI's least), got %R", owner,
                  a["frame_rate"].ptr());
    check_matrix(a["matrix"], owner);
    bool full_range = flag(a["full_range"], "full_range", owner);
    bool clock_video = flag(a["clock_video"], "clock_video", owner);
    int64_t channels = nb::cast<int64_t>(a["audio_channels"]), rate = nb::cast<int64_t>(a["sample_rate"]);
    if (channels < 0)
        qv::raise(PyExc_ValueError, "%s takes audio_channels of 0 or more, got %lld", owner,
                  (long long)channels);
    if (rate <= 0)
        qv::raise(PyExc_ValueError, "%s takes a positive sample_rate, got %lld", owner, (long long)rate);
    cyndilib();  // says what to install before anything is set up

    Sender &s = qv::make_state<Sender>(a[0]);
    s.name = name;
    s.fourcc = nb::cast<std::string>(a["fourcc"]);
    s.frame_rate = frame_rate;
    s.matrix = nb::borrow(a["matrix"]);
    s.full_range = full_range, s.clock_video = clock_video;
    s.audio_channels = channels, s.sample_rate = rate;
    return nb::none();
}

// Opens the NDI source: its frame size, layout and rate are fixed from here on.
inline void sender_open(Sender &s, int64_t width, int64_t height) {
    nb::object lib = cyndilib();
    nb::object video = lib.attr("VideoSendFrame")();
    video.attr("set_resolution")(width, height);
    video.attr("set_fourcc")(lib.attr("FourCC").attr(s.fourcc.c_str()));
    video.attr("set_frame_rate")(s.frame_rate);
    nb::object sender =
        lib.attr("Sender")(s.name, nb::arg("clock_video") = s.clock_video, nb::arg("clock_audio") = false);
    sender.attr("set_video_frame")(video);
    if (s.audio_channels) {
        nb::object audio =
            lib.attr("AudioSendFrame")(nb::arg("max_num_samples") = s.sample_rate);  // up to a second a frame
        audio.attr("sample_rate") = s.sample_rate;
        audio.attr("num_channels") = s.audio_channels;
        sender.attr("set_audio_frame")(audio);
    }
    sender.attr("open")();
    s.sender = sender;
    s.size = {width, height};
}

inline nb::object sender_send(const qv::Args &a) {
    const char *owner = "NdiSender.send()";
    Sender &s = qv::state<Sender>(a[0]);
    nb::handle image = a["image"], timestamp = a["timestamp"];
    if (s.closed) qv::raise(PyExc_ValueError, "%s on a closed sender", owner);
    if (!qv::is_device_array(image) && !qv::is_host_array(image))
        qv::raise(PyExc_TypeError, "%s takes image as a cupy.ndarray or numpy.ndarray, got %s", owner,
                  qv::type_name(image));
    double stamp = 0;
    if (!timestamp.is_none()) {
        if (PyBool_Check(timestamp.ptr()) || !PyNumber_Check(timestamp.ptr()))
            qv::raise(PyExc_TypeError, "%s takes timestamp as POSIX seconds or None, got %s", owner,
                      qv::type_name(timestamp));
        stamp = PyFloat_AsDouble(timestamp.ptr());
        if (stamp == -1.0 && PyErr_Occurred()) throw nb::python_error();
    }
    std::vector<int64_t> shape = qv::shape_of(image);
    if (shape.size() != 3 || (shape[2] != 3 && shape[2] != 4))
        qv::raise(PyExc_ValueError,
                  "%s takes an image of shape (height, width, 3) or (height, width, 4), got %U", owner,
                  qv::str_of(image.attr("shape")).ptr());
    int64_t height = shape[0], width = shape[1];
    if (height == 0 || width == 0)
        qv::raise(PyExc_ValueError, "%s takes an image of at least 1x1 pixels, got %lldx%lld", owner,
                  (long long)width, (long long)height);
    if (s.size && (s.size->first != width || s.size->second != height))
        qv::raise(PyExc_ValueError, "%s takes images of the size of the first, %lldx%lld; got %lldx%lld",
                  owner, (long long)s.size->first, (long long)s.size->second, (long long)width,
                  (long long)height);
    nb::object matrix = s.matrix.is_none() ? nb::str(matrix_for(width, height)) : s.matrix;
    nb::object frame = color().from_bgr(image, s.fourcc, matrix, nb::bool_(s.full_range));
    if (!s.size) sender_open(s, width, height);  // after the layout has taken the image: its size is kept
    // NDI sends from host memory: one download, then the runtime compresses and sends the frame.
    s.sender.attr("write_video")(frame.attr("get")());
    ++s.sent;
    if (!timestamp.is_none()) s.latency = nb::float_(posix_now() - stamp);
    return nb::none();
}

inline nb::object sender_send_audio(const qv::Args &a) {
    Sender &s = qv::state<Sender>(a[0]);
    if (s.sender.is_none() || s.closed || s.audio_channels == 0) return nb::bool_(false);
    nb::object data = qv::np().module.attr("ascontiguousarray")(a["samples"], qv::np().float32);
    std::vector<int64_t> shape = qv::shape_of(data);
    if (shape.size() != 2 || shape[0] != s.audio_channels || shape[1] == 0) return nb::bool_(false);
    if (shape[1] > s.sample_rate)
        data = data.attr("__getitem__")(
            nb::make_tuple(nb::slice(nb::none(), nb::none(), nb::none()),
                           nb::slice(nb::int_(0), nb::int_(s.sample_rate), nb::none())));
    return nb::bool_(nb::cast<bool>(s.sender.attr("write_audio")(data)));
}

inline nb::object sender_close(const qv::Args &a) {
    Sender &s = qv::state<Sender>(a[0]);
    nb::object sender = s.sender;
    s.closed = true;
    s.sender = nb::none();
    if (!sender.is_none()) sender.attr("close")();
    return nb::none();
}

inline nb::object sender_exit(const qv::Args &a) {
    sender_close(a);
    return nb::none();  // exceptions go on
}

inline nb::object sender_size(const qv::Args &a) {
    const Sender &s = qv::state<Sender>(a[0]);
    return s.size ? nb::cast(*s.size) : nb::none();
}

}  // namespace quorvex::ndi

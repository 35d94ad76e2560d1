// Live video over NDI with frames as device arrays, through cyndilib and the NDI runtime its
// wheel carries.
//
// The pixel work is quorvex.color.ndi, one kernel per frame each way; NDI hands frames over in
// host memory, so each crosses the bus once. Live means the newest frame wins: the receiver reads
// through NDI's frame synchroniser, which always holds the latest frame of the source, so a
// consumer that falls behind gets the newest frame when it asks and the ones in between are
// dropped (and counted), never queued. The sender sends each frame before send() returns:
// nothing waits behind it either, one frame in flight per stage.
#include <nanobind/stl/pair.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <optional>
#include <string>
#include <thread>

#include "quorvex/function.hpp"
#include "quorvex/kernel.hpp"
#include "quorvex/state.hpp"

namespace qv = quorvex;
namespace nb = nanobind;

namespace {

// Imported by each constructor rather than cached: opening a connection dwarfs the lookup in
// sys.modules.
nb::object cyndilib() { return qv::Import::now("cyndilib"); }

// NDI marks an unknown time with INT64_MAX hundreds of nanoseconds: about 9.2e11 s as POSIX time.
constexpr double kUndefined = 9e11;
// How long the receiver waits between looks at the synchroniser while no new frame is there.
constexpr auto kPoll = std::chrono::milliseconds(1);

const char *const kMatrices[] = {"bt601", "bt709", "bt2020"};
const char *const kColorFormats[] = {"UYVY_BGRA", "UYVY_RGBA", "BGRX_BGRA", "RGBX_RGBA", "fastest", "best"};

struct Color {
    nb::handle to_bgr, from_bgr, fourccs;
};

const Color &color() {
    static qv::Once<Color> once;
    return once.get([] {
        nb::object m = nb::module_::import_("quorvex.color.ndi");
        return Color{qv::keep(m, "to_bgr"), qv::keep(m, "from_bgr"), qv::keep(m, "FOURCCS")};
    });
}

double posix_now() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

double monotonic() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

const char *matrix_for(int64_t width, int64_t height) {
    if (width <= 720 && height <= 576) return "bt601";
    return width <= 1920 && height <= 1080 ? "bt709" : "bt2020";
}

nb::object posix_or_none(double value) {
    if (value <= 0 || value >= kUndefined) return nb::none();
    return nb::float_(value);
}

bool flag(nb::handle value, const char *name, const char *owner) {
    if (!PyBool_Check(value.ptr()))
        qv::raise(PyExc_TypeError, "%s takes %s as a bool, got %s", owner, name, qv::type_name(value));
    return value.ptr() == Py_True;
}

// A positive, finite number (not a bool).
double positive(nb::handle value, const char *name, const char *owner) {
    if (PyBool_Check(value.ptr()) || !PyNumber_Check(value.ptr()))
        qv::raise(PyExc_TypeError, "%s takes %s as a number, got %s", owner, name, qv::type_name(value));
    double v = PyFloat_AsDouble(value.ptr());
    if (v == -1.0 && PyErr_Occurred()) throw nb::python_error();
    if (!(v > 0) || std::isinf(v))
        qv::raise(PyExc_ValueError, "%s takes a positive finite %s, got %R", owner, name, value.ptr());
    return v;
}

void check_matrix(nb::handle matrix, const char *owner) {
    if (matrix.is_none()) return;
    std::string name = nb::cast<std::string>(matrix);
    for (const char *m : kMatrices)
        if (name == m) return;
    qv::raise(PyExc_ValueError, "%s takes matrix as 'bt601', 'bt709', 'bt2020' or None, got %R", owner,
              matrix.ptr());
}

nb::object enter(const qv::Args &a) { return nb::borrow(a[0]); }

[[noreturn]] void stop_iteration() {
    PyErr_SetNone(PyExc_StopIteration);
    throw nb::python_error();
}

// ---------------------------------------------------------------- frames

nb::object frame_init(const qv::Args &a) {
    nb::handle self = a[0];
    self.attr("image") = a["image"];
    self.attr("timestamp") = a["timestamp"];
    self.attr("timecode") = a["timecode"];
    self.attr("fourcc") = a["fourcc"];
    return nb::none();
}

nb::object frame_repr(const qv::Args &a) {
    nb::handle self = a[0];
    return nb::str("NdiFrame(fourcc={!r}, shape={}, timestamp={!r}, timecode={!r})")
        .format(self.attr("fourcc"), self.attr("image").attr("shape"), self.attr("timestamp"),
                self.attr("timecode"));
}

nb::handle frame_type;

// ---------------------------------------------------------------- sender

// The runtime announces "HOST (name)" and crashes once that passes about 253 bytes; host names
// have up to 63.
constexpr size_t kMostNameBytes = 180;
// Below this the runtime divides by zero on the first frame.
constexpr double kLeastFrameRate = 0.5;

struct Sender {
    std::string name, fourcc;
    nb::object frame_rate = nb::none(), matrix = nb::none();  // fractions.Fraction; None or the matrix
    bool full_range = false, clock_video = true, closed = false;
    int64_t audio_channels = 0, sample_rate = 48000, sent = 0;
    std::optional<std::pair<int64_t, int64_t>> size;  // fixed by the first frame
    nb::object latency = nb::none(), sender = nb::none();
};

nb::object sender_init(const qv::Args &a) {
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
    nb::object fraction = nb::module_::import_("fractions").attr("Fraction");
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
void sender_open(Sender &s, int64_t width, int64_t height) {
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

nb::object sender_send(const qv::Args &a) {
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

nb::object sender_send_audio(const qv::Args &a) {
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

nb::object sender_close(const qv::Args &a) {
    Sender &s = qv::state<Sender>(a[0]);
    nb::object sender = s.sender;
    s.closed = true;
    s.sender = nb::none();
    if (!sender.is_none()) sender.attr("close")();
    return nb::none();
}

nb::object sender_exit(const qv::Args &a) {
    sender_close(a);
    return nb::none();  // exceptions go on
}

nb::object sender_size(const qv::Args &a) {
    const Sender &s = qv::state<Sender>(a[0]);
    return s.size ? nb::cast(*s.size) : nb::none();
}

// ---------------------------------------------------------------- receiver

// A finder may not see a source that appears after it started while it knows of others (its
// list is then refreshed only now and then), but a new finder lists every source there at once:
// one is started afresh each second until the source shows.
nb::object find_source(nb::handle lib, nb::object &finder, nb::handle name, double timeout) {
    double deadline = monotonic() + timeout, renewed = monotonic();
    while (true) {
        nb::list matches;  // by the name after the host: two hosts may announce the same one
        for (nb::handle source : finder.attr("iter_sources")()) {
            try {
                if (source.attr("name").equal(name)) return nb::borrow(source);
                if (source.attr("stream_name").equal(name)) matches.append(source);
            } catch (nb::python_error &e) {
                // cyndilib's "Invalid source": a sender that went away while the list was read.
                if (!e.matches(PyExc_RuntimeError)) throw;
            }
        }
        if (nb::len(matches) == 1) return matches[0];
        if (nb::len(matches) > 1) {
            nb::list names;
            for (nb::handle source : matches) names.append(nb::repr(source.attr("name")));
            qv::raise(PyExc_ValueError,
                      "NDI source name %R is ambiguous: %U announce it; give the full 'HOST (name)'",
                      name.ptr(), nb::str(", ").attr("join")(names).ptr());
        }
        double left = deadline - monotonic();
        if (left <= 0) {
            // as repr: names come from the network and may hold terminal escape sequences
            nb::object seen =
                nb::str(", ").attr("join")(nb::module_::import_("builtins")
                                               .attr("map")(nb::module_::import_("builtins").attr("repr"),
                                                            finder.attr("get_source_names")()));
            if (PyObject_Length(seen.ptr()) == 0) seen = nb::str("none");
            char seconds[32];
            std::snprintf(seconds, sizeof seconds, "%g", timeout);  // PyErr_Format has no %g
            qv::raise(PyExc_TimeoutError, "no NDI source named %R appeared within %s s (sources seen: %U)",
                      name.ptr(), seconds, seen.ptr());
        }
        // A sleep, not the library's wait: that holds the interpreter, and a sender of this
        // process (another thread) could not start meanwhile.
        nb::module_::import_("time").attr("sleep")(std::min(left, 0.05));
        finder.attr("update_sources")();
        if (monotonic() - renewed >= 1.0) {
            finder.attr("close")();
            finder = lib.attr("Finder")();
            finder.attr("open")();
            renewed = monotonic();
        }
    }
}

struct Receiver {
    std::string source_name;
    double timeout = 5;
    nb::object matrix = nb::none(), audio_to = nb::none();  // None or the matrix; None or an NdiSender
    bool full_range = false, closed = false;
    nb::object frame_rate = nb::none();
    int64_t received = 0, dropped = 0;
    nb::object finder, receiver, video, audio = nb::none();  // cyndilib's; audio None without audio_to
    nb::object last = nb::none();                            // the time stamp of the frame returned last
    std::optional<double> audio_clock;                       // when audio was captured last
};

nb::object receiver_init(const qv::Args &a) {
    const char *owner = "NdiReceiver()";
    if (nb::cast<std::string>(a["source_name"]).empty())
        qv::raise(PyExc_ValueError, "%s takes a non-empty source_name", owner);
    double timeout = positive(a["timeout"], "timeout", owner);
    check_matrix(a["matrix"], owner);
    bool full_range = flag(a["full_range"], "full_range", owner);
    std::string format = nb::cast<std::string>(a["color_format"]);
    bool known = false;
    for (const char *f : kColorFormats) known = known || format == f;
    if (!known)
        qv::raise(PyExc_ValueError,
                  "%s takes color_format as 'UYVY_BGRA', 'UYVY_RGBA', 'BGRX_BGRA', 'RGBX_RGBA', "
                  "'fastest' or 'best', got %R",
                  owner, a["color_format"].ptr());
    nb::object lib = cyndilib();

    Receiver r;
    r.finder = lib.attr("Finder")();
    r.finder.attr("open")();
    try {
        nb::object source = find_source(lib, r.finder, a["source_name"], timeout);
        r.receiver =
            lib.attr("Receiver")(nb::arg("color_format") = lib.attr("RecvColorFormat").attr(format.c_str()),
                                 nb::arg("bandwidth") = lib.attr("RecvBandwidth").attr("highest"));
        nb::object sync = r.receiver.attr("frame_sync");
        r.video = lib.attr("VideoFrameSync")();
        sync.attr("set_video_frame")(r.video);
        if (!a["audio_to"].is_none()) {
            r.audio = lib.attr("AudioFrameSync")();
            sync.attr("set_audio_frame")(r.audio);
        }
        r.receiver.attr("set_source")(source);
        r.source_name = nb::cast<std::string>(source.attr("name"));
    } catch (...) {
        r.finder.attr("close")();
        throw;
    }
    r.timeout = timeout;
    r.matrix = nb::borrow(a["matrix"]);
    r.full_range = full_range;
    r.audio_to = nb::borrow(a["audio_to"]);
    qv::make_state<Receiver>(a[0], std::move(r));
    return nb::none();
}

nb::object receiver_frame(const Receiver &r, double stamp) {
    nb::handle video = r.video;
    int64_t width = nb::cast<int64_t>(video.attr("xres")), height = nb::cast<int64_t>(video.attr("yres"));
    nb::object fourcc = video.attr("get_fourcc")().attr("name");
    nb::object matrix = r.matrix.is_none() ? nb::str(matrix_for(width, height)) : r.matrix;
    nb::object data =
        video.attr("get_array")();  // a copy: the synchroniser reuses its buffer on the next capture
    nb::object image = color().to_bgr(data, fourcc, width, height, video.attr("get_line_stride")(), matrix,
                                      nb::bool_(r.full_range));
    nb::object when = posix_or_none(stamp);
    if (when.is_none()) when = nb::float_(posix_now());
    return frame_type(image, when, posix_or_none(nb::cast<double>(video.attr("get_timecode_posix")())),
                      fourcc);
}

// The frame synchroniser answers every audio capture, filling what the source has not sent
// with silence, so audio is taken as the clock runs: the samples due since the last capture
// (10 ms at least), never more than it holds. The relay then gets the source's rate.
void relay_audio(Receiver &r, nb::handle sync) {
    double now = monotonic();
    int64_t captured = 0;
    if (!r.audio_clock) {
        if (nb::cast<int64_t>(sync.attr("audio_samples_available")()) <= 0) return;
        captured = nb::cast<int64_t>(sync.attr("capture_available_audio")());
    } else {
        int64_t rate = nb::cast<int64_t>(r.audio.attr("sample_rate"));
        int64_t due = (int64_t)((now - *r.audio_clock) * (double)rate);
        if (rate <= 0 || due < rate / 100) return;
        captured = nb::cast<int64_t>(sync.attr("capture_audio")(due));
    }
    if (captured <= 0) return;
    r.audio_clock = now;
    r.audio_to.attr("send_audio")(r.audio.attr("get_array")());
}

nb::object receiver_next(const qv::Args &a) {
    Receiver &r = qv::state<Receiver>(a[0]);
    if (r.closed) stop_iteration();
    nb::object sync = r.receiver.attr("frame_sync");
    double deadline = monotonic() + r.timeout;
    while (true) {
        if (!r.audio.is_none()) relay_audio(r, sync);
        int64_t arrived =
            nb::cast<int64_t>(r.receiver.attr("get_performance_data")()["video"]["frames_total"]);
        sync.attr("capture_video")();
        if (nb::cast<int64_t>(r.video.attr("xres")) > 0) {
            nb::object stamp = r.video.attr("get_timestamp_posix")();
            if (!stamp.equal(r.last)) {
                r.last = stamp;
                ++r.received;
                // every frame that arrived and was not taken was dropped (one may arrive meanwhile)
                r.dropped = std::max(r.dropped, arrived - r.received);
                r.frame_rate = r.video.attr("get_frame_rate")();
                return receiver_frame(r, nb::cast<double>(stamp));
            }
        }
        if (monotonic() > deadline) stop_iteration();
        if (PyErr_CheckSignals() != 0) throw nb::python_error();  // Ctrl-C while the source is quiet
        nb::gil_scoped_release unlocked;
        std::this_thread::sleep_for(kPoll);
    }
}

nb::object receiver_close(const qv::Args &a) {
    Receiver &r = qv::state<Receiver>(a[0]);
    if (r.closed) return nb::none();
    r.closed = true;
    r.receiver.attr("disconnect")();
    r.finder.attr("close")();
    return nb::none();
}

nb::object receiver_exit(const qv::Args &a) {
    receiver_close(a);
    return nb::none();  // exceptions go on
}

// The seconds a source has to send something new; settable while receiving.
nb::object receiver_set_timeout(const qv::Args &a) {
    qv::state<Receiver>(a[0]).timeout = positive(a["value"], "timeout", "NdiReceiver.timeout");
    return nb::none();
}

nb::object default_matrix(const qv::Args &a) {
    return nb::str(matrix_for(nb::cast<int64_t>(a["width"]), nb::cast<int64_t>(a["height"])));
}

}  // namespace

NB_MODULE(ndi, m) {
    m.doc() =
        "Live NDI video with frames as device arrays, through cyndilib (extra 'ndi'): NdiReceiver yields the "
        "newest frame of a source, dropping (and counting) the ones a busy consumer missed; NdiSender sends "
        "device or host images as an NDI source. Frames are converted by quorvex.color.ndi on the GPU.";
    nb::object none = nb::none();
    qv::def(
        m, "default_matrix", default_matrix, {{"width", "int"}, {"height", "int"}}, "str",
        "The matrix NDI assumes for Y'CbCr at a resolution: 'bt601' up to 720x576, 'bt709' up to 1920x1080, "
        "'bt2020' above.");
    frame_type =
        qv::Class(m, "NdiFrame",
                  "One received video frame: image (H, W, 3) BGR float32 on the device, (H, W, 4) BGRA where "
                  "the source sends alpha; timestamp the sender's time of the frame in POSIX seconds (the "
                  "time it was taken here where the sender gave none); timecode the frame's timecode in "
                  "seconds, None where none was sent; fourcc the layout it came in.")
            .field("image", "cp.ndarray")
            .field("timestamp", "float")
            .field("timecode", "float | None")
            .field("fourcc", "str")
            .def("__init__", frame_init,
                 {{"self"},
                  {"image", "cp.ndarray"},
                  {"timestamp", "float"},
                  {"timecode", "Optional[float]"},
                  {"fourcc", "str"}},
                 "None", nullptr)
            .def("__repr__", frame_repr, {{"self"}}, "str", nullptr)
            .finish()
            .release();
    qv::Class(
        m, "NdiSender",
        "An NDI source named name, fed with images.\n\n"
        "send() converts a device (or host) image, (H, W, 3) BGR or (H, W, 4) BGRA, into fourcc on the GPU "
        "and sends it before returning. The source opens on the first image, whose size every later image "
        "must have (attribute size). With audio_channels, audio given to send_audio() (or passed through by "
        "an NdiReceiver) goes out with the video; audio before the first image is dropped.\n\n"
        "Attributes:\n"
        "    sent: the frames sent.\n"
        "    latency: seconds from the last timestamp given to send() to the moment that frame left.\n"
        "    size: the first image's, which every later image must have.\n"
        "    name, fourcc, frame_rate, matrix, full_range, clock_video, audio_channels, sample_rate: the "
        "settings.")
        .base(qv::stateful_base())
        .property("name", "str", qv::state_member<&Sender::name>)
        .property("fourcc", "str", qv::state_member<&Sender::fourcc>)
        .property("frame_rate", "fractions.Fraction", qv::state_member<&Sender::frame_rate>)
        .property("matrix", "str | None", qv::state_member<&Sender::matrix>)
        .property("full_range", "bool", qv::state_member<&Sender::full_range>)
        .property("clock_video", "bool", qv::state_member<&Sender::clock_video>)
        .property("audio_channels", "int", qv::state_member<&Sender::audio_channels>)
        .property("sample_rate", "int", qv::state_member<&Sender::sample_rate>)
        .property("size", "tuple[int, int] | None", sender_size)
        .property("sent", "int", qv::state_member<&Sender::sent>)
        .property("latency", "float | None", qv::state_member<&Sender::latency>)
        .def("__init__", sender_init,
             {{"self"},
              {"name", "str"},
              {"fourcc", "str", nb::str("UYVY")},
              {"frame_rate", "float", nb::float_(30.0)},
              {"matrix", "Optional[str]", none},
              {"full_range", "bool", nb::bool_(false)},
              {"clock_video", "bool", nb::bool_(false)},
              {"audio_channels", "int", nb::int_(0)},
              {"sample_rate", "int", nb::int_(48000)}},
             "None",
             "Checks the settings; the NDI source appears with the first image.\n\n"
             "Args:\n"
             "    name: at most 180 bytes of UTF-8, no control characters.\n"
             "    fourcc: the layout images are converted into.\n"
             "    frame_rate: the rate announced to receivers, 1/2 or more; may also be a "
             "fractions.Fraction (30000/1001).\n"
             "    matrix: None takes NDI's rule by resolution (default_matrix).\n"
             "    clock_video: NDI paces send() to frame_rate (leave it off for frames from a live source, "
             "which paces them already).\n"
             "    audio_channels: with audio channels, audio goes out with the video (see send_audio()).")
        .def("send", sender_send,
             {{"self"}, {"image", "cp.ndarray | np.ndarray"}, {"timestamp", "Optional[float]", none}}, "None",
             "Sends one image; timestamp (POSIX seconds, such as a received frame's) sets latency.")
        .def("send_audio", sender_send_audio, {{"self"}, {"samples", "np.ndarray"}}, "bool",
             "Sends (channels, samples) float32 audio, at most sample_rate samples; False where it was "
             "dropped (no "
             "audio channels, another channel count, or no image sent yet).")
        .def("close", sender_close, {{"self"}}, "None", "Closes the NDI source.")
        .def("__enter__", enter, {{"self"}}, "NdiSender", nullptr)
        .def("__exit__", sender_exit, {{"self"}, {"exc_type"}, {"exc"}, {"traceback"}}, "None", nullptr)
        .finish();
    qv::Class(
        m, "NdiReceiver",
        "Frames of the NDI source source_name as NdiFrame records, the newest frame each time.\n\n"
        "Frames that arrive while the consumer is busy are dropped and counted in dropped, never queued. "
        "Iteration ends when the source sends nothing new for timeout seconds or the receiver is "
        "closed.\n\n"
        "Attributes:\n"
        "    received: the frames delivered.\n"
        "    dropped: the frames dropped while the consumer was busy.\n"
        "    frame_rate: the source's, a fractions.Fraction; None before the first frame.\n"
        "    source_name: the source's full NDI name.\n"
        "    timeout, matrix, full_range, audio_to: as given.")
        .base(qv::stateful_base())
        .property("source_name", "str", qv::state_member<&Receiver::source_name>)
        .property("timeout", "float", qv::state_member<&Receiver::timeout>, receiver_set_timeout)
        .property("matrix", "str | None", qv::state_member<&Receiver::matrix>)
        .property("full_range", "bool", qv::state_member<&Receiver::full_range>)
        .property("audio_to", "NdiSender | None", qv::state_member<&Receiver::audio_to>)
        .property("frame_rate", "fractions.Fraction | None", qv::state_member<&Receiver::frame_rate>)
        .property("received", "int", qv::state_member<&Receiver::received>)
        .property("dropped", "int", qv::state_member<&Receiver::dropped>)
        .def("__init__", receiver_init,
             {{"self"},
              {"source_name", "str"},
              {"timeout", "float", nb::float_(5.0)},
              {"matrix", "Optional[str]", none},
              {"full_range", "bool", nb::bool_(false)},
              {"audio_to", "Optional[NdiSender]", none},
              {"color_format", "str", nb::str("UYVY_BGRA")}},
             "None",
             "Finds the source and connects to it.\n\n"
             "Args:\n"
             "    source_name: 'HOST (name)', or just the name after the host.\n"
             "    timeout: the seconds the source has to appear within, and the seconds without anything "
             "new that end iteration.\n"
             "    matrix, full_range: the colour description the frames are converted with; matrix None "
             "takes NDI's rule by resolution (default_matrix).\n"
             "    audio_to: an NdiSender with audio channels, which gets the source's audio.\n"
             "    color_format: what NDI delivers (cyndilib's RecvColorFormat names).\n\n"
             "Raises:\n"
             "    ValueError: a name after the host that two hosts announce.\n"
             "    TimeoutError: the source does not appear within timeout seconds.")
        .def("__iter__", enter, {{"self"}}, "NdiReceiver", nullptr)
        .def("__next__", receiver_next, {{"self"}}, "NdiFrame",
             "The newest frame not yet returned, waiting for one.")
        .def("close", receiver_close, {{"self"}}, "None", "Disconnects from the source.")
        .def("__enter__", enter, {{"self"}}, "NdiReceiver", nullptr)
        .def("__exit__", receiver_exit, {{"self"}, {"exc_type"}, {"exc"}, {"traceback"}}, "None", nullptr)
        .finish();
}

// NdiReceiver: the newest frame of an NDI source each time, through NDI's frame synchroniser.
#pragma once

#include <nanobind/nanobind.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <thread>

#include "ndi_common.hpp"
#include "quorvex/state.hpp"

namespace quorvex::ndi {

// A finder may not see a source that appears after it started while it knows of others (its
// list is then refreshed only now and then), but a new finder lists every source there at once:
// one is started afresh each second until the source shows.
inline nb::object find_source(nb::handle lib, nb::object &finder, nb::handle name, double timeout) {
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
            nb::object seen = nb::str(", ").attr("join")(quorvex::stdlib::builtins.get().attr("map")(
                quorvex::stdlib::builtins.get().attr("repr"), finder.attr("get_source_names")()));
            if (PyObject_Length(seen.ptr()) == 0) seen = nb::str("none");
            char seconds[32];
            std::snprintf(seconds, sizeof seconds, "%g", timeout);  // PyErr_Format has no %g
            qv::raise(PyExc_TimeoutError, "no NDI source named %R appeared within %s s (sources seen: %U)",
                      name.ptr(), seconds, seen.ptr());
        }
        // A sleep, not the library's wait: that holds the interpreter, and a sender of this
        // process (another thread) could not start meanwhile.
        quorvex::stdlib::time.get().attr("sleep")(std::min(left, 0.05));
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

inline nb::object receiver_init(const qv::Args &a) {
    qv::require_fresh(a[0]);
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

inline nb::object receiver_frame(const Receiver &r, double stamp) {
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
inline void relay_audio(Receiver &r, nb::handle sync) {
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

inline nb::object receiver_next(const qv::Args &a) {
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

inline nb::object receiver_close(const qv::Args &a) {
    Receiver &r = qv::state<Receiver>(a[0]);
    if (r.closed) return nb::none();
    r.closed = true;
    r.receiver.attr("disconnect")();
    r.finder.attr("close")();
    return nb::none();
}

inline nb::object receiver_exit(const qv::Args &a) {
    receiver_close(a);
    return nb::none();  // exceptions go on
}

// The seconds a source has to send something new; settable while receiving.
inline nb::object receiver_set_timeout(const qv::Args &a) {
    qv::state<Receiver>(a[0]).timeout = positive(a["value"], "timeout", "NdiReceiver.timeout");
    return nb::none();
}

}  // namespace quorvex::ndi

// Live video over NDI with frames as device arrays, through cyndilib and the NDI runtime its
// wheel carries.
//
// The pixel work is quorvex.color.ndi, one kernel per frame each way; NDI hands frames over in
// host memory, so each crosses the bus once. Live means the newest frame wins: the receiver reads
// through NDI's frame synchroniser, which always holds the latest frame of the source, so a
// consumer that falls behind gets the newest frame when it asks and the ones in between are
// dropped (and counted), never queued. The sender sends each frame before send() returns:
// nothing waits behind it either, one frame in flight per stage.
// The sender and the receiver are in ndi_sender.hpp and ndi_receiver.hpp; this file declares the
// module.
#include "ndi_common.hpp"
#include "ndi_receiver.hpp"
#include "ndi_sender.hpp"
#include "quorvex/function.hpp"
#include "quorvex/state.hpp"

namespace qv = quorvex;
namespace nb = nanobind;
using namespace qv::ndi;

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

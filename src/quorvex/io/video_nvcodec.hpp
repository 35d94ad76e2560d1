// The NVIDIA hardware codecs through PyNvVideoCodec, as the video reader and writer use them.
//
// NVDEC leaves its NV12/P010 surfaces in device memory, where the yuv kernels read them; NVENC
// takes NV12/P010 device memory and returns packets that PyAV muxes, so that audio copy, time
// stamps and the temporary file behave as with FFmpeg's encoders.
#pragma once

#include <nanobind/nanobind.h>

#include <algorithm>
#include <string>
#include <utility>

#include "quorvex/python.hpp"
#include "quorvex/video_codes.hpp"

namespace quorvex::video {

inline nb::object nvcodec() { return Import::now("PyNvVideoCodec"); }

// The current device and the handle of the current stream, for the codecs to work on.
inline std::pair<int64_t, uint64_t> device_and_stream() {
    nb::handle cuda = cp().module.attr("cuda");
    int64_t device = nb::cast<int64_t>(cuda.attr("Device")().attr("id"));
    uint64_t stream = nb::cast<uint64_t>(cuda.attr("get_current_stream")().attr("ptr"));
    return {device, stream};
}

// A decoder of the file's video stream (PyNvVideoCodec's demuxer reads the file on its own).
class NvdecSession {
public:
    explicit NvdecSession(const std::string &path) {
        nb::object nvc = nvcodec();
        auto [device, stream] = device_and_stream();
        demuxer_ = nvc.attr("CreateDemuxer")(nb::arg("filename") = path);
        // On the current stream, so that a surface is rewritten only after the kernels that read it.
        decoder_ = nvc.attr("CreateDecoder")(
            nb::arg("gpuid") = device, nb::arg("codec") = demuxer_.attr("GetNvCodecId")(),
            nb::arg("cudacontext") = 0, nb::arg("cudastream") = stream, nb::arg("usedevicememory") = true);
    }

    // The next frame, or an invalid object at the end, reading packets as needed.
    nb::object next() {
        while (nb::len(pending_) == 0) {
            if (flushed_) return {};
            // The demuxer's empty packet at the end flushes the frames the decoder still holds.
            nb::object packet = demuxer_.attr("Demux")();
            for (nb::handle f : decoder_.attr("Decode")(packet)) pending_.append(f);
            flushed_ = nb::cast<int64_t>(packet.attr("bsl")) == 0;
        }
        return pending_.attr("pop")(0);
    }

    // A decoded frame's planes as arrays of ours. The decoder reuses its surfaces and pitches their
    // rows: each plane is copied, row by row through its strides, on the decoder's stream (so
    // before the next decode writes the surface); no pixel leaves the device.
    static nb::tuple planes(nb::handle frame, const std::vector<std::pair<int64_t, int64_t>> &shapes) {
        nb::object surfaces = frame.attr("cuda")();
        nb::list device;
        for (size_t i = 0; i < shapes.size(); ++i) {
            nb::object view = cp().asarray(surfaces[nb::int_(i)]);
            device.append(cp().ascontiguousarray(view).attr("reshape")(shapes[i].first, shapes[i].second));
        }
        return nb::tuple(device);
    }

private:
    nb::object demuxer_, decoder_;
    nb::list pending_;
    bool flushed_ = false;
};

// An encoder and the stream its packets are muxed into. NVENC's packets carry their parameter
// sets in band, which the muxers take from the first packet; a bitstream filter writes the
// colour description into them, as the FFmpeg path tags its streams.
class NvencSession {
public:
    struct Settings {
        const char *codec;  // 'h264', 'hevc' or 'av1'
        bool wide;          // P010 rather than NV12
        int64_t width, height;
        nb::handle fps, time_base;  // fractions.Fraction
        const Matrix *matrix;
        bool full_range;
        nb::handle options, bit_rate;  // None or as VideoWriter takes them
    };

    NvencSession(const Settings &s, nb::handle container) : time_base_(nb::borrow(s.time_base)) {
        nb::object nvc = nvcodec();
        auto [device, stream] = device_and_stream();
        nb::dict config;
        if (!s.options.is_none())
            for (auto [k, v] : nb::cast<nb::dict>(s.options)) config[k] = v;
        config["codec"] = s.codec;
        // Its rate control takes whole frame rates; the container keeps the exact one.
        nb::object rounded = quorvex::stdlib::builtins.get().attr("round")(s.fps);
        config["fps"] = nb::str(nb::int_(std::max<int64_t>(1, nb::cast<int64_t>(rounded))));
        if (!s.bit_rate.is_none()) config["bitrate"] = nb::str(s.bit_rate);
        config["gpu_id"] = nb::str(nb::int_(device));
        config["cudastream"] = stream;  // orders its copy of each frame after the conversion
        encoder_ = nvc.attr("CreateEncoder")(s.width, s.height, s.wide ? "P010" : "NV12", false, **config);
        picture_params_ = nvc.attr("NV_ENC_PIC_PARAMS");
        stream_ = container.attr("add_mux_stream")(s.codec, nb::arg("rate") = s.fps,
                                                   nb::arg("width") = s.width, nb::arg("height") = s.height);
        stream_.attr("time_base") = time_base_;
        std::string codec = s.codec;
        std::string tags =
            codec + "_metadata=matrix_coefficients=" + std::to_string(s.matrix->space) +
            (codec == "av1" ? std::string(":color_range=") + (s.full_range ? "pc" : "tv")
                            : std::string(":video_full_range_flag=") + (s.full_range ? "1" : "0"));
        filter_ = nb::module_::import_("av.bitstream").attr("BitStreamFilterContext")(tags, stream_);
        // With B-frames packets come in decoding order: the k-th one decodes at time k - (B-frames).
        decoded_ = -nb::cast<int64_t>(encoder_.attr("GetNumBFrames")());
    }

    nb::handle stream() const { return stream_; }

    // The packets to mux after one frame (its planes on the device), time stamped pts; step is
    // the ticks of time_base per frame.
    nb::list encode(nb::handle planes, int64_t pts, int64_t step) {
        // NVENC takes one (H * 3 / 2, W) buffer, chroma rows after luma rows.
        nb::object surface = cp().module.attr("concatenate")(planes);
        nb::object params = picture_params_();
        params.attr("inputTimeStamp") = pts;
        return packets(encoder_.attr("Encode")(surface, params), step);
    }

    // The packets the encoder and the filter still hold.
    nb::list finish(int64_t step) {
        nb::list out = packets(encoder_.attr("EndEncode")(), step);
        for (nb::handle p : filtered(nb::none())) out.append(p);
        return out;
    }

private:
    // NVENC's packets (dicts of data, timestamp and picture type) as PyAV packets of the stream.
    nb::list packets(nb::handle encoded, int64_t step) {
        constexpr int kPictureI = 2, kPictureIdr = 3;  // NV_ENC_PIC_TYPE
        nb::handle packet_type = nb::module_::import_("av").attr("Packet");
        nb::list out;
        for (nb::handle d : encoded) {
            nb::object p = packet_type(d["data"]);
            int picture = nb::cast<int>(d["picture_type"]);
            p.attr("pts") = d["timestamp"];
            p.attr("dts") = nb::int_(decoded_++ * step);
            p.attr("time_base") = time_base_;
            p.attr("is_keyframe") = nb::bool_(picture == kPictureIdr || picture == kPictureI);
            for (nb::handle f : filtered(p)) out.append(f);
        }
        return out;
    }

    nb::list filtered(nb::handle packet) {
        nb::list out;
        for (nb::handle f : filter_.attr("filter")(packet)) {
            f.attr("stream") = stream_;
            out.append(f);
        }
        return out;
    }

    nb::object encoder_, picture_params_, stream_, filter_, time_base_;
    int64_t decoded_ = 0;
};

}  // namespace quorvex::video

// Writing one image to a file: half-float EXR through OpenEXR, every other format through
// OpenCV with one per-format parameter. Images may live on the device, on the host or in a
// tensor; all are brought to the host first, checked and converted before a file is opened, and
// written under a temporary name that replaces the target only when complete.
#include <array>
#include <cctype>
#include <initializer_list>

#include "quorvex/function.hpp"
#include "quorvex/model_file.hpp"
#include "quorvex/siblings.hpp"
#include "quorvex/temporary_file.hpp"

namespace qv = quorvex;
namespace nb = nanobind;

namespace {

qv::Import cv2_module("cv2");
qv::Import openexr_module("OpenEXR");

// The package operations this module calls, looked up once.

bool is_uint8(nb::handle image) {
    return image.attr("dtype").equal(qv::np().module.attr("dtype")(qv::np().uint8));
}

bool one_of(const std::string &ext, std::initializer_list<const char *> names) {
    for (const char *name : names)
        if (ext == name) return true;
    return false;
}

// OpenCV casts whatever a format cannot hold to a depth it can (0..1 floats become 0 and 1),
// so images are brought to the format's own depth here: float for PFM and Radiance HDR, 8 or 16
// bits for the formats that keep 16, 8 bits for the rest. 8-bit images stay 8-bit.
nb::object to_format_depth(nb::object image, const std::string &ext) {
    if (one_of(ext, {".pfm", ".hdr", ".pic"})) return qv::sibling::to_float32(image);
    if (is_uint8(image)) return image;
    if (one_of(ext, {".png", ".tif", ".tiff", ".jp2", ".ppm", ".pgm", ".pnm"}))
        return qv::sibling::to_uint16(image);
    return qv::sibling::to_uint8(image);
}

nb::list opencv_options(const std::string &ext, long param) {
    nb::handle cv2 = cv2_module.get();
    nb::list options;
    if (one_of(ext, {".jpg", ".jpeg", ".jpe"})) {
        options.append(cv2.attr("IMWRITE_JPEG_QUALITY")), options.append(param == -1 ? 100 : param);
    } else if (ext == ".png") {
        options.append(cv2.attr("IMWRITE_PNG_COMPRESSION")), options.append(param == -1 ? 3 : param);
    } else if (ext == ".tif" || ext == ".tiff") {
        options.append(cv2.attr("IMWRITE_TIFF_COMPRESSION")), options.append(param == -1 ? 5 : param);
    }
    return options;
}

// The three planes, channel 0 first, as contiguous half floats.
std::array<nb::object, 3> half_planes(nb::handle image) {
    std::array<nb::object, 3> planes;
    nb::object all = nb::slice(nb::none(), nb::none(), nb::none());
    for (int c = 0; c < 3; ++c)
        planes[c] = qv::np().module.attr("ascontiguousarray")(
            image[nb::make_tuple(all, all, c)].attr("astype")(qv::np().float16));
    return planes;
}

// Everything an EXR file needs, made before the file is opened.
struct ExrImage {
    nb::object height, width;
    std::array<nb::object, 3> planes;
    double level;
};

const char *const kExrNames[3] = {"R", "G", "B"};

ExrImage prepare_exr(nb::object image, double level, bool is_rgb) {
    openexr_module.get();  // a missing OpenEXR is reported before anything is written
    if (!is_rgb) image = qv::sibling::bgr_to_rgb(image);  // EXR planes are named R, G, B
    image = qv::sibling::to_float16(image);
    return {image.attr("shape")[nb::int_(0)], image.attr("shape")[nb::int_(1)], half_planes(image), level};
}

void write_exr(nb::handle path, const ExrImage &e) {
    nb::handle exr = openexr_module.get();
    if (nb::hasattr(exr, "OutputFile") && nb::hasattr(exr, "Header")) {
        nb::object imath =
            nb::hasattr(exr, "Imath") ? nb::object(exr.attr("Imath")) : nb::module_::import_("Imath");
        nb::dict header = nb::cast<nb::dict>(exr.attr("Header")(e.width, e.height));
        nb::object compression = imath.attr("Compression");
        header["compression"] = compression(compression.attr("DWAA_COMPRESSION"));
        header["dwaCompressionLevel"] = e.level;
        nb::object pixel_type = imath.attr("PixelType");
        nb::dict channels;
        for (const char *name : kExrNames)
            channels[name] = imath.attr("Channel")(pixel_type(pixel_type.attr("HALF")));
        header["channels"] = channels;
        nb::object file = exr.attr("OutputFile")(path, header);
        nb::dict pixels;
        for (int c = 0; c < 3; ++c) pixels[kExrNames[c]] = e.planes[c].attr("tobytes")();
        file.attr("writePixels")(pixels);
        file.attr("close")();
        return;
    }
    // Bindings without the classic classes: the same file through OpenEXR.File.
    nb::dict header;
    header["compression"] = exr.attr("DWAA_COMPRESSION");
    header["dwaCompressionLevel"] = e.level;
    header["type"] = exr.attr("scanlineimage");
    nb::dict channels;
    for (int c = 0; c < 3; ++c) channels[kExrNames[c]] = e.planes[c];
    exr.attr("File")(header, channels).attr("write")(path);
}

// Runs `write` on a new hidden file beside the target (same extension, as OpenCV picks the
// format by it) and renames it over the target only when complete: a failed write leaves the
// previous file as it was and no temporary behind.
template <typename Write>
void write_in_place_of(nb::handle output_path, const std::string &ext, Write &&write) {
    nb::handle os = quorvex::stdlib::os.get();
    nb::object path = os.attr("path");
    nb::object target = path.attr("realpath")(output_path);  // a link keeps pointing at the new file
    nb::object stem = path.attr("splitext")(path.attr("basename")(target))[nb::int_(0)];
    auto [temporary, fd] = qv::create_temporary(path.attr("dirname")(target), stem, ext, output_path);
    os.attr("close")(fd);
    try {
        write(temporary);
        os.attr("replace")(temporary, target);
    } catch (...) {
        try {
            os.attr("unlink")(temporary);
        } catch (nb::python_error &) {
        }
        throw;
    }
}

std::string lower_case(std::string text) {
    for (char &c : text) c = (char)std::tolower((unsigned char)c);
    return text;
}

nb::object store(const qv::Args &a) {
    nb::handle output_path = a["output_path"];
    nb::object image = nb::borrow(a["image"]);
    long param = nb::cast<long>(a["param"]);
    int is_rgb = PyObject_IsTrue(a["is_rgb"].ptr());
    if (is_rgb < 0) throw nb::python_error();

    nb::object parts = quorvex::stdlib::os_path.get().attr("splitext")(output_path);
    std::string ext = nb::cast<std::string>(parts[nb::int_(1)]);
    std::string format = lower_case(ext);
    bool exr = format == ".exr";
    if (exr) {
        // Below 1 OpenEXR refuses the level and writes its default; far above 100 the pixels go to 0.
        if (param != -1 && (param < 1 || param > 100))
            qv::raise(PyExc_ValueError,
                      "store() takes param -1 (level 1) or a DWAA compression level from 1 to 100 for '%s', "
                      "got %ld",
                      ext.c_str(), param);
    } else if (ext.empty()) {
        qv::raise(PyExc_ValueError, "store() needs an output_path whose extension names the format, got '%U'",
                  output_path.ptr());
    } else if (!nb::cast<bool>(cv2_module.get().attr("haveImageWriter")("x" + ext))) {
        qv::raise(PyExc_ValueError,
                  "store() cannot write '%s' files: OpenCV has no writer for that extension", ext.c_str());
    }

    if (qv::is_device_array(image) || qv::is_tensor(image))
        image = qv::sibling::to_numpy(image);
    else if (!qv::is_host_array(image))
        qv::raise(PyExc_TypeError,
                  "store() takes image as a cupy.ndarray, numpy.ndarray or torch.Tensor, got %s",
                  qv::type_name(image));
    if (exr) {
        ExrImage prepared = prepare_exr(image, param == -1 ? 1.0 : (double)param, is_rgb);
        write_in_place_of(output_path, ext, [&](nb::handle path) { write_exr(path, prepared); });
        return nb::none();
    }
    if (is_rgb) image = qv::sibling::rgb_to_bgr(image);
    image = to_format_depth(image, format);
    nb::list options = opencv_options(format, param);
    // Encoded here and written by Python, which takes any file name the system does (OpenCV's
    // own file functions take UTF-8 only). OpenCV answers some failures only with False; a silent
    // loss of the output is worse than an error.
    nb::object encoded = cv2_module.get().attr("imencode")(ext, image, options);
    if (!nb::cast<bool>(encoded[0]))
        qv::raise(PyExc_OSError, "OpenCV could not encode the image for '%U'", output_path.ptr());
    write_in_place_of(output_path, ext,
                      [&](nb::handle path) { qv::write_file(path, encoded[1].attr("data")); });
    return nb::none();
}

}  // namespace

NB_MODULE(store, m) {
    m.doc() = "Writing images to files: half-float EXR through OpenEXR, other formats through OpenCV.";
    qv::def(m, "store", store,
            {{"output_path", "str"},
             {"image", "cp.ndarray | np.ndarray | torch.Tensor"},
             {"param", "int", nb::int_(-1)},
             {"is_rgb", "bool", nb::bool_(false)}},
            "None",
            "Writes an (H, W, C) image to output_path; the extension (in any case) picks the format.\n\n"
            "The file is written under a temporary name in the same folder and renamed over output_path "
            "when complete.\n\n"
            "Args:\n"
            "    output_path: the file; by its extension:\n"
            "        '.exr': R, G, B half floats, DWAA compression at level param (default 1, else 1 to "
            "100).\n"
            "        '.jpg'/'.jpeg'/'.jpe': 8-bit, quality param (default 100).\n"
            "        '.png': 8-bit images stay 8-bit, others become 16-bit, compression param (default "
            "3).\n"
            "        '.tif'/'.tiff': the same, compression scheme param (default 5).\n"
            "        '.jp2', '.ppm', '.pgm', '.pnm': 8-bit stays, others become 16-bit.\n"
            "        '.pfm', '.hdr', '.pic': float32 (integers scaled to 0..1).\n"
            "        Any other extension OpenCV writes: 8-bit (param unused).\n"
            "    image: the (H, W, C) image; floats are converted by to_uint8/to_uint16.\n"
            "    param: the format's level, quality or compression scheme above; -1 takes its default.\n"
            "    is_rgb: the channels are in RGB order.\n\n"
            "Raises:\n"
            "    ValueError: an extension without a writer or an EXR level out of range, before anything "
            "is written.\n"
            "    OSError: OpenCV reports the write as failed.");
}

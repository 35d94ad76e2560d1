// Writing one image to a file: half-float EXR through OpenEXR, every other format through
// OpenCV with one per-format parameter. Images may live on the device, on the host or in a
// tensor; all are brought to the host first.
#include "quorvex/function.hpp"

namespace qv = quorvex;
namespace nb = nanobind;

namespace {

qv::Import cv2_module("cv2", "pip install opencv-python-headless");
qv::Import openexr_module("OpenEXR", "pip install OpenEXR");

// The package operations this module calls, looked up once.
struct Siblings {
    nb::handle to_numpy, bgr_to_rgb, rgb_to_bgr, to_uint8, to_uint16, to_float16;
};

const Siblings &siblings() {
    static Siblings s{
        qv::package_attr("quorvex.utils.dlpack", "to_numpy").release(),
        qv::package_attr("quorvex.color.bgr", "bgr_to_rgb").release(),
        qv::package_attr("quorvex.color.bgr", "rgb_to_bgr").release(),
        qv::package_attr("quorvex.utils.dtypes", "to_uint8").release(),
        qv::package_attr("quorvex.utils.dtypes", "to_uint16").release(),
        qv::package_attr("quorvex.utils.dtypes", "to_float16").release(),
    };
    return s;
}

bool is_uint8(nb::handle image) {
    return image.attr("dtype").equal(qv::np().module.attr("dtype")(qv::np().uint8));
}

void write_with_opencv(nb::handle path, const std::string &ext, nb::object image, long param) {
    nb::handle cv2 = cv2_module.get();
    const Siblings &s = siblings();
    nb::list options;
    if (ext == ".jpg" || ext == ".jpeg") {
        image = s.to_uint8(image);
        options.append(cv2.attr("IMWRITE_JPEG_QUALITY")), options.append(param == -1 ? 100 : param);
    } else if (ext == ".png") {
        if (!is_uint8(image)) image = s.to_uint16(image);
        options.append(cv2.attr("IMWRITE_PNG_COMPRESSION")), options.append(param == -1 ? 3 : param);
    } else if (ext == ".tif" || ext == ".tiff") {
        if (!is_uint8(image)) image = s.to_uint16(image);
        options.append(cv2.attr("IMWRITE_TIFF_COMPRESSION")), options.append(param == -1 ? 5 : param);
    }
    // OpenCV answers some failures (a missing directory, no permission) only with False;
    // a silent loss of the output is worse than an error.
    if (!nb::cast<bool>(cv2.attr("imwrite")(path, image, options)))
        qv::raise(PyExc_OSError, "OpenCV could not write the image to '%U'", path.ptr());
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

void write_exr(nb::handle path, nb::object image, long param, bool is_rgb) {
    nb::handle exr = openexr_module.get();
    const Siblings &s = siblings();
    if (!is_rgb) image = s.bgr_to_rgb(image);  // EXR planes are named R, G, B
    image = s.to_float16(image);
    double level = param == -1 ? 1.0 : (double)param;
    nb::object height = image.attr("shape")[nb::int_(0)], width = image.attr("shape")[nb::int_(1)];
    std::array<nb::object, 3> planes = half_planes(image);
    const char *names[3] = {"R", "G", "B"};

    if (nb::hasattr(exr, "OutputFile") && nb::hasattr(exr, "Header")) {
        nb::object imath =
            nb::hasattr(exr, "Imath") ? nb::object(exr.attr("Imath")) : nb::module_::import_("Imath");
        nb::dict header = nb::cast<nb::dict>(exr.attr("Header")(width, height));
        nb::object compression = imath.attr("Compression");
        header["compression"] = compression(compression.attr("DWAA_COMPRESSION"));
        header["dwaCompressionLevel"] = level;
        nb::object pixel_type = imath.attr("PixelType");
        nb::dict channels;
        for (const char *name : names)
            channels[name] = imath.attr("Channel")(pixel_type(pixel_type.attr("HALF")));
        header["channels"] = channels;
        nb::object file = exr.attr("OutputFile")(path, header);
        nb::dict pixels;
        for (int c = 0; c < 3; ++c) pixels[names[c]] = planes[c].attr("tobytes")();
        file.attr("writePixels")(pixels);
        file.attr("close")();
        return;
    }
    // Bindings without the classic classes: the same file through OpenEXR.File.
    nb::dict header;
    header["compression"] = exr.attr("DWAA_COMPRESSION");
    header["dwaCompressionLevel"] = level;
    header["type"] = exr.attr("scanlineimage");
    nb::dict channels;
    for (int c = 0; c < 3; ++c) channels[names[c]] = planes[c];
    exr.attr("File")(header, channels).attr("write")(path);
}

nb::object store(const qv::Args &a) {
    nb::handle output_path = a[0];
    nb::object image = nb::borrow(a[1]);
    long param = nb::cast<long>(a[2]);
    int is_rgb = PyObject_IsTrue(a[3].ptr());
    if (is_rgb < 0) throw nb::python_error();

    nb::object parts = nb::module_::import_("os.path").attr("splitext")(output_path);
    std::string ext = nb::cast<std::string>(parts[nb::int_(1)]);
    if (qv::is_device_array(image) || qv::is_tensor(image)) image = siblings().to_numpy(image);

    if (ext == ".exr") {
        write_exr(output_path, image, param, is_rgb);
    } else {
        if (is_rgb) image = siblings().rgb_to_bgr(image);
        write_with_opencv(output_path, ext, image, param);
    }
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
            "Writes an (H, W, C) image to output_path; the extension (case-sensitive) picks the format. "
            "'.exr': R, G, B half floats, DWAA compression at level param (default 1). '.jpg'/'.jpeg': "
            "8-bit, quality param (default 100). '.png': 8-bit images stay 8-bit, others become 16-bit, "
            "compression param (default 3). '.tif'/'.tiff': the same, compression scheme param (default 5). "
            "Any other extension: written by OpenCV as it is. is_rgb: the channels are in RGB order. "
            "Raises OSError when OpenCV reports the write as failed.");
}

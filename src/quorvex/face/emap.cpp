// The identity-swap network's embedding map: a D x D matrix that projects a normalised face
// embedding into the swap network's latent space. It ships inside the swap model (as the
// graph's last initializer), so it is extracted once and kept as a .npy file.
#include "quorvex/function.hpp"
#include "quorvex/temporary_file.hpp"

namespace qv = quorvex;
namespace nb = nanobind;

namespace {

constexpr const char *kVariable = "QUORVEX_EMAP";

nb::object path_module() { return quorvex::stdlib::os.get().attr("path"); }

// $QUORVEX_EMAP, else <cache>/quorvex/emap.npy with <cache> = $XDG_CACHE_HOME or ~/.cache.
nb::object emap_path(const qv::Args &) {
    nb::handle os = quorvex::stdlib::os.get();
    nb::object configured = os.attr("environ").attr("get")(kVariable);
    if (!configured.is_none() && nb::len(configured) > 0) return configured;
    nb::object cache = os.attr("environ").attr("get")("XDG_CACHE_HOME");
    if (cache.is_none() || nb::len(cache) == 0) cache = path_module().attr("expanduser")("~/.cache");
    return path_module().attr("join")(cache, "quorvex", "emap.npy");
}

void check_square(nb::handle matrix, const char *what) {
    std::vector<int64_t> shape;
    for (nb::handle n : matrix.attr("shape")) shape.push_back(nb::cast<int64_t>(n));
    bool floating = nb::cast<bool>(
        qv::np().module.attr("issubdtype")(matrix.attr("dtype"), qv::np().module.attr("floating")));
    if (shape.size() != 2 || shape[0] != shape[1] || shape[0] == 0 || !floating)
        qv::raise(PyExc_ValueError, "%s is not a square float matrix (shape %U, dtype %U)", what,
                  qv::str_of(matrix.attr("shape")).ptr(), qv::str_of(matrix.attr("dtype")).ptr());
}

nb::object load_emap(const qv::Args &a) {
    nb::object path =
        a["path"].is_none() ? emap_path(a) : quorvex::stdlib::os.get().attr("fspath")(a["path"]);
    if (!nb::cast<bool>(path_module().attr("isfile")(path))) {
        nb::object error = nb::handle(PyExc_FileNotFoundError)(
            2,
            nb::str("No embedding map at {}: set {} to a .npy file holding the swap model's embedding map, "
                    "or save one with quorvex.face.emap.extract_emap(model)")
                .attr("format")(path, kVariable),
            path);
        PyErr_SetObject(PyExc_FileNotFoundError, error.ptr());
        throw nb::python_error();
    }
    nb::object matrix = qv::np().module.attr("load")(path, nb::arg("allow_pickle") = false);
    check_square(matrix, nb::cast<std::string>(qv::str_of(path)).c_str());
    // Copied before this returns: a swapper shared by threads reads it from each one's stream.
    return qv::cp().asarray(matrix, nb::arg("dtype") = qv::cp().float32, nb::arg("blocking") = true);
}

nb::object extract_emap(const qv::Args &a) {
    nb::handle model = a["model"];
    nb::object path =
        a["path"].is_none() ? emap_path(a) : quorvex::stdlib::os.get().attr("fspath")(a["path"]);
    nb::module_ onnx = nb::module_::import_("onnx");
    nb::object proto;
    if (PyBytes_Check(model.ptr()))
        proto = onnx.attr("load_from_string")(model);
    else if (PyObject_IsInstance(model.ptr(), onnx.attr("ModelProto").ptr()) == 1)
        proto = nb::borrow(model);
    else
        proto = onnx.attr("load")(model);
    nb::object initializers = proto.attr("graph").attr("initializer");
    if (nb::len(initializers) == 0)
        qv::raise(PyExc_ValueError, "the model has no initializers, so no embedding map");
    nb::object matrix =
        nb::module_::import_("onnx.numpy_helper").attr("to_array")(initializers[nb::int_(-1)]);
    check_square(matrix, "the model's last initializer");
    matrix = matrix.attr("astype")(qv::np().float32);

    // Written through the descriptor of a new file beside the destination and renamed into
    // place: a reader never sees half a file, and no link planted there is written through.
    nb::handle os = quorvex::stdlib::os.get();
    nb::object folder = path_module().attr("dirname")(path_module().attr("abspath")(path));
    os.attr("makedirs")(folder, nb::arg("exist_ok") = true);
    nb::object stem = path_module().attr("splitext")(path_module().attr("basename")(path))[nb::int_(0)];
    auto [tmp, fd] = qv::create_temporary(folder, stem, ".npy", path);
    try {
        nb::object file = os.attr("fdopen")(fd, "wb");
        qv::np().module.attr("save")(file, matrix);
        file.attr("close")();
        os.attr("replace")(tmp, path);
    } catch (nb::python_error &) {
        try {
            os.attr("remove")(tmp);
        } catch (nb::python_error &) {
        }
        throw;
    }
    return path;
}

}  // namespace

NB_MODULE(emap, m) {
    m.doc() =
        "The face-swap network's embedding map: where it is kept, loading it, extracting it from the model.";
    qv::def(m, "emap_path", emap_path, {}, "str",
            "Where load_emap looks: $QUORVEX_EMAP, else quorvex/emap.npy under $XDG_CACHE_HOME or ~/.cache.");
    qv::def(m, "load_emap", load_emap, {{"path", "str | os.PathLike | None", nb::none()}}, "cp.ndarray",
            "The embedding map at path (default: emap_path()) as a float32 device matrix. Raises "
            "FileNotFoundError when there is none.");
    qv::def(m, "extract_emap", extract_emap,
            {{"model", "str | bytes | onnx.ModelProto"}, {"path", "str | os.PathLike | None", nb::none()}},
            "str",
            "Saves the embedding map of an identity-swap ONNX model (its last initializer, a D x D matrix) "
            "where load_emap finds it, or to path; returns the path written.");
}

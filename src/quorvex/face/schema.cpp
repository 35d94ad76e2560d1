// QvFace: the record that carries one face through the pipeline. A pydantic model, built here
// exactly as a class statement would build it, with device arrays allowed as field values.
#include "quorvex/function.hpp"

namespace qv = quorvex;
namespace nb = nanobind;

namespace {

// Detectors hand over the score as a device or NumPy scalar; the record keeps a Python float.
nb::object score_as_float(const qv::Args &a) {
    nb::handle value = a["value"];
    if (PyFloat_CheckExact(value.ptr()) || PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr()) ||
        !PyObject_HasAttrString(value.ptr(), "__float__"))
        return nb::borrow(value);
    PyObject *number = PyNumber_Float(value.ptr());
    if (!number) throw nb::python_error();
    return nb::steal(number);
}

}  // namespace

NB_MODULE(schema, m) {
    m.doc() = "The face record shared by detection, embedding and swapping.";
    nb::module_ pydantic = nb::module_::import_("pydantic");
    nb::handle typing = quorvex::stdlib::typing.get();
    // Without CuPy the module still imports; array fields then accept anything.
    nb::object array = qv::has_cupy() ? nb::borrow(qv::cp().ndarray) : nb::object(typing.attr("Any"));
    nb::object optional_array = typing.attr("Optional")[array];

    qv::def(m, "_score_as_float", score_as_float, {{"value"}}, nullptr, "Converts a scalar score to float.");
    nb::object to_float = m.attr("_score_as_float");
    nb::object score = typing.attr("Annotated")[nb::make_tuple(nb::handle((PyObject *)&PyFloat_Type),
                                                               pydantic.attr("BeforeValidator")(to_float))];

    struct FieldSpec {
        const char *name;
        nb::object type;
        bool required;
        const char *description;
    };
    FieldSpec fields[] = {
        {"bbox", array, true, "Bounding box in the format (x1, y1, x2, y2)"},
        {"score", score, true, "Detection score"},
        {"kps", optional_array, false, "Keypoints in the format (x, y)"},
        {"matrix", optional_array, false, "Affine transformation matrix"},
        {"embedding", optional_array, false, "Face embedding"},
        {"normed_embedding", optional_array, false, "Normalized face embedding"},
        {"image", optional_array, false, "Face image"},
    };
    nb::dict annotations, ns;
    ns["__module__"] = m.attr("__name__");
    ns["__qualname__"] = "QvFace";
    ns["__doc__"] =
        "One face: box, score, landmarks, alignment matrix, aligned crop and identity embeddings.";
    ns["model_config"] = pydantic.attr("ConfigDict")(nb::arg("arbitrary_types_allowed") = true);
    for (FieldSpec &f : fields) {
        annotations[f.name] = f.type;
        nb::object default_value = f.required ? nb::object(nb::ellipsis()) : nb::none();
        ns[f.name] = pydantic.attr("Field")(default_value, nb::arg("description") = f.description);
    }
    ns["__annotations__"] = annotations;
    nb::handle base = pydantic.attr("BaseModel");
    nb::handle metaclass = (PyObject *)Py_TYPE(base.ptr());
    m.attr("QvFace") = metaclass("QvFace", nb::make_tuple(base), ns);
}

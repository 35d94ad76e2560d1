// The package's one way to make a file that appears only when complete, for the writers written
// in Python (the command's images, video pieces and joins) as for those here.
#include "quorvex/function.hpp"
#include "quorvex/temporary_file.hpp"

namespace qv = quorvex;
namespace nb = nanobind;

namespace {

nb::object create_beside(const qv::Args &a) {
    nb::handle os = quorvex::stdlib::os.get();
    nb::object path = os.attr("path");
    nb::object target = os.attr("fspath")(a["target"]);
    if (!nb::isinstance<nb::str>(target))
        qv::raise(PyExc_TypeError, "create_beside() takes a str or os.PathLike path");
    nb::object parts = path.attr("splitext")(path.attr("basename")(target));
    std::string ext = nb::cast<std::string>(a["tag"]) + nb::cast<std::string>(parts[nb::int_(1)]);
    auto [temporary, fd] =
        qv::create_temporary(path.attr("dirname")(target), parts[nb::int_(0)], ext, target);
    return nb::make_tuple(temporary, fd);
}

}  // namespace

NB_MODULE(files, m) {
    m.doc() = "Files that appear only when complete: new hidden files beside their targets.";
    qv::def(m, "create_beside", create_beside, {{"target", "str | os.PathLike"}, {"tag", "str", nb::str("")}},
            "tuple[str, int]",
            "A new empty file beside target, named '.{stem}.{random}{tag}{extension}' after it.\n\n"
            "The extension is kept last, as writers pick the format by it; the stem is cut at a character "
            "boundary so the name stays within 255 bytes. The file is made with O_EXCL and O_NOFOLLOW, so a "
            "file or link planted at the name makes the open fail instead of being written through, and the "
            "random part leaves nothing to plant ahead.\n\n"
            "Args:\n"
            "    target: the file it is made beside and named after.\n"
            "    tag: put between the random part and the extension.\n\n"
            "Returns:\n"
            "    (path, open descriptor); the caller writes it and renames it onto target when complete.\n\n"
            "Raises:\n"
            "    OSError: naming target, not the hidden file.");
}

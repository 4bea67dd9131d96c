// The Python module quenlo: images as numpy arrays, batches, scene scripts.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <thread>

#include "quenlo/quenlo.h"

namespace py = pybind11;

namespace {

// The image's buffer handed to numpy without a copy: the capsule keeps the
// image, and so its samples, alive as long as the array.
py::array_t<uint8_t> ToArray(quenlo::Image image) {
    auto kept = std::make_unique<quenlo::Image>(std::move(image));
    const quenlo::Image& im = *kept;
    const auto h = static_cast<py::ssize_t>(im.Height()), w = static_cast<py::ssize_t>(im.Width());
    py::capsule owner(kept.get(), [](void* p) { std::default_delete<quenlo::Image>()(static_cast<quenlo::Image*>(p)); });
    kept.release();
    return py::array_t<uint8_t>({h, w, py::ssize_t{3}}, {static_cast<py::ssize_t>(im.Stride()), py::ssize_t{3}, py::ssize_t{1}},
                                im.Data(), owner);
}

quenlo::Image FromArray(const py::array& any) {
    const auto a = py::array_t<uint8_t, py::array::c_style>::ensure(any);
    if (!a || a.ndim() != 3 || a.shape(2) != 3)
        throw py::value_error("expected an array of height x width x 3 samples of 8 bits (uint8)");
    if (!py::isinstance<py::array_t<uint8_t>>(any)) throw py::value_error("expected uint8 samples, not " + py::str(any.dtype()).cast<std::string>());
    if (a.shape(0) > INT32_MAX || a.shape(1) > INT32_MAX) throw py::value_error("the array is too large for an image");
    quenlo::Image image(static_cast<int>(a.shape(1)), static_cast<int>(a.shape(0)));
    if (image.Size() > 0) std::memcpy(image.Data(), a.data(), image.Size());
    return image;
}

quenlo::Format FormatFor(const py::object& format, const std::string& path) {
    if (!format.is_none()) return quenlo::FormatByName(format.cast<std::string>());
    const size_t dot = path.rfind('.');
    const size_t slash = path.rfind('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        throw quenlo::UsageError(path + ": no extension to take the format from; give format=");
    return quenlo::FormatByName(path.substr(dot + 1));
}

// png_level and tiff_compression, shared by write() and convert().
void TakeWriteOptions(py::dict& options, quenlo::WriteOptions& write) {
    if (options.contains("png_level")) write.pngLevel = options.attr("pop")("png_level").cast<int>();
    if (options.contains("tiff_compression")) {
        const std::string c = options.attr("pop")("tiff_compression").cast<std::string>();
        if (c == "none") write.tiffCompression = quenlo::Compression::None;
        else if (c == "lzw") write.tiffCompression = quenlo::Compression::Lzw;
        else if (c == "deflate") write.tiffCompression = quenlo::Compression::Deflate;
        else throw quenlo::UsageError("tiff_compression is none, lzw or deflate, not \"" + c + "\"");
    }
    if (!options.empty())
        throw py::type_error("unexpected option " + py::str(py::list(options.attr("keys")())[0]).cast<std::string>());
}

std::string PathOf(const py::object& path) { return py::str(py::module_::import("os").attr("fspath")(path)); }

py::dict ItemDict(const quenlo::ItemResult& r) {
    py::dict d;
    d["input"] = r.input;
    d["output"] = r.output;
    d["status"] = r.status;
    d["error"] = r.error;
    d["reason"] = r.reason.empty() ? py::object(py::none()) : py::object(py::str(r.reason));
    d["width"] = r.width >= 0 ? py::object(py::int_(r.width)) : py::object(py::none());
    d["height"] = r.height >= 0 ? py::object(py::int_(r.height)) : py::object(py::none());
    d["bytes"] = r.bytes;
    d["ms"] = r.ms;
    return d;
}

}  // namespace

PYBIND11_MODULE(quenlo, m) {
    m.doc() = "QUENLO: exact image reading and writing, batch conversion and scene scripts";
    m.attr("__version__") = quenlo::Version();
    // Messages as the command line gives them for the same locale.
    quenlo::TranslateMessages();

    // Every error carries the message and the report's reason code.
    static py::exception<quenlo::Error> error(m, "Error");
    static py::exception<quenlo::ImageError> imageError(m, "ImageError", error.ptr());
    static py::exception<quenlo::ScriptError> scriptError(m, "ScriptError", error.ptr());
    static py::exception<quenlo::UsageError> usageError(m, "UsageError", error.ptr());
    py::register_exception_translator([](std::exception_ptr p) {
        auto raise = [](PyObject* type, const quenlo::Error& e, long long line) {
            py::object exc = py::reinterpret_borrow<py::object>(type)(e.what());
            exc.attr("reason") = e.Reason();
            if (line >= 0) exc.attr("line") = line;
            PyErr_SetObject(type, exc.ptr());
        };
        try {
            if (p) std::rethrow_exception(p);
        } catch (const quenlo::ScriptError& e) {
            raise(scriptError.ptr(), e, e.Line());
        } catch (const quenlo::UsageError& e) {
            raise(usageError.ptr(), e, -1);
        } catch (const quenlo::ImageError& e) {
            raise(imageError.ptr(), e, -1);
        } catch (const quenlo::Error& e) {
            raise(error.ptr(), e, -1);
        }
    });

    m.def(
        "read",
        [](const py::object& path, const py::object& maxPixels) {
            quenlo::ReadOptions options;
            if (!maxPixels.is_none()) options.maxPixels = maxPixels.cast<long long>();
            const std::string name = PathOf(path);
            quenlo::Image image;
            {
                py::gil_scoped_release unlocked;
                image = quenlo::ReadImage(name, options);
            }
            return ToArray(std::move(image));
        },
        py::arg("path"), py::kw_only(), py::arg("max_pixels") = py::none(),
        "The image as a height x width x 3 uint8 array, red first, top row first.");

    m.def(
        "write",
        [](const py::array& array, const py::object& path, const py::object& format, py::kwargs kwargs) {
            const std::string name = PathOf(path);
            quenlo::WriteOptions options;
            options.format = FormatFor(format, name);
            py::dict rest(kwargs);
            TakeWriteOptions(rest, options);
            const quenlo::Image image = FromArray(array);
            py::gil_scoped_release unlocked;
            quenlo::WriteImage(image, name, options);
        },
        py::arg("array"), py::arg("path"), py::kw_only(), py::arg("format") = py::none(),
        "Writes the array as a .bmp, .png or .tif (format, or the path's extension); png_level=, tiff_compression=.");

    m.def(
        "convert",
        [](const py::object& inputs, const py::object& outputDir, const py::object& jobs, bool keepGoing,
           bool skipExisting, const std::string& format, bool recursive, py::kwargs kwargs) {
            std::vector<std::string> names;
            if (py::isinstance<py::str>(inputs) || py::hasattr(inputs, "__fspath__")) names.push_back(PathOf(inputs));
            else for (const py::handle& h : inputs) names.push_back(PathOf(py::reinterpret_borrow<py::object>(h)));
            quenlo::ConvertOptions options;
            if (!outputDir.is_none()) options.outputDir = PathOf(outputDir);
            options.jobs = jobs.is_none() ? static_cast<int>(std::max(1u, std::thread::hardware_concurrency()))
                                          : jobs.cast<int>();
            options.keepGoing = keepGoing;
            options.skipExisting = skipExisting;
            options.recursive = recursive;
            options.write.format = quenlo::FormatByName(format);
            py::dict rest(kwargs);
            if (rest.contains("max_pixels")) options.read.maxPixels = rest.attr("pop")("max_pixels").cast<long long>();
            if (rest.contains("name")) options.namePattern = rest.attr("pop")("name").cast<std::string>();
            if (rest.contains("if_exists")) {
                const std::string choice = rest.attr("pop")("if_exists").cast<std::string>();
                using IfExists = quenlo::ConvertOptions::IfExists;
                if (choice != "replace" && choice != "skip" && choice != "number")
                    throw quenlo::UsageError("if_exists is replace, skip or number, not " + choice);
                options.ifExists = choice == "skip" ? IfExists::Skip : choice == "number" ? IfExists::Number : IfExists::Replace;
            }
            TakeWriteOptions(rest, options.write);
            // Ctrl+C ends the batch after the file in hand, then raises.
            bool interrupted = false;
            options.cancelled = [&interrupted] {
                py::gil_scoped_acquire locked;
                if (PyErr_CheckSignals() != 0) interrupted = true;
                return interrupted;
            };
            quenlo::ConvertResult result;
            {
                py::gil_scoped_release unlocked;
                result = quenlo::Convert(names, options);
            }
            if (interrupted) throw py::error_already_set();
            py::list out;
            for (const quenlo::ItemResult& r : result.items) out.append(ItemDict(r));
            py::dict summary;
            summary["summary"] = true;
            summary["converted"] = result.summary.converted;
            summary["skipped"] = result.summary.skipped;
            summary["failed"] = result.summary.failed;
            summary["not-reached"] = result.summary.notReached;
            summary["stopped"] = result.summary.stopped;
            summary["cancelled"] = result.summary.cancelled;
            out.append(summary);
            return out;
        },
        py::arg("inputs"), py::arg("output_dir") = py::none(), py::kw_only(), py::arg("jobs") = py::none(),
        py::arg("keep_going") = false, py::arg("skip_existing") = false, py::arg("format") = "bmp",
        py::arg("recursive") = false,
        "Converts files and folders as quenlo-convert does: a dict per input with the report's fields, then the summary.");

    m.def(
        "render_scene",
        [](const py::object& pathOrText, const py::object& background) {
            quenlo::SceneOptions options;
            if (!background.is_none()) options.background = background.cast<unsigned>();
            const bool isPath = py::hasattr(pathOrText, "__fspath__") && !py::isinstance<py::str>(pathOrText);
            std::string text = isPath ? PathOf(pathOrText) : pathOrText.cast<std::string>();
            // A str naming an existing file is that file; any other is the script.
            const bool file = isPath || (text.find('\n') == std::string::npos &&
                                         py::module_::import("os.path").attr("isfile")(text).cast<bool>());
            quenlo::Image image;
            {
                py::gil_scoped_release unlocked;
                image = file ? quenlo::RenderSceneFile(text, options) : quenlo::RenderSceneText(text, options);
            }
            return ToArray(std::move(image));
        },
        py::arg("path_or_text"), py::kw_only(), py::arg("background") = py::none(),
        "The scene of a script file or text as a height x width x 3 uint8 array; background= 0xRRGGBB.");
}

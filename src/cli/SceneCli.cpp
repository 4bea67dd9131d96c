// quenlo-scene: the command line over the scene script library.
#include "cli/SceneCli.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <unistd.h>

#include "cli/ToolArgs.h"
#include "imageio/BmpWriter.h"
#include "imageio/VlxIo.h"
#include "low/VeloreLow.h"
#include "scene/script/SceneRender.h"
#include "scene/script/SceneWrite.h"

namespace quenlo {

namespace {

// "R,G,B", each 0..255.
bool ParseBackground(const std::string& text, TColor& c) {
    int32_t v[3];
    size_t start = 0;
    for (int i = 0; i < 3; ++i) {
        const size_t comma = text.find(',', start);
        if ((i < 2) != (comma != std::string::npos)) return false;
        const std::string part = text.substr(start, i < 2 ? comma - start : std::string::npos);
        if (!TextToInt(part, v[i]) || v[i] < 0 || v[i] > 255) return false;
        start = comma + 1;
    }
    c = ColorFromRGB(v[0], v[1], v[2]);
    return true;
}

void PrintWarnings(FILE* err, const std::string& name, const std::vector<TScriptWarning>& warnings) {
    for (const TScriptWarning& w : warnings)
        std::fprintf(err, "quenlo-scene: %s: warning: %s\n", ScriptPlace(name, w.Line).c_str(), w.Text.c_str());
}

[[noreturn]] void CannotWriteStdout() {
    throw EQuenlo(std::string("cannot write to standard output: ") + std::strerror(errno));
}

void WriteToStream(const TPixelMapRGB& map, FILE* out) {
    if (isatty(fileno(out))) throw EQuenlo("will not write a bitmap to a terminal; redirect it or name a file with -o");
    bool ok = true;
    WriteBmp(map, [&](const uint8_t* data, size_t n) {
        if (ok && std::fwrite(data, 1, n, out) != n) ok = false;
    });
    if (std::fflush(out) != 0 || !ok || std::ferror(out)) CannotWriteStdout();
}

}  // namespace

int RunSceneCli(int argc, const char* const* argv, FILE* out, FILE* err, const TSceneViewer& viewer) {
    CLI::App app{"Renders, rewrites and shows scene scripts.", "quenlo-scene"};
    app.require_subcommand(1);

    std::string script, output, background;
    bool strict = false;
    auto common = [&](CLI::App* cmd, bool withBackground) {
        cmd->add_option("SCRIPT", script, "The scene script (- reads standard input)")->required();
        cmd->add_flag("--strict", strict,
                      "Warn about what the script language ignores: lines over 255 characters, "
                      "unknown kinds and statements, missing image files, unbalanced braces");
        if (withBackground)
            cmd->add_option("--background", background, "R,G,B shown where the scene is not opaque (default 255,255,255)");
    };
    CLI::App* render = app.add_subcommand("render", "Render SCRIPT into a 24-bit .bmp");
    common(render, true);
    render->add_option("-o,--output", output, "The .bmp to write; - writes it to standard output")->required();
    CLI::App* write = app.add_subcommand("write", "Print the scene of SCRIPT back as a script");
    common(write, false);
    CLI::App* view = app.add_subcommand("view", "Show SCRIPT in a window (zoom with Ctrl+wheel, reload with F5)");
    common(view, true);
    if (const std::optional<int> usage = ParseToolArgs(app, argc, argv, out, err)) return *usage;

    TColor bg = 0xFFFFFF;
    if (!background.empty() && !ParseBackground(background, bg)) {
        std::fprintf(err, "quenlo-scene: --background wants R,G,B with each 0 to 255, not \"%s\"\n", background.c_str());
        return 2;
    }
    if (view->parsed() && script == "-") {
        std::fprintf(err, "quenlo-scene: view needs a script file, which it reloads on F5\n");
        return 2;
    }
    if (view->parsed() && !viewer) {
        std::fprintf(err, "quenlo-scene: this build has no window\n");
        return 1;
    }

    std::string where;  // what the errors of the step in hand are about
    try {
        TScene scene = ReadSceneFile(script, strict);
        PrintWarnings(err, scene.Name, scene.Warnings);
        if (view->parsed()) {
            TSceneViewArgs args{script, strict, bg, std::move(scene)};
            return viewer(args);
        }
        if (write->parsed()) {
            TSceneReadOptions options;
            if (script != "-") options.BaseDir = std::filesystem::path(script).parent_path().string();
            const TWrittenScene written = WriteScene(scene, options);
            PrintWarnings(err, scene.Name, written.Warnings);
            if (std::fputs(written.Text.c_str(), out) < 0 || std::fflush(out) != 0) CannotWriteStdout();
            return 0;
        }
        where = scene.Name + ": ";
        const std::unique_ptr<TPixelMapRGB> map = RenderScene(*scene.Root, bg);
        where.clear();
        if (output == "-") {
            WriteToStream(*map, out);
            return 0;
        }
        where = output + ": ";
        std::error_code ec;
        if (script != "-" && std::filesystem::equivalent(script, output, ec))
            throw EQuenlo("will not write the picture over its own script");
        SaveBmpFile(*map, output);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(err, "quenlo-scene: %s%s\n", where.c_str(), e.what());
        return 1;
    }
}

}  // namespace quenlo

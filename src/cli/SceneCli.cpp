// quenlo-scene: the command line over the scene script library.
#include "cli/SceneCli.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <unistd.h>

#include "cli/ToolArgs.h"
#include "imageio/BmpWriter.h"
#include "imageio/VlxIo.h"
#include "low/Messages.h"
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
        std::fprintf(err, Tr("quenlo-scene: %s: warning: %s\n"), ScriptPlace(name, w.Line).c_str(), w.Text.c_str());
}

[[noreturn]] void CannotWriteStdout() {
    throw EQuenlo(FormatText(Tr("cannot write to standard output: %s"), std::strerror(errno)));
}

void WriteToStream(const TPixelMapRGB& map, FILE* out) {
    if (isatty(fileno(out))) throw EQuenlo(Tr("will not write a bitmap to a terminal; redirect it or name a file with -o"));
    bool ok = true;
    WriteBmp(map, [&](const uint8_t* data, size_t n) {
        if (ok && std::fwrite(data, 1, n, out) != n) ok = false;
    });
    if (std::fflush(out) != 0 || !ok || std::ferror(out)) CannotWriteStdout();
}

// What the command line asks for.
struct TSceneRequest {
    std::string Script, Output, Background;
    bool Strict = false;
    int64_t MaxWork = kDefaultMaxWork;
    CLI::App* Render = nullptr;
    CLI::App* Write = nullptr;
    CLI::App* View = nullptr;
};

void AddCommands(CLI::App& app, TSceneRequest& r) {
    app.require_subcommand(1);
    auto common = [&](CLI::App* cmd, bool withBackground) {
        cmd->add_option("SCRIPT", r.Script, Tr("The scene script (- reads standard input)"))->required();
        cmd->add_flag("--strict", r.Strict,
                      Tr("Warn about what the script language ignores: lines over 255 characters, "
                         "unknown kinds and statements, missing image files, unbalanced braces"));
        cmd->add_option("--max-work", r.MaxWork,
                        FormatText(Tr("Pixel work the script's statements may do before it is refused (default %lld)"),
                                   static_cast<long long>(kDefaultMaxWork)))
            ->check(CLI::Range(int64_t(1), INT64_MAX));
        if (withBackground)
            cmd->add_option("--background", r.Background, Tr("R,G,B shown where the scene is not opaque (default 255,255,255)"));
        return cmd;
    };
    r.Render = common(app.add_subcommand("render", Tr("Render SCRIPT into a 24-bit .bmp")), true);
    r.Render->add_option("-o,--output", r.Output, Tr("The .bmp to write; - writes it to standard output"))->required();
    r.Write = common(app.add_subcommand("write", Tr("Print the scene of SCRIPT back as a script")), false);
    r.View = common(app.add_subcommand("view", Tr("Show SCRIPT in a window (zoom with Ctrl+wheel, reload with F5)")), true);
}

// The exit status of a request that cannot run, with its message; nullopt
// when it can.
std::optional<int> RefuseRequest(const TSceneRequest& r, const TSceneViewer& viewer, TColor& bg, FILE* err) {
    if (!r.Background.empty() && !ParseBackground(r.Background, bg)) {
        std::fprintf(err, Tr("quenlo-scene: --background wants R,G,B with each 0 to 255, not \"%s\"\n"), r.Background.c_str());
        return 2;
    }
    if (r.View->parsed() && r.Script == "-") {
        std::fputs(Tr("quenlo-scene: view needs a script file, which it reloads on F5\n"), err);
        return 2;
    }
    if (r.View->parsed() && !viewer) {
        std::fputs(Tr("quenlo-scene: this build has no window\n"), err);
        return 1;
    }
    return std::nullopt;
}

// Takes the scene, whose tree is freed once written, before the text is
// read back.
void WriteScript(TScene scene, const TSceneRequest& r, FILE* out, FILE* err) {
    const std::string& script = r.Script;
    TSceneReadOptions options;
    options.MaxWork = r.MaxWork;
    if (script != "-") options.BaseDir = std::filesystem::path(script).parent_path().string();
    const std::string name = scene.Name;
    const TWrittenScene written = WriteScene(std::move(scene), options);
    PrintWarnings(err, name, written.Warnings);
    if (std::fputs(written.Text.c_str(), out) < 0 || std::fflush(out) != 0) CannotWriteStdout();
}

// where: set to what the errors of each step are about.
void RenderScript(const TScene& scene, const TSceneRequest& r, TColor bg, FILE* out, std::string& where) {
    where = scene.Name + ": ";
    const std::unique_ptr<TPixelMapRGB> map = RenderScene(*scene.Root, bg);
    where.clear();
    if (r.Output == "-") return WriteToStream(*map, out);
    where = r.Output + ": ";
    std::error_code ec;
    if (r.Script != "-" && std::filesystem::equivalent(r.Script, r.Output, ec))
        throw EQuenlo(Tr("will not write the picture over its own script"));
    SaveBmpFile(*map, r.Output);
}

}  // namespace

int RunSceneCli(int argc, const char* const* argv, FILE* out, FILE* err, const TSceneViewer& viewer) {
    CLI::App app{Tr("Renders, rewrites and shows scene scripts."), "quenlo-scene"};
    TSceneRequest r;
    AddCommands(app, r);
    if (const std::optional<int> usage = ParseToolArgs(app, argc, argv, out, err)) return *usage;
    TColor bg = 0xFFFFFF;
    if (const std::optional<int> refused = RefuseRequest(r, viewer, bg, err)) return *refused;

    std::string where;  // what the errors of the step in hand are about
    try {
        TSceneReadOptions options;
        options.Strict = r.Strict;
        options.MaxWork = r.MaxWork;
        TScene scene = ReadSceneFile(r.Script, options);
        PrintWarnings(err, scene.Name, scene.Warnings);
        if (r.View->parsed()) {
            TSceneViewArgs args{r.Script, r.Strict, bg, r.MaxWork, std::move(scene)};
            return viewer(args);
        }
        if (r.Write->parsed()) {
            WriteScript(std::move(scene), r, out, err);
        } else {
            std::vector<TScene::TNodeLine>().swap(scene.Lines);  // rendering names no lines: 16 bytes a node
            RenderScript(scene, r, bg, out, where);
        }
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(err, "quenlo-scene: %s%s\n", where.c_str(), e.what());
        return 1;
    }
}

}  // namespace quenlo

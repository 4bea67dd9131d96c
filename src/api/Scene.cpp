#include <cerrno>
#include <fstream>
#include <mutex>
#include <sstream>

#include "api/Translate.h"
#include "imageio/RgbSwap.h"
#include "low/Messages.h"
#include "quenlo/errors.h"
#include "quenlo/quenlo.h"
#include "quenlo/scene.h"
#include "scene/kinds/SimpleVelore.h"
#include "scene/script/SceneRead.h"
#include "scene/script/SceneRender.h"
#include "scene/script/SceneWrite.h"

namespace quenlo {
inline namespace v0 {

namespace {

// The node kinds, registered once for every caller of the library.
void RegisterKinds() {
    static std::once_flag once;
    std::call_once(once, [] { RegisterSimpleVeloreKinds(); });
}

TSceneReadOptions ReadOptionsFor(const SceneOptions& options) {
    if (options.maxWork < 0) throw UsageError("maxWork cannot be negative");
    TSceneReadOptions read;
    read.BaseDir = options.baseDir;
    if (options.maxWork > 0) read.MaxWork = options.maxWork;
    return read;
}

Image Render(const TScene& scene, unsigned background) {
    // 0xRRGGBB as the maps' 0x00BBGGRR.
    const TColor bg = ColorFromRGB(background >> 16 & 255, background >> 8 & 255, background & 255);
    std::shared_ptr<TPixelMap> map = RenderScene(*scene.Root, bg);
    uint8_t* data = map->Data();
    SwapRedBlue(data, data, static_cast<size_t>(map->Width()) * static_cast<size_t>(map->Height()));
    const int w = map->Width(), h = map->Height();
    return Image(w, h, data, std::move(map));
}

}  // namespace

Image RenderSceneText(const std::string& script, const SceneOptions& options) {
    RegisterKinds();
    const TSceneReadOptions read = ReadOptionsFor(options);
    return Translated([&] {
        std::istringstream in(script);
        return Render(ReadSceneScript(in, "script", read), options.background);
    });
}

Image RenderSceneFile(const std::string& path, const SceneOptions& options) {
    RegisterKinds();
    TSceneReadOptions read = ReadOptionsFor(options);
    return Translated([&] {
        if (read.BaseDir.empty()) return Render(ReadSceneFile(path, read), options.background);
        // A base folder given outranks the script's own.
        std::ifstream in(path, std::ios::binary);
        if (!in) throw EInOutError::FromErrno(errno);
        return Render(ReadSceneScript(in, path, read), options.background);
    });
}

std::string WriteSceneText(const std::string& script, const SceneOptions& options) {
    RegisterKinds();
    const TSceneReadOptions read = ReadOptionsFor(options);
    return Translated([&] {
        std::istringstream in(script);
        return WriteScene(ReadSceneScript(in, "script", read), read).Text;
    });
}

const char* Version() noexcept { return QUENLO_VERSION; }

void TranslateMessages() { UseMessageCatalogues(); }

}  // namespace v0
}  // namespace quenlo

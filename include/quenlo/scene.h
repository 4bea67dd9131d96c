#pragma once
// Scene scripts: read, rendered into an image, and written back.
#include <string>
#include <vector>

#include "quenlo/image.h"

namespace quenlo {
inline namespace v0 {

struct SceneOptions {
    // Relative image names in "file" statements start here; "" the current folder
    // (for a script read from a file, its own folder).
    std::string baseDir;
    // The pixel work the statements may do before the script is refused;
    // 0 takes quenlo-scene's default.
    long long maxWork = 0;
    unsigned background = 0xFFFFFF;  // 0xRRGGBB under the scene
};

// The script's whole scene. Throws ScriptError naming the line.
Image RenderSceneText(const std::string& script, const SceneOptions& options = {});
Image RenderSceneFile(const std::string& path, const SceneOptions& options = {});

// The script as quenlo-scene write prints it: the same scene, restated.
std::string WriteSceneText(const std::string& script, const SceneOptions& options = {});

}  // namespace v0
}  // namespace quenlo

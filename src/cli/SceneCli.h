#pragma once
// quenlo-scene render|write|view. The window is not part of this library:
// view calls the viewer it is given.
#include <cstdio>
#include <functional>
#include <string>

#include "pixelmap/Color.h"
#include "scene/script/SceneRead.h"

namespace quenlo {

struct TSceneViewArgs {
    std::string Script;
    bool Strict = false;
    TColor Background = 0xFFFFFF;
    int64_t MaxWork = kDefaultMaxWork;  // for reading it again
    TScene Scene;  // already read
};
// Returns the exit status.
using TSceneViewer = std::function<int(TSceneViewArgs& args)>;

// Exit status: 0 done, 1 the script or the output failed, 2 usage error.
int RunSceneCli(int argc, const char* const* argv, FILE* out, FILE* err, const TSceneViewer& viewer);

}  // namespace quenlo

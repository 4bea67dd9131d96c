#pragma once
// A scene written back as a script that reads back to the same tree.
#include <string>
#include <vector>

#include "scene/script/SceneRead.h"

namespace quenlo {

struct TWrittenScene {
    std::string Text;
    std::vector<TScriptWarning> Warnings;
};

// The tree as a script: one kind line per node with its written
// statements, and "+" lines for what does not fit in 255 characters;
// braces for nesting. Statements that the node's own do not restore in
// their order (a filled image, an auto-sized or hidden label) are added
// after them. The text is read back and compared: a node that would come
// back different (a quote or ";" in a text or a file name, one statement
// longer than a line) throws EScriptError with its source line; a
// different render only warns (a text image wiped over the picture it
// loads).
// Renders that differ only where the background shows are found too: the
// check renders on black as well as white unless the root is opaque.
TWrittenScene WriteScene(const TScene& scene, const TSceneReadOptions& options);
// The same, freeing the scene's tree once it is written and rendered, so
// that its tree and the one read back are never held together.
TWrittenScene WriteScene(TScene&& scene, const TSceneReadOptions& options);

}  // namespace quenlo

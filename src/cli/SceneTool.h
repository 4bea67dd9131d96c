#pragma once
// Scene scripts as files: reading them into a tree with line numbers,
// rendering the tree into a 24-bit map, and writing it back as a script.
// The headless part of quenlo-scene; the window lives in app/SceneView.
#include <cstdint>
#include <cstdio>
#include <functional>
#include <istream>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "low/Errors.h"
#include "low/Types.h"
#include "pixelmap/Color.h"
#include "pixelmap/pixelmap.h"
#include "scene/kinds/VlxImg.h"

namespace quenlo {

// What one script may ask for, so that a hostile or mistaken file ends in
// an error instead of exhausting memory or time.
inline constexpr int kMaxSceneNodes = 1 << 20;
inline constexpr int kMaxSceneDepth = 64;
inline constexpr int64_t kMaxNodePixels = int64_t(1) << 26;       // per pixel-holding node
inline constexpr int64_t kMaxScenePixelBytes = int64_t(1) << 29;  // all their maps together

// A script that cannot be read or written back. what() is
// "FILE:LINE: reason", or "FILE: reason" when no line applies.
class EScriptError : public EQuenlo {
public:
    EScriptError(const std::string& file, int line, const std::string& reason);
    const std::string& File() const { return file_; }
    int Line() const { return line_; }  // 1-based; 0 for none
    const std::string& Reason() const { return reason_; }

private:
    std::string file_;
    int line_;
    std::string reason_;
};

struct TScriptWarning {
    int Line = 0;
    std::string Text;
};

// Takes a whole tree down, leaves first.
struct TSceneTreeDeleter {
    void operator()(TVelora* root) const noexcept;
};

// A scene read from a script: an image node at the root and everything the
// script created below it.
struct TScene {
    std::unique_ptr<TVlxImg, TSceneTreeDeleter> Root;
    std::string Name;                     // the script as named in messages
    std::vector<TScriptWarning> Warnings;  // collected only when strict
    int NodeCount = 1;                    // the root included
    // The line that created (or first configured) each node.
    std::unordered_map<const TVelora*, int> Lines;

    int LineOf(const TVelora* node) const;
};

struct TSceneReadOptions {
    // Report what the language silently ignores: over-long lines, unknown
    // kinds and statements, missing image files, unbalanced braces.
    bool Strict = false;
    // Folder that relative names in "file" statements start from; empty
    // for the current folder.
    std::string BaseDir;
};

// Reads a script line by line (LF or CRLF) with ParseLine into a fresh
// image node. Any error, such as a bad float, throws EScriptError naming
// the line; nothing of the tree survives it.
TScene ReadSceneScript(std::istream& in, const std::string& name, const TSceneReadOptions& options);
// As above from a file, with relative image names taken from the script's
// folder. "-" reads standard input. Throws EScriptError.
TScene ReadSceneFile(const std::string& path, bool strict);

// The root's whole area over background. Throws EQuenlo for a 0 x 0 root.
std::unique_ptr<TPixelMapRGB> RenderScene(TVelora& root, TColor background);

// The first pixel where a and b differ, scanning rows from the top; false
// when they are equal. Maps of different sizes differ at (0, 0).
bool FirstDifference(const TPixelMapRGB& a, const TPixelMapRGB& b, TPoint& at);

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
TWrittenScene WriteScene(const TScene& scene, const TSceneReadOptions& options);

// Exact registered kind name of a node, or empty for an unregistered kind.
std::string SceneKindName(const TVelora& node);

// quenlo-scene render|write|view. The window is not part of this library:
// view calls viewer, which returns the exit status.
struct TSceneViewArgs {
    std::string Script;
    bool Strict = false;
    TColor Background = 0xFFFFFF;
    TScene Scene;  // already read
};
using TSceneViewer = std::function<int(TSceneViewArgs& args)>;

// Exit status: 0 done, 1 the script or the output failed, 2 usage error.
int RunSceneCli(int argc, const char* const* argv, FILE* out, FILE* err, const TSceneViewer& viewer);

}  // namespace quenlo

#pragma once
// Scene scripts as files: reading them into a tree with line numbers, with
// limits that end a hostile or mistaken script in an error, and warnings
// about what the language silently ignores.
#include <cstdint>
#include <istream>
#include <string>
#include <vector>

#include "low/Errors.h"
#include "scene/Velora.h"
#include "scene/kinds/VlxImg.h"

namespace quenlo {

// What one script may ask for, so that a hostile or mistaken file ends in
// an error instead of exhausting memory or time.
inline constexpr int kMaxSceneNodes = 1 << 20;
inline constexpr int kMaxSceneDepth = 64;
inline constexpr int64_t kMaxNodePixels = int64_t(1) << 26;       // per pixel-holding node
inline constexpr int64_t kMaxScenePixelBytes = int64_t(1) << 29;  // all their maps together
inline constexpr int64_t kMaxPolyVertices = int64_t(1) << 20;     // per polygon node
// Pixel work of all statements together, in pixels a map is filled or cleared
// with (a spray or a decoded pixel counts for more): some seconds at most.
inline constexpr int64_t kDefaultMaxWork = int64_t(1) << 32;

// "FILE:LINE", or "FILE" when no line applies (line 0): a place in a
// script as errors and warnings name it.
std::string ScriptPlace(const std::string& file, int64_t line);

// A script that cannot be read or written back. what() is
// "PLACE: reason".
class EScriptError : public EQuenlo {
public:
    EScriptError(const std::string& file, int64_t line, const std::string& reason);
    const std::string& File() const { return file_; }
    int64_t Line() const { return line_; }  // 1-based; 0 for none
    const std::string& Reason() const { return reason_; }

private:
    std::string file_;
    int64_t line_;
    std::string reason_;
};

struct TScriptWarning {
    int64_t Line = 0;
    std::string Text;
};

// A scene read from a script: an image node at the root and everything the
// script created below it, all freed with the root.
struct TScene {
    TVeloraTreePtr<TVlxImg> Root;
    std::string Name;                      // the script as named in messages
    std::vector<TScriptWarning> Warnings;  // collected only when strict
    int NodeCount = 1;                     // the root included
    // The line that created (or first configured) each node, by node
    // address once the read is done: 16 bytes a node.
    struct TNodeLine {
        const TVelora* Node;
        int64_t Line;
    };
    std::vector<TNodeLine> Lines;

    int64_t LineOf(const TVelora* node) const;  // 0 for a node of no line
    // For a node added after the read, keeping Lines in order.
    void SetLine(const TVelora* node, int64_t line);
};

struct TSceneReadOptions {
    // Report what the language silently ignores: over-long lines, unknown
    // kinds and statements, missing image files, unbalanced braces.
    bool Strict = false;
    // Folder that relative names in "file" statements start from; empty
    // for the current folder.
    std::string BaseDir;
    // The pixel work statements may do before the script is refused.
    int64_t MaxWork = kDefaultMaxWork;
};

// Reads a script line by line (LF or CRLF) with ParseLine into a fresh
// image node. Any error, such as a bad float, throws EScriptError naming
// the line; nothing of the tree survives it.
TScene ReadSceneScript(std::istream& in, const std::string& name, const TSceneReadOptions& options);
// As above from a file, with relative image names taken from the script's
// folder. "-" reads standard input. Throws EScriptError.
TScene ReadSceneFile(const std::string& path, bool strict);
// With options; BaseDir is taken from path.
TScene ReadSceneFile(const std::string& path, TSceneReadOptions options);

}  // namespace quenlo

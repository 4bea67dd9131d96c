#include "scene/script/SceneWrite.h"

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <sstream>

#include "low/Low.h"
#include "low/VeloreLow.h"
#include "scene/kinds/SimpleVelore.h"
#include "scene/script/SceneRender.h"
#include "low/Messages.h"

namespace quenlo {

namespace {

struct TWrittenLine {
    std::string Text;
    TVelora* Node = nullptr;  // null for a brace
};

std::string Statements(TVelora& node) {
    std::string s;
    node.WriteStatements(s);
    return s;
}

// A text image as its own statements rebuild it: a map of one colour with
// the last text on it.
TVeloraPtr<TVlxAnk> TextImage(const TVlxAnk& ank, TColor fill) {
    TVeloraPtr<TVlxAnk> t = MakeVelora<TVlxAnk>();
    t->SetCol(fill);
    t->SetSize(ank.Width, ank.Height);
    t->PenPos = ank.PenPos;
    t->PenCol = ank.PenCol;
    if (!ank.Text.empty()) t->WriteText(ank.Text);
    return t;
}

bool SameMap(const TPixelMapRGB& a, const TPixelMapRGB& b) {
    TPoint at;
    return !FirstDifference(a, b, at);
}

// The colour of the first pixel that is not `other`, or `other` itself.
TColor FirstColourBesides(const TPixelMapRGB& map, TColor other) {
    for (int32_t y = 0; y < map.Height(); ++y)
        for (int32_t x = 0; x < map.Width(); ++x) {
            const uint8_t* p = map.PixelAddr(x, y);  // blue, green, red
            const TColor c = ColorFromRGB(p[2], p[1], p[0]);
            if (c != other) return c;
        }
    return other;
}

// Statements to append to what a node writes of itself, for state that
// its own statements do not bring back when read in their order; nullopt
// when nothing can.
std::optional<std::string> RestoringStatements(TVelora& node) {
    std::string s;
    if (auto* label = dynamic_cast<TVlxAnk88*>(&node); label && !label->Text.empty()) {
        // Read back, "size" comes before "text", so the text lands as in a
        // fixed box: at x 8, centred. Other places came from an earlier size.
        const bool fixedBox = label->Width != 0 && label->Height != 0;
        const int32_t fixedY = int32_t((int64_t(label->Height) - kAnkCellHeight) / 2);
        if (!fixedBox || label->TextX != kAnkCellWidth || label->TextY != fixedY) {
            if (label->TextX == 0 && label->TextY == 0)
                s += "size(0,0);";  // the text sizes the box itself
            else
                s += FormatCommand("size", {1, 2 * label->TextY + kAnkCellHeight}, 0);  // any box this high
            s += TextStatement(label->Text);
            s += FormatCommand("size", {label->Width, label->Height}, 0);
        }
        if (!label->Visible) s += "visible(0);";  // "text" and "size" show the node
    } else if (auto* ank = dynamic_cast<TVlxAnk*>(&node); ank && ank->Map) {
        // It writes "wipe" and its last text: right when the map was wiped
        // to Col before that text; another colour is wiped to and written on
        // again. A loaded picture or earlier texts cannot come back.
        if (SameMap(*ank->Map, *TextImage(*ank, ank->Col)->Map)) return s;
        const TColor fill = FirstColourBesides(*ank->Map, ank->PenCol);
        if (!ank->FileName.empty() || !SameMap(*ank->Map, *TextImage(*ank, fill)->Map)) return std::nullopt;
        s += ColorStatement("col", fill) + "wipe;" + ColorStatement("col", ank->Col);
        if (!ank->Text.empty()) s += TextStatement(ank->Text);
    } else if (auto* img = dynamic_cast<TVlxImg*>(&node); img && img->Map && !img->MapFromFile()) {
        // "size" fills the map with the colour of that moment, white on a
        // new node; a map of one other colour is wiped to it.
        const TPixelMapRGB& map = *img->Map;
        const TColor fill = FirstColourBesides(map, 0xFFFFFF);
        if (fill == 0xFFFFFF) return s;
        if (FirstColourBesides(map, fill) != fill) return std::nullopt;  // painted on
        if (fill != img->Col) s += ColorStatement("col", fill);
        s += "wipe;";
        if (fill != img->Col) s += ColorStatement("col", img->Col);
    }
    return s;
}

// Spreads "KIND STATEMENTS" over as many lines as the 255-character limit
// needs: the kind line, then "+" lines, cut only between statements. A
// statement too long for the kind line starts the "+" lines, which have
// room for a few characters more.
std::vector<std::string> SpreadStatements(const std::string& kind, std::string_view statements,
                                          const TScene& scene, const TVelora& node) {
    std::vector<std::string> lines{kind};
    bool bare = true;  // the last line holds no statement yet
    while (!statements.empty()) {
        // Statements begin with their keyword, so every ";" ends one, quoted or not.
        const size_t end = statements.find(';');
        const size_t n = end == std::string_view::npos ? statements.size() : end + 1;
        const std::string_view stmt = statements.substr(0, n);
        statements.remove_prefix(n);
        if (stmt == ";") continue;
        const bool fits = lines.back().size() + (bare ? 1 : 0) + stmt.size() <= kMaxTokenText;
        if (!fits && (!bare || lines.size() == 1)) {
            lines.push_back("+");
            bare = true;
        }
        if (bare) lines.back() += ' ';
        if (lines.back().size() + stmt.size() > kMaxTokenText)
            throw EScriptError(scene.Name, scene.LineOf(&node),
                               FormatText(Tr("the %s node writes a statement of %zu characters; scripts are read only "
                                             "up to 255 per line, so it would not read back"),
                                          kind.c_str(), stmt.size()));
        lines.back() += stmt;
        bare = false;
    }
    return lines;
}

std::string Indent(int level) { return std::string(size_t(std::min(level, 40)) * 2, ' '); }

uint64_t TextKey(std::string_view kind, std::string_view statements) {
    uint64_t h = 1469598103934665603ull;  // FNV-1a
    for (std::string_view part : {kind, std::string_view("\n"), statements})
        for (const char c : part) h = (h ^ uint8_t(c)) * 1099511628211ull;
    return h;
}

// What the read-back is checked against, per node in preorder, so that the
// tree it was written from need not be kept: 24 bytes a node.
struct TNodeMark {
    uint64_t Key;      // of its kind and own statements
    int64_t Line;      // where the source script made it
    uint32_t Written;  // the first written line that is its own (0-based)
    int32_t Depth;
};

// The written script, its node marks, and for each written line the node
// it belongs to (an index into the marks; kNoNode for a brace).
constexpr uint32_t kNoNode = UINT32_MAX;
struct TWriting {
    std::vector<TNodeMark> Marks;
    std::vector<uint32_t> LineNode;
    // Pixel work the written script may do beyond its source's: a size
    // before a file the source only loaded, the wipe a text image writes,
    // and what the added statements do.
    int64_t AddedWork = 0;
};

// What a node's statements added on read-back can cost at most: its area,
// or for a node without pixels what of it the picture shows, per "size" or
// "wipe" (two at most, and a label's box one pixel wide).
int64_t AddedWork(const TVelora& node, const TVelora& root, bool restores) {
    const int64_t picture = int64_t(root.Width) * root.Height;
    int64_t area = int64_t(node.Width) * node.Height;
    if (!dynamic_cast<const TVlxImg*>(&node)) area = std::min(area, picture);
    int64_t work = restores ? 2 * area : 0;
    if (auto* label = dynamic_cast<const TVlxAnk88*>(&node); label && restores)
        work += std::min(picture, 2 * std::abs(int64_t(label->TextY)) + kAnkCellHeight);
    if (!node.FileName.empty()) work += area;
    if (auto* ank = dynamic_cast<const TVlxAnk*>(&node); ank && ank->Map) work += area;
    return work;
}

void WriteLines(const TScene& scene, TWrittenScene& out, TWriting& w) {
    const int top = scene.Root->Depth();
    int open = 0;  // blocks opened and not yet closed
    auto add = [&](const std::string& text, uint32_t node) {
        out.Text += text;
        out.Text += '\n';
        w.LineNode.push_back(node);
    };
    auto closeTo = [&](int level) {
        for (; open > level; --open) add(Indent(open - 1) + "}", kNoNode);
    };
    scene.Root->ForEachNode([&](TVelora& node) {
        const int level = node.Depth() - top;
        closeTo(level);
        const TVeloraClass& cls = TVelora::KindOf(node);
        if (IsNullKind(cls))
            throw EScriptError(scene.Name, scene.LineOf(&node),
                               Tr("a node of a kind no script can name cannot be written"));
        const std::string kind(cls.KindName());
        const std::optional<std::string> extra = RestoringStatements(node);
        if (!extra)
            out.Warnings.push_back({scene.LineOf(&node), "the pixels of this " + kind +
                                                             " node are not all made by its statements, "
                                                             "so they will not read back the same"});
        const std::string own = Statements(node);
        w.AddedWork += AddedWork(node, *scene.Root, extra && !extra->empty());
        const auto index = uint32_t(w.Marks.size());
        w.Marks.push_back({TextKey(kind, own), scene.LineOf(&node), uint32_t(w.LineNode.size()), level});
        for (const std::string& text : SpreadStatements(kind, own + extra.value_or(""), scene, node))
            add(Indent(level) + text, index);
        if (node.FirstChild()) {
            add(Indent(level) + "{", kNoNode);
            ++open;
        }
    });
    closeTo(0);
}

// The statements the written lines from `first` on give a node: its kind
// line's and those of the "+" lines after it.
std::string WrittenStatements(const std::string& text, uint32_t first) {
    std::istringstream in(text);  // only for a failed check
    std::string line, all;
    for (uint32_t i = 0; std::getline(in, line); ++i) {
        if (i < first) continue;
        const size_t b = line.find_first_not_of(' ');
        if (b == std::string::npos) break;
        if (i > first && line[b] != '+') break;
        const size_t s = line.find(' ', b);
        if (s != std::string::npos) all += line.substr(s + 1);
    }
    return all;
}

// Reads a string in place, without the copy an istringstream makes.
class TTextBuf : public std::streambuf {
public:
    explicit TTextBuf(const std::string& text) {
        char* p = const_cast<char*>(text.data());  // only read
        setg(p, p, p + text.size());
    }
};

// Renders differ where the root lets the background through: on white and
// on black, unless the root covers it whole.
std::vector<TColor> Backgrounds(const TVelora& root) {
    if (AlphaFromOpq(root.EffectiveOpq()) == 255) return {0xFFFFFF};
    return {0xFFFFFF, 0x000000};
}

// The first pixel where the read-back renders differently from `want`,
// with the node found there; nullopt when none.
struct TRenderDiff {
    TPoint At;
    TColor Background;
    uint32_t Node;  // preorder index in the read-back tree, the root 0
    std::string Kind;
};

std::optional<TRenderDiff> CompareRenders(TVelora& back, const std::vector<std::unique_ptr<TPixelMapRGB>>& want,
                                          const std::vector<TColor>& backgrounds) {
    for (size_t k = 0; k < want.size(); ++k) {
        TPoint at;
        if (!FirstDifference(*want[k], *RenderScene(back, backgrounds[k]), at)) continue;
        const TVelora* hit = back.FindNodeAt(at);
        uint32_t index = 0, n = 0;
        back.ForEachNode([&](TVelora& node) {
            if (&node == hit) index = n;
            ++n;
        });
        return TRenderDiff{at, backgrounds[k], index, std::string(TVelora::KindOf(*hit).KindName())};
    }
    return std::nullopt;
}

TWrittenScene WriteAndCheck(const TScene& scene, TVeloraTreePtr<TVlxImg>* release, const TSceneReadOptions& options) {
    TWrittenScene out;
    TWriting w;
    WriteLines(scene, out, w);
    const std::string name = scene.Name;

    // The source's renders, kept instead of its tree.
    const std::vector<TColor> backgrounds = Backgrounds(*scene.Root);
    std::vector<std::unique_ptr<TPixelMapRGB>> want;
    if (scene.Root->Width > 0 && scene.Root->Height > 0)
        for (TColor bg : backgrounds) want.push_back(RenderScene(*scene.Root, bg));
    if (release) release->reset();

    // Read back what was written and compare node by node.
    TSceneReadOptions again = options;
    again.Strict = false;
    again.MaxWork = options.MaxWork > INT64_MAX - w.AddedWork ? INT64_MAX : options.MaxWork + w.AddedWork;
    TTextBuf buf(out.Text);
    std::istream in(&buf);
    TScene back;
    try {
        back = ReadSceneScript(in, name, again);
    } catch (const EScriptError& e) {
        const uint32_t node = e.Line() > 0 && uint64_t(e.Line()) <= w.LineNode.size() ? w.LineNode[size_t(e.Line() - 1)]
                                                                                       : kNoNode;
        throw EScriptError(name, node == kNoNode ? 0 : w.Marks[node].Line,
                           "the written script does not read back: " + e.Reason());
    }
    size_t i = 0;
    const int top = back.Root->Depth();
    back.Root->ForEachNode([&](TVelora& node) {
        if (i >= w.Marks.size() || node.Depth() - top != w.Marks[i].Depth)
            throw EScriptError(name, i < w.Marks.size() ? w.Marks[i].Line : 0,
                               "the written script reads back as another tree");
        const std::string_view kind = TVelora::KindOf(node).KindName();
        const std::string b = Statements(node);
        if (TextKey(kind, b) != w.Marks[i].Key)
            throw EScriptError(name, w.Marks[i].Line,
                               "the " + std::string(kind) + " node writes \"" +
                                   WrittenStatements(out.Text, w.Marks[i].Written) + "\" but that reads back as \"" +
                                   b + "\"");
        ++i;
    });
    if (i != w.Marks.size())
        throw EScriptError(name, i < w.Marks.size() ? w.Marks[i].Line : 0,
                           "the written script reads back as another tree");

    if (!want.empty()) {
        if (const std::optional<TRenderDiff> d = CompareRenders(*back.Root, want, backgrounds)) {
            std::string text = "the written script renders differently, first at pixel (" +
                               std::to_string(d->At.X) + "," + std::to_string(d->At.Y) + ")";
            if (d->Background != 0xFFFFFF) text += " on a black background";
            if (d->Node > 0)
                text += ", over the " + d->Kind + " node of line " +
                        std::to_string(w.Marks[d->Node].Line);
            out.Warnings.push_back({0, text});
        }
    }
    return out;
}

}  // namespace

TWrittenScene WriteScene(const TScene& scene, const TSceneReadOptions& options) {
    return WriteAndCheck(scene, nullptr, options);
}

TWrittenScene WriteScene(TScene&& scene, const TSceneReadOptions& options) {
    return WriteAndCheck(scene, &scene.Root, options);
}

}  // namespace quenlo

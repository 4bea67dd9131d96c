#include "scene/script/SceneWrite.h"

#include <algorithm>
#include <optional>
#include <sstream>

#include "low/Low.h"
#include "low/VeloreLow.h"
#include "scene/kinds/SimpleVelore.h"
#include "scene/script/SceneRender.h"

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
    } else if (auto* img = dynamic_cast<TVlxImg*>(&node); img && img->Map && img->FileName.empty()) {
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
// needs: the kind line, then "+" lines, cut only between statements.
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
        if (!bare && lines.back().size() + stmt.size() > kMaxTokenText) {
            lines.push_back("+");
            bare = true;
        }
        if (bare) lines.back() += ' ';
        if (lines.back().size() + stmt.size() > kMaxTokenText)
            throw EScriptError(scene.Name, scene.LineOf(&node),
                               "the " + kind + " node writes a statement of " + std::to_string(stmt.size()) +
                                   " characters; scripts are read only up to 255 per line, "
                                   "so it would not read back");
        lines.back() += stmt;
        bare = false;
    }
    return lines;
}

std::string Indent(int level) { return std::string(size_t(std::min(level, 40)) * 2, ' '); }

std::vector<TWrittenLine> WriteLines(const TScene& scene, std::vector<TScriptWarning>& warnings) {
    std::vector<TWrittenLine> lines;
    const int top = scene.Root->Depth();
    int open = 0;  // blocks opened and not yet closed
    auto closeTo = [&](int level) {
        for (; open > level; --open) lines.push_back({Indent(open - 1) + "}", nullptr});
    };
    scene.Root->ForEachNode([&](TVelora& node) {
        const int level = node.Depth() - top;
        closeTo(level);
        const TVeloraClass& cls = TVelora::KindOf(node);
        if (IsNullKind(cls))
            throw EScriptError(scene.Name, scene.LineOf(&node),
                               "a node of a kind no script can name cannot be written");
        const std::string kind(cls.KindName());
        const std::optional<std::string> extra = RestoringStatements(node);
        if (!extra)
            warnings.push_back({scene.LineOf(&node), "the pixels of this " + kind +
                                                         " node are not all made by its statements, "
                                                         "so they will not read back the same"});
        for (const std::string& text : SpreadStatements(kind, Statements(node) + extra.value_or(""), scene, node))
            lines.push_back({Indent(level) + text, &node});
        if (node.FirstChild()) {
            lines.push_back({Indent(level) + "{", nullptr});
            ++open;
        }
    });
    closeTo(0);
    return lines;
}

std::vector<TVelora*> Nodes(TVelora& root) {
    std::vector<TVelora*> nodes;
    root.ForEachNode([&](TVelora& n) { nodes.push_back(&n); });
    return nodes;
}

}  // namespace

TWrittenScene WriteScene(const TScene& scene, const TSceneReadOptions& options) {
    TWrittenScene out;
    const std::vector<TWrittenLine> lines = WriteLines(scene, out.Warnings);
    for (const TWrittenLine& l : lines) out.Text += l.Text + "\n";

    // Read back what was written and compare node by node.
    TSceneReadOptions again = options;
    again.Strict = false;
    std::istringstream in(out.Text);
    TScene back;
    try {
        back = ReadSceneScript(in, scene.Name, again);
    } catch (const EScriptError& e) {
        const TVelora* node =
            e.Line() > 0 && size_t(e.Line()) <= lines.size() ? lines[e.Line() - 1].Node : nullptr;
        throw EScriptError(scene.Name, scene.LineOf(node),
                           "the written script does not read back: " + e.Reason());
    }
    const std::vector<TVelora*> mine = Nodes(*scene.Root), theirs = Nodes(*back.Root);
    for (size_t i = 0; i < mine.size(); ++i) {
        const int line = scene.LineOf(mine[i]);
        if (i >= theirs.size() || mine[i]->Depth() != theirs[i]->Depth())
            throw EScriptError(scene.Name, line, "the written script reads back as another tree");
        const std::string a = Statements(*mine[i]), b = Statements(*theirs[i]);
        const std::string_view kind = TVelora::KindOf(*mine[i]).KindName();
        if (kind != TVelora::KindOf(*theirs[i]).KindName() || a != b)
            throw EScriptError(scene.Name, line,
                               "the " + std::string(kind) + " node writes \"" + a +
                                   "\" but that reads back as \"" + b + "\"");
    }
    if (theirs.size() != mine.size())
        throw EScriptError(scene.Name, 0, "the written script reads back as another tree");

    if (scene.Root->Width > 0 && scene.Root->Height > 0) {
        const auto p = RenderScene(*scene.Root, 0xFFFFFF);
        const auto q = RenderScene(*back.Root, 0xFFFFFF);
        TPoint at;
        if (FirstDifference(*p, *q, at)) {
            const TVelora* hit = scene.Root->FindNodeAt(at);
            const int line = scene.LineOf(hit);
            std::string text = "the written script renders differently, first at pixel (" +
                               std::to_string(at.X) + "," + std::to_string(at.Y) + ")";
            if (hit && hit != scene.Root.get())
                text += ", over the " + std::string(TVelora::KindOf(*hit).KindName()) + " node of line " +
                        std::to_string(line);
            out.Warnings.push_back({0, text});
        }
    }
    return out;
}

}  // namespace quenlo

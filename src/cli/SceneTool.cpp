#include "cli/SceneTool.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <new>
#include <optional>
#include <sstream>
#include <typeinfo>

#include "low/Low.h"
#include "low/VeloreLow.h"
#include "scene/kinds/SimpleVelore.h"

namespace quenlo {

namespace fs = std::filesystem;

// ---- Errors and ownership ------------------------------------------------

namespace {
std::string Located(const std::string& file, int line, const std::string& reason) {
    return line > 0 ? file + ":" + std::to_string(line) + ": " + reason : file + ": " + reason;
}
}  // namespace

EScriptError::EScriptError(const std::string& file, int line, const std::string& reason)
    : EQuenlo(Located(file, line, reason)), file_(file), line_(line), reason_(reason) {}

void TSceneTreeDeleter::operator()(TVelora* root) const noexcept {
    if (!root) return;
    // Leaves first, without recursion; nothing here can have children left.
    TVelora* n = root;
    while (true) {
        while (n->FirstChild()) n = n->FirstChild();
        if (n == root) break;
        TVelora* parent = n->Parent();
        n->Unlink();
        try {
            n->Destroy();
        } catch (...) {
        }
        n = parent;
    }
    try {
        root->Destroy();
    } catch (...) {
    }
}

int TScene::LineOf(const TVelora* node) const {
    const auto it = Lines.find(node);
    return it == Lines.end() ? 0 : it->second;
}

std::string SceneKindName(const TVelora& node) {
    // One sample of each registered kind, to compare exact types with.
    struct TSample {
        const TVeloraClass* Kind;
        TVeloraPtr<TVelora> Node;
    };
    static std::vector<TSample> samples;
    const TKindRegistry& reg = TVelora::Registry();
    for (int i = int(samples.size()); i < reg.Count(); ++i) samples.push_back({&reg.At(i), reg.At(i).Create()});
    for (const TSample& s : samples) {
        if (typeid(*s.Node) != typeid(node)) continue;
        // Written names must find this kind again: the first registration wins.
        if (&TVelora::FindKind(s.Kind->KindName()) != s.Kind) continue;
        return std::string(s.Kind->KindName());
    }
    return {};
}

// ---- Reading -------------------------------------------------------------

namespace {

constexpr size_t kLineLimit = kMaxTokenText;

// One script line as ParseLine will see it: leading blanks dropped (they
// change nothing) and at most the 255 characters that are read.
struct TScriptLine {
    std::string Text;
    size_t Length = 0;  // from the first non-blank, without a CR before the LF
};

class TLineReader {
public:
    explicit TLineReader(std::istream& in) : buf_(in.rdbuf()) {
        // A byte order mark some editors put first would spoil the first kind name.
        if (buf_ && buf_->sgetc() == 0xEF) {
            char bom[3];
            const std::streamsize got = buf_->sgetn(bom, 3);
            if (got != 3 || std::memcmp(bom, "\xEF\xBB\xBF", 3) != 0) pending_.assign(bom, size_t(got));
        }
    }

    bool Next(TScriptLine& line) {
        line.Text.clear();
        line.Length = 0;
        if (!buf_) return false;
        bool any = false, lastCR = false;
        while (true) {
            int c;
            if (pos_ < pending_.size()) {
                c = static_cast<unsigned char>(pending_[pos_++]);
            } else {
                c = buf_->sbumpc();
                if (c == std::char_traits<char>::eof()) break;
            }
            any = true;
            if (c == '\n') {
                Finish(line, lastCR);
                return true;
            }
            if (line.Length == 0 && (c == ' ' || c == '\t')) continue;
            // A little beyond the limit, so a final CR can still be dropped.
            if (line.Text.size() <= kLineLimit) line.Text.push_back(char(c));
            ++line.Length;
            lastCR = c == '\r';
        }
        if (!any) return false;
        Finish(line, lastCR);
        return true;
    }

private:
    static void Finish(TScriptLine& line, bool lastCR) {
        if (lastCR) {
            if (line.Text.size() == line.Length) line.Text.pop_back();
            --line.Length;
        }
        if (line.Text.size() > kLineLimit) line.Text.resize(kLineLimit);
    }

    std::streambuf* buf_;
    std::string pending_;  // bytes read to look for the mark, not one after all
    size_t pos_ = 0;
};

// Current folder for the duration of a read, so "file" statements find
// images beside the script.
class TScopedFolder {
public:
    explicit TScopedFolder(const std::string& dir) {
        if (dir.empty()) return;
        std::error_code ec;
        saved_ = fs::current_path(ec);
        if (ec) throw EQuenlo("cannot tell the current folder: " + ec.message());
        fs::current_path(dir, ec);
        if (ec) throw EQuenlo("cannot enter the folder " + dir + ": " + ec.message());
        active_ = true;
    }
    ~TScopedFolder() {
        if (!active_) return;
        std::error_code ec;
        fs::current_path(saved_, ec);
    }
    TScopedFolder(const TScopedFolder&) = delete;
    TScopedFolder& operator=(const TScopedFolder&) = delete;

private:
    fs::path saved_;
    bool active_ = false;
};

int Depth(const TVelora* node) {
    int d = 0;
    for (const TVelora* p = node->Parent(); p; p = p->Parent()) ++d;
    return d;
}

int64_t PixelBytes(const TVelora& node) {
    if (auto* img = dynamic_cast<const TVlxImg*>(&node)) return img->Map ? img->Map->DataSize() : 0;
    if (auto* cel = dynamic_cast<const TVlxCel*>(&node)) return cel->Map ? cel->Map->DataSize() : 0;
    if (auto* st = dynamic_cast<const TVlxStencil*>(&node)) return st->Map ? st->Map->DataSize() : 0;
    return 0;
}

// Bytes per pixel of the map a kind allocates on "size"; 0 for none.
int MapBytesPerPixel(const TVelora& node) {
    if (dynamic_cast<const TVlxImg*>(&node)) return 3;
    if (dynamic_cast<const TVlxCel*>(&node)) return 4;
    if (dynamic_cast<const TVlxStencil*>(&node)) return 2;
    return 0;
}

struct TReadState {
    std::vector<int> OpenBlocks;  // the line of each "{" still open
    int64_t PixelBytes = 0;
    int64_t RootBytes = 0;
};

class TSceneReader {
public:
    TSceneReader(TScene& scene, const TSceneReadOptions& options) : scene_(scene), options_(options) {}

    void Line(const TScriptLine& line, int n) {
        n_ = n;
        TVlxImg& root = *scene_.Root;
        if (line.Length > kLineLimit)
            Warn("the line has " + std::to_string(line.Length) +
                 " characters; only the first 255 are read, the rest is ignored");

        // The first word, cut as ParseLine cuts it.
        static const TDelims kWordDelims(" \t,");
        std::string rest = line.Text, word;
        NextToken(rest, kWordDelims, Quotes::On, word);
        if (word.empty() || (word.size() >= 2 && word[0] == '/' && word[1] == '/')) return;

        if (word == "{" || word == "}") {
            if (!rest.empty()) Warn("\"" + rest + "\" after " + word + " is ignored");
            if (word == "{") {
                if (!root.ParseLast) {
                    Warn("{ opens no block: no node line comes before it");
                } else {
                    if (Depth(root.ParseLast) + 1 > kMaxSceneDepth)
                        throw EQuenlo("blocks nest deeper than " + std::to_string(kMaxSceneDepth) +
                                      " levels");
                    state_.OpenBlocks.push_back(n);
                }
            } else if (state_.OpenBlocks.empty()) {
                Warn("} closes no block");
            } else {
                state_.OpenBlocks.pop_back();
            }
            root.ParseLine(line.Text);
            return;
        }

        if (line.Text[0] == '+') {
            Continue(line.Text.substr(1));
            return;
        }

        const TVeloraClass& kind = TVelora::FindKind(word);
        if (IsNullKind(kind)) {
            Warn("no node kind is called \"" + word + "\"; the line is ignored");
            return;
        }
        const bool onRoot = root.ParseParent == nullptr;
        if (onRoot && !kind.IsClassOf(root)) {
            Warn("a " + word + " line cannot configure the VlxImg node the script is read into;"
                 " the line is ignored (open a block with { first)");
            return;
        }
        if (!onRoot && scene_.NodeCount >= kMaxSceneNodes)
            throw EQuenlo("the scene has more than " + std::to_string(kMaxSceneNodes) + " nodes");

        CheckStatements(rest, onRoot ? ClassOf<TVlxImg>() : kind,
                        state_.PixelBytes - (onRoot ? state_.RootBytes : 0));
        root.ParseLine(line.Text);

        if (onRoot) {
            scene_.Lines.emplace(&root, n);
            state_.PixelBytes += PixelBytes(root) - state_.RootBytes;
            state_.RootBytes = PixelBytes(root);
        } else {
            TVelora* node = root.ParseLast;
            scene_.Lines[node] = n;
            ++scene_.NodeCount;
            state_.PixelBytes += PixelBytes(*node);
        }
        if (state_.PixelBytes > kMaxScenePixelBytes) TooManyBytes();
    }

    // A "+" line: more statements for the node of the last kind line, so
    // that no node has to fit its statements on one line.
    void Continue(const std::string& rest) {
        TVlxImg& root = *scene_.Root;
        TVelora* node = root.ParseLast;
        // The root stands in ParseLast from the start; it counts only once a
        // kind line has configured it.
        if (!node || (node == &root && !scene_.Lines.count(&root))) {
            const std::string reason = "a + line continues the node of the kind line before it, "
                                       "but there is none at this level";
            if (!options_.Strict) throw EQuenlo(reason);
            Warn(reason + "; the line is ignored");
            return;
        }
        const TVeloraClass& kind =
            node == &root ? ClassOf<TVlxImg>() : TVelora::FindKind(SceneKindName(*node));
        const int64_t before = PixelBytes(*node);
        CheckStatements(rest, kind, state_.PixelBytes - before);
        node->RunStatements(rest);
        const int64_t after = PixelBytes(*node);
        state_.PixelBytes += after - before;
        if (node == &root) state_.RootBytes = after;
        if (state_.PixelBytes > kMaxScenePixelBytes) TooManyBytes();
    }

    void End() {
        for (int line : state_.OpenBlocks) {
            n_ = line;
            Warn("the block opened here is never closed");
        }
    }

private:
    void Warn(std::string text) {
        if (options_.Strict) scene_.Warnings.push_back({n_, std::move(text)});
    }

    [[noreturn]] static void TooManyBytes() {
        throw EQuenlo("the scene's images, cels and stencils need more than " +
                      std::to_string(kMaxScenePixelBytes >> 20) + " MiB");
    }

    // Looks at a line's statements before they run: sizes beyond the limits
    // are refused before anything is allocated (othersBytes: the maps of
    // every other node); with strict, statements that nothing takes and
    // image files that do not exist are reported.
    void CheckStatements(const std::string& text, const TVeloraClass& kind, int64_t othersBytes) {
        static const TDelims kStmtDelims(";");
        TVeloraPtr<TVelora> scratch = kind.Create();
        std::array<std::string, 5> a;
        std::string rest = text, stmt;
        while (!rest.empty()) {
            NextToken(rest, kStmtDelims, Quotes::On, stmt);
            if (stmt.empty()) continue;
            if (MatchCommand("size", 2, stmt, a)) {
                const int64_t w = StatementInt(a[0], 1), h = StatementInt(a[1], 1);
                const int bpp = MapBytesPerPixel(*scratch);
                if (bpp == 0 || w <= 0 || h <= 0) continue;  // a negative size is the node's error
                if (w * h > kMaxNodePixels)
                    throw EQuenlo(stmt + " asks for " + std::to_string(w * h) + " pixels; a " +
                                  SceneKindName(*scratch) + " may have at most " +
                                  std::to_string(kMaxNodePixels));
                if (othersBytes + w * h * bpp > kMaxScenePixelBytes) TooManyBytes();
                continue;
            }
            if (MatchCommand("file", 1, stmt, a)) {
                const std::string name = StripQuotes(a[0]);
                std::error_code ec;
                if (dynamic_cast<TVlxImg*>(scratch.get()) && !name.empty() && !fs::exists(name, ec))
                    Warn("no file \"" + name + "\"; the node keeps its size and pixels");
                continue;
            }
            if (!options_.Strict) continue;
            std::string probe = stmt;
            try {
                scratch->ApplyStatement(probe);
            } catch (...) {
                continue;  // taken, but with a bad value: the real run reports it
            }
            if (!probe.empty())
                Warn("\"" + stmt + "\" is no statement of a " + SceneKindName(*scratch) + "; it is ignored");
        }
    }

    TScene& scene_;
    const TSceneReadOptions& options_;
    TReadState state_;
    int n_ = 0;
};

}  // namespace

TScene ReadSceneScript(std::istream& in, const std::string& name, const TSceneReadOptions& options) {
    RegisterSimpleVeloreKinds();
    TScene scene;
    scene.Name = name;
    scene.Root.reset(MakeVelora<TVlxImg>().release());

    TScopedFolder folder(options.BaseDir);
    TSceneReader reader(scene, options);
    TLineReader lines(in);
    TScriptLine line;
    int n = 0;
    while (lines.Next(line)) {
        ++n;
        try {
            reader.Line(line, n);
        } catch (const std::bad_alloc&) {
            throw EScriptError(name, n, "out of memory");
        } catch (const std::exception& e) {
            throw EScriptError(name, n, e.what());
        }
    }
    if (in.bad()) throw EScriptError(name, 0, "read error after line " + std::to_string(n));
    reader.End();
    return scene;
}

TScene ReadSceneFile(const std::string& path, bool strict) {
    TSceneReadOptions options;
    options.Strict = strict;
    if (path == "-") return ReadSceneScript(std::cin, "<stdin>", options);
    std::error_code ec;
    if (fs::is_directory(path, ec)) throw EScriptError(path, 0, "is a folder, not a script");
    std::ifstream in(path, std::ios::binary);
    if (!in) throw EScriptError(path, 0, std::string("cannot open: ") + std::strerror(errno));
    options.BaseDir = fs::path(path).parent_path().string();
    return ReadSceneScript(in, path, options);
}

// ---- Rendering -----------------------------------------------------------

std::unique_ptr<TPixelMapRGB> RenderScene(TVelora& root, TColor background) {
    if (root.Width <= 0 || root.Height <= 0)
        throw EQuenlo("the scene is empty: its first line must size the image node, for example "
                      "\"VlxImg size(320,240)\"");
    auto map = std::make_unique<TPixelMapRGB>();
    map->SetBounds(root.LocalBounds());
    map->SetPen(background);
    map->Clear();
    root.RenderInto(*map);
    return map;
}

bool FirstDifference(const TPixelMapRGB& a, const TPixelMapRGB& b, TPoint& at) {
    if (a.Width() != b.Width() || a.Height() != b.Height()) {
        at = {0, 0};
        return true;
    }
    const size_t row = size_t(a.Width()) * 3;
    for (int32_t y = 0; y < a.Height(); ++y) {
        const uint8_t* p = a.ScanLine(y);
        const uint8_t* q = b.ScanLine(y);
        if (std::memcmp(p, q, row) == 0) continue;
        for (int32_t x = 0; x < a.Width(); ++x)
            if (std::memcmp(p + x * 3, q + x * 3, 3) != 0) {
                at = {x, y};
                return true;
            }
    }
    return false;
}

// ---- Writing -------------------------------------------------------------

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

// Preorder without recursion: the tree may be deep when it was not read
// from a script.
template <class F>
void Preorder(TVelora& root, F&& visit) {
    TVelora* n = &root;
    int level = 0;
    while (true) {
        visit(*n, level, true);
        if (n->FirstChild()) {
            ++level;
            n = n->FirstChild();
            continue;
        }
        while (n != &root && !n->NextSibling()) {
            n = n->Parent();
            --level;
            visit(*n, level, false);
        }
        if (n == &root) break;
        n = n->NextSibling();
    }
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
        if (!bare && lines.back().size() + stmt.size() > kLineLimit) {
            lines.push_back("+");
            bare = true;
        }
        if (bare) lines.back() += ' ';
        if (lines.back().size() + stmt.size() > kLineLimit)
            throw EScriptError(scene.Name, scene.LineOf(&node),
                               "the " + kind + " node writes a statement of " + std::to_string(stmt.size()) +
                                   " characters; scripts are read only up to 255 per line, "
                                   "so it would not read back");
        lines.back() += stmt;
        bare = false;
    }
    return lines;
}

std::vector<TWrittenLine> WriteLines(const TScene& scene, std::vector<TScriptWarning>& warnings) {
    std::vector<TWrittenLine> lines;
    Preorder(*scene.Root, [&](TVelora& node, int level, bool entering) {
        const std::string indent(size_t(std::min(level, 40)) * 2, ' ');
        if (!entering) {
            lines.push_back({indent + "}", nullptr});
            return;
        }
        const std::string kind = SceneKindName(node);
        if (kind.empty())
            throw EScriptError(scene.Name, scene.LineOf(&node),
                               "a node of a kind no script can name cannot be written");
        const std::optional<std::string> extra = RestoringStatements(node);
        if (!extra)
            warnings.push_back({scene.LineOf(&node), "the pixels of this " + kind +
                                                         " node are not all made by its statements, "
                                                         "so they will not read back the same"});
        for (const std::string& text : SpreadStatements(kind, Statements(node) + extra.value_or(""), scene, node))
            lines.push_back({indent + text, &node});
        if (node.FirstChild()) lines.push_back({indent + "{", nullptr});
    });
    return lines;
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
    std::vector<TVelora*> mine, theirs;
    Preorder(*scene.Root, [&](TVelora& n, int, bool entering) { if (entering) mine.push_back(&n); });
    Preorder(*back.Root, [&](TVelora& n, int, bool entering) { if (entering) theirs.push_back(&n); });
    for (size_t i = 0; i < mine.size(); ++i) {
        const int line = scene.LineOf(mine[i]);
        if (i >= theirs.size() || Depth(mine[i]) != Depth(theirs[i]))
            throw EScriptError(scene.Name, line, "the written script reads back as another tree");
        const std::string a = Statements(*mine[i]), b = Statements(*theirs[i]);
        if (SceneKindName(*mine[i]) != SceneKindName(*theirs[i]) || a != b)
            throw EScriptError(scene.Name, line,
                               "the " + SceneKindName(*mine[i]) + " node writes \"" + a +
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
                text += ", over the " + SceneKindName(*hit) + " node of line " + std::to_string(line);
            out.Warnings.push_back({0, text});
        }
    }
    return out;
}

}  // namespace quenlo

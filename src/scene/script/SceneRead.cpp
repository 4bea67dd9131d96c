#include "scene/script/SceneRead.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <new>
#include <span>
#include <vector>

#include "imageio/ImageKind.h"
#include "low/Low.h"
#include "low/VeloreLow.h"
#include "scene/kinds/SimpleVelore.h"
#include "low/Messages.h"

namespace quenlo {

namespace fs = std::filesystem;

// ---- Errors and lines ------------------------------------------------------

std::string ScriptPlace(const std::string& file, int64_t line) {
    return line > 0 ? file + ":" + std::to_string(line) : file;
}

EScriptError::EScriptError(const std::string& file, int64_t line, const std::string& reason)
    : EQuenlo(ScriptPlace(file, line) + ": " + reason), file_(file), line_(line), reason_(reason) {}

int64_t TScene::LineOf(const TVelora* node) const {
    const auto it = std::lower_bound(Lines.begin(), Lines.end(), node,
                                     [](const TNodeLine& l, const TVelora* n) { return std::less<>()(l.Node, n); });
    return it != Lines.end() && it->Node == node ? it->Line : 0;
}

void TScene::SetLine(const TVelora* node, int64_t line) {
    const auto it = std::lower_bound(Lines.begin(), Lines.end(), node,
                                     [](const TNodeLine& l, const TVelora* n) { return std::less<>()(l.Node, n); });
    if (it != Lines.end() && it->Node == node)
        it->Line = line;
    else
        Lines.insert(it, {node, line});
}

// ---- Reading -------------------------------------------------------------

namespace {

// One script line as ParseLine will see it: leading blanks dropped (they
// change nothing) and at most the 255 characters that are read.
struct TScriptLine {
    std::string Text;
    size_t Length = 0;  // from the first non-blank, without a CR before the LF
};

class TLineReader {
public:
    explicit TLineReader(std::istream& in) : buf_(in.rdbuf()), block_(kBlock) {
        // A byte order mark some editors put first would spoil the first kind name.
        if (buf_ && buf_->sgetc() == 0xEF) {
            const std::streamsize got = buf_->sgetn(block_.data(), 3);
            if (got != 3 || std::memcmp(block_.data(), "\xEF\xBB\xBF", 3) != 0) end_ = size_t(got);
        }
    }

    bool Next(TScriptLine& line) {
        line.Text.clear();
        line.Length = 0;
        if (!buf_) return false;
        bool any = false, lastCR = false;
        // A block at a time; a line may run over several.
        while (pos_ < end_ || Refill()) {
            any = true;
            const char* p = block_.data() + pos_;
            const char* const end = block_.data() + end_;
            const char* const lf = static_cast<const char*>(std::memchr(p, '\n', size_t(end - p)));
            const char* const stop = lf ? lf : end;
            if (line.Length == 0)
                while (p < stop && (*p == ' ' || *p == '\t')) ++p;
            if (p < stop) {
                const size_t n = size_t(stop - p);
                // A little beyond the limit, so a final CR can still be dropped.
                const size_t room = kMaxTokenText + 1 - std::min(line.Text.size(), kMaxTokenText + 1);
                line.Text.append(p, std::min(n, room));
                line.Length += n;
                lastCR = stop[-1] == '\r';
            }
            pos_ = size_t(stop - block_.data());
            if (lf) {
                ++pos_;
                Finish(line, lastCR);
                return true;
            }
        }
        if (!any) return false;
        Finish(line, lastCR);
        return true;
    }

private:
    static constexpr size_t kBlock = 1 << 16;

    bool Refill() {
        const std::streamsize got = buf_->sgetn(block_.data(), std::streamsize(kBlock));
        pos_ = 0;
        end_ = got > 0 ? size_t(got) : 0;
        return end_ > 0;
    }

    static void Finish(TScriptLine& line, bool lastCR) {
        if (lastCR) {
            if (line.Text.size() == line.Length) line.Text.pop_back();
            --line.Length;
        }
        if (line.Text.size() > kMaxTokenText) line.Text.resize(kMaxTokenText);
    }

    std::streambuf* buf_;
    std::vector<char> block_;
    size_t pos_ = 0, end_ = 0;  // the unread bytes of block_
};

// Current folder for the duration of a read, so "file" statements find
// images beside the script.
class TScopedFolder {
public:
    explicit TScopedFolder(const std::string& dir) {
        if (dir.empty()) return;
        std::error_code ec;
        saved_ = fs::current_path(ec);
        if (ec) throw EQuenlo(FormatText(Tr("cannot tell the current folder: %s"), ec.message().c_str()));
        fs::current_path(dir, ec);
        if (ec) throw EQuenlo(FormatText(Tr("cannot enter the folder %s: %s"), dir.c_str(), ec.message().c_str()));
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

int64_t PixelBytes(const TVelora& node) {
    if (auto* img = dynamic_cast<const TVlxImg*>(&node)) return img->Map ? img->Map->DataSize() : 0;
    if (auto* cel = dynamic_cast<const TVlxCel*>(&node)) return cel->Map ? cel->Map->DataSize() : 0;
    if (auto* st = dynamic_cast<const TVlxStencil*>(&node)) return st->Map ? st->Map->DataSize() : 0;
    return 0;
}

int64_t PixelCount(const TVelora& node) {
    const int64_t bytes = PixelBytes(node);
    return bytes == 0 ? 0 : int64_t(node.Width) * node.Height;
}

// What a statement costs per pixel of its node, in the units of the work
// budget (a cleared pixel is 1): measured, a spray costs some 40 times a
// clear, a decoded pixel some 20.
constexpr int64_t kSprayWork = 32;
constexpr int64_t kDecodeWork = 16;
// A unit of the loop search (a box at one level of its sorting, or a pair
// of boxes that meet, with its test) costs some 32 cleared pixels.
constexpr int64_t kLoopWork = 32;
// A row that an edge of a fill crosses: its sixteen crossings walked and
// sorted among the row's others, at worst some 256 cleared pixels.
constexpr int64_t kFillRowWork = 256;
// Each scan of a progressive JPEG after the first passes over the
// coefficients it holds: some half a cleared pixel per coefficient.
constexpr int64_t kScanCoefficientsPerWork = 2;

// Bytes per pixel of the map a kind allocates on "size"; 0 for none.
int MapBytesPerPixel(const TVelora& node) {
    if (dynamic_cast<const TVlxImg*>(&node)) return 3;
    if (dynamic_cast<const TVlxCel*>(&node)) return 4;
    if (dynamic_cast<const TVlxStencil*>(&node)) return 2;
    return 0;
}

// Lines in node address order. Nodes made one after another mostly lie one
// after another, in slabs taken from the top of the address space down:
// the table is then a few ascending runs in falling order, turned round in
// place. Otherwise a plain sort.
void SortByNode(std::vector<TScene::TNodeLine>& lines) {
    auto less = [](const TScene::TNodeLine& a, const TScene::TNodeLine& b) { return std::less<>()(a.Node, b.Node); };
    std::vector<std::pair<size_t, size_t>> runs;  // [begin, end)
    for (size_t i = 0; i < lines.size() && runs.size() <= 4096;) {
        size_t j = i + 1;
        while (j < lines.size() && less(lines[j - 1], lines[j])) ++j;
        runs.push_back({i, j});
        i = j;
    }
    if (runs.size() <= 1) return;
    bool falling = runs.size() <= 4096;
    for (size_t r = 1; falling && r < runs.size(); ++r)
        falling = less(lines[runs[r].second - 1], lines[runs[r - 1].first]);
    if (falling) {
        std::reverse(lines.begin(), lines.end());
        for (const auto& [b, e] : runs)
            std::reverse(lines.end() - ptrdiff_t(e), lines.end() - ptrdiff_t(b));
        return;
    }
    std::sort(lines.begin(), lines.end(), less);
}

class TSceneReader final : public TStatementRunner {
public:
    TSceneReader(TScene& scene, const TSceneReadOptions& options) : scene_(scene), options_(options) {}

    // Each statement is priced on its node as it stands when it runs: a
    // "wipe" after a "file" on the same line clears the loaded picture.
    void Run(TVelora& node, std::string& stmt) override {
        if (stmt.empty()) return;
        const TKindMaps& maps = MapsOf(TVelora::KindOf(node));
        TKindArgs a;
        if (MatchCommand("size", 2, stmt, a)) {
            const int64_t w = StatementInt(a[0], 1), h = StatementInt(a[1], 1);
            if (w > 0 && h > 0) {
                // A node without pixels costs what of it the picture can
                // show, as every render draws it.
                const TVlxImg& root = *scene_.Root;
                const int64_t picture = int64_t(root.Width) * root.Height;
                AddWork(maps.BytesPerPixel > 0 ? w * h : std::min(w * h, picture > 0 ? picture : kMaxNodePixels));
            }
        } else if (maps.BytesPerPixel > 0 && MatchCommand("wipe", 0, stmt, a)) {
            AddWork(PixelCount(node));
        } else if (maps.Sprays && MatchCommand("airbrush", 0, stmt, a)) {
            AddWork(PixelCount(node) * kSprayWork);
        } else if (maps.LoadsFiles && MatchCommand("file", 1, stmt, a)) {
            LoadPriced(node, stmt);
            return;
        } else if (options_.Strict && MatchCommand("vertex", 2, stmt, a) && dynamic_cast<TVlxPoly*>(&node)) {
            WarnLostPrecision(stmt, a);
        }
        node.ApplyStatement(stmt);
    }

    void Line(const TScriptLine& line, int64_t n) {
        n_ = n;
        TVlxImg& root = *scene_.Root;
        if (line.Length > kMaxTokenText)
            Warn(FormatText(Tr("the line has %lld characters; only the first 255 are read, the rest is ignored"),
                            static_cast<long long>(line.Length)));

        const TKindLine cut = SplitKindLine(line.Text);
        const std::string& word = cut.Word;
        if (word.empty() || cut.IsComment()) return;

        if (word == "{" || word == "}") {
            if (!cut.Rest.empty()) Warn("\"" + cut.Rest + "\" after " + word + " is ignored");
            // Closing the root's block leaves the last kind line's node in
            // ParseLast, but a "+" line after it reaches the root.
            TVelora* const closing = word == "}" && !openBlocks_.empty() ? root.ParseParent : nullptr;
            if (word == "{") {
                if (!root.ParseLast) {
                    Warn(Tr("{ opens no block: no node line comes before it"));
                } else {
                    if (root.ParseLast->Depth() + 1 > kMaxSceneDepth)
                        throw EQuenlo(FormatText(Tr("blocks nest deeper than %d levels"), kMaxSceneDepth));
                    openBlocks_.push_back(n);
                }
            } else if (openBlocks_.empty()) {
                Warn(Tr("} closes no block"));
            } else {
                openBlocks_.pop_back();
            }
            root.ParseLine(line.Text);
            closed_ = closing;
            return;
        }

        if (line.Text[0] == '+') {
            Continue(line.Text.substr(1));
            return;
        }

        const TVeloraClass& kind = TVelora::FindKind(word);
        if (IsNullKind(kind)) {
            Warn(FormatText(Tr("no node kind is called \"%s\"; the line is ignored"), word.c_str()));
            return;
        }
        const bool onRoot = root.ParseParent == nullptr;
        if (onRoot && !kind.IsClassOf(root)) {
            Warn(FormatText(Tr("a %s line cannot configure the VlxImg node the script is read into;"
                               " the line is ignored (open a block with { first)"),
                            word.c_str()));
            return;
        }
        if (!onRoot && scene_.NodeCount >= kMaxSceneNodes)
            throw EQuenlo(FormatText(Tr("the scene has more than %d nodes"), kMaxSceneNodes));

        // Cut once: checked, then run on the node.
        SplitStatements(cut.Rest, stmts_);
        CheckStatements(stmts_, onRoot ? ClassOf<TVlxImg>() : kind, pixelBytes_ - (onRoot ? rootBytes_ : 0));
        {
            const TScopedLoadLimit limit(LoadLimit(pixelBytes_ - (onRoot ? rootBytes_ : 0)));
            const TScopedStatementRunner runner(this);
            root.ParseKindLine(kind, stmts_);
        }
        closed_ = nullptr;
        CheckVertices(*root.ParseLast);

        if (onRoot) {
            if (!rootLine_) scene_.Lines.push_back({&root, n});
            rootLine_ = true;
            pixelBytes_ += PixelBytes(root) - rootBytes_;
            rootBytes_ = PixelBytes(root);
        } else {
            TVelora* node = root.ParseLast;
            scene_.Lines.push_back({node, n});
            ++scene_.NodeCount;
            pixelBytes_ += PixelBytes(*node);
        }
        if (pixelBytes_ > kMaxScenePixelBytes) TooManyBytes();
    }

    // A "+" line: more statements for the node of the last kind line, or
    // after a "}" for the node whose block it closed, so that no node has to
    // fit its statements on one line.
    void Continue(const std::string& rest) {
        TVlxImg& root = *scene_.Root;
        TVelora* node = closed_ ? closed_ : root.ParseLast;
        // The root stands in ParseLast from the start; it counts only once a
        // kind line has configured it.
        if (!node || (node == &root && !rootLine_)) {
            if (!options_.Strict)
                throw EQuenlo(Tr("a + line continues the node of the kind line before it, "
                                 "but there is none at this level"));
            Warn(Tr("a + line continues the node of the kind line before it, but there is none at this level; "
                    "the line is ignored"));
            return;
        }
        const TVeloraClass& kind = TVelora::KindOf(*node);
        const int64_t before = PixelBytes(*node);
        SplitStatements(rest, stmts_);
        CheckStatements(stmts_, kind, pixelBytes_ - before);
        {
            const TScopedLoadLimit limit(LoadLimit(pixelBytes_ - before));
            const TScopedStatementRunner runner(this);
            node->RunStatements(stmts_);
        }
        CheckVertices(*node);
        const int64_t after = PixelBytes(*node);
        pixelBytes_ += after - before;
        if (node == &root) rootBytes_ = after;
        if (pixelBytes_ > kMaxScenePixelBytes) TooManyBytes();
    }

    void End() {
        for (int64_t line : openBlocks_) {
            n_ = line;
            Warn(Tr("the block opened here is never closed"));
        }
        // The loops the fills need are found here, once the chains are
        // whole, and kept for the renders: the search counts as work.
        for (const TScene::TNodeLine& l : scene_.Lines)
            if (auto* poly = dynamic_cast<const TVlxPoly*>(l.Node); poly && poly->Fill) {
                n_ = l.Line;
                TLoopWork loop{uint64_t(std::max<int64_t>(0, options_.MaxWork - work_) / kLoopWork), 0};
                if (!poly->Poly.KeepLoop(loop)) OverBudget();
                AddWork(int64_t(loop.Done) * kLoopWork);
                AddWork(FillRows(*poly) * kFillRowWork);
            }
        if (options_.Strict)
            for (const TScene::TNodeLine& l : scene_.Lines)
                if (auto* poly = dynamic_cast<const TVlxPoly*>(l.Node); poly && poly->Fill && ClosesMidSide(poly->Poly.Points)) {
                    n_ = l.Line;
                    Warn(Tr("the polygon closes on its first vertex in the middle of a straight side, where its "
                            "first and last segments do not meet; it fills only a loop it closes elsewhere "
                            "(start it at a corner)"));
                }
        SortByNode(scene_.Lines);
    }

    // The rows each edge of a polygon's fill crosses, summed: at most the
    // node's rows, and no more than the picture has.
    int64_t FillRows(const TVlxPoly& poly) const {
        const double limit = std::min(poly.Height, scene_.Root->Height);  // rows
        if (!(limit > 0)) return 0;
        const TArrayOfPointF loop = poly.Poly.Loop();
        int64_t rows = 0;
        for (size_t i = 0; i + 1 < loop.size(); ++i) {
            const double a = loop[i].Y, b = loop[i + 1].Y;
            const double lo = std::max(0.0, std::floor(std::min(a, b)));
            const double hi = std::min(double(poly.Height), std::ceil(std::max(a, b)) + 1);
            if (hi > lo) rows += int64_t(std::min(hi - lo, limit));  // NaN compares false
        }
        return rows;
    }

    // A vertex is kept in floats, which beyond 2^24 pixels do not hold
    // every pixel: said where one lands more than half a sub-pixel (1/32
    // pixel) from what the script wrote, or beyond 2^56 pixels, where the
    // fill clips in doubles.
    void WarnLostPrecision(const std::string& stmt, const TKindArgs& a) {
        for (int i = 0; i < 2; ++i) {
            std::string_view text = a[i];
            while (!text.empty() && (text.front() == ' ' || text.front() == '+')) text.remove_prefix(1);
            while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
            double want = 0;
            const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), want);
            if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(want)) continue;
            const double held = double(float(want));
            if (std::fabs(held - want) > 1.0 / 32 || std::fabs(held) > 0x1p56) {
                Warn(FormatText(Tr("\"%s\": %s is held as the float %s; the polygon is drawn from that"), stmt.c_str(),
                                std::string(text).c_str(), FormatFloat(held).c_str()));
                return;
            }
        }
    }

    static std::string FormatFloat(double v) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%.9g", v);
        return buf;
    }

    // The line being read, or the one End is at.
    int64_t At() const { return n_; }

private:
    void Warn(std::string text) {
        if (options_.Strict) scene_.Warnings.push_back({n_, std::move(text)});
    }

    // What a picture a "file" statement loads may hold: the per-node limit,
    // cut to what the scene's maps leave (othersBytes: every other node's).
    static PixelLimit LoadLimit(int64_t othersBytes) {
        const int64_t room = std::max<int64_t>(0, kMaxScenePixelBytes - othersBytes) / 3;
        return PixelLimit{std::min(kMaxNodePixels, room), ""};
    }

    // The last guard of the loop search, whose cost grows with the vertices.
    static void CheckVertices(const TVelora& node) {
        auto* poly = dynamic_cast<const TVlxPoly*>(&node);
        if (poly && int64_t(poly->Poly.Points.size()) > kMaxPolyVertices)
            throw EQuenlo(
                FormatText(Tr("the polygon has more than %lld vertices"), static_cast<long long>(kMaxPolyVertices)));
    }

    // A chain that ends on its first vertex, where that vertex lies on a
    // straight line between its neighbours: collinear segments never meet,
    // so the loop does not close there.
    static bool ClosesMidSide(const TArrayOfPointF& p) {
        const size_t n = p.size();
        if (n < 4 || !(p.front() == p.back())) return false;
        TPointF x;
        return !SegmentsIntersect(p[0], p[1], p[n - 2], p[n - 1], x);
    }

    void AddWork(int64_t work) {
        work_ += work;
        if (work_ > options_.MaxWork) OverBudget();
    }

    [[noreturn]] void OverBudget() const {
        throw EQuenlo(FormatText(Tr("the script's statements pass its budget of %lld pixels of work here "
                                    "(--max-work N raises it)"),
                                 static_cast<long long>(options_.MaxWork)));
    }

    [[noreturn]] static void TooManyBytes() {
        throw EQuenlo(FormatText(Tr("the scene's images, cels and stencils need more than %lld MiB"),
                                 static_cast<long long>(kMaxScenePixelBytes >> 20)));
    }

    // Looks at a line's statements before they run: sizes beyond the limits
    // are refused before anything is allocated (othersBytes: the maps of
    // every other node); with strict, statements that nothing takes and
    // image files that do not exist or are no images are reported. Their
    // work is counted as they run (Run).
    void CheckStatements(std::span<const std::string> stmts, const TVeloraClass& kind, int64_t othersBytes) {
        const TKindMaps& maps = MapsOf(kind);
        const int bpp = maps.BytesPerPixel;
        TVeloraPtr<TVelora> scratch;  // for the probes of strict only, made on the first
        TKindArgs a;
        for (const std::string& stmt : stmts) {
            if (stmt.empty()) continue;
            if (MatchCommand("size", 2, stmt, a)) {
                const int64_t w = StatementInt(a[0], 1), h = StatementInt(a[1], 1);
                if (w <= 0 || h <= 0 || bpp == 0) continue;  // a negative size is the node's error
                if (w * h > kMaxNodePixels)
                    throw EQuenlo(FormatText(Tr("%s asks for %lld pixels; a %s may have at most %lld"), stmt.c_str(),
                                             static_cast<long long>(w * h), std::string(kind.KindName()).c_str(),
                                             static_cast<long long>(kMaxNodePixels)));
                if (othersBytes + w * h * bpp > kMaxScenePixelBytes) TooManyBytes();
                continue;
            }
            if ((bpp > 0 && MatchCommand("wipe", 0, stmt, a)) || (maps.Sprays && MatchCommand("airbrush", 0, stmt, a)))
                continue;
            if (MatchCommand("file", 1, stmt, a)) {
                const std::string name = StripQuotes(a[0]);
                if (!maps.LoadsFiles || name.empty()) continue;
                std::error_code ec;
                const fs::file_status st = fs::status(name, ec);
                if (!fs::exists(st))
                    Warn(FormatText(Tr("no file \"%s\"; the node keeps its size and pixels"),
                                    name.c_str()));
                else if (fs::is_directory(st))
                    Warn(FormatText(Tr("\"%s\" is a folder, not an image; the node keeps its size and pixels"),
                                    name.c_str()));
                else if (KindByName(name) == ImageKind::None)
                    Warn(FormatText(Tr("\"%s\" is not an image file by its extension; it loads as an empty 0 x 0 picture"),
                                    name.c_str()));
                continue;
            }
            if (!options_.Strict) continue;
            if (!scratch) scratch = kind.Create();
            std::string probe = stmt;
            try {
                scratch->ApplyStatement(probe);
            } catch (...) {
                continue;  // taken, but with a bad value: the real run reports it
            }
            if (!probe.empty())
                Warn(FormatText(Tr("\"%s\" is no statement of a %s; it is ignored"), stmt.c_str(),
                                std::string(kind.KindName()).c_str()));
        }
    }

    // A "file" statement: the decode may cost no more than the budget
    // leaves, checked on the picture's header before it is decoded, pays
    // for each further scan of a progressive JPEG as it starts, and costs
    // its decoded pixels once done.
    void LoadPriced(TVelora& node, std::string& stmt) {
        auto& img = dynamic_cast<TVlxImg&>(node);
        const TPixelMapRGB* before = img.Map.get();
        const PixelLimit outer = ImageLoadLimit();
        const int64_t afford = std::max<int64_t>(0, options_.MaxWork - work_) / kDecodeWork;
        const bool budgetBinds = afford < outer.maxPixels;
        {
            const TScopedLoadLimit limit(PixelLimit{std::min(afford, outer.maxPixels), outer.raiseWith});
            const TScopedScanMeter scans([this](long long coefficients) { AddWork(coefficients / kScanCoefficientsPerWork); });
            try {
                node.ApplyStatement(stmt);
            } catch (const EImageTooLarge&) {
                if (budgetBinds) OverBudget();
                throw;
            }
        }
        if (img.Map.get() != before && img.MapFromFile()) AddWork(kDecodeWork * PixelCount(node));
    }

    // What the checks need of a kind's map, found once per kind on a node of it.
    struct TKindMaps {
        const TVeloraClass* Kind;
        int BytesPerPixel;  // of the map "size" allocates; 0 for none
        bool LoadsFiles;    // "file" loads an image into it
        bool Sprays;        // "airbrush" sprays over its map
    };

    const TKindMaps& MapsOf(const TVeloraClass& kind) {
        for (const TKindMaps& m : kindMaps_)
            if (m.Kind == &kind) return m;
        const TVeloraPtr<TVelora> probe = kind.Create();
        kindMaps_.push_back({&kind, MapBytesPerPixel(*probe), dynamic_cast<const TVlxImg*>(probe.get()) != nullptr,
                             dynamic_cast<const TVlxStencil*>(probe.get()) != nullptr});
        return kindMaps_.back();
    }

    TScene& scene_;
    const TSceneReadOptions& options_;
    std::vector<int64_t> openBlocks_;  // the line of each "{" still open
    std::vector<std::string> stmts_;   // the statements of the line being read
    std::vector<TKindMaps> kindMaps_;
    int64_t pixelBytes_ = 0;       // of every map in the scene
    int64_t rootBytes_ = 0;        // of the root's
    int64_t work_ = 0;             // pixel work of the statements so far
    bool rootLine_ = false;        // a kind line has configured the root
    TVelora* closed_ = nullptr;    // the node whose block the line before closed
    int64_t n_ = 0;
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
    int64_t n = 0;
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
    if (in.bad()) throw EScriptError(name, 0, FormatText(Tr("read error after line %lld"), static_cast<long long>(n)));
    try {
        reader.End();
    } catch (const std::bad_alloc&) {
        throw EScriptError(name, reader.At(), "out of memory");
    } catch (const std::exception& e) {
        throw EScriptError(name, reader.At(), e.what());
    }
    return scene;
}

TScene ReadSceneFile(const std::string& path, bool strict) {
    TSceneReadOptions options;
    options.Strict = strict;
    return ReadSceneFile(path, std::move(options));
}

TScene ReadSceneFile(const std::string& path, TSceneReadOptions options) {
    if (path == "-") return ReadSceneScript(std::cin, "<stdin>", options);
    std::error_code ec;
    if (fs::is_directory(path, ec)) throw EScriptError(path, 0, "is a folder, not a script");
    std::ifstream in(path, std::ios::binary);
    if (!in) throw EScriptError(path, 0, FormatText(Tr("cannot open: %s"), std::strerror(errno)));
    options.BaseDir = fs::path(path).parent_path().string();
    return ReadSceneScript(in, path, options);
}

}  // namespace quenlo

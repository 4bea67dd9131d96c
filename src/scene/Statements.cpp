// The statement language of scene nodes, the scene-script reader and the
// kind registry.
#include <array>
#include <utility>

#include "low/Low.h"
#include "low/VeloreLow.h"
#include "scene/Velora.h"

namespace quenlo {

// ---- Argument conversion -------------------------------------------------

int32_t StatementInt(std::string_view arg, int32_t def) {
    int32_t v = 0;
    return TextToInt(arg, v) ? v : def;
}

namespace {

[[noreturn]] void BadFloat(std::string_view arg) {
    throw EConvertError("'" + std::string(arg) + "' is not a valid floating point value");
}

}  // namespace

float StatementFloat(std::string_view arg) {
    float v = 0;
    if (!TextToFloat(arg, v)) BadFloat(arg);
    return v;
}

double StatementDouble(std::string_view arg) {
    double v = 0;
    if (!TextToFloat(arg, v)) BadFloat(arg);
    return v;
}

// ---- Registry ------------------------------------------------------------

void TKindRegistry::Register(const TVeloraClass& cls) {
    if (count_ >= kCapacity)
        throw EVelore("kind registry full: cannot register \"" + std::string(cls.KindName()) +
                      "\", it holds " + std::to_string(kCapacity) + " kinds");
    table_[count_++] = &cls;
}

const TVeloraClass& TKindRegistry::Find(std::string_view name) const {
    for (int i = 0; i < count_; ++i)
        if (SameTextAscii(table_[i]->KindName(), name)) return *table_[i];
    return ClassOf<TNullClass>();
}

const TVeloraClass& TKindRegistry::KindOf(const TVelora& node) const {
    for (int i = 0; i < count_; ++i)
        if (table_[i]->IsKindOf(node) && &Find(table_[i]->KindName()) == table_[i]) return *table_[i];
    return ClassOf<TNullClass>();
}

TKindRegistry& TVelora::Registry() {
    static TKindRegistry registry = [] {
        TKindRegistry r;
        r.Register(ClassOf<TVelora>());
        return r;
    }();
    return registry;
}

// ---- Statements ----------------------------------------------------------

void SplitStatements(std::string_view text, std::vector<std::string>& stmts) {
    static const TDelims kStmtDelims(";");
    size_t n = 0;
    while (!text.empty()) {
        if (n == stmts.size()) stmts.emplace_back();
        stmts[n++].assign(NextToken(text, kStmtDelims, Quotes::On));
    }
    stmts.resize(n);
}

void TVelora::RunStatements(std::string_view text) {
    std::vector<std::string> stmts;
    SplitStatements(text, stmts);
    RunStatements(stmts);
}

namespace {
TStatementRunner*& CurrentRunner() {
    thread_local TStatementRunner* runner = nullptr;
    return runner;
}
}  // namespace

TScopedStatementRunner::TScopedStatementRunner(TStatementRunner* runner)
    : saved_(std::exchange(CurrentRunner(), runner)) {}

TScopedStatementRunner::~TScopedStatementRunner() { CurrentRunner() = saved_; }

void TVelora::RunStatements(std::span<std::string> stmts) {
    TStatementRunner* const runner = CurrentRunner();
    for (std::string& stmt : stmts) {
        if (runner)
            runner->Run(*this, stmt);
        else
            ApplyStatement(stmt);
    }
}

void TVelora::ApplyStatement(std::string& stmt) {
    std::array<std::string, 4> a;
    auto rgb = [&a](int32_t def) {
        return ColorFromRGB(StatementInt(a[0], def), StatementInt(a[1], def),
                            StatementInt(a[2], def));
    };

    // Table order matters: the first match wins.
    if (MatchCommand("name", 1, stmt, a)) {
        SetName(a[0]);
    } else if (MatchCommand("size", 2, stmt, a)) {
        SetSize(StatementInt(a[0], 1), StatementInt(a[1], 1));
    } else if (MatchCommand("pos", 2, stmt, a)) {
        SetPosition(StatementInt(a[0], 0), StatementInt(a[1], 0));
    } else if (MatchCommand("col", 3, stmt, a)) {
        SetCol(rgb(0));
    } else if (MatchCommand("facecol", 3, stmt, a)) {
        SetFaceCol(rgb(128));
    } else if (MatchCommand("linecol", 3, stmt, a)) {
        SetLineCol(rgb(255));
    } else if (MatchCommand("LineOpq", 1, stmt, a)) {
        SetLineOpq(StatementFloat(a[0]));
    } else if (MatchCommand("FaceOpq", 1, stmt, a)) {
        SetFaceOpq(StatementFloat(a[0]));
    } else if (MatchCommand("opq", 1, stmt, a)) {
        SetOpq(StatementFloat(a[0]));
    } else if (MatchCommand("ZOrder", 1, stmt, a)) {
        SetZOrder(StatementDouble(a[0]));
    } else if (MatchCommand("file", 1, stmt, a)) {
        LoadFile(StripQuotes(a[0]));
    } else if (MatchCommand("visible", 1, stmt, a)) {
        SetVisible(StatementInt(a[0], 1) == 1);
    } else {
        return;
    }
    stmt.clear();
}

std::string ColorStatement(std::string_view keyword, TColor c) {
    return FormatCommand(keyword, {int32_t(c & 0xFF), int32_t(c >> 8 & 0xFF), int32_t(c >> 16 & 0xFF)}, 0);
}

std::string TextStatement(std::string_view text) { return "text(\"" + std::string(text) + "\");"; }

void TVelora::WriteStatements(std::string& text) {
    text.clear();
    if (!Name.empty()) text += FormatCommand("name", {Name}, 0);
    text += FormatCommand("size", {Width, Height}, 0);
    text += FormatCommand("pos", {Left, Top}, 0);
    if (ColSet) text += ColorStatement("col", Col);
    if (FaceColSet) {
        text += ColorStatement("facecol", FaceCol);
        text += FormatCommand("FaceOpq", {double(FaceOpq)}, 2);
    }
    if (LineColSet) {
        text += ColorStatement("linecol", LineCol);
        text += FormatCommand("LineOpq", {double(LineOpq)}, 2);
    }
    if (OpqSet) text += FormatCommand("opq", {double(Opq)}, 2);
    if (ZOrderSet) text += FormatCommand("zorder", {EffectiveZOrder()}, 3);
    if (!FileName.empty()) text += "file(\"" + FileName + "\");";
    if (!Visible) text += "visible(0);";
}

// ---- Children and scripts ------------------------------------------------

TVelora* TVelora::NewChild(const TVeloraClass& kind, std::string_view text) {
    // Owned here until linked, so a throwing statement frees it.
    TVeloraPtr<TVelora> node = kind.Create();
    node->RunStatements(text);
    AddChild(node.get());
    return node.release();
}

TKindLine SplitKindLine(std::string_view line) {
    static const TDelims kWordDelims(" \t,");
    const std::string_view word = NextToken(line, kWordDelims, Quotes::On);
    return {std::string(word), std::string(line)};
}

void TVelora::ParseLine(std::string_view line) {
    if (line.empty()) return;
    Watch();
    const TKindLine cut = SplitKindLine(line);
    if (cut.IsComment()) return;
    if (cut.Word == "{") {
        EnterBlock();
        return;
    }
    if (cut.Word == "}") {
        LeaveBlock();
        return;
    }

    const TVeloraClass& kind = FindKind(cut.Word);
    if (IsNullKind(kind)) return;
    std::vector<std::string> stmts;
    SplitStatements(cut.Rest, stmts);
    ParseKindLine(kind, stmts);
}

void TVelora::ParseKindLine(const TVeloraClass& kind, std::span<std::string> stmts) {
    Watch();
    if (!ParseParent) {
        // Before the first block a kind line configures the reading node.
        if (kind.IsClassOf(*this)) {
            ParseLast = this;
            RunStatements(stmts);
        }
        return;
    }
    // As NewChild: owned here until linked, so a throwing statement frees it.
    TVeloraPtr<TVelora> node = kind.Create();
    node->RunStatements(stmts);
    ParseParent->AddChild(node.get());
    ParseLast = node.release();
}

void TVelora::EnterBlock() {
    if (!ParseLast) return;
    Watch();
    ParseParent = ParseLast;
    ParseLast = nullptr;
}

// Never climbs above the node reading the script, even when that node has
// a parent of its own.
void TVelora::LeaveBlock() {
    if (!ParseParent || ParseParent == this || !ParseParent->parent_) return;
    Watch();
    ParseLast = ParseParent;
    ParseParent = ParseParent->parent_;
}

}  // namespace quenlo

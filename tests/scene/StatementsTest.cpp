// Property statements, the writer and NewChild.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "low/VeloreLow.h"
#include "pixelmap/Color.h"
#include "scene/Velora.h"

namespace quenlo {
namespace {

using ::testing::HasSubstr;

// A kind with one statement of its own, recording what reaches it.
class TProbe : public TVelora {
public:
    static std::string_view KindName() { return "Probe"; }
    ~TProbe() override { ++destroyed; }

    void ApplyStatement(std::string& stmt) override {
        TVelora::ApplyStatement(stmt);
        if (stmt.empty()) return;
        std::string args[1];
        if (MatchCommand("tag", 1, stmt, args)) {
            Tag = args[0];
            stmt.clear();
        }
    }
    void WriteStatements(std::string& text) override {
        TVelora::WriteStatements(text);
        if (!Tag.empty()) text += FormatCommand("tag", {Tag}, 0);
    }
    void LoadFile(const std::string& fileName) override { loaded.push_back(fileName); }
    void SetSize(int32_t w, int32_t h) override {
        linkedDuringSize = Parent() != nullptr;
        TVelora::SetSize(w, h);
    }

    std::string Tag;
    std::vector<std::string> loaded;
    bool linkedDuringSize = false;
    static inline int destroyed = 0;
};

TVeloraPtr<TProbe> Applied(std::string_view text) {
    auto n = MakeVelora<TProbe>();
    n->RunStatements(text);
    return n;
}

std::string Written(TVelora& n) {
    std::string text = "junk";
    n.WriteStatements(text);
    return text;
}

TEST(Statements, SizeAcceptsAnySpacingAndNeedsExactlyTwoArguments) {
    for (const char* text : {"size(400,300)", "SIZE 400 300", " size ( 400 , 300 ) ", "size(400,,300)"}) {
        auto n = Applied(text);
        EXPECT_EQ(n->Width, 400) << text;
        EXPECT_EQ(n->Height, 300) << text;
        EXPECT_TRUE(n->Visible) << text;
    }
    for (const char* text : {"size(400)", "size(1,2,3)", "sizes(1,2)", "size(1,2,3,4,5)"}) {
        auto n = Applied(text);
        EXPECT_EQ(n->Width, 0) << text;
        EXPECT_FALSE(n->Visible) << text;
    }
    auto n = Applied("size(a,b);pos(x,7)");  // non-numbers take the defaults
    EXPECT_EQ(n->Width, 1);
    EXPECT_EQ(n->Height, 1);
    EXPECT_EQ(n->Position(), MakePoint(0, 7));
}

TEST(Statements, ColoursClampAndSetTheirFlags) {
    auto n = Applied("col(300,-5,128)");
    EXPECT_EQ(n->Col, ColorFromRGB(255, 0, 128));
    EXPECT_TRUE(n->ColSet);
    EXPECT_FALSE(n->FaceColSet);
    EXPECT_THAT(Written(*n), HasSubstr("col(255,0,128);"));

    n = Applied("facecol(a,b,c);linecol(1,x,3)");
    EXPECT_EQ(n->FaceCol, ColorFromRGB(128, 128, 128));
    EXPECT_EQ(n->LineCol, ColorFromRGB(1, 255, 3));
    EXPECT_TRUE(n->FaceColSet && n->LineColSet);
}

TEST(Statements, VisibleShowsOnlyForOneOrText) {
    for (auto [text, visible] : {std::pair{"visible(0)", false}, {"visible(1)", true},
                                 {"visible(2)", false}, {"visible(x)", true}})
        EXPECT_EQ(Applied(std::string("size(1,1);") + text)->Visible, visible) << text;
}

TEST(Statements, QuotesKeepOrStripAsEachStatementSays) {
    auto n = Applied("name(\"a b\");file(\"x y.rgb\")");
    EXPECT_EQ(n->Name, "\"a b\"");
    EXPECT_EQ(n->loaded, std::vector<std::string>{"x y.rgb"});

    // ";" still ends a statement inside quotes; the tail is an unknown statement.
    n = Applied("file(\"a;b.rgb\")");
    EXPECT_EQ(n->loaded, std::vector<std::string>{"\"a"});
}

TEST(Statements, UnknownStatementsAreLeftForTheKind) {
    auto n = Applied("wobble(1,2);tag;opq;;  ;name()");
    EXPECT_EQ(Written(*n), "size(0,0);pos(0,0);visible(0);");
    std::string stmt = "wobble(abc)";
    n->ApplyStatement(stmt);
    EXPECT_EQ(stmt, "wobble(abc)");

    n = Applied("tag(blue);size(2,2)");  // the kind's own keyword after the base ones
    EXPECT_EQ(n->Tag, "blue");
    EXPECT_EQ(Written(*n), "size(2,2);pos(0,0);tag(blue);");
}

TEST(Statements, OnlyTheFirst255CharactersAreRead) {
    std::string text = "pos(1,2);";
    while (text.size() < 250) text += "name(x);";
    text.resize(250, ' ');
    text += "size(5,5)";  // straddles character 255
    auto n = Applied("   " + text + ";col(9,9,9)");  // leading blanks do not count
    EXPECT_EQ(n->Position(), MakePoint(1, 2));
    EXPECT_EQ(n->Width, 0);
    EXPECT_FALSE(n->ColSet);
}

TEST(Statements, BadFloatsStopTheTextWithAConversionError) {
    auto n = MakeVelora<TVelora>();
    try {
        n->RunStatements("pos(3,3);opq(abc);size(5,5)");
        FAIL() << "no error";
    } catch (const EConvertError& e) {
        EXPECT_STREQ(e.what(), "'abc' is not a valid floating point value");
    }
    EXPECT_EQ(n->Position(), MakePoint(3, 3));
    EXPECT_EQ(n->Width, 0);  // after the error: not applied
    EXPECT_FALSE(n->OpqSet);
    for (const char* bad : {"FaceOpq(1.5.)", "LineOpq(x)", "zorder(nan)", "opq(1e99)"}) {
        auto m = MakeVelora<TVelora>();
        EXPECT_THROW(m->RunStatements(bad), EConvertError) << bad;
    }
    // A decimal comma makes two arguments: no match rather than an error.
    EXPECT_NO_THROW(n->RunStatements("FaceOpq(0,5)"));
    EXPECT_FALSE(n->FaceColSet);

    n->RunStatements("opq(0.5);pos(1,1)");
    EXPECT_EQ(n->Opq, 0.5f);
    EXPECT_EQ(n->Position(), MakePoint(1, 1));
}

TEST(Writer, FreshAndFullNodes) {
    auto n = MakeVelora<TVelora>();
    EXPECT_EQ(Written(*n), "size(0,0);pos(0,0);visible(0);");

    n->RunStatements("FaceOpq(0.5)");  // shares its flag with the face colour
    EXPECT_EQ(Written(*n), "size(0,0);pos(0,0);facecol(119,119,119);FaceOpq(0.50);visible(0);");

    n = MakeVelora<TVelora>();
    n->RunStatements(
        "name(\"n 1\");size(7,8);pos(-3,4);col(1,2,3);linecol(4,5,6);LineOpq(0.25);opq(-1);"
        "ZOrder(2.5)");
    n->FileName = "dir/a b.rgb";
    EXPECT_EQ(Written(*n),
              "name(\"n 1\");size(7,8);pos(-3,4);col(1,2,3);linecol(4,5,6);LineOpq(0.25);"
              "opq(-1.00);zorder(2.500);file(\"dir/a b.rgb\");");
}

TEST(Writer, OutputReadsBackToTheSameNode) {
    auto a = Applied(
        "name(x);size(31,17);pos(5,-6);col(10,20,30);facecol(40,50,60);FaceOpq(0.75);"
        "linecol(70,80,90);LineOpq(0.3);opq(0.66);ZOrder(-1.125);tag(t);visible(0)");
    const std::string text = Written(*a);
    auto b = Applied(text);
    EXPECT_EQ(Written(*b), text);
    EXPECT_EQ(b->Col, a->Col);
    EXPECT_EQ(b->FaceCol, a->FaceCol);
    EXPECT_EQ(b->LineCol, a->LineCol);
    EXPECT_EQ(b->ZOrder, -1.125);
    EXPECT_FLOAT_EQ(b->Opq, 0.66f);
    EXPECT_FALSE(b->Visible);
    EXPECT_EQ(b->Tag, "t");
}

TEST(NewChild, RunsStatementsBeforeLinkingAndFreesTheNodeOnError) {
    auto root = MakeVelora<TVelora>();
    auto* child = static_cast<TProbe*>(root->NewChild(ClassOf<TProbe>(), "size(3,4);tag(k)"));
    EXPECT_FALSE(child->linkedDuringSize);
    EXPECT_EQ(child->GetParent(), root.get());
    EXPECT_EQ(child->Tag, "k");
    TProbe* second = root->NewChildOf<TProbe>("");
    EXPECT_EQ(child->NextSibling(), second);

    const int before = TProbe::destroyed;
    EXPECT_THROW(root->NewChild(ClassOf<TProbe>(), "opq(zz)"), EConvertError);
    EXPECT_EQ(TProbe::destroyed, before + 1);
    EXPECT_EQ(second->NextSibling(), nullptr);
    second->Destroy();
    child->Destroy();
}

}  // namespace
}  // namespace quenlo

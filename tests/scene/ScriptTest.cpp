// Scene scripts read line by line into a node.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "low/VeloreLow.h"
#include "scene/Velora.h"

namespace quenlo {
namespace {

class TScriptImg : public TVelora {
public:
    static std::string_view KindName() { return "ScriptImg"; }
};

class TScriptMat : public TVelora {
public:
    static std::string_view KindName() { return "ScriptMat"; }
};

// The registry is process-wide and never emptied: register once.
void RegisterTestKinds() {
    static const bool done = [] {
        TVelora::RegisterKind(ClassOf<TScriptImg>());
        TVelora::RegisterKind(ClassOf<TScriptMat>());
        return true;
    }();
    (void)done;
}

class Script : public ::testing::Test {
protected:
    void SetUp() override {
        RegisterTestKinds();
        root = MakeVelora<TScriptImg>();
    }
    void TearDown() override {
        while (root->FirstChild()) root->FirstChild()->DestroyTree();
    }
    void Read(const std::string& script) {
        std::istringstream in(script);
        for (std::string line; std::getline(in, line);) root->ParseLine(line);
    }
    int Children(const TVelora* n) const {
        int k = 0;
        for (TVelora* c = n->FirstChild(); c; c = c->NextSibling()) ++k;
        return k;
    }

    TVeloraPtr<TScriptImg> root;
};

TEST_F(Script, NestingBuildsTheTree) {
    Read("ScriptImg size(400,300);col(255,255,255)\n"
         "{\n"
         "ScriptMat size(50,50);pos(10,10)\n"
         "{\n"
         "  ScriptMat size(5,5)\n"
         "}\n"
         "// ScriptMat size(9,9)\n"
         "Unknown size(8,8)\n"
         "\n"
         "velore,size(7,7)\n"
         "}\n");
    EXPECT_EQ(root->Width, 400);
    EXPECT_EQ(root->Col, 0xFFFFFFu);
    ASSERT_EQ(Children(root.get()), 2);
    TVelora* mat = root->FirstChild();
    EXPECT_TRUE(ClassOf<TScriptMat>().IsClassOf(*mat));
    EXPECT_EQ(mat->Position(), MakePoint(10, 10));
    ASSERT_EQ(Children(mat), 1);
    EXPECT_EQ(mat->FirstChild()->Width, 5);
    TVelora* plain = mat->NextSibling();
    EXPECT_EQ(plain->Width, 7);  // case-insensitive kind, "," ends the word
    EXPECT_FALSE(ClassOf<TScriptMat>().IsClassOf(*plain));

    // The outermost "}" stays on the reading node: more lines add children.
    Read("}\n}\nScriptMat size(1,1)\n");
    EXPECT_EQ(Children(root.get()), 3);
}

TEST_F(Script, FirstLineConfiguresOnlyAMatchingReader) {
    Read("ScriptMat size(9,9)\n");  // the reader is no ScriptMat: ignored
    EXPECT_EQ(root->Width, 0);
    Read("Velore size(8,8)\n");  // every kind is a Velore
    EXPECT_EQ(root->Width, 8);
    Read("{\nScriptImg size(2,2)\n");  // a fresh reader may open a block at once
    ASSERT_EQ(Children(root.get()), 1);
    EXPECT_EQ(root->FirstChild()->Width, 2);
    EXPECT_EQ(root->ParseParent, root.get());
}

TEST_F(Script, BracesNeverClimbAboveTheReader) {
    auto outer = MakeVelora<TVelora>();
    outer->AddChild(root.get());  // the reader has a parent of its own
    Read("{\n}\n}\nScriptMat\n");
    EXPECT_EQ(root->ParseParent, root.get());
    EXPECT_EQ(Children(root.get()), 1);
    EXPECT_EQ(Children(outer.get()), 1);
    root->Unlink();
}

TEST_F(Script, ErrorsReachTheCallerAndLeaveNoHalfNode) {
    Read("{\nScriptMat size(1,1)\n");
    TVelora* last = root->ParseLast;
    EXPECT_THROW(root->ParseLine("ScriptMat size(2,2);opq(?)"), EConvertError);
    EXPECT_EQ(Children(root.get()), 1);
    EXPECT_EQ(root->ParseLast, last);
}

TEST_F(Script, DestroyingTheOpenBlockMovesTheReaderOut) {
    Read("{\nScriptMat\n{\nScriptMat\n");
    TVelora* block = root->ParseParent;
    ASSERT_NE(block, root.get());
    block->DestroyTree();
    EXPECT_EQ(root->ParseParent, root.get());
    EXPECT_EQ(root->ParseLast, nullptr);
    Read("ScriptMat size(3,3)\n");
    ASSERT_EQ(Children(root.get()), 1);
    EXPECT_EQ(root->FirstChild()->Width, 3);
}

// The owner unlinks a node, then destroys it: no parent chain leads back to
// the reader by then. Under the sanitizers a pointer kept is a use after free.
TEST_F(Script, NodesUnlinkedThenDestroyedLeaveNothingBehind) {
    Read("Velore size(9,9)\n{\nVelore size(5,5)\n");
    TVelora* child = root->ParseLast;
    EXPECT_EQ(root->FindNodeAt({1, 1}), child);
    child->Unlink();
    child->Destroy();
    EXPECT_TRUE(root->ParseLast == nullptr && root->HitResult == nullptr);
    Read("{\nVelore size(2,2)\n{\nVelore\n");  // the first brace has nothing to open
    TVelora* block = root->ParseParent;  // the 2 x 2 node
    block->Unlink();
    TVeloraDeleter()(block->FirstChild());
    block->Destroy();
    EXPECT_EQ(root->ParseParent, root.get());
    Read("Velore size(3,3)\n");
    ASSERT_EQ(Children(root.get()), 1);
    EXPECT_EQ(root->FirstChild()->Width, 3);
}

}  // namespace
}  // namespace quenlo

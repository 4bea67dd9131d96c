// The kinds as a scene script sees them: registration, one node of each
// kind read from a script, and the scene shown through a paint box.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "low/VeloreLow.h"
#include "scene/kinds/FakePaintBox.h"
#include "scene/kinds/SimpleVelore.h"

namespace quenlo {
namespace {

TEST(SimpleVelore, RegistersTheNineKindsInOrderAfterVelore) {
    RegisterSimpleVeloreKinds();
    RegisterSimpleVeloreKinds();  // a second call adds nothing
    const TKindRegistry& reg = TVelora::Registry();
    ASSERT_GE(reg.Count(), 10);
    EXPECT_EQ(&reg.At(0), &ClassOf<TVelora>());
    const TVeloraClass* const want[] = {&ClassOf<TVlxMat>(),     &ClassOf<TVlxImg>(),
                                        &ClassOf<TVlxCel>(),     &ClassOf<TVlxStencil>(),
                                        &ClassOf<TVlxPoly>(),    &ClassOf<TVlx2>(),
                                        &ClassOf<TVlxAnk>(),     &ClassOf<TVlxAnk88>(),
                                        &ClassOf<TVlxSlider>()};
    std::vector<const TVeloraClass*> got;
    for (int i = 1; i < reg.Count(); ++i)
        for (const TVeloraClass* k : want)
            if (&reg.At(i) == k) got.push_back(k);
    EXPECT_EQ(got, std::vector<const TVeloraClass*>(std::begin(want), std::end(want)));

    EXPECT_EQ(&TVelora::FindKind("vlxslider"), &ClassOf<TVlxSlider>());
    EXPECT_EQ(&TVelora::FindKind("VLXANK"), &ClassOf<TVlxAnk>());  // not VlxAnk88
    EXPECT_TRUE(IsNullKind(TVelora::FindKind("VlxDrafter")));
    EXPECT_EQ(ClassOf<TVlxDrafter>().KindName(), "Velore");
}

constexpr const char* kScript = R"(VlxImg size(120,80);col(0,0,64);wipe
{
  VlxMat size(20,10);pos(2,2);col(255,0,0)
  VlxCel size(30,30);pos(60,40)
  VlxStencil size(21,21);pos(30,5);col(0,255,0);airbrush
  VlxPoly size(40,30);pos(70,5);polyline;polygon;facecol(0,0,255)
  Vlx2 size(50,30);pos(5,40);col(200,200,200)
  {
    VlxSlider size(10,10);pos(2,2);col(9,9,9)
  }
  // a comment, and a kind nobody knows
  Nothing size(1,1)
  VlxAnk size(40,10);pos(60,70);PenPos(1,1);PenCol(255,255,0);text("HI")
  VlxAnk88 pos(10,60);text("OK")
}
)";

TEST(SimpleVelore, SceneFromAScriptWithEveryKind) {
    RegisterSimpleVeloreKinds();
    test::TFakePaintBox box;
    TPbox view(&box);
    auto owner = MakeVelora<TVlxImg>();
    TVlxImg* root = owner.get();

    std::istringstream in(kScript);
    for (std::string line; std::getline(in, line);) root->ParseLine(line);

    EXPECT_EQ(root->Width, 120);
    ASSERT_NE(root->Map, nullptr);
    std::vector<TVelora*> kids;
    for (TVelora* c = root->FirstChild(); c; c = c->NextSibling()) kids.push_back(c);
    ASSERT_EQ(kids.size(), 7u);
    EXPECT_TRUE(dynamic_cast<TVlxMat*>(kids[0]));
    EXPECT_TRUE(dynamic_cast<TVlxCel*>(kids[1]));
    EXPECT_TRUE(dynamic_cast<TVlxStencil*>(kids[2]));
    auto* poly = dynamic_cast<TVlxPoly*>(kids[3]);
    ASSERT_TRUE(poly);
    EXPECT_TRUE(poly->Outline && poly->Fill);
    EXPECT_TRUE(dynamic_cast<TVlx2*>(kids[4]) && !dynamic_cast<TVlxSlider*>(kids[4]));
    ASSERT_NE(kids[4]->FirstChild(), nullptr);
    EXPECT_TRUE(dynamic_cast<TVlxSlider*>(kids[4]->FirstChild()));
    auto* ank = dynamic_cast<TVlxAnk*>(kids[5]);
    ASSERT_TRUE(ank);
    EXPECT_EQ(ank->Text, "HI");
    EXPECT_EQ(ank->PenPos, (TPoint{1, 1}));
    auto* ank88 = dynamic_cast<TVlxAnk88*>(kids[6]);
    ASSERT_TRUE(ank88);
    EXPECT_EQ(ank88->Text, "OK");

    // Each node's written statements rebuild it. Registered bases come
    // before the kinds derived from them, so the last class that claims a
    // node is its own.
    kids.push_back(kids[4]->FirstChild());
    for (TVelora* k : kids) {
        const TVeloraClass* kind = nullptr;
        for (int i = 0; i < TVelora::Registry().Count(); ++i)
            if (TVelora::Registry().At(i).IsClassOf(*k)) kind = &TVelora::Registry().At(i);
        ASSERT_NE(kind, nullptr);
        std::string text;
        k->WriteStatements(text);
        auto again = kind->Create();
        again->RunStatements(text);
        EXPECT_EQ(again->Width, k->Width) << text;
        EXPECT_EQ(again->Height, k->Height) << text;
        EXPECT_EQ(again->Position(), k->Position()) << text;
        EXPECT_EQ(again->Col, k->Col) << text;
        EXPECT_EQ(again->Visible, k->Visible) << text;
    }

    view.SetRoot(root);
    view.AdoptRootSize();
    EXPECT_EQ(box.Width(), 120);
    view.RepaintAll();
    EXPECT_EQ(box.ScreenPixel(110, 78), ColorFromRGB(0, 0, 64));  // the root's own pixels
    EXPECT_EQ(box.ScreenPixel(5, 5), ColorFromRGB(255, 0, 0));    // matte
    EXPECT_EQ(box.ScreenPixel(40, 68), ColorFromRGB(200, 200, 200));  // panel
    EXPECT_EQ(box.ScreenPixel(8, 43), ColorFromRGB(9, 9, 9));          // slider on it
    const TColor s = box.ScreenPixel(40, 15);  // the stencil's sprayed centre
    EXPECT_GT(s >> 8 & 0xFF, 128u);
    EXPECT_LT(s >> 16 & 0xFF, 64u);
    EXPECT_EQ(box.ScreenPixel(31, 6), ColorFromRGB(0, 0, 64));  // its corner lets the root show

    view.SetRoot(nullptr);
    owner.release()->DestroyTree();
}

}  // namespace
}  // namespace quenlo

// The "vertex" statement of polygon nodes: reading, writing, reading back.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "scene/kinds/VlxDrafter.h"

namespace quenlo {
namespace {

std::string Written(TVelora& n) {
    std::string s;
    return n.WriteStatements(s), s;
}

bool SameBits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

TEST(VlxPolyVertex, AppendsPointsInOrder) {
    auto p = MakeVelora<TVlxPoly>();
    p->RunStatements("vertex(1.5,2);VERTEX 3 -4;vertex( 5 , 6e1 );vertex(+.25,,7)");
    ASSERT_EQ(p->Poly.Points.size(), 4u);
    EXPECT_EQ(p->Poly.Points[0].X, 1.5f);
    EXPECT_EQ(p->Poly.Points[1].Y, -4.0f);
    EXPECT_EQ(p->Poly.Points[2].Y, 60.0f);
    EXPECT_EQ(p->Poly.Points[3].X, 0.25f);

    // Wrong counts are no vertex statements; other kinds do not take it.
    std::string stmt = "vertex(1)";
    p->ApplyStatement(stmt);
    EXPECT_EQ(stmt, "vertex(1)");
    stmt = "vertex(1,2,3)";
    p->ApplyStatement(stmt);
    EXPECT_EQ(stmt, "vertex(1,2,3)");
    EXPECT_EQ(p->Poly.Points.size(), 4u);
    auto label = MakeVelora<TVlxAnk88>();
    stmt = "vertex(1,2)";
    label->ApplyStatement(stmt);
    EXPECT_EQ(stmt, "vertex(1,2)");

    // A bad number stops the text there and adds no half point.
    EXPECT_THROW(p->RunStatements("vertex(7,8);vertex(1,y);vertex(9,9)"), EConvertError);
    ASSERT_EQ(p->Poly.Points.size(), 5u);
    EXPECT_EQ(p->Poly.Points.back().X, 7.0f);
    EXPECT_THROW(p->RunStatements("vertex(inf,1)"), EConvertError);
    EXPECT_EQ(p->Poly.Points.size(), 5u);
}

TEST(VlxPolyVertex, WrittenAfterTheBaseAndBeforeTheSwitches) {
    auto p = MakeVelora<TVlxPoly>();
    p->RunStatements("size(20,10);polyline;polygon;vertex(0,0);vertex(19.5,-2.25)");
    EXPECT_EQ(Written(*p),
              "size(20,10);pos(0,0);col(255,255,255);facecol(0,0,255);FaceOpq(0.40);"
              "linecol(68,51,255);LineOpq(0.30);vertex(0,0);vertex(19.5,-2.25);polygon;polyline;");
}

TEST(VlxPolyVertex, WrittenTextsReadBackExactly) {
    const TPointF awkward[] = {{0.1f, 1.0f / 3.0f},        {16777216.0f, -0.0f},
                               {1e-7f, 3.4e38f},           {-123.456f, 2.5e-30f},
                               {std::nextafter(1.0f, 2.0f), 1e20f}};
    auto p = MakeVelora<TVlxPoly>();
    p->RunStatements("size(30,30);polygon");
    p->Poly.Points.assign(std::begin(awkward), std::end(awkward));
    const std::string text = Written(*p);
    auto q = MakeVelora<TVlxPoly>();
    q->RunStatements(text);
    ASSERT_EQ(q->Poly.Points.size(), std::size(awkward));
    for (size_t i = 0; i < std::size(awkward); ++i) {
        EXPECT_TRUE(SameBits(q->Poly.Points[i].X, awkward[i].X)) << i;
        EXPECT_TRUE(SameBits(q->Poly.Points[i].Y, awkward[i].Y)) << i;
    }
    EXPECT_EQ(Written(*q), text);
    EXPECT_TRUE(q->Fill);
    EXPECT_FALSE(q->Outline);

    // A text without vertices reads as before.
    auto r = MakeVelora<TVlxPoly>();
    r->RunStatements("size(5,5);polyline");
    EXPECT_TRUE(r->Poly.Points.empty());
}

}  // namespace
}  // namespace quenlo

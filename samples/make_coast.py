#!/usr/bin/env python3
"""Writes scenes/coast.scene: an island whose coastline is one polygon of 360
vertices, so its statements run over many "+" continuation lines.

The shore is a circle whose radius wanders with a few fixed sine terms, so the
file is the same on every run.
"""
import math
import os

HERE = os.path.dirname(os.path.abspath(__file__))
N = 360
W, H = 240, 180


def shore(i):
    t = 2 * math.pi * i / N
    r = 62 + 9 * math.sin(3 * t + 0.4) + 6 * math.sin(7 * t + 1.9) + 3 * math.sin(17 * t) + 1.5 * math.sin(41 * t + 0.7)
    return W / 2 + 1.25 * r * math.cos(t), H / 2 + 0.95 * r * math.sin(t)


def main():
    points = [shore(i) for i in range(N)]
    points.append(points[0])  # back to the first: the loop closes
    vertices = ["vertex(%.1f,%.1f)" % p for p in points]
    lines = [
        "// An island: one polygon of %d vertices, continued over \"+\" lines." % N,
        "// Made by samples/make_coast.py.",
        "VlxImg size(%d,%d)" % (W, H),
        "{",
        "  VlxMat size(%d,%d);col(24,70,120)" % (W, H),
        "  VlxPoly size(%d,%d);facecol(214,196,140);FaceOpq(1);linecol(250,250,235);LineOpq(0.8);polygon;polyline" % (W, H),
    ]
    for k in range(0, len(vertices), 12):
        lines.append("  + " + ";".join(vertices[k:k + 12]))
    lines += [
        "  VlxAnk88 pos(84,84);col(214,196,140);linecol(40,60,30);text(\"ISLAND\")",
        "}",
    ]
    with open(os.path.join(HERE, "scenes", "coast.scene"), "w", newline="\n") as f:
        f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()

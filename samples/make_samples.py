#!/usr/bin/env python3
"""Regenerates the sample images: raw .ipr/.rgb pairs, a palette .bmp and a .jpg.

Every picture is asymmetric, with an odd width and distinct channels, so a
flipped, mirrored or channel-swapped conversion shows at a glance.
Needs cjpeg (libjpeg-turbo-progs) for the .jpg.
"""
import math
import os
import struct
import subprocess

HERE = os.path.dirname(os.path.abspath(__file__))


def scene(w, h, x, y):
    """Sky-to-sea gradient, a sun up and to the left, and a red flag on the right."""
    r = int(40 + 180 * x / (w - 1))
    g = int(60 + 120 * y / (h - 1))
    b = int(220 - 160 * y / (h - 1))
    cx, cy, rad = w * 0.3, h * 0.3, min(w, h) * 0.18
    d = math.hypot(x - cx, y - cy)
    if d < rad:
        r, g, b = 255, 214, 40
    elif d < rad + 2:
        t = (d - rad) / 2
        r, g, b = int(255 * (1 - t) + r * t), int(214 * (1 - t) + g * t), int(40 * (1 - t) + b * t)
    pole = int(w * 0.75)
    if pole <= x <= pole + 1 and h * 0.2 <= y <= h * 0.9:
        r, g, b = 30, 30, 30
    if pole + 2 <= x <= pole + 2 + w * 0.15 and h * 0.2 <= y <= h * 0.4:
        r, g, b = 200, 20, 30
    return r, g, b


def write_pair(name, w, h, ipr_text, picture=scene, rgb_bytes=None):
    with open(os.path.join(HERE, name + ".ipr"), "w", newline="") as f:
        f.write(ipr_text)
    data = bytearray()
    for y in range(h):
        for x in range(w):
            data += bytes(picture(w, h, x, y))
    if rgb_bytes is not None:
        data = data[:rgb_bytes]
    with open(os.path.join(HERE, name + ".rgb"), "wb") as f:
        f.write(data)


def stripes(w, h, x, y):
    return (255 if x < w // 3 else 0, 255 if w // 3 <= x < 2 * w // 3 else 0, 255 if x >= 2 * w // 3 else 0) \
        if y < h // 2 else ((x * 255) // (w - 1), 0, 255 - (x * 255) // (w - 1))


def write_palette_bmp(name, w, h):
    """8 bits per pixel, 16 warm-to-cool colours, bottom-up rows."""
    palette = [(int(255 * (15 - i) / 15), int(128 + 127 * math.sin(i / 3)), int(255 * i / 15)) for i in range(16)]
    row = (w + 3) & ~3
    pixels = bytearray()
    for y in reversed(range(h)):
        line = bytearray(row)
        for x in range(w):
            line[x] = (x * 16 // w + (y * 4 // h)) % 16 if y > h // 4 else (15 - x * 16 // w)
        pixels += line
    pal = b"".join(bytes((b, g, r, 0)) for (r, g, b) in palette) + bytes(4 * (256 - 16))
    off = 14 + 40 + len(pal)
    head = b"BM" + struct.pack("<IHHI", off + len(pixels), 0, 0, off)
    info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 8, 0, len(pixels), 2835, 2835, 16, 0)
    pal = pal[:16 * 4]
    off = 14 + 40 + len(pal)
    head = b"BM" + struct.pack("<IHHI", off + len(pixels), 0, 0, off)
    with open(os.path.join(HERE, name), "wb") as f:
        f.write(head + info + pal + pixels)


def write_jpeg(name, w, h):
    ppm = b"P6\n%d %d\n255\n" % (w, h) + b"".join(bytes(scene(w, h, x, y)) for y in range(h) for x in range(w))
    out = subprocess.run(["cjpeg", "-quality", "90"], input=ppm, capture_output=True, check=True).stdout
    with open(os.path.join(HERE, name), "wb") as f:
        f.write(out)


if __name__ == "__main__":
    write_pair("harbour", 161, 97, "161 97 0 0\n")
    # Hex width, one value a line, only two values: the rest read as 0.
    write_pair("stripes", 63, 41, "$3F\r\n41\r\n", picture=stripes)
    # The .rgb ends a third of the way down: the rest of the image is white.
    write_pair("unfinished", 75, 51, "75 51 0 0", rgb_bytes=75 * 17 * 3 + 7)
    write_palette_bmp("palette.bmp", 93, 45)
    write_jpeg("harbour-photo.jpg", 161, 97)

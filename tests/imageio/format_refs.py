"""Sources for the format tests, and a reference decoder's pixels.

  format_refs.py sources DIR    rgb.png, rgba.png (straight alpha), rgb16.png
                                (16-bit), plain.gif (not interlaced), o6.jpg
                                (EXIF orientation 6), all 33 x 17
  format_refs.py meta DIR       the sources, and res.png, res.jpg, res.tif stating
                                a resolution and an ICC profile (the JPEG also
                                EXIF orientation 6), alpha.png (96 dpi)
  format_refs.py rgba IN OUT... each IN's first frame as Pillow decodes it: width
                                and height (4 bytes each, little-endian), then
                                R, G, B, A rows, 8 bits (16-bit: the high byte)
"""
import struct
import sys
import zlib

from PIL import Image

W, H = 33, 17


def pixel(x, y):
    return ((x * 37 + y * 3 + 1) & 255, (y * 53 + 7) & 255, (x * 11 + y * 29 + 101) & 255)


def png16(path):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    rows = b""
    for y in range(H):
        rows += b"\0" + b"".join(struct.pack(">3H", *(c * 256 + (x * 5 + y) % 256 for c in pixel(x, y))) for x in range(W))
    head = struct.pack(">IIBBBBB", W, H, 16, 2, 0, 0, 0)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", head) + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


def sources(d):
    rgb = Image.new("RGB", (W, H))
    rgba = Image.new("RGBA", (W, H))
    for y in range(H):
        for x in range(W):
            rgb.putpixel((x, y), pixel(x, y))
            rgba.putpixel((x, y), pixel(x, y) + ((x * 8 + y * 3) & 255,))
    rgb.save(d + "/rgb.png")
    rgba.save(d + "/rgba.png")
    png16(d + "/rgb16.png")
    rgb.quantize(200).save(d + "/plain.gif", interlace=False)
    exif = Image.Exif()
    exif[274] = 6
    rgb.save(d + "/o6.jpg", exif=exif.tobytes(), quality=95)


def meta(d):
    from PIL import ImageCms
    sources(d)
    icc = ImageCms.ImageCmsProfile(ImageCms.createProfile("sRGB")).tobytes()
    rgb = Image.open(d + "/rgb.png")
    exif = Image.Exif()
    exif[274] = 6
    rgb.save(d + "/res.png", dpi=(300, 150), icc_profile=icc)
    rgb.save(d + "/res.jpg", dpi=(72, 144), icc_profile=icc, exif=exif.tobytes(), quality=95)
    rgb.save(d + "/res.tif", resolution=118.0, x_resolution=118.0, y_resolution=59.0, resolution_unit=3, icc_profile=icc)
    Image.open(d + "/rgba.png").save(d + "/alpha.png", dpi=(96, 96))


def rgba(*pairs):
    for src, out in zip(pairs[::2], pairs[1::2]):
        im = Image.open(src)
        im.seek(0)
        im = im.convert("RGBA")
        with open(out, "wb") as f:
            f.write(struct.pack("<II", *im.size) + im.tobytes())


if __name__ == "__main__":
    {"sources": sources, "meta": meta, "rgba": rgba}[sys.argv[1]](*sys.argv[2:])

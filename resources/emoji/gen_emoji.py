#!/usr/bin/python3
"""Writes one 32 px PNG per emoji code that the bubble view can ask for, named "<HEX>.png".

The pictures are Noto Emoji from the npm package emoji-datasource-google. Fetch it into a
temporary folder (never into this repository) and pass the unpacked package folder:

    cd /tmp && npm pack emoji-datasource-google && tar xzf emoji-datasource-google-*.tgz
    /usr/bin/python3 gen_emoji.py /tmp/package

Codes produced by the emoji markup:
  - the private-use range U+E000..U+E537 (the legacy SoftBank codes; the package's
    "softbank" field gives the standard emoji each stands for),
  - the fixed list of basic-plane symbols,
  - single code points U+1F000..U+1F7FF written as surrogate pairs.
Codes of either range without a picture get a copy of a neutral placeholder, so a page never
shows a broken image for them.
Needs Pillow (Debian: python3-pil).
"""
import io
import json
import os
import sys

from PIL import Image, ImageDraw

SIZE = 32
SYMBOLS = [
    0x203C, 0x2049, 0x2139, 0x2194, 0x2195, 0x21A9, 0x21AA, 0x231A, 0x231B, 0x23EB, 0x23EC,
    0x23F0, 0x23F3, 0x24C2, 0x25AA, 0x25AB, 0x25FB, 0x25FC, 0x25FD, 0x25FE, 0x2611, 0x267B,
    0x2693, 0x26AA, 0x26AB, 0x26C5, 0x26D4, 0x2705, 0x2709, 0x270F, 0x2712, 0x2714, 0x2744,
    0x2747, 0x274E, 0x2795, 0x2796, 0x2797, 0x27B0, 0x2934, 0x2935, 0x2B1B, 0x2B1C, 0x3030,
]


def placeholder_png():
    """A grey outlined box, the usual sign of a character that cannot be drawn."""
    scale = 4
    big = Image.new("RGBA", (SIZE * scale, SIZE * scale), (0, 0, 0, 0))
    ImageDraw.Draw(big).rounded_rectangle(
        (8 * scale, 4 * scale, 24 * scale - 1, 28 * scale - 1),
        radius=3 * scale, outline=(150, 150, 150, 255), width=2 * scale)
    out = io.BytesIO()
    big.resize((SIZE, SIZE), Image.LANCZOS).save(out, "PNG", optimize=True)
    return out.getvalue()


def write_placeholders(out_dir, codes):
    """One identical file per code: the pages name each picture by its code."""
    data = placeholder_png()
    for code in codes:
        with open(os.path.join(out_dir, "%X.png" % code), "wb") as f:
            f.write(data)


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: gen_emoji.py UNPACKED_PACKAGE_FOLDER")
    package = sys.argv[1]
    out_dir = os.path.dirname(os.path.abspath(__file__))
    with open(os.path.join(package, "emoji.json"), encoding="utf-8") as f:
        entries = [e for e in json.load(f) if e.get("has_img_google")]

    # A single code point may be written with or without the emoji variation selector.
    by_sequence = {}
    for e in entries:
        for key in (e.get("non_qualified"), e["unified"]):
            if key:
                by_sequence[key.upper()] = e

    def lookup(code):
        text = "%04X" % code
        return by_sequence.get(text) or by_sequence.get(text + "-FE0F")

    wanted = {}
    for e in entries:
        softbank = e.get("softbank")
        if softbank and 0xE000 <= int(softbank, 16) <= 0xE537:
            wanted.setdefault(int(softbank, 16), e)
    for code in SYMBOLS:
        e = lookup(code)
        if e:
            wanted[code] = e
    for code in range(0x1F000, 0x1F800):
        e = lookup(code)
        if e:
            wanted[code] = e

    for name in os.listdir(out_dir):
        if name.endswith(".png"):
            os.remove(os.path.join(out_dir, name))
    source_dir = os.path.join(package, "img", "google", "64")
    for code, e in sorted(wanted.items()):
        image = Image.open(os.path.join(source_dir, e["image"])).convert("RGBA")
        image = image.resize((SIZE, SIZE), Image.LANCZOS)
        image.save(os.path.join(out_dir, "%X.png" % code), optimize=True)

    # Every code the markup can produce needs a file, or the page shows a broken image.
    codes = list(range(0xE000, 0xE538)) + list(range(0x1F000, 0x1F800))
    unmapped = [c for c in codes if c not in wanted]
    write_placeholders(out_dir, unmapped)
    print("%d pictures; %d codes show the placeholder" % (len(wanted), len(unmapped)))


if __name__ == "__main__":
    main()

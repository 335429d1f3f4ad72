#!/usr/bin/env python3
"""Draws the progress window's banner IDB_BANNER and writes it as a BMP file.

The picture is 466 x 71 pixels, 8 bits per pixel with a 256-colour palette,
uncompressed, rows stored bottom-up. Everything is computed from this script
alone (no image libraries, no randomness), so the same bytes come out on every
build:

    make_banner.py OUT.bmp [OUT.inc]

OUT.inc, when given, holds the same bytes as a C array for embedding.
"""
import math
import struct
import sys

WIDTH, HEIGHT = 466, 71

# Palette layout: the index ranges each part of the picture draws from.
BG_FIRST, BG_COUNT = 0, 128        # background, dark navy to teal
GOLD_FIRST, GOLD_COUNT = 128, 32   # emblem and subtitle, dark to bright gold
TEXT_FIRST, TEXT_COUNT = 160, 32   # title, shadow blue to white
SHADOW = 192                       # title shadow


def lerp(a, b, t):
    return tuple(int(round(x + (y - x) * t)) for x, y in zip(a, b))


def build_palette():
    palette = [(0, 0, 0)] * 256
    for i in range(BG_COUNT):
        t = i / (BG_COUNT - 1)
        if t < 0.6:
            palette[BG_FIRST + i] = lerp((8, 14, 48), (16, 62, 112), t / 0.6)
        else:
            palette[BG_FIRST + i] = lerp((16, 62, 112), (24, 128, 150), (t - 0.6) / 0.4)
    for i in range(GOLD_COUNT):
        palette[GOLD_FIRST + i] = lerp((92, 58, 10), (255, 226, 120), i / (GOLD_COUNT - 1))
    for i in range(TEXT_COUNT):
        palette[TEXT_FIRST + i] = lerp((150, 190, 235), (255, 255, 255), i / (TEXT_COUNT - 1))
    palette[SHADOW] = (3, 6, 22)
    # The remaining entries stay black; the palette is always written in full.
    return palette


# A 5 x 7 pixel font with just the letters the banner needs.
FONT = {
    'Z': ["#####", "....#", "...#.", "..#..", ".#...", "#....", "#####"],
    'D': ["####.", "#...#", "#...#", "#...#", "#...#", "#...#", "####."],
    'i': ["..#..", ".....", ".##..", "..#..", "..#..", "..#..", ".###."],
    'd': ["....#", "....#", ".##.#", "#..##", "#...#", "#...#", ".####"],
    'o': [".....", ".....", ".###.", "#...#", "#...#", "#...#", ".###."],
    'r': [".....", ".....", "#.##.", "##..#", "#....", "#....", "#...."],
    'u': [".....", ".....", "#...#", "#...#", "#...#", "#..##", ".##.#"],
    'v': [".....", ".....", "#...#", "#...#", "#...#", ".#.#.", "..#.."],
    'A': [".###.", "#...#", "#...#", "#####", "#...#", "#...#", "#...#"],
    'U': ["#...#", "#...#", "#...#", "#...#", "#...#", "#...#", ".###."],
    'T': ["#####", "..#..", "..#..", "..#..", "..#..", "..#..", "..#.."],
    'O': [".###.", "#...#", "#...#", "#...#", "#...#", "#...#", ".###."],
    'P': ["####.", "#...#", "#...#", "####.", "#....", "#....", "#...."],
    'C': [".###.", "#...#", "#....", "#....", "#....", "#...#", ".###."],
    'H': ["#...#", "#...#", "#...#", "#####", "#...#", "#...#", "#...#"],
    ' ': ["....."] * 7,
}


def text_cells(text, x0, y0, scale):
    """Yields (x, y, row) for every lit pixel of `text` drawn at `scale`."""
    for n, ch in enumerate(text):
        glyph = FONT[ch]
        gx = x0 + n * 6 * scale
        for gy, line in enumerate(glyph):
            for cx, bit in enumerate(line):
                if bit != '#':
                    continue
                for dy in range(scale):
                    for dx in range(scale):
                        yield gx + cx * scale + dx, y0 + gy * scale + dy, gy * scale + dy


def draw():
    pixels = [[0] * WIDTH for _ in range(HEIGHT)]  # rows top-down while drawing

    # Background: a diagonal gradient, darker at the top left.
    for y in range(HEIGHT):
        for x in range(WIDTH):
            t = 0.82 * x / (WIDTH - 1) + 0.18 * y / (HEIGHT - 1)
            pixels[y][x] = BG_FIRST + min(BG_COUNT - 1, int(t * BG_COUNT))

    # Faint diagonal stripes on the right, a little lighter than the ground.
    for y in range(HEIGHT):
        for x in range(300, WIDTH):
            if (x + y) % 14 < 2:
                pixels[y][x] = min(BG_FIRST + BG_COUNT - 1, pixels[y][x] + 10)

    # Emblem: a gold ring with a four-pointed star, lit from the top left.
    cx, cy = 38.0, 35.0
    for y in range(HEIGHT):
        for x in range(80):
            dx, dy = x - cx, y - cy
            r = math.hypot(dx, dy)
            light = 0.5 - 0.5 * (dx + dy) / (r * 1.5 + 1.0)
            ring = 24.0 <= r <= 29.0
            star = abs(dx) ** 0.5 + abs(dy) ** 0.5 <= 4.3
            if ring or star:
                shade = light if ring else 1.0 - r / 22.0 * 0.6
                level = max(0, min(GOLD_COUNT - 1, int(shade * GOLD_COUNT)))
                pixels[y][x] = GOLD_FIRST + level

    # Title with a shadow; the letters brighten towards their bottom.
    title, tx, ty, scale = "ZidoDiruv", 84, 8, 4
    for x, y, _ in text_cells(title, tx + 2, ty + 2, scale):
        pixels[y][x] = SHADOW
    height = 7 * scale
    for x, y, row in text_cells(title, tx, ty, scale):
        pixels[y][x] = TEXT_FIRST + min(TEXT_COUNT - 1, int(row / height * TEXT_COUNT))

    # A gold rule and the subtitle beneath the title.
    for x in range(tx, tx + 9 * 6 * scale - scale):
        pixels[ty + height + 5][x] = GOLD_FIRST + 20
    for x, y, _ in text_cells("AUTO PATCH", tx, ty + height + 11, 2):
        pixels[y][x] = GOLD_FIRST + GOLD_COUNT - 1

    # A gold line along the bottom edge frames the picture against the window.
    for x in range(WIDTH):
        pixels[HEIGHT - 1][x] = GOLD_FIRST + 12
    return pixels


def encode(pixels, palette):
    stride = (WIDTH + 3) & ~3
    image = bytearray()
    for row in reversed(pixels):  # bottom-up
        image += bytes(row) + bytes(stride - WIDTH)
    info = struct.pack("<IiiHHIIiiII", 40, WIDTH, HEIGHT, 1, 8, 0, len(image), 2835, 2835, 256, 0)
    colours = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in palette)
    offset = 14 + len(info) + len(colours)
    header = struct.pack("<2sIHHI", b"BM", offset + len(image), 0, 0, offset)
    return header + info + colours + bytes(image)


def as_c_array(data):
    lines = ["// Generated by tools/make_banner.py; do not edit.",
             "static const unsigned char kBannerBmp[%d] = {" % len(data)]
    for i in range(0, len(data), 16):
        lines.append("    " + ", ".join("0x%02x" % b for b in data[i:i + 16]) + ",")
    lines.append("};")
    return "\n".join(lines) + "\n"


def main(argv):
    if len(argv) not in (2, 3):
        sys.stderr.write(__doc__)
        return 2
    data = encode(draw(), build_palette())
    with open(argv[1], "wb") as f:
        f.write(data)
    if len(argv) == 3:
        with open(argv[2], "w") as f:
            f.write(as_c_array(data))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

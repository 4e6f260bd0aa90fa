#!/usr/bin/env python3
"""Draws the module's two icons and writes them as .ico files.

cabsfx.ico  (group icon 200): a computer with a box, 32 x 32, 256 colours.
replace.ico (group icon 205): one document replacing another, 32 x 32, 16 colours.

Usage: make_icons.py OUTPUT_DIR
"""
import struct
import sys
from pathlib import Path

# The 16-colour VGA palette; the 256-colour icon uses it as its first entries.
VGA = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, MAROON, GREEN, OLIVE, NAVY, PURPLE, TEAL, SILVER = range(8)
GREY, RED, LIME, YELLOW, BLUE, FUCHSIA, AQUA, WHITE = range(8, 16)
# Extra colours of the 256-colour icon.
BROWN, TAN, DARK_BROWN, SKY = 16, 17, 18, 19
EXTRA = [(150, 100, 50), (210, 170, 110), (100, 60, 25), (90, 150, 230)]

CLEAR = None


class Canvas:
    def __init__(self):
        self.px = [[CLEAR] * 32 for _ in range(32)]

    def fill(self, x0, y0, x1, y1, c):
        for y in range(y0, y1 + 1):
            for x in range(x0, x1 + 1):
                self.px[y][x] = c

    def frame(self, x0, y0, x1, y1, c):
        self.fill(x0, y0, x1, y0, c)
        self.fill(x0, y1, x1, y1, c)
        self.fill(x0, y0, x0, y1, c)
        self.fill(x1, y0, x1, y1, c)

    def line(self, x0, y0, x1, y1, c):
        steps = max(abs(x1 - x0), abs(y1 - y0))
        for i in range(steps + 1):
            x = x0 + round((x1 - x0) * i / steps)
            y = y0 + round((y1 - y0) * i / steps)
            self.px[y][x] = c


def computer_with_box():
    c = Canvas()
    # Monitor: bezel, dark screen with a sky-blue picture, stand.
    c.fill(1, 2, 22, 17, SILVER)
    c.frame(1, 2, 22, 17, BLACK)
    c.fill(4, 4, 19, 14, NAVY)
    c.fill(5, 5, 18, 13, SKY)
    c.fill(5, 11, 18, 13, TEAL)
    c.fill(9, 18, 14, 19, GREY)
    c.fill(6, 20, 17, 21, SILVER)
    c.frame(6, 20, 17, 21, BLACK)
    # Keyboard.
    c.fill(2, 23, 19, 27, SILVER)
    c.frame(2, 23, 19, 27, BLACK)
    for x in range(4, 18, 2):
        c.fill(x, 25, x, 25, GREY)
    # The box in front, lower right: front face, top face, side, tape.
    c.fill(16, 17, 29, 29, BROWN)
    c.fill(18, 14, 31, 16, TAN)
    c.fill(30, 17, 31, 29, DARK_BROWN)
    c.frame(16, 17, 29, 29, BLACK)
    c.line(16, 17, 18, 14, BLACK)
    c.line(29, 17, 31, 14, BLACK)
    c.fill(18, 14, 31, 14, BLACK)
    c.fill(31, 14, 31, 29, BLACK)
    c.fill(22, 17, 23, 29, TAN)
    c.fill(24, 14, 25, 16, BROWN)
    return c


def document(c, x0, y0, paper, ink):
    c.fill(x0, y0, x0 + 13, y0 + 17, paper)
    c.frame(x0, y0, x0 + 13, y0 + 17, BLACK)
    # Folded corner.
    c.fill(x0 + 10, y0, x0 + 13, y0 + 3, CLEAR)
    c.line(x0 + 10, y0, x0 + 13, y0 + 3, BLACK)
    c.fill(x0 + 10, y0, x0 + 10, y0 + 3, BLACK)
    c.fill(x0 + 10, y0 + 3, x0 + 13, y0 + 3, BLACK)
    for y in range(y0 + 6, y0 + 16, 3):
        c.fill(x0 + 3, y, x0 + 10, y, ink)


def replace_document():
    c = Canvas()
    document(c, 1, 1, SILVER, GREY)     # the existing file, behind
    document(c, 16, 13, WHITE, NAVY)    # the incoming file, in front
    # Arrow from the new document to the old one.
    c.line(14, 22, 9, 22, GREEN)
    c.line(14, 23, 9, 23, GREEN)
    c.line(9, 22, 9, 19, GREEN)
    c.line(10, 22, 10, 19, GREEN)
    c.fill(7, 19, 12, 19, GREEN)
    c.fill(8, 18, 11, 18, GREEN)
    c.fill(9, 17, 10, 17, GREEN)
    return c


def write_ico(path, canvas, bits):
    colours = 1 << bits
    palette = (VGA + EXTRA) if bits == 8 else VGA
    palette = palette + [(0, 0, 0)] * (colours - len(palette))
    row_bytes = 32 * bits // 8
    xor = bytearray()
    mask = bytearray()
    for y in range(31, -1, -1):  # bottom-up rows
        row = canvas.px[y]
        if bits == 8:
            xor += bytes(0 if p is CLEAR else p for p in row)
        else:
            for x in range(0, 32, 2):
                hi = 0 if row[x] is CLEAR else row[x]
                lo = 0 if row[x + 1] is CLEAR else row[x + 1]
                xor.append(hi << 4 | lo)
        bits_row = 0
        for x in range(32):
            if row[x] is CLEAR:
                bits_row |= 1 << (31 - x)
        mask += struct.pack('>I', bits_row)
    assert len(xor) == row_bytes * 32
    header = struct.pack('<IiiHHIIiiII', 40, 32, 64, 1, bits, 0, 0, 0, 0, 0, 0)
    pal = b''.join(struct.pack('BBBB', b, g, r, 0) for (r, g, b) in palette)
    image = header + pal + bytes(xor) + bytes(mask)
    directory = struct.pack('<HHH', 0, 1, 1)
    entry = struct.pack('<BBBBHHII', 32, 32, 0 if colours >= 256 else colours, 0, 1, bits,
                        len(image), 6 + 16)
    Path(path).write_bytes(directory + entry + image)


def main():
    out = Path(sys.argv[1])
    out.mkdir(parents=True, exist_ok=True)
    write_ico(out / 'cabsfx.ico', computer_with_box(), 8)
    write_ico(out / 'replace.ico', replace_document(), 4)


if __name__ == '__main__':
    main()

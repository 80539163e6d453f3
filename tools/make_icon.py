#!/usr/bin/env python3
"""Draws the program's 48 x 48, 16-colour icon as an XPM (no libraries needed).

Usage: tools/make_icon.py > data/varlo-zintabel.xpm
       convert data/varlo-zintabel.xpm -colors 16 PNG8:data/varlo-zintabel.png
The Windows icon (48, 32 and 16 pixels) is made from the PNG:
       convert data/varlo-zintabel.png \( -clone 0 -resize 32x32 \) \
               \( -clone 0 -resize 16x16 \) data/varlo-zintabel.ico
"""

SIZE = 48
PALETTE = {
    ".": "None",      # transparent
    "g": "#808080",   # window grey
    "d": "#404040",   # outline
    "w": "#FFFFFF",   # our bubble
    "b": "#5555FF",   # the peer's bubble, in the colour of received text
    "k": "#000000",   # text lines
}


def inside_round_rect(x, y, left, top, right, bottom, radius):
    if not (left <= x <= right and top <= y <= bottom):
        return False
    cx = min(max(x, left + radius), right - radius)
    cy = min(max(y, top + radius), bottom - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2


def bubble(canvas, box, tail, fill):
    left, top, right, bottom = box
    for y in range(SIZE):
        for x in range(SIZE):
            body = inside_round_rect(x, y, left, top, right, bottom, 5)
            tx, ty, direction = tail
            in_tail = ty <= y <= ty + 6 and (
                (direction > 0 and tx <= x <= tx + (ty + 6 - y)) or
                (direction < 0 and tx - (ty + 6 - y) <= x <= tx))
            if body or in_tail:
                edge = not (inside_round_rect(x, y, left + 1, top + 1, right - 1, bottom - 1, 4) or in_tail)
                canvas[y][x] = "d" if edge else fill


def lines(canvas, box, count):
    left, top, right, _ = box
    for i in range(count):
        y = top + 5 + i * 4
        for x in range(left + 4, right - 4 - (i % 2) * 5):
            canvas[y][x] = "k"


def main():
    canvas = [["." for _ in range(SIZE)] for _ in range(SIZE)]
    mine, theirs = (2, 3, 33, 21), (14, 22, 45, 40)
    bubble(canvas, mine, (8, 21, 1), "w")
    bubble(canvas, theirs, (39, 40, -1), "b")
    lines(canvas, mine, 3)
    lines(canvas, theirs, 3)
    print("/* XPM */")
    print("static const char *varlo_zintabel[] = {")
    print(f'"{SIZE} {SIZE} {len(PALETTE)} 1",')
    for key, colour in PALETTE.items():
        print(f'"{key} c {colour}",')
    print(",\n".join(f'"{"".join(row)}"' for row in canvas))
    print("};")


if __name__ == "__main__":
    main()

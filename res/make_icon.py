#!/usr/bin/env python3
"""Draws the starter's icon and writes it as an .ico file: one 16 x 16 image, 32 bits per pixel.

The picture is a white "V" on a rounded blue square, anti-aliased by 4 x 4 supersampling.

    make_icon.py OUTPUT.ico
"""
import struct
import sys

SIZE = 16
SAMPLES = 4
BACKGROUND = (0x1E, 0x5A, 0xA8)  # R, G, B
MARK = (0xFF, 0xFF, 0xFF)


def inside_rounded_square(x, y, radius=3.5):
    # Distance to the square [0.5, 15.5] with its corners rounded off.
    cx = min(max(x, 0.5 + radius), SIZE - 0.5 - radius)
    cy = min(max(y, 0.5 + radius), SIZE - 0.5 - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2


def distance_to_segment(x, y, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((x - ax) * dx + (y - ay) * dy) / (dx * dx + dy * dy)))
    return ((x - ax - t * dx) ** 2 + (y - ay - t * dy) ** 2) ** 0.5


def inside_mark(x, y, half_width=1.25):
    return (distance_to_segment(x, y, 4.0, 4.0, 8.0, 12.0) <= half_width
            or distance_to_segment(x, y, 12.0, 4.0, 8.0, 12.0) <= half_width)


def pixel(px, py):
    """(B, G, R, A) of one pixel, straight (not premultiplied) alpha."""
    square = mark = 0
    for sy in range(SAMPLES):
        for sx in range(SAMPLES):
            x = px + (sx + 0.5) / SAMPLES
            y = py + (sy + 0.5) / SAMPLES
            if inside_rounded_square(x, y):
                square += 1
                if inside_mark(x, y):
                    mark += 1
    if square == 0:
        return (0, 0, 0, 0)
    share = mark / square
    r, g, b = (round(bg + (fg - bg) * share) for bg, fg in zip(BACKGROUND, MARK))
    return (b, g, r, round(255 * square / (SAMPLES * SAMPLES)))


def icon_bytes():
    rows = []
    for py in reversed(range(SIZE)):  # a DIB is stored bottom-up
        rows.append(b"".join(bytes(pixel(px, py)) for px in range(SIZE)))
    colour = b"".join(rows)
    mask_row = (SIZE + 31) // 32 * 4  # the AND mask's rows are padded to 32 bits
    mask = bytes(mask_row * SIZE)  # all zero: the alpha channel alone decides
    # BITMAPINFOHEADER: the height counts the colour image and the mask together.
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 32, 0, len(colour) + len(mask), 0, 0, 0, 0)
    image = header + colour + mask
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 32, len(image), 6 + 16)
    return directory + entry + image


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make_icon.py OUTPUT.ico")
    with open(sys.argv[1], "wb") as f:
        f.write(icon_bytes())


if __name__ == "__main__":
    main()

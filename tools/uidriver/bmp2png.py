#!/usr/bin/env python3
"""Converts the uncompressed 24- or 32-bit BMP files that `vxuidriver screenshot` writes into PNG.

    bmp2png.py INPUT.bmp OUTPUT.png
    or from Python: bmp2png.convert(bmp_path, png_path)
"""
import struct
import sys
import zlib


def read_bmp(path):
    """(width, height, rows of RGB bytes from the top)."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:2] != b"BM":
        raise ValueError(f"{path}: not a BMP file")
    offset = struct.unpack_from("<I", data, 10)[0]
    _, width, height, _, bits, compression = struct.unpack_from("<IiiHHI", data, 14)
    if bits not in (24, 32) or compression != 0:
        raise ValueError(f"{path}: only uncompressed 24- and 32-bit BMP files are supported")
    top_down = height < 0
    height = abs(height)
    pixel_size = bits // 8
    stride = (width * pixel_size + 3) & ~3
    rows = []
    for y in range(height):
        stored = y if top_down else height - 1 - y
        start = offset + stored * stride
        line = data[start:start + width * pixel_size]
        rgb = bytearray(width * 3)
        rgb[0::3] = line[2::pixel_size]
        rgb[1::3] = line[1::pixel_size]
        rgb[2::3] = line[0::pixel_size]
        rows.append(bytes(rgb))
    return width, height, rows


def png_chunk(kind, body):
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF)


def write_png(path, width, height, rows):
    raw = b"".join(b"\x00" + row for row in rows)  # filter type 0 on every row
    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)  # 8-bit RGB
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(png_chunk(b"IHDR", header))
        f.write(png_chunk(b"IDAT", zlib.compress(raw, 9)))
        f.write(png_chunk(b"IEND", b""))


def convert(bmp_path, png_path):
    write_png(png_path, *read_bmp(bmp_path))


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit("usage: bmp2png.py INPUT.bmp OUTPUT.png")
    convert(sys.argv[1], sys.argv[2])

#!/usr/bin/env python3
"""Makes the Windows icon (zodiva.ico) from the program's PNG icon, with the standard library
only: 48, 32 and 16 pixel images as 32-bit DIBs with alpha, each an area average of the PNG.
  app/win32/tools/png_to_ico.py app/qt/resources/zodiva.png app/win32/zodiva.ico
"""
import struct
import sys
import zlib


def read_rgba_png(path):
    data = open(path, "rb").read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG file"
    pos, idat, width, height = 8, b"", 0, 0
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", body)
            assert depth == 8 and colour == 6 and interlace == 0, "needs 8-bit RGBA, not interlaced"
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    raw = zlib.decompress(idat)
    stride = width * 4
    rows, previous, at = [], bytearray(stride), 0
    for _ in range(height):
        kind, line = raw[at], bytearray(raw[at + 1:at + 1 + stride])
        at += 1 + stride
        for i in range(stride):
            left = line[i - 4] if i >= 4 else 0
            up = previous[i]
            corner = previous[i - 4] if i >= 4 else 0
            if kind == 1:
                line[i] = (line[i] + left) & 0xFF
            elif kind == 2:
                line[i] = (line[i] + up) & 0xFF
            elif kind == 3:
                line[i] = (line[i] + (left + up) // 2) & 0xFF
            elif kind == 4:
                p = left + up - corner
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - corner)
                pred = left if pa <= pb and pa <= pc else (up if pb <= pc else corner)
                line[i] = (line[i] + pred) & 0xFF
        rows.append(line)
        previous = line
    return width, height, rows


def scaled(width, height, rows, size):
    """Area average with premultiplied alpha, so transparent pixels do not darken edges."""
    out = []
    for y in range(size):
        y0, y1 = y * height // size, (y + 1) * height // size
        line = []
        for x in range(size):
            x0, x1 = x * width // size, (x + 1) * width // size
            r = g = b = a = 0
            for yy in range(y0, y1):
                row = rows[yy]
                for xx in range(x0, x1):
                    pa = row[xx * 4 + 3]
                    r += row[xx * 4] * pa
                    g += row[xx * 4 + 1] * pa
                    b += row[xx * 4 + 2] * pa
                    a += pa
            count = (y1 - y0) * (x1 - x0)
            line.append((r // a, g // a, b // a, a // count) if a else (0, 0, 0, 0))
        out.append(line)
    return out


def dib(pixels, size):
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    colour = b"".join(bytes((b, g, r, a)) for line in reversed(pixels) for (r, g, b, a) in line)
    mask_stride = ((size + 31) // 32) * 4
    mask = bytes(mask_stride * size)  # the alpha channel decides; the AND mask stays clear
    return header + colour + mask


def main():
    width, height, rows = read_rgba_png(sys.argv[1])
    images = [(size, dib(scaled(width, height, rows, size), size)) for size in (48, 32, 16)]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, image in images:
        out += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    out += b"".join(image for _, image in images)
    open(sys.argv[2], "wb").write(out)


if __name__ == "__main__":
    main()

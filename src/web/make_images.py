#!/usr/bin/env python3
"""Writes the page's two images into resources/: the 8x8 busy background (GIF) and the 48x48
default agent icon (PNG). Not part of the build: run it by hand after changing the drawing and
commit the files it writes. Needs only the Python standard library."""
import math
import os
import struct
import zlib

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "resources")


def wait_gif():
    # Four colours; diagonal stripes that tile seamlessly at 8x8.
    palette = [(0xFF, 0xFF, 0xFF), (0xE4, 0xEA, 0xF2), (0xC8, 0xD4, 0xE4), (0x00, 0x00, 0x00)]
    pixels = []
    for y in range(8):
        for x in range(8):
            d = (x + y) % 8
            pixels.append(2 if d < 2 else 1 if d < 4 else 0)
    # LZW with a minimum code size of 2 kept at 3-bit codes: a clear code before every pair of
    # pixels, so the table never grows past the width every decoder agrees on.
    clear, end, width = 4, 5, 3
    codes = []
    for i in range(0, len(pixels), 2):
        codes += [clear] + pixels[i:i + 2]
    codes.append(end)
    bits, nbits, data = 0, 0, bytearray()
    for c in codes:
        bits |= c << nbits
        nbits += width
        while nbits >= 8:
            data.append(bits & 0xFF)
            bits >>= 8
            nbits -= 8
    if nbits:
        data.append(bits & 0xFF)
    out = bytearray(b"GIF89a")
    out += struct.pack("<HHBBB", 8, 8, 0xF1, 0, 0)  # global table of 4 colours
    for r, g, b in palette:
        out += bytes((r, g, b))
    out += b"\x2C" + struct.pack("<HHHHB", 0, 0, 8, 8, 0)  # image descriptor
    out += bytes((2,))  # minimum code size
    for i in range(0, len(data), 255):
        block = data[i:i + 255]
        out += bytes((len(block),)) + block
    out += b"\x00\x3B"  # block terminator, trailer
    return bytes(out)


def orvo_png():
    size, samples = 48, 4
    rows = bytearray()
    for y in range(size):
        rows.append(0)  # filter: none
        for x in range(size):
            acc = [0.0, 0.0, 0.0, 0.0]
            for sy in range(samples):
                for sx in range(samples):
                    px = x + (sx + 0.5) / samples - size / 2
                    py = y + (sy + 0.5) / samples - size / 2
                    r = math.hypot(px, py)
                    if r > 22.5:
                        continue
                    if 9.0 <= r <= 14.0:  # the white ring
                        c = (255, 255, 255)
                    else:  # blue disc, lighter towards the top
                        t = (py + 22.5) / 45.0
                        c = (int(40 + 40 * (1 - t)), int(100 + 60 * (1 - t)), int(190 + 50 * (1 - t)))
                    acc[0] += c[0]
                    acc[1] += c[1]
                    acc[2] += c[2]
                    acc[3] += 255
            n = samples * samples
            alpha = acc[3] / n
            if alpha:
                cover = acc[3] / 255
                rows += bytes((round(acc[0] / cover), round(acc[1] / cover), round(acc[2] / cover),
                               round(alpha)))
            else:
                rows += bytes(4)

    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body +
                struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))

    ihdr = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + chunk(b"IDAT", zlib.compress(bytes(rows), 9)) +
            chunk(b"IEND", b""))


if __name__ == "__main__":
    with open(os.path.join(HERE, "_WAIT_GIF.gif"), "wb") as f:
        f.write(wait_gif())
    with open(os.path.join(HERE, "_ICONS_ORVO.png"), "wb") as f:
        f.write(orvo_png())

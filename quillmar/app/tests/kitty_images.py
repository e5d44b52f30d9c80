#!/usr/bin/env python3
"""Writes kitty graphics commands to standard output: COUNT images of
SIDE x SIDE RGBA pixels, zlib-compressed, sent in chunks and placed (a=T),
optionally one more declared larger than any cache allows.
   kitty_images.py COUNT SIDE [huge]"""
import base64
import sys
import zlib

count, side = int(sys.argv[1]), int(sys.argv[2])
out = sys.stdout.buffer


def compressed(n):
    # Streamed, so that the raw pixels never sit in memory whole.
    z = zlib.compressobj(6)
    row = bytes([0x20, 0x40, 0x80, 0xFF]) * 8192
    parts, left = [], n
    while left:
        take = min(left, len(row))
        parts.append(z.compress(row[:take]))
        left -= take
    parts.append(z.flush())
    return b"".join(parts)


data = base64.standard_b64encode(compressed(side * side * 4))
for i in range(count):
    chunks = [data[k:k + 4096] for k in range(0, len(data), 4096)]
    for n, chunk in enumerate(chunks):
        more = 1 if n + 1 < len(chunks) else 0
        keys = f"a=T,f=32,o=z,s={side},v={side},i={i + 1},c=10,r=4,q=2,m={more}" if n == 0 else f"m={more}"
        out.write(b"\x1b_G" + keys.encode() + b";" + chunk + b"\x1b\\")
    out.write(b"\r\n")
if len(sys.argv) > 3:
    # 40000 x 40000 x 4 bytes: over any cache limit, refused before a byte is read.
    out.write(b"\x1b_Ga=T,f=32,o=z,s=40000,v=40000,i=99;" + base64.standard_b64encode(compressed(4096)) + b"\x1b\\\r\n")
out.flush()

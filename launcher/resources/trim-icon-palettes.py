#!/usr/bin/env python3
"""Rewrites the 256-colour images of an .ico so that each palette holds only the colours the image
uses (biClrUsed), as a DIB may: the images stay 8 bits a pixel, and the icon loses most of the
1 KB palette each image carried. Usage: trim-icon-palettes.py ICON."""
import struct
import sys

path = sys.argv[1]
data = bytearray(open(path, 'rb').read())
_, _, count = struct.unpack_from('<HHH', data, 0)
entries = []
for i in range(count):
    w, h, colours, _, planes, bits, size, offset = struct.unpack_from('<BBBBHHII', data, 6 + 16 * i)
    entries.append([w, h, colours, planes, bits, bytes(data[offset:offset + size])])

out_images = []
for e in entries:
    image = e[5]
    (hsize, width, height2, planes, bits, compression, _, _, _, used, _) = struct.unpack_from('<IiiHHIIiiII', image, 0)
    if bits != 8:
        out_images.append(image)
        continue
    palette_count = used or 256
    palette = image[hsize:hsize + 4 * palette_count]
    pixels_at = hsize + 4 * palette_count
    height = height2 // 2
    stride = (width + 3) & ~3
    pixels = bytearray(image[pixels_at:pixels_at + stride * height])
    rest = image[pixels_at + stride * height:]
    order = sorted({pixels[y * stride + x] for y in range(height) for x in range(width)})
    remap = {old: new for new, old in enumerate(order)}
    for y in range(height):
        for x in range(width):
            pixels[y * stride + x] = remap[pixels[y * stride + x]]
    header = bytearray(image[:hsize])
    struct.pack_into('<I', header, 32, len(order))  # biClrUsed
    struct.pack_into('<I', header, 20, 0)           # biSizeImage: worked out by the reader
    new_palette = b''.join(palette[4 * i:4 * i + 4] for i in order)
    out_images.append(bytes(header) + new_palette + bytes(pixels) + rest)

out = bytearray(struct.pack('<HHH', 0, 1, count))
offset = 6 + 16 * count
for e, image in zip(entries, out_images):
    out += struct.pack('<BBBBHHII', e[0], e[1], e[2], 0, e[3], e[4], len(image), offset)
    offset += len(image)
for image in out_images:
    out += image
open(path, 'wb').write(out)

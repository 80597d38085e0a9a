#!/usr/bin/env python3
"""Writes crafted files of one class of hostile input into a folder, for
scripts/check-bounds.sh: each class is a file that once cost far more time or memory
than its output explains.
    scripts/hostile-files.py <class> <folder>
    tests/bounds/hostile_files.py --list"""
import os
import struct
import subprocess
import sys
import tempfile
import zlib


def u16(*v): return struct.pack('<%dH' % len(v), *[x & 0xFFFF for x in v])
def u32(*v): return struct.pack('<%dI' % len(v), *[x & 0xFFFFFFFF for x in v])


# ------------------------------------------------------------------ WMF

def wmf(records, side=100):
    placeable = u32(0x9AC6CDD7) + u16(0, 0, 0, side, side, 96) + u32(0)
    check = 0
    for i in range(0, 20, 2):
        check ^= struct.unpack('<H', placeable[i:i + 2])[0]
    placeable += u16(check)
    body = b''.join(records) + u32(3) + u16(0)
    header = u16(1, 9, 0x300) + u32((18 + len(body)) // 2) + u16(4) + u32(0x1000) + u16(0)
    return placeable + header + body


def wmf_record(function, params):
    if len(params) % 2:
        params += b'\0'
    return u32(3 + len(params) // 2) + u16(function) + params


def wmf_font(height):
    return wmf_record(0x02FB, u16(height & 0xFFFF, 0, 0, 0, 400) + bytes(8) + b'Arial'.ljust(32, b'\0'))


def wmf_text_huge():
    # One font of 9000 pixels, then one distinct letter after another over the picture.
    records = [wmf_font(-9000), wmf_record(0x012D, u16(0))]
    for c in list(range(0x41, 0x5B)) + list(range(0x61, 0x7B)) + list(range(0xC0, 0x100)):
        records.append(wmf_record(0x0521, u16(2) + bytes([c, c]) + u16(-3000, -3000)))
    return wmf(records)


# ------------------------------------------------------------------ EMF

def emf(records, side=100, handles=4):
    body = b''.join(records)
    eof = u32(14, 20, 0, 16, 20)
    total = 88 + len(body) + len(eof)
    header = u32(1, 88, 0, 0, side - 1, side - 1, 0, 0, side * 2540 // 96, side * 2540 // 96, 0x464D4520, 0x10000,
                 total, len(records) + 2) + u16(handles, 0) + u32(0, 0, 0, 960, 960, 254, 254)
    return header + body + eof


def emf_font(height, index=1):
    face = 'Arial'.encode('utf-16-le').ljust(64, b'\0')
    logfont = u32(height, 0, 0, 0, 400) + bytes(8) + face
    return u32(82, 12 + len(logfont), index) + logfont


def emf_select(index):
    return u32(37, 12, index)


def emf_ext_text(x, y, text):
    s = text.encode('utf-16-le')
    s += b'\0' * (-len(s) % 4)
    return u32(84, 76 + len(s), 0, 0, 0, 0, 1, 0, 0, x, y, len(text), 76, 0, 0, 0, 0, 0, 0) + s


def emf_text_huge():
    records = [emf_font(-9500), emf_select(1)]
    letters = [chr(c) for c in list(range(0x41, 0x5B)) + list(range(0x61, 0x7B)) + list(range(0xC0, 0x180))]
    records += [emf_ext_text(-3000, -3000, c) for c in letters]
    return emf(records)


def emf_polytext_many():
    # One PolyTextOut of 50,000 one-letter strings outside the picture.
    count = 50000
    first = 40
    strings_at = first + 40 * count
    texts = b''
    entries = b''
    for i in range(count):
        entries += u32(-5000, -5000, 1, strings_at + 4 * i, 0, 0, 0, 0, 0, 0)
        texts += 'A'.encode('utf-16-le') + b'\0\0'
    record = u32(97, 0, 0, 0, 0, 0, 1, 0, 0, count) + entries + texts
    record = record[:4] + u32(len(record)) + record[8:]
    return emf([emf_font(-12), emf_select(1), record])


def emf_stretch_tiny_dib():
    # StretchDIBits of a one-pixel DIB over a large picture, again and again.
    dib = u32(40, 1, 1) + u16(1, 32) + u32(0, 4, 0, 0, 0, 0) + u32(0x00FF8040)
    record = u32(81, 80 + len(dib), 0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 80, 40, 120, 4, 0, 0x00CC0020, 4000, 4000) + dib
    return emf([record] * 20000, side=4000)


# ------------------------------------------------------------------ JPEG

def jpeg_arithmetic_marker():
    # An arithmetic-coded JPEG of 18000 x 18000 whose scan meets the end marker at once.
    with tempfile.TemporaryDirectory() as work:
        ppm = os.path.join(work, 'in.ppm')
        with open(ppm, 'wb') as f:
            f.write(b'P6 16 16 255\n' + bytes(16 * 16 * 3))
        small = subprocess.run(['cjpeg', '-arithmetic', ppm], capture_output=True, check=True).stdout
    out = bytearray()
    i = 2
    out += small[:2]
    while i < len(small):
        marker, length = small[i + 1], struct.unpack('>H', small[i + 2:i + 4])[0]
        segment = bytearray(small[i:i + 2 + length])
        if marker == 0xC9:  # SOF9: arithmetic, sequential
            segment[5:9] = struct.pack('>HH', 18000, 18000)
        out += segment
        i += 2 + length
        if marker == 0xDA:
            break
    return bytes(out + b'\xFF\xD9')


def progressive_of_few_rows(arithmetic, width, rows, height):
    # A greyscale progressive JPEG of width x rows made by cjpeg, its frame made height rows
    # high: the DC data of its first scan covers rows / height of the image.
    with tempfile.TemporaryDirectory() as work:
        pgm = os.path.join(work, 'in.pgm')
        with open(pgm, 'wb') as f:
            # Blocks of differing greys, so that the DC data lasts to the last of these rows.
            line = bytes((x // 8 * 37) % 256 for x in range(width))
            f.write(b'P5 %d %d 255\n' % (width, rows) + b''.join(line[y // 8 % 5:] + line[:y // 8 % 5]
                                                                   for y in range(rows)))
        options = ['-arithmetic'] if arithmetic else []
        small = subprocess.run(['cjpeg'] + options + ['-progressive', '-grayscale', pgm], capture_output=True,
                               check=True).stdout
    out = bytearray(small[:2])
    i = 2
    while i < len(small):
        marker = small[i + 1]
        if marker == 0xD9:
            break
        length = struct.unpack('>H', small[i + 2:i + 4])[0]
        segment = bytearray(small[i:i + 2 + length])
        if marker in (0xC2, 0xCA):  # SOF2 and SOF10: progressive
            segment[5:7] = struct.pack('>H', height)
        out += segment
        i += 2 + length
        if marker == 0xDA:
            end = small.index(b'\xff', i)
            while small[end + 1] == 0:
                end = small.index(b'\xff', end + 2)
            out += small[i:end]
            i = end
    return bytes(out + b'\xff\xd9')


def jpeg_huffman_progressive_few_dc_rows():
    # Every scan of a 16000 x 240 image, in a frame of 16000 x 16000: DC data for 1.5 %
    # of the rows, beside a coefficient buffer for all of them.
    return progressive_of_few_rows(False, 16000, 240, 16000)


def jpeg_arithmetic_empty_scans():
    # A greyscale arithmetic-coded progressive JPEG of 16000 x 16000 whose first scan holds
    # the DC data of 400 rows (more than one in a hundred), then 99 scans without data,
    # each going over every block again.
    first = progressive_of_few_rows(True, 16000, 400, 16000)
    first = first[:first.index(b'\xff\xda', first.index(b'\xff\xda') + 2)]  # up to its second scan
    empty = b'\xff\xda' + struct.pack('>HBBBBBB', 8, 1, 1, 0, 1, 63, 0)
    return first + empty * 99 + b'\xff\xd9'


# ------------------------------------------------------------------ PNG and icons

def png_chunk(kind, data):
    return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data))


def png(width, height, colour, idat, interlace=0, end=True):
    out = b'\x89PNG\r\n\x1a\n' + png_chunk(b'IHDR', struct.pack('>IIBBBBB', width, height, 8, colour, 0, 0, interlace))
    out += png_chunk(b'IDAT', idat)
    return out + (png_chunk(b'IEND', b'') if end else b'')


def png_interlaced_first_pass():
    # 16384 x 16384 colour, interlaced, with the data of its first pass only (one row in
    # eight, one pixel in eight).
    side = 16384
    rows = b''.join(b'\0' + bytes(side // 8 * 3) for _ in range(side // 8))
    return png(side, side, 2, zlib.compress(rows, 9), interlace=1, end=False)


def icon(images):
    count = len(images)
    out = u16(0, 1, count)
    offset = 6 + 16 * count
    for image in images:
        out += bytes([0, 0, 0, 0]) + u16(1, 32) + u32(len(image), offset)
        offset += len(image)
    return out + b''.join(images)


def ico_png_entries():
    # 12,000 entries, each its own small PNG of 256 x 256 grey pixels.
    entry = png(256, 256, 0, zlib.compress(b''.join(b'\0' + bytes(256) for _ in range(256)), 9))
    return icon([entry] * 12000)


def ico_png_second_header():
    # A 16 x 16 PNG entry whose second header asks for 20000 x 20000, with all its rows.
    side = 20000
    entry = b'\x89PNG\r\n\x1a\n' + png_chunk(b'IHDR', struct.pack('>IIBBBBB', 16, 16, 8, 0, 0, 0, 0))
    entry += png_chunk(b'IHDR', struct.pack('>IIBBBBB', side, side, 8, 0, 0, 0, 0))
    packer = zlib.compressobj(9)
    row = bytes(side + 1)
    idat = b''.join(packer.compress(row) for _ in range(side)) + packer.flush()
    entry += png_chunk(b'IDAT', idat) + png_chunk(b'IEND', b'')
    return icon([entry])


# ------------------------------------------------------------------ GIF

def gif_frame_inside_screen():
    # A screen of 32001 x 32001 and one frame of 32000 x 32000 at (1, 1) with the data that
    # pays for its pixels (one byte for 4096): the screen is made around the frame.
    screen = 32001
    out = b'GIF89a' + u16(screen, screen) + bytes([0x80, 0, 0]) + bytes([0, 0, 0, 255, 255, 255])
    out += b',' + u16(1, 1, screen - 1, screen - 1) + bytes([0]) + bytes([2])
    out += (bytes([255]) + bytes(255)) * (1000 * 1000 * 1024 // 4096 // 255 + 1)
    return out + bytes([0]) + b';'


# ------------------------------------------------------------------ PCX

def pcx_one_column():
    # Rows of 32767 bytes, 8192 of them, in runs of 63, for an image one pixel wide.
    line, height = 32767, 8192
    header = bytes([10, 5, 1, 8]) + u16(0, 0, 0, height - 1, 96, 96) + bytes(48) + bytes([0, 1]) + u16(line, 1)
    header += bytes(128 - len(header))
    row = bytes([0xFF, 0x80]) * (line // 63) + bytes([0xC0 | line % 63, 0x80])
    return header + row * height


def gif_many_extensions():
    # 4 million empty comment extensions of three bytes each, then a 1 x 1 image.
    out = b'GIF89a' + u16(1, 1) + bytes([0x80, 0, 0]) + bytes([0, 0, 0, 255, 255, 255])
    out += b'\x21\xfe\x00' * 4000000
    return out + b',' + u16(0, 0, 1, 1) + bytes([0, 2, 2, 0x4C, 0x01, 0]) + b';'


# ------------------------------------------------------------------ JNG

def jng_many_scans():
    # A JNG whose JPEG data, progressive, 4096 x 4096, repeats an empty scan 1000 times.
    jpeg = progressive_of_few_rows(False, 4096, 4096, 4096)
    first = jpeg[:jpeg.index(b'\xff\xda', jpeg.index(b'\xff\xda') + 2)]
    empty = b'\xff\xda' + struct.pack('>HBBBBBB', 8, 1, 1, 0, 1, 63, 0)
    jpeg = first + empty * 1000 + b'\xff\xd9'
    out = b'\x8bJNG\r\n\x1a\n'
    out += png_chunk(b'JHDR', struct.pack('>IIBBBBBBBB', 4096, 4096, 8, 8, 8, 8, 0, 0, 0, 0))
    out += png_chunk(b'JDAT', jpeg)
    return out + png_chunk(b'IEND', b'')


CLASSES = {
    'wmf-text-huge-glyphs': ('wmf', wmf_text_huge),
    'emf-text-huge-glyphs': ('emf', emf_text_huge),
    'emf-polytext-many-strings': ('emf', emf_polytext_many),
    'emf-stretch-tiny-dib': ('emf', emf_stretch_tiny_dib),
    'jpeg-arithmetic-marker-at-once': ('jpg', jpeg_arithmetic_marker),
    'jpeg-arithmetic-empty-scans': ('jpg', jpeg_arithmetic_empty_scans),
    'jpeg-huffman-progressive-few-dc-rows': ('jpg', jpeg_huffman_progressive_few_dc_rows),
    'png-interlaced-first-pass': ('png', png_interlaced_first_pass),
    'ico-png-entries': ('ico', ico_png_entries),
    'ico-png-second-header': ('ico', ico_png_second_header),
    'gif-frame-inside-screen': ('gif', gif_frame_inside_screen),
    'pcx-one-column': ('pcx', pcx_one_column),
    'gif-many-extensions': ('gif', gif_many_extensions),
    'jng-many-scans': ('jng', jng_many_scans),
}


def main():
    if sys.argv[1:] == ['--list']:
        print('\n'.join(CLASSES))
        return
    name, folder = sys.argv[1], sys.argv[2]
    ext, make = CLASSES[name]
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, '%s.%s' % (name, ext)), 'wb') as f:
        f.write(make())


if __name__ == '__main__':
    main()

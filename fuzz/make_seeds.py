#!/usr/bin/env python3
"""Writes the seed corpora in fuzz/corpus/ (the input layouts are described
at the top of each fuzz_*.cpp). Crash inputs kept as regression cases live
beside the seeds and are not touched."""
import os
import struct

here = os.path.dirname(os.path.abspath(__file__))


def put(target, name, data):
    d = os.path.join(here, "corpus", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


def block(n, blk, mode, body):
    return struct.pack("<hbB", n, blk, mode) + body


# Driver answers: status byte, then per call what it reads.
def queue(count, status=0):
    return bytes([status]) + struct.pack("<I", count)


def read(claim, data, status=0):
    return bytes([status]) + struct.pack("<I", claim) + data


pixels = bytes((i * 37) & 0xFF for i in range(8192))
put("screen", "one_block", block(8192, 0, 17, bytes([0]) + queue(8192) + read(8192, pixels)))
put("screen", "five_blocks", block(640, 4, 12, b"".join(
    bytes([0]) + (queue(8192) if i == 0 else b"") + read(8192, pixels) for i in range(5))))
put("screen", "negative_count", block(-300, -2, 3, bytes(range(256))))
put("screen", "huge_count", block(12000, 1, 16, bytes([0]) + queue(0xFFFFFFF0) + read(0xFFFFFFFF, pixels[:500])))
put("screen", "failing_steps", block(100, 2, 11, bytes([0xF4]) + bytes([0]) + queue(10, 0xF4) + queue(9000)
                                     + read(50, pixels[:50], 0xF4)))


def record(stale, count, index, claim, data, status=0):
    return (stale.ljust(50, b"\0")[:50] + struct.pack("<qi", count, index) + bytes([status])
            + struct.pack("<I", claim) + data)


rec = b"0012 Mains interruption".ljust(39, b" ") + b"\n"
put("logrecord", "record", record(b"", 50, 7, 40, rec))
put("logrecord", "end_marker", record(rec, 36, 2, 36, b" End of log".ljust(39) + b"\n"))
put("logrecord", "short_over_stale", record(rec, 50, 980, 10, b"0001 Sh"))
put("logrecord", "wild_counts", record(b"X" * 50, -5, -1, 0xFFFFFFFF, b"no space at all" * 4))
put("logrecord", "read_fails", record(rec, 1 << 40, 2**31 - 1, 50, rec, 0xF4))


def bmp(w, h, header_h=None):
    """A 24-bit bitmap, bottom-up rows padded to four bytes; header_h overrides the height field."""
    stride = (w * 3 + 3) & ~3
    pixels = b"".join(b"".join(bytes((x * 40 % 256, y * 60 % 256, 200)) for x in range(w)).ljust(stride, b"\0")
                      for y in range(h))
    info = struct.pack("<IiiHHIIiiII", 40, w, h if header_h is None else header_h, 1, 24, 0, len(pixels),
                       2835, 2835, 0, 0)
    return b"BM" + struct.pack("<IHHI", 14 + len(info) + len(pixels), 0, 0, 54) + info + pixels


small = bmp(3, 2)
put("picture", "tiny_24bit.bmp", small)
put("picture", "truncated.bmp", small[:60])
put("picture", "huge_dimensions.bmp", bmp(3, 2, header_h=0x7FFF0000))
put("picture", "top_down.bmp", bmp(3, 2, header_h=-2))
put("picture", "tiny.ppm", b"P6\n2 2\n255\n" + bytes(range(12)))
put("picture", "16x16.bmp", bmp(16, 16))


def png(w, h):
    import zlib

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
    rows = b"".join(b"\0" + bytes((x * 16, y * 16, 128)[i] for x in range(w) for i in range(3)) for y in range(h))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


put("picture", "8x8.png", png(8, 8))
# Only the frame a JPEG is judged by before decoding: start and end markers.
put("picture", "jpeg_frame.jpg", b"\xFF\xD8\xFF\xE0" + bytes(16) + b"\xFF\xD9\0\0")

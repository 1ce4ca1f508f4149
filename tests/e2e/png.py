"""Just enough PNG and PPM for screenshots, in pure Python: read 8-bit RGB or
RGBA PNG files (as QEMU's screendump writes them), read binary PPM (P6), and
write 8-bit RGB PNG."""

import struct
import zlib

SIGNATURE = b"\x89PNG\r\n\x1a\n"


class Image:
    """Width, height and rows of packed RGB bytes."""

    def __init__(self, width, height, rows):
        self.width, self.height, self.rows = width, height, rows

    def pixel(self, x, y):
        row = self.rows[y]
        return tuple(row[3 * x:3 * x + 3])


def _chunks(data):
    at = len(SIGNATURE)
    while at + 8 <= len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        yield kind, data[at + 8:at + 8 + length]
        at += 12 + length


def _paeth(left, up, up_left):
    estimate = left + up - up_left
    near_left, near_up, near_up_left = (abs(estimate - left), abs(estimate - up),
                                         abs(estimate - up_left))
    if near_left <= near_up and near_left <= near_up_left:
        return left
    return up if near_up <= near_up_left else up_left


def _unfilter(kind, line, previous, step):
    out = bytearray(line)
    for i in range(len(out)):
        left = out[i - step] if i >= step else 0
        up = previous[i]
        up_left = previous[i - step] if i >= step else 0
        predictor = (0, left, up, (left + up) >> 1, _paeth(left, up, up_left))[kind]
        out[i] = (out[i] + predictor) & 0xFF
    return out


def read_png(data):
    if not data.startswith(SIGNATURE):
        raise ValueError("not a PNG file")
    header, compressed = None, b""
    for kind, body in _chunks(data):
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            compressed += body
    width, height, depth, colour, _, _, interlace = header
    if depth != 8 or colour not in (2, 6) or interlace != 0:
        raise ValueError(f"unsupported PNG: depth {depth}, colour type {colour}, "
                         f"interlace {interlace}")
    step = 3 if colour == 2 else 4
    raw = zlib.decompress(compressed)
    stride = width * step
    rows, previous = [], bytearray(stride)
    for y in range(height):
        start = y * (stride + 1)
        kind = raw[start]
        line = raw[start + 1:start + 1 + stride]
        previous = line = _unfilter(kind, line, previous, step) if kind else bytearray(line)
        if step == 4:
            line = bytearray(b for i, b in enumerate(line) if i % 4 != 3)
        rows.append(bytes(line))
    return Image(width, height, rows)


def read_ppm(data):
    fields, at = [], 0
    while len(fields) < 4:  # magic, width, height, maximum value
        while data[at:at + 1].isspace():
            at += 1
        if data[at:at + 1] == b"#":
            at = data.index(b"\n", at)
            continue
        end = at
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[at:end])
        at = end
    if fields[0] != b"P6" or fields[3] != b"255":
        raise ValueError("not an 8-bit binary PPM file")
    width, height = int(fields[1]), int(fields[2])
    pixels = data[at + 1:]
    return Image(width, height, [pixels[y * width * 3:(y + 1) * width * 3]
                                 for y in range(height)])


def write_png(image):
    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body
                + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))

    # Filter type 0 (none) on every line; zlib still compresses gradients well.
    raw = b"".join(b"\x00" + row for row in image.rows)
    return (SIGNATURE
            + chunk(b"IHDR", struct.pack(">IIBBBBB", image.width, image.height, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))

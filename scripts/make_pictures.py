#!/usr/bin/env python3
"""Draws the application's icons and pictures and writes them into resources/.

Standard library only. Every shape is a signed distance function; a pixel's
coverage is taken from the distance at its centre, which gives a one-pixel
anti-aliased edge without supersampling.

Besides the pictures the forms and resources use (each also at twice the size as
name@2x.png, which Qt picks on high-density screens), it writes the desktop logo
for the hicolor icon theme: PNGs from 16 to 256 pixels and a scalable SVG.

Run from anywhere:  python3 scripts/make_pictures.py
"""

import math
import os
import random
import struct
import zlib

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
FILES_DIR = os.path.join(ROOT, "resources", "files")
CORE_DIR = os.path.join(ROOT, "resources", "core-files")
ICONS_DIR = os.path.join(ROOT, "resources", "desktop", "icons")

# Sizes of the desktop logo in the hicolor icon theme, and of the window icon.
THEME_SIZES = (16, 24, 32, 48, 64, 128, 256)
LOGO_ICO_SIZES = (48, 32, 16, 128, 256)
VIEWER_ICO_SIZES = (48, 32, 16)
# ICO entries this large are stored as PNG, as Windows does for its large icons.
ICO_PNG_FROM = 128


# ---------------------------------------------------------------------------
# Colours
# ---------------------------------------------------------------------------

def rgb(hexstr, alpha=1.0):
    hexstr = hexstr.lstrip("#")
    return (int(hexstr[0:2], 16) / 255.0,
            int(hexstr[2:4], 16) / 255.0,
            int(hexstr[4:6], 16) / 255.0,
            alpha)


def vgrad(top, bottom, y0, y1):
    """Vertical linear gradient between two colours over design y0..y1."""
    def f(x, y):
        t = 0.0 if y1 == y0 else min(1.0, max(0.0, (y - y0) / (y1 - y0)))
        return tuple(a + (b - a) * t for a, b in zip(top, bottom))
    return f


# ---------------------------------------------------------------------------
# Signed distance functions (design units; negative inside)
# ---------------------------------------------------------------------------

class Shape:
    """A distance function plus a bounding box in design units."""

    def __init__(self, fn, box):
        self.fn = fn
        self.box = box  # (x0, y0, x1, y1)

    def __or__(self, other):
        a, b = self.fn, other.fn
        return Shape(lambda x, y: min(a(x, y), b(x, y)), _box_union(self.box, other.box))

    def __sub__(self, other):
        a, b = self.fn, other.fn
        return Shape(lambda x, y: max(a(x, y), -b(x, y)), self.box)

    def __and__(self, other):
        a, b = self.fn, other.fn
        return Shape(lambda x, y: max(a(x, y), b(x, y)), _box_inter(self.box, other.box))

    def grow(self, amount):
        """Offsets the outline outwards (positive) or inwards (negative)."""
        f = self.fn
        x0, y0, x1, y1 = self.box
        g = max(amount, 0.0)
        return Shape(lambda x, y: f(x, y) - amount, (x0 - g, y0 - g, x1 + g, y1 + g))

    def shift(self, dx, dy):
        f = self.fn
        x0, y0, x1, y1 = self.box
        return Shape(lambda x, y: f(x - dx, y - dy), (x0 + dx, y0 + dy, x1 + dx, y1 + dy))


def _box_union(a, b):
    return (min(a[0], b[0]), min(a[1], b[1]), max(a[2], b[2]), max(a[3], b[3]))


def _box_inter(a, b):
    return (max(a[0], b[0]), max(a[1], b[1]), min(a[2], b[2]), min(a[3], b[3]))


def circle(cx, cy, r):
    return Shape(lambda x, y: math.hypot(x - cx, y - cy) - r,
                 (cx - r, cy - r, cx + r, cy + r))


def ellipse(cx, cy, rx, ry):
    def f(x, y):
        # First-order distance: the implicit value divided by its gradient length.
        k0 = math.hypot((x - cx) / rx, (y - cy) / ry)
        k1 = math.hypot((x - cx) / (rx * rx), (y - cy) / (ry * ry))
        if k1 == 0.0:
            return -min(rx, ry)
        return k0 * (k0 - 1.0) / k1
    return Shape(f, (cx - rx, cy - ry, cx + rx, cy + ry))


def ring(cx, cy, r, half_width):
    return Shape(lambda x, y: abs(math.hypot(x - cx, y - cy) - r) - half_width,
                 (cx - r - half_width, cy - r - half_width, cx + r + half_width, cy + r + half_width))


def rbox(cx, cy, hw, hh, r=0.0):
    """Rounded rectangle given by centre, half sizes and corner radius."""
    def f(x, y):
        qx = abs(x - cx) - (hw - r)
        qy = abs(y - cy) - (hh - r)
        outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
        inside = min(max(qx, qy), 0.0)
        return outside + inside - r
    return Shape(f, (cx - hw, cy - hh, cx + hw, cy + hh))


def capsule(ax, ay, bx, by, r):
    dx, dy = bx - ax, by - ay
    ll = dx * dx + dy * dy

    def f(x, y):
        px, py = x - ax, y - ay
        t = 0.0 if ll == 0 else max(0.0, min(1.0, (px * dx + py * dy) / ll))
        return math.hypot(px - dx * t, py - dy * t) - r
    return Shape(f, (min(ax, bx) - r, min(ay, by) - r, max(ax, bx) + r, max(ay, by) + r))


def arc(cx, cy, r, a0, a1, half_width):
    """Circular stroke from angle a0 to a1 (degrees, y pointing down, a0 < a1)."""
    r0, r1 = math.radians(a0), math.radians(a1)
    ends = [(cx + r * math.cos(a), cy + r * math.sin(a)) for a in (r0, r1)]

    def f(x, y):
        ang = math.atan2(y - cy, x - cx)
        while ang < r0:
            ang += 2 * math.pi
        if ang <= r1:
            return abs(math.hypot(x - cx, y - cy) - r) - half_width
        return min(math.hypot(x - ex, y - ey) for ex, ey in ends) - half_width
    e = r + half_width
    return Shape(f, (cx - e, cy - e, cx + e, cy + e))


def polygon(pts):
    n = len(pts)

    def f(x, y):
        d = (x - pts[0][0]) ** 2 + (y - pts[0][1]) ** 2
        s = 1.0
        j = n - 1
        for i in range(n):
            vix, viy = pts[i]
            vjx, vjy = pts[j]
            ex, ey = vjx - vix, vjy - viy
            wx, wy = x - vix, y - viy
            ee = ex * ex + ey * ey
            t = 0.0 if ee == 0 else max(0.0, min(1.0, (wx * ex + wy * ey) / ee))
            bx, by = wx - ex * t, wy - ey * t
            d = min(d, bx * bx + by * by)
            c1 = y >= viy
            c2 = y < vjy
            c3 = ex * wy > ey * wx
            if (c1 and c2 and c3) or (not c1 and not c2 and not c3):
                s = -s
            j = i
        return s * math.sqrt(d)
    xs = [p[0] for p in pts]
    ys = [p[1] for p in pts]
    return Shape(f, (min(xs), min(ys), max(xs), max(ys)))


# ---------------------------------------------------------------------------
# Canvas
# ---------------------------------------------------------------------------

class Canvas:
    def __init__(self, width, height, scale=1.0):
        self.w = width
        self.h = height
        self.scale = scale  # pixels per design unit
        self.px = [[0.0, 0.0, 0.0, 0.0] for _ in range(width * height)]

    def _blend(self, i, c, a):
        if a <= 0.0:
            return
        d = self.px[i]
        da = d[3]
        oa = a + da * (1.0 - a)
        k = da * (1.0 - a)
        d[0] = (c[0] * a + d[0] * k) / oa
        d[1] = (c[1] * a + d[1] * k) / oa
        d[2] = (c[2] * a + d[2] * k) / oa
        d[3] = oa

    def fill(self, shape, colour, soft=0.0):
        """Paints a shape; soft widens the edge (in design units) for glows and shadows."""
        s = self.scale
        edge = 1.0 + soft * s
        x0, y0, x1, y1 = shape.box
        pad = edge
        ix0 = max(0, int(math.floor(x0 * s - pad)))
        iy0 = max(0, int(math.floor(y0 * s - pad)))
        ix1 = min(self.w, int(math.ceil(x1 * s + pad)) + 1)
        iy1 = min(self.h, int(math.ceil(y1 * s + pad)) + 1)
        fn = shape.fn
        dyn = callable(colour)
        for py in range(iy0, iy1):
            uy = (py + 0.5) / s
            row = py * self.w
            for px in range(ix0, ix1):
                ux = (px + 0.5) / s
                d = fn(ux, uy) * s
                cov = 0.5 - d / edge
                if cov <= 0.0:
                    continue
                if cov > 1.0:
                    cov = 1.0
                c = colour(ux, uy) if dyn else colour
                self._blend(row + px, c, c[3] * cov)

    def outlined(self, shape, colour, outline, width):
        """Paints a shape with an inner outline of the given width (design units)."""
        self.fill(shape, outline)
        self.fill(shape.grow(-width), colour)

    def rgba_rows(self):
        rows = []
        for y in range(self.h):
            row = bytearray()
            for x in range(self.w):
                r, g, b, a = self.px[y * self.w + x]
                row += bytes((_byte(r), _byte(g), _byte(b), _byte(a)))
            rows.append(bytes(row))
        return rows


def _byte(v):
    return max(0, min(255, int(round(v * 255.0))))


# ---------------------------------------------------------------------------
# File writers
# ---------------------------------------------------------------------------

def _png_chunk(kind, data):
    return (struct.pack(">I", len(data)) + kind + data
            + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))


def png_bytes(canvas):
    raw = b"".join(b"\x00" + row for row in canvas.rgba_rows())
    ihdr = struct.pack(">IIBBBBB", canvas.w, canvas.h, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + _png_chunk(b"IHDR", ihdr)
            + _png_chunk(b"IDAT", zlib.compress(raw, 9)) + _png_chunk(b"IEND", b""))


def _dib_bytes(canvas):
    w, h = canvas.w, canvas.h
    rows = canvas.rgba_rows()
    header = struct.pack("<IiiHHIIiiII", 40, w, h * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    colour = bytearray()
    mask = bytearray()
    mask_stride = ((w + 31) // 32) * 4
    for row in reversed(rows):  # bottom-up
        bits = bytearray(mask_stride)
        for x in range(w):
            r, g, b, a = row[4 * x:4 * x + 4]
            colour += bytes((b, g, r, a))
            if a == 0:
                bits[x >> 3] |= 0x80 >> (x & 7)
        mask += bits
    body = header + bytes(colour) + bytes(mask)
    return body[:20] + struct.pack("<I", len(colour) + len(mask)) + body[24:]


def ico_bytes(canvases):
    images = [png_bytes(c) if c.w >= ICO_PNG_FROM else _dib_bytes(c) for c in canvases]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for c, data in zip(canvases, images):
        out += struct.pack("<BBBBHHII", c.w % 256, c.h % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return out + b"".join(images)


def check_png(path, width, height, data=None):
    if data is None:
        data = open(path, "rb").read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n", path
    length, kind = struct.unpack(">I4s", data[8:16])
    assert kind == b"IHDR" and length == 13, path
    w, h, depth, ctype = struct.unpack(">IIBB", data[16:26])
    assert (w, h, depth, ctype) == (width, height, 8, 6), (path, w, h, depth, ctype)
    pos, idat = 8, b""
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        chunk = data[pos + 8:pos + 8 + length]
        crc, = struct.unpack(">I", data[pos + 8 + length:pos + 12 + length])
        assert crc == zlib.crc32(kind + chunk) & 0xFFFFFFFF, path
        if kind == b"IDAT":
            idat += chunk
        pos += 12 + length
    assert len(zlib.decompress(idat)) == height * (1 + 4 * width), path


def check_ico(path, sizes):
    data = open(path, "rb").read()
    reserved, kind, count = struct.unpack("<HHH", data[:6])
    assert (reserved, kind, count) == (0, 1, len(sizes)), path
    for i, size in enumerate(sizes):
        w, h, _, _, planes, bpp, length, offset = struct.unpack(
            "<BBBBHHII", data[6 + 16 * i:22 + 16 * i])
        assert (w, h, planes, bpp) == (size % 256, size % 256, 1, 32), path
        assert offset + length <= len(data), path
        if size >= ICO_PNG_FROM:
            check_png(path, size, size, data[offset:offset + length])
            continue
        hdr = struct.unpack("<IiiHHI", data[offset:offset + 20])
        assert hdr == (40, size, 2 * size, 1, 32, 0), (path, hdr)
        mask_stride = ((size + 31) // 32) * 4
        assert length == 40 + size * size * 4 + size * mask_stride, path


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as fh:
        fh.write(data)
    print("wrote %s (%d bytes)" % (os.path.relpath(path, ROOT), len(data)))


# ---------------------------------------------------------------------------
# Artwork
# ---------------------------------------------------------------------------

def draw_padlock(cv, ox, oy, k):
    """Padlock drawn in a 48 x 48 box whose top-left corner is (ox, oy), scaled by k."""
    def P(x, y):
        return ox + x * k, oy + y * k

    cx, cy = P(24, 20)
    shackle = (arc(cx, cy, 10 * k, -180, 0, 3 * k)
               | capsule(*P(14, 20), *P(14, 27), 3 * k)
               | capsule(*P(34, 20), *P(34, 27), 3 * k))
    cv.fill(shackle, rgb("#3a4450"))
    cv.fill(shackle.grow(-1.0 * k), vgrad(rgb("#e4e9ee"), rgb("#8d99a6"), oy + 7 * k, oy + 27 * k))

    bx, by = P(24, 34)
    body = rbox(bx, by, 16 * k, 12 * k, 4 * k)
    cv.fill(body, rgb("#7a5408"))
    cv.fill(body.grow(-1.4 * k), vgrad(rgb("#ffd866"), rgb("#d9961a"), oy + 22 * k, oy + 46 * k))
    # Soft highlight along the top of the body.
    cv.fill(rbox(bx, by - 7.5 * k, 12.5 * k, 2 * k, 2 * k), rgb("#ffffff", 0.35))

    kx, ky = P(24, 32)
    hole = (circle(kx, ky, 3.6 * k)
            | polygon([P(22.2, 33), P(25.8, 33), P(26.8, 40.5), P(21.2, 40.5)]))
    cv.fill(hole, rgb("#3b2a05"))


def draw_quill_page(cv, ox, oy, k):
    """The text viewer's mark: a page with lines and a quill, 48 x 48 box."""
    def P(x, y):
        return ox + x * k, oy + y * k

    px, py = P(21, 25)
    page = rbox(px, py, 15 * k, 20 * k, 3 * k)
    cv.fill(page, rgb("#56627a"))
    cv.fill(page.grow(-1.2 * k), vgrad(rgb("#ffffff"), rgb("#e3e9f2"), oy + 5 * k, oy + 45 * k))
    for i, length in enumerate((20, 20, 20, 12)):
        y = 14 + 7 * i
        cv.fill(capsule(*P(12, y), *P(12 + length, y), 1.3 * k), rgb("#7f9cc4"))

    feather = polygon([P(46, 2), P(40, 5), P(32, 14), P(25, 28), P(23.5, 35),
                       P(28, 29), P(36, 22), P(43, 12)])
    cv.fill(feather, rgb("#3b2a70"))
    cv.fill(feather.grow(-1.0 * k), vgrad(rgb("#a48ae6"), rgb("#5d40b0"), oy + 2 * k, oy + 35 * k))
    cv.fill(capsule(*P(43, 6), *P(25.5, 31.5), 0.55 * k), rgb("#2d1f5a", 0.8))
    cv.fill(capsule(*P(24.5, 33), *P(21.5, 40), 1.0 * k), rgb("#2d1f5a"))


def icon_set(draw, sizes):
    canvases = []
    for size in sizes:
        cv = Canvas(size, size, size / 48.0)
        draw(cv, 0.0, 0.0, 1.0)
        canvases.append(cv)
    return canvases


def splash(s=1):
    cv = Canvas(161 * s, 160 * s, s)
    panel = rbox(80.5, 80, 80.5, 80, 18)
    cv.fill(panel, vgrad(rgb("#1c2a42"), rgb("#35557d"), 0, 160))
    cv.fill(circle(80.5, 66, 50), rgb("#ffffff", 0.07), soft=14.0)
    draw_padlock(cv, 80.5 - 48 * 1.05, 10, 2.1)
    field = rbox(80.5, 138, 50, 10, 5)
    cv.fill(field, rgb("#0f1828", 0.55))
    cv.fill(field.grow(-1.2), rgb("#f4f7fb", 0.95))
    for i in range(6):
        cv.fill(circle(80.5 + (i - 2.5) * 13, 138, 3), rgb("#27405f"))
    return cv


def plus_badge(cv, cx, cy):
    badge = circle(cx, cy, 5.6)
    cv.fill(badge, rgb("#1f6d36"))
    cv.fill(badge.grow(-0.9), vgrad(rgb("#6fd18a"), rgb("#2c9a4c"), cy - 5, cy + 5))
    cv.fill(capsule(cx - 3, cy, cx + 3, cy, 0.95) | capsule(cx, cy - 3, cx, cy + 3, 0.95),
            rgb("#ffffff"))


def document(cv, lines=True):
    page = polygon([(4, 2), (13.5, 2), (19, 7.5), (19, 22), (4, 22)])
    cv.fill(page, rgb("#5b6678"))
    cv.fill(page.grow(-1.0), vgrad(rgb("#ffffff"), rgb("#dde4ee"), 2, 22))
    fold = polygon([(13.5, 2), (13.5, 7.5), (19, 7.5)])
    cv.fill(fold, rgb("#5b6678"))
    cv.fill(polygon([(14.3, 3.8), (14.3, 6.7), (17.2, 6.7)]), rgb("#c4cfdd"))
    if lines:
        for y, x1 in ((10, 16), (13, 16), (16, 16), (19, 12.5)):
            cv.fill(capsule(7, y, x1, y, 0.6), rgb("#7f9cc4"))


def folder(cv):
    back = rbox(12, 12.75, 10.5, 8.25, 1.5) | rbox(7.5, 5.5, 5.5, 2.5, 1.2)
    cv.fill(back, rgb("#8a6414"))
    cv.fill(back.grow(-0.9), rgb("#dba52f"))
    front = rbox(12, 15.5, 10.5, 5.5, 1.5)
    cv.fill(front, rgb("#8a6414"))
    cv.fill(front.grow(-0.9), vgrad(rgb("#ffe08a"), rgb("#f0b93a"), 10, 21))


def tool_refresh(s=1):
    cv = Canvas(24 * s, 24 * s, s)
    c, r = 12.0, 7.5
    parts = arc(c, c, r, -165, -30, 1.2) | arc(c, c, r, 15, 150, 1.2)
    for deg in (-30, 150):
        a = math.radians(deg)
        ex, ey = c + r * math.cos(a), c + r * math.sin(a)
        tx, ty = -math.sin(a), math.cos(a)   # direction of travel
        nx, ny = math.cos(a), math.sin(a)    # outwards
        parts = parts | polygon([(ex + tx * 4.6, ey + ty * 4.6),
                                 (ex + nx * 3.9 - tx * 0.4, ey + ny * 3.9 - ty * 0.4),
                                 (ex - nx * 3.9 - tx * 0.4, ey - ny * 3.9 - ty * 0.4)])
    cv.fill(parts.grow(0.8), rgb("#1b5e31"))
    cv.fill(parts, vgrad(rgb("#6fd18a"), rgb("#2c9a4c"), 3, 21))
    return cv


def tool_adddoc(s=1):
    cv = Canvas(24 * s, 24 * s, s)
    document(cv)
    plus_badge(cv, 17.5, 17.5)
    return cv


def tool_addfolder(s=1):
    cv = Canvas(24 * s, 24 * s, s)
    folder(cv)
    plus_badge(cv, 17.5, 17.5)
    return cv


def tool_close(s=1):
    cv = Canvas(24 * s, 24 * s, s)
    cross = capsule(6, 6, 18, 18, 2.3) | capsule(18, 6, 6, 18, 2.3)
    cv.fill(cross.grow(0.8), rgb("#7d1f1c"))
    cv.fill(cross, vgrad(rgb("#f0746f"), rgb("#c8302b"), 4, 20))
    return cv


def tool_zoom(with_plus, s=1):
    cv = Canvas(24 * s, 24 * s, s)
    cv.fill(capsule(15.2, 15.2, 20.5, 20.5, 2.3), rgb("#3d3325"))
    cv.fill(capsule(15.6, 15.6, 20.3, 20.3, 1.5), vgrad(rgb("#a77b4b"), rgb("#6e4b27"), 15, 21))
    cv.fill(circle(10, 10, 6.6), rgb("#cfe6ff", 0.75))
    cv.fill(ring(10, 10, 6.6, 1.35), rgb("#3d4756"))
    cv.fill(ring(10, 10, 6.6, 0.6), rgb("#9aa7b8"))
    sign = capsule(7, 10, 13, 10, 1.05)
    if with_plus:
        sign = sign | capsule(10, 7, 10, 13, 1.05)
    cv.fill(sign, rgb("#1f4f8a"))
    return cv


def tool_doc(s=1):
    cv = Canvas(24 * s, 24 * s, s)
    document(cv)
    return cv


def tool_folder(s=1):
    cv = Canvas(24 * s, 24 * s, s)
    folder(cv)
    return cv


def ghost_picture(s=1):
    cv = Canvas(500 * s, 500 * s, s)
    sky = rbox(250, 250, 250, 250)

    def sky_colour(x, y):
        t = y / 500.0
        top, mid, bottom = rgb("#0f0c29"), rgb("#302b63"), rgb("#24243e")
        if t < 0.6:
            u = t / 0.6
            return tuple(a + (b - a) * u for a, b in zip(top, mid))
        u = (t - 0.6) / 0.4
        return tuple(a + (b - a) * u for a, b in zip(mid, bottom))
    cv.fill(sky, sky_colour)

    rnd = random.Random(1009)
    for _ in range(70):
        x, y = rnd.uniform(5, 495), rnd.uniform(5, 330)
        cv.fill(circle(x, y, rnd.uniform(0.6, 1.8)), rgb("#fffbe6", rnd.uniform(0.4, 0.95)))

    moon = circle(392, 98, 48) - circle(414, 84, 42)
    cv.fill(moon.grow(6), rgb("#f5f3ce", 0.22), soft=24.0)
    cv.fill(moon, rgb("#f5f3ce"))

    cv.fill(circle(250, 960, 520), rgb("#17122e"))
    cv.fill(ellipse(250, 452, 120, 16), rgb("#000000", 0.45), soft=10.0)

    body = (circle(250, 215, 108)
            | rbox(250, 300, 108, 88)
            | capsule(150, 268, 98, 222, 21)
            | capsule(350, 268, 402, 222, 21))
    for i in range(4):
        body = body | circle(142 + 27 + 54 * i, 388, 27)
    cv.fill(body.shift(0, 6), rgb("#000000", 0.25), soft=12.0)
    cv.fill(body, vgrad(rgb("#ffffff"), rgb("#cfd6ea"), 110, 415))

    for ex in (208, 292):
        cv.fill(ellipse(ex, 212, 19, 29), rgb("#1b1b2f"))
        cv.fill(circle(ex + 6, 200, 6), rgb("#ffffff", 0.9))
    cv.fill(ellipse(250, 290, 24, 32), rgb("#1b1b2f"))
    cv.fill(ellipse(250, 305, 14, 12), rgb("#c2415d"))
    for cx in (172, 328):
        cv.fill(ellipse(cx, 258, 16, 9), rgb("#ff8fa3", 0.35))
    return cv


def padlock_svg():
    """The padlock of draw_padlock as SVG, in the same 48 x 48 design units."""
    return """<?xml version="1.0" encoding="UTF-8"?>
<svg xmlns="http://www.w3.org/2000/svg" width="48" height="48" viewBox="0 0 48 48">
  <defs>
    <linearGradient id="steel" gradientUnits="userSpaceOnUse" x1="0" y1="7" x2="0" y2="27">
      <stop offset="0" stop-color="#e4e9ee"/>
      <stop offset="1" stop-color="#8d99a6"/>
    </linearGradient>
    <linearGradient id="brass" gradientUnits="userSpaceOnUse" x1="0" y1="22" x2="0" y2="46">
      <stop offset="0" stop-color="#ffd866"/>
      <stop offset="1" stop-color="#d9961a"/>
    </linearGradient>
  </defs>
  <g fill="none" stroke-linecap="round">
    <path d="M14 27V20A10 10 0 0 1 34 20V27" stroke="#3a4450" stroke-width="6"/>
    <path d="M14 27V20A10 10 0 0 1 34 20V27" stroke="url(#steel)" stroke-width="4"/>
  </g>
  <rect x="8" y="22" width="32" height="24" rx="4" fill="#7a5408"/>
  <rect x="9.4" y="23.4" width="29.2" height="21.2" rx="2.6" fill="url(#brass)"/>
  <rect x="11.5" y="24.5" width="25" height="4" rx="2" fill="#ffffff" fill-opacity="0.35"/>
  <g fill="#3b2a05">
    <circle cx="24" cy="32" r="3.6"/>
    <path d="M22.2 33H25.8L26.8 40.5H21.2Z"/>
  </g>
</svg>
"""


def check_svg(path):
    import xml.etree.ElementTree as ET
    root = ET.parse(path).getroot()
    assert root.tag == "{http://www.w3.org/2000/svg}svg", path
    assert root.get("viewBox") == "0 0 48 48", path


def at2x(name):
    stem, ext = os.path.splitext(name)
    return stem + "@2x" + ext


# ---------------------------------------------------------------------------

def main():
    logo = os.path.join(FILES_DIR, "logo.ico")
    core_logo = os.path.join(CORE_DIR, "logo.ico")
    write(logo, ico_bytes(icon_set(draw_padlock, LOGO_ICO_SIZES)))
    write(core_logo, ico_bytes(icon_set(draw_quill_page, VIEWER_ICO_SIZES)))

    pictures = [
        ("splash.png", splash, 161, 160),
        ("refresh.png", tool_refresh, 24, 24),
        ("adddoc.png", tool_adddoc, 24, 24),
        ("addfolder.png", tool_addfolder, 24, 24),
        ("close.png", tool_close, 24, 24),
        ("zoomin.png", lambda s: tool_zoom(True, s), 24, 24),
        ("zoomout.png", lambda s: tool_zoom(False, s), 24, 24),
        ("doc.png", tool_doc, 24, 24),
        ("folder.png", tool_folder, 24, 24),
        ("c-creep.png", ghost_picture, 500, 500),
    ]
    for name, draw, w, h in pictures:
        for scale, file_name in ((1, name), (2, at2x(name))):
            path = os.path.join(FILES_DIR, file_name)
            write(path, png_bytes(draw(scale)))
            check_png(path, w * scale, h * scale)

    for size in THEME_SIZES:
        path = os.path.join(ICONS_DIR, "logo-%d.png" % size)
        write(path, png_bytes(icon_set(draw_padlock, (size,))[0]))
        check_png(path, size, size)
    svg = os.path.join(ICONS_DIR, "logo.svg")
    write(svg, padlock_svg().encode("ascii"))
    check_svg(svg)

    check_ico(logo, LOGO_ICO_SIZES)
    check_ico(core_logo, VIEWER_ICO_SIZES)
    print("all pictures verified")


if __name__ == "__main__":
    main()

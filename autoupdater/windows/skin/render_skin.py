#!/usr/bin/python3
"""Render the artwork of the updater window.

Draws the window backdrop, the six button faces, the window icon and the Qt
resource list, each at 1x and (for the window pictures) at 2x for high-dpi
screens. Everything is drawn from code with fixed random seeds, so every run
gives the same files. An artist may replace any output file by hand, as long
as its pixel size stays the same.

Usage:
    /usr/bin/python3 render_skin.py [--out DIR] [--preview FILE]

--out      folder for the skin files (default: the folder of this script)
--preview  also write a mock-up of the window in both of its states
"""

import argparse
import contextlib
import io
import math
import os
import random
import re
import struct
import sys

from PIL import Image, ImageChops, ImageDraw, ImageFilter, ImageFont, ImageOps

# ---------------------------------------------------------------------------
# Layout of the window, in pixels at 1x (the window's own coordinates)

WIDTH, HEIGHT = 386, 311

# Black panel under the status log: left, top, right, bottom (exclusive).
# The log lies at 15.5, 133.3 with a size of 352 x 125.3, so the panel is a
# little larger than the log on every side.
PANEL = (15, 133, 369, 260)

# Calm area that holds the per-file progress label and the progress bar.
PROGRESS_AREA = (16, 262, 202, 294)

# Picture buttons: left, top, width, height.
BUTTONS = {
    "UpdateInfo": (212, 274, 86, 28),
    "Close": (308, 274, 62, 28),
}

# Face image name, its lettering, the button it is shown on.
FACES = [
    ("picCancel", "Cancel", "Close"),
    ("picClose", "Close", "Close"),
    ("picUpdateInfo", "Update Info", "UpdateInfo"),
]

# Plates drawn into the backdrop: the released face each button shows once the
# update run has ended.
BACKDROP_PLATES = [("Update Info", "UpdateInfo"), ("Close", "Close")]

def project_version():
    """The updater's version, from its one home: the project() line of the top CMakeLists.txt."""
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "CMakeLists.txt")
    with open(path) as cmake:
        found = re.search(r"project\(\s*\S+\s+VERSION\s+([0-9.]+)", cmake.read())
    if not found:
        sys.exit("render_skin: no project(... VERSION ...) in %s" % path)
    return found.group(1)


CAPTION = "Vorn Auto-Updater v" + project_version()
WORDMARK = "VORN"

SCALES = (1, 2)
SUPERSAMPLE = 4
JPEG_QUALITY = 92
SEED = 20240611

FONT_DIRS = ["/usr/share/fonts/truetype", "/usr/share/fonts/opentype"]
FONT_FILES = {
    "button": ["liberation/LiberationSans-Bold.ttf", "dejavu/DejaVuSans-Bold.ttf"],
    "caption": ["liberation/LiberationSans-Bold.ttf", "dejavu/DejaVuSans-Bold.ttf"],
    "wordmark": ["urw-base35/URWGothic-Demi.otf", "dejavu/DejaVuSans-Bold.ttf"],
    "log": ["dejavu/DejaVuSans.ttf", "liberation/LiberationSans-Regular.ttf"],
}

# Colours
OLIVE_DARK = (11, 14, 6)
OLIVE_MID = (40, 47, 22)
OLIVE_LIGHT = (86, 96, 50)


# ---------------------------------------------------------------------------
# Small helpers


def load_font(role, px):
    for name in FONT_FILES[role]:
        for folder in FONT_DIRS:
            path = os.path.join(folder, name)
            if os.path.exists(path):
                return ImageFont.truetype(path, px)
    sys.exit("render_skin: no font found for %s (looked for %s)" % (role, FONT_FILES[role]))


def mix(a, b, t):
    return tuple(int(round(x + (y - x) * t)) for x, y in zip(a, b))


def clamp01(v):
    return 0.0 if v < 0 else 1.0 if v > 1 else v


def noise_field(rnd, grid, size, resample=Image.BICUBIC):
    """Smooth value noise: a random grid of grey levels stretched to size."""
    cells = Image.frombytes("L", grid, rnd.randbytes(grid[0] * grid[1]))
    return cells.resize(size, resample)


def shift(mask, dx, dy):
    """Moves a mask by (dx, dy) pixels, filling the uncovered edge with 0."""
    moved = Image.new("L", mask.size, 0)
    moved.paste(mask, (dx, dy))
    return moved


def solid(size, colour):
    return Image.new("RGB", size, colour)


def vertical_gradient(size, top, bottom):
    ramp = Image.linear_gradient("L").resize(size, Image.BILINEAR)
    return Image.composite(solid(size, bottom), solid(size, top), ramp)


def band_gradient(size, y0, y1, top, bottom):
    """Vertical gradient from top at row y0 to bottom at row y1, flat beyond."""
    y0, y1 = int(y0), max(int(y0) + 1, int(y1))
    column = Image.new("L", (1, size[1]), 0)
    column.paste(Image.linear_gradient("L").resize((1, y1 - y0), Image.BILINEAR), (0, y0))
    column.paste(255, (0, y1, 1, size[1]))
    ramp = column.resize(size, Image.NEAREST)
    return Image.composite(solid(size, bottom), solid(size, top), ramp)


def rounded_mask(size, box, radius):
    """Anti-aliased mask of a rounded rectangle; box is (x0, y0, x1, y1), exclusive."""
    ss = SUPERSAMPLE
    big = Image.new("L", (size[0] * ss, size[1] * ss), 0)
    x0, y0, x1, y1 = box
    ImageDraw.Draw(big).rounded_rectangle(
        (x0 * ss, y0 * ss, x1 * ss - 1, y1 * ss - 1), radius=radius * ss, fill=255
    )
    return big.resize(size, Image.LANCZOS)


class Layer:
    """A transparent, supersampled drawing surface over part of the window.

    Coordinates handed to it are window pixels at 1x; it maps them to its own
    pixels for the output scale and the supersampling factor.
    """

    def __init__(self, box, scale):
        self.box = box
        self.scale = scale
        self.k = scale * SUPERSAMPLE
        w, h = box[2] - box[0], box[3] - box[1]
        self.image = Image.new("RGBA", (w * self.k, h * self.k), (0, 0, 0, 0))
        self.draw = ImageDraw.Draw(self.image)

    def p(self, x, y):
        return ((x - self.box[0]) * self.k, (y - self.box[1]) * self.k)

    def pts(self, points):
        return [self.p(x, y) for x, y in points]

    def d(self, v):
        return v * self.k

    @contextlib.contextmanager
    def overlay(self):
        """A fresh layer whose drawing is blended onto this one afterwards."""
        top = Layer(self.box, self.scale)
        yield top
        self.image.alpha_composite(top.image)

    def result(self):
        w, h = self.box[2] - self.box[0], self.box[3] - self.box[1]
        return self.image.resize((w * self.scale, h * self.scale), Image.LANCZOS)

    def origin(self):
        return (self.box[0] * self.scale, self.box[1] * self.scale)


def drop_shadow(layer_image, offset, radius, opacity):
    """A soft dark copy of a layer's shape, moved by offset (in layer pixels)."""
    alpha = layer_image.getchannel("A")
    alpha = shift(alpha, offset[0], offset[1]).filter(ImageFilter.GaussianBlur(radius))
    alpha = alpha.point(lambda v: int(v * opacity))
    shadow = Image.new("RGBA", layer_image.size, (0, 0, 0, 0))
    shadow.putalpha(alpha)
    return shadow


# ---------------------------------------------------------------------------
# Fern: fronds built from recursive pinnae, kept as plain shapes so that the
# same plant can be drawn at any scale.


def frond(shapes, x, y, angle, length, bend, depth, rnd, pos=0.0, reach=1.0, stem=1.0):
    """Adds one frond to shapes.

    angle and bend in radians (bend is the total turn of the stem from base to
    tip), length in window pixels. pos/reach place the frond's colour along
    the plant (0 base .. 1 tip). stem is the stem width at its base.
    """
    if depth == 0:
        leaflet(shapes, x, y, angle, length, pos)
        return

    steps = max(8, int(length / 1.2))
    spine = [(x, y)]
    headings = [angle]
    px, py = x, y
    for i in range(1, steps + 1):
        a = angle + bend * (i / steps) ** 1.4
        px += math.cos(a) * length / steps
        py += math.sin(a) * length / steps
        spine.append((px, py))
        headings.append(a)
    shapes.append(("stem", spine, stem, stem * 0.25, pos))
    if depth == 1:
        # A pinna ends in a single leaflet.
        tip = length * 0.22
        leaflet(shapes, spine[-1][0] - math.cos(headings[-1]) * tip * 0.5,
                spine[-1][1] - math.sin(headings[-1]) * tip * 0.5, headings[-1], tip, pos + reach)

    # Side branches: a frond carries pinnae, a pinna carries leaflets. They
    # start a little above the base, grow to their longest in the lower third
    # and shrink towards the tip.
    if depth > 1:
        pairs, start, share, spread0, spread1 = 12, 0.10, 0.26, 70, 40
    else:
        pairs, start, share, spread0, spread1 = 7, 0.05, 0.30, 60, 40
    for i in range(pairs):
        t = start + (0.97 - start) * (i / (pairs - 1)) ** 0.9
        idx = min(steps, int(round(t * steps)))
        bx, by = spine[idx]
        heading = headings[idx]
        envelope = (1.0 - t) ** 0.8 * min(1.0, 0.45 + t / 0.35)
        sub = length * share * envelope
        if sub < 1.0:
            continue
        for side in (1, -1):
            spread = math.radians(spread0 + (spread1 - spread0) * t + rnd.uniform(-3, 3))
            frond(
                shapes,
                bx,
                by,
                heading + side * spread,
                sub,
                -side * 0.25,
                depth - 1,
                rnd,
                pos + reach * t,
                reach * 0.25,
                stem * 0.45,
            )


def leaflet(shapes, x, y, angle, length, pos, breadth=0.5):
    width = length * breadth
    ca, sa = math.cos(angle), math.sin(angle)
    left, right = [], []
    n = 8
    for i in range(n + 1):
        t = i / n
        half = width * 0.5 * math.sin(math.pi * min(1.0, t * 1.15)) ** 0.8 * (1 - 0.25 * t)
        cx, cy = x + ca * length * t, y + sa * length * t
        left.append((cx - sa * half, cy + ca * half))
        right.append((cx + sa * half, cy - ca * half))
    shapes.append(("leaf", left + right[::-1], pos, angle))


FERN_BASE = (5, 46, 17)  # dark stem green
FERN_MID = (86, 140, 38)
FERN_TIP = (196, 226, 104)


def fern_colour(pos, angle):
    # Leaves facing up-left catch the light.
    facing = 0.5 + 0.5 * math.cos(angle - math.radians(-135))
    base = mix(FERN_MID, FERN_TIP, clamp01(pos * 0.9))
    return mix(mix(base, (40, 70, 16), 0.35), base, facing)


def draw_fern(layer, shapes):
    for shape in shapes:
        if shape[0] == "stem":
            _, spine, w0, w1, pos = shape
            n = len(spine) - 1
            for i in range(n):
                w = w0 + (w1 - w0) * i / n
                colour = mix(FERN_BASE, FERN_MID, clamp01(pos + i / n * 0.5))
                layer.draw.line(
                    layer.pts([spine[i], spine[i + 1]]), fill=colour + (255,), width=max(1, int(layer.d(w)))
                )
        else:
            _, poly, pos, angle = shape
            layer.draw.polygon(layer.pts(poly), fill=fern_colour(pos, angle) + (255,))


def logo_fern_shapes():
    rnd = random.Random(SEED + 1)
    back, front = [], []
    # A young frond leaning to the left, behind the main one.
    frond(back, 40, 109, math.radians(-124), 46, math.radians(-22), 2, rnd, pos=0.15, reach=0.8, stem=1.4)
    # The main frond, rising and arching over towards the word mark.
    frond(front, 41, 110, math.radians(-100), 114, math.radians(92), 2, rnd, stem=2.3)
    return back + front


# ---------------------------------------------------------------------------
# Gem


GEM_CENTRE = (327, 58)
GEM_RADII = (31, 22)


def draw_gem(layer):
    cx, cy = GEM_CENTRE
    rx, ry = GEM_RADII
    d = layer.draw

    def ell(a, b):
        return [layer.p(cx - a, cy - b), layer.p(cx + a, cy + b)]

    # Setting: a bronze bezel with a lit upper left.
    bezel = 5
    rim = Layer(layer.box, layer.scale)
    rim.draw.ellipse(
        [rim.p(cx - rx - bezel, cy - ry - bezel), rim.p(cx + rx + bezel, cy + ry + bezel)], fill=(255, 255, 255, 255)
    )
    rim_shape = rim.image.getchannel("A")
    metal = Image.linear_gradient("L").rotate(45, resample=Image.BICUBIC, expand=False)
    metal = metal.resize(rim.image.size, Image.BICUBIC)
    metal = ImageOps.colorize(metal, black=(236, 214, 150), mid=(150, 120, 58), white=(52, 38, 14))
    metal.putalpha(rim_shape)
    layer.image.alpha_composite(metal)
    d.ellipse(ell(rx + bezel, ry + bezel), outline=(24, 18, 6, 255), width=int(layer.d(0.8)))
    d.ellipse(ell(rx + 1.3, ry + 1.3), fill=(20, 16, 8, 255))

    # Facets in two rings between the table and the girdle, shaded for a
    # light at the upper left, with a little random sparkle.
    rnd = random.Random(SEED + 3)
    light = math.radians(-135)
    n = 16

    def ring(scale, offset):
        return [
            (cx + rx * scale * math.cos(2 * math.pi * (j + offset) / n), cy + ry * scale * math.sin(2 * math.pi * (j + offset) / n))
            for j in range(n)
        ]

    girdle, middle, table = ring(1.0, 0), ring(0.76, 0.5), ring(0.5, 0)
    deep, bright = (4, 14, 62), (110, 184, 255)
    facets = []
    for j in range(n):
        k = (j + 1) % n
        facets.append(([girdle[j], girdle[k], middle[j]], 0.0))
        facets.append(([middle[j - 1], middle[j], girdle[j]], 0.0))
        facets.append(([table[j], table[k], middle[j]], 1.0))
        facets.append(([middle[j - 1], middle[j], table[j]], 1.0))
    for poly, inner in facets:
        mx = sum(x for x, _ in poly) / 3 - cx
        my = sum(y for _, y in poly) / 3 - cy
        facing = 0.5 + 0.5 * math.cos(math.atan2(my / ry, mx / rx) - light)
        # Outer facets mirror the light; inner ones show the stone's depth.
        lit = facing ** 1.5 * (0.95 if inner == 0 else 0.6) + rnd.uniform(-0.12, 0.16)
        lit += 0.25 * (1 - facing) * inner  # light leaving through the far side
        d.polygon(layer.pts(poly), fill=mix(deep, bright, clamp01(0.08 + lit)) + (255,))

    # Table: darker where it mirrors the dark surroundings, lighter below.
    tab = Layer(layer.box, layer.scale)
    tab.draw.polygon(tab.pts(table), fill=(255, 255, 255, 255))
    top = layer.p(cx, cy - ry * 0.5)[1]
    bottom = layer.p(cx, cy + ry * 0.5)[1]
    table_colour = band_gradient(layer.image.size, top, bottom, (18, 56, 160), (118, 192, 255))
    table_colour.putalpha(tab.image.getchannel("A"))
    layer.image.alpha_composite(table_colour)
    # The pavilion's facets show through the table as faint wedges.
    with layer.overlay() as over:
        for j in range(n):
            k = (j + 1) % n
            shade = (255, 255, 255, 30) if j % 2 else (0, 10, 50, 40)
            over.draw.polygon(over.pts([(cx + rx * 0.06, cy + ry * 0.08), table[j], table[k]]), fill=shade)

    # Facet edges: thin light lines.
    w = max(1, int(layer.d(0.3)))
    with layer.overlay() as over:
        for poly, _ in facets:
            over.draw.line(over.pts(poly + poly[:1]), fill=(170, 214, 255, 80), width=w)
    with layer.overlay() as over:
        over.draw.polygon(over.pts(table), outline=(210, 236, 255, 150), width=w)
    d.ellipse(ell(rx, ry), outline=(8, 16, 50, 255), width=int(layer.d(0.7)))

    # Highlights: a soft sheen on the upper left and a small bright glint.
    sheen = Layer(layer.box, layer.scale)
    sheen.draw.ellipse(
        [sheen.p(cx - rx * 0.78, cy - ry * 0.86), sheen.p(cx - rx * 0.05, cy - ry * 0.2)], fill=(255, 255, 255, 120)
    )
    sheen.image = sheen.image.filter(ImageFilter.GaussianBlur(layer.d(1.6)))
    layer.image.alpha_composite(sheen.image)
    gx, gy = cx - rx * 0.42, cy - ry * 0.5
    with layer.overlay() as over:
        over.draw.ellipse([over.p(gx - 3.2, gy - 1.9), over.p(gx + 3.2, gy + 1.9)], fill=(255, 255, 255, 235))
    # A four-pointed sparkle on the glint.
    arm, thin = 7.5, 0.8
    with layer.overlay() as over:
        over.draw.polygon(over.pts([(gx - arm, gy), (gx, gy - thin), (gx + arm, gy), (gx, gy + thin)]), fill=(255, 255, 255, 220))
    with layer.overlay() as over:
        over.draw.polygon(
            over.pts([(gx, gy - arm * 0.7), (gx + thin, gy), (gx, gy + arm * 0.7), (gx - thin, gy)]), fill=(255, 255, 255, 220)
        )


# ---------------------------------------------------------------------------
# Backdrop


def texture(scale):
    """Dark olive, slightly mottled and fibrous, lit from the upper left."""
    size = (WIDTH * scale, HEIGHT * scale)
    rnd = random.Random(SEED)
    # Large soft blotches, then finer ones; the grids are in window units so
    # both scales share the same pattern.
    lum = noise_field(rnd, (10, 8), size)
    for grid, weight in (((24, 20), 0.45), ((60, 48), 0.3), ((150, 120), 0.18)):
        lum = Image.blend(lum, noise_field(rnd, grid, size), weight)
    lum = ImageOps.autocontrast(lum, cutoff=1)
    # Fibres: noise stretched along the rows.
    fibre = noise_field(rnd, (WIDTH // 10, HEIGHT), size)
    lum = Image.blend(lum, fibre, 0.22)
    # Fine grain, drawn per scale.
    grain = Image.frombytes("L", size, random.Random(SEED + scale).randbytes(size[0] * size[1]))
    grain = grain.filter(ImageFilter.GaussianBlur(0.45 * scale))
    grain = ImageOps.autocontrast(grain, cutoff=1)
    lum = Image.blend(lum, grain, 0.16)
    lum = lum.point(lambda v: int(112 + (v - 128) * 0.33))
    # Light from the upper left, and a dark vignette at the edges.
    light = Image.radial_gradient("L").resize((int(size[0] * 1.9), int(size[1] * 2.2)), Image.BICUBIC)
    light = light.crop((int(size[0] * 0.62), int(size[1] * 0.88), int(size[0] * 0.62) + size[0], int(size[1] * 0.88) + size[1]))
    light = light.point(lambda v: int(255 - v * 0.9))
    vignette = Image.radial_gradient("L").resize((int(size[0] * 1.25), int(size[1] * 1.35)), Image.BICUBIC)
    vignette = vignette.crop(
        (int(size[0] * 0.125), int(size[1] * 0.175), int(size[0] * 0.125) + size[0], int(size[1] * 0.175) + size[1])
    )
    vignette = vignette.point(lambda v: int(255 - max(0, v - 150) * 1.4))
    lum = ImageChops.multiply(lum, Image.blend(light, Image.new("L", size, 255), 0.35))
    lum = ImageChops.multiply(lum, vignette)
    lum = lum.point(lambda v: min(255, int(v * 1.9)))
    return ImageOps.colorize(lum, black=OLIVE_DARK, mid=OLIVE_MID, white=OLIVE_LIGHT)


def hline(draw, s, x0, x1, y, colour):
    draw.rectangle((x0 * s, y * s, x1 * s - 1, (y + 1) * s - 1), fill=colour)


def vline(draw, s, x, y0, y1, colour):
    draw.rectangle((x * s, y0 * s, (x + 1) * s - 1, y1 * s - 1), fill=colour)


def draw_window_frame(img, s):
    d = ImageDraw.Draw(img, "RGBA")
    hline(d, s, 0, WIDTH, 0, (6, 8, 3, 255))
    hline(d, s, 0, WIDTH, HEIGHT - 1, (6, 8, 3, 255))
    vline(d, s, 0, 0, HEIGHT, (6, 8, 3, 255))
    vline(d, s, WIDTH - 1, 0, HEIGHT, (6, 8, 3, 255))
    hline(d, s, 1, WIDTH - 1, 1, (150, 166, 100, 120))
    vline(d, s, 1, 1, HEIGHT - 1, (150, 166, 100, 110))
    hline(d, s, 1, WIDTH - 1, HEIGHT - 2, (0, 0, 0, 120))
    vline(d, s, WIDTH - 2, 1, HEIGHT - 1, (0, 0, 0, 120))


def draw_panel(img, s):
    x0, y0, x1, y1 = PANEL
    d = ImageDraw.Draw(img, "RGBA")
    # Soft shade around the recess.
    shade = Image.new("L", img.size, 0)
    ImageDraw.Draw(shade).rectangle(((x0 - 2) * s, (y0 - 2) * s, (x1 + 2) * s, (y1 + 2) * s), fill=110)
    shade = shade.filter(ImageFilter.GaussianBlur(2.5 * s))
    img.paste((0, 0, 0), (0, 0), shade)
    # Sunken bevel: dark above and to the left, lit below and to the right.
    hline(d, s, x0 - 2, x1 + 2, y0 - 2, (0, 0, 0, 90))
    vline(d, s, x0 - 2, y0 - 2, y1 + 2, (0, 0, 0, 90))
    hline(d, s, x0 - 1, x1 + 1, y0 - 1, (4, 6, 2, 255))
    vline(d, s, x0 - 1, y0 - 1, y1 + 1, (4, 6, 2, 255))
    hline(d, s, x0 - 1, x1 + 1, y1, (118, 134, 78, 255))
    vline(d, s, x1, y0 - 1, y1 + 1, (118, 134, 78, 255))
    hline(d, s, x0 - 2, x1 + 2, y1 + 1, (150, 168, 100, 70))
    vline(d, s, x1 + 1, y0 - 2, y1 + 2, (150, 168, 100, 70))
    d.rectangle((x0 * s, y0 * s, x1 * s - 1, y1 * s - 1), fill=(0, 0, 0, 255))


def draw_progress_area(img, s):
    x0, y0, x1, y1 = PROGRESS_AREA
    mask = Image.new("L", img.size, 0)
    ImageDraw.Draw(mask).rounded_rectangle(
        ((x0 - 2) * s, (y0 + 1) * s, (x1 + 2) * s, (y1 + 1) * s), radius=4 * s, fill=70
    )
    mask = mask.filter(ImageFilter.GaussianBlur(3 * s))
    img.paste((6, 8, 3), (0, 0), mask)


def draw_caption(img, s):
    font = load_font("caption", 11 * s)
    d = ImageDraw.Draw(img, "RGBA")
    x, y = PANEL[0] + 1, PANEL[1] - 18
    left, top, right, bottom = font.getbbox(CAPTION)
    d.text((x * s, y * s + s), CAPTION, font=font, fill=(0, 0, 0, 200))
    d.text((x * s, y * s), CAPTION, font=font, fill=(212, 220, 170, 255))
    # An engraved rule runs from the caption to the panel's right edge.
    rule_x0 = (x * s + right) // s + 8
    rule_y = y + (top + bottom) // (2 * s)
    hline(d, s, rule_x0, PANEL[2], rule_y, (4, 6, 2, 200))
    hline(d, s, rule_x0, PANEL[2], rule_y + 1, (130, 146, 88, 110))


def draw_logo(img, s):
    # Fern, with a soft shadow under it.
    box = (0, 0, 150, 128)
    layer = Layer(box, s)
    draw_fern(layer, logo_fern_shapes())
    fern = layer.result()
    shadow = drop_shadow(fern, (2 * s, 2 * s), 1.6 * s, 0.75)
    img.paste(shadow, layer.origin(), shadow)
    img.paste(fern, layer.origin(), fern)

    # Word mark with wide letter spacing, a warm light fill and a shadow.
    font = load_font("wordmark", 46 * s)
    tracking = 5 * s
    x, baseline = 100 * s, 72 * s
    ascent = font.getmetrics()[0]
    mark = Image.new("L", img.size, 0)
    md = ImageDraw.Draw(mark)
    pen = x
    for ch in WORDMARK:
        md.text((pen, baseline - ascent), ch, font=font, fill=255)
        pen += int(font.getlength(ch)) + tracking
    mark_box = mark.getbbox()
    shadow = shift(mark, 2 * s, 3 * s).filter(ImageFilter.GaussianBlur(2 * s)).point(lambda v: int(v * 0.8))
    img.paste((0, 0, 0), (0, 0), shadow)
    outline = mark.filter(ImageFilter.MaxFilter(3 if s == 1 else 5))
    img.paste((10, 14, 5), (0, 0), outline)
    fill = vertical_gradient(
        (img.width, mark_box[3] - mark_box[1]), (250, 246, 222), (176, 196, 120)
    )
    full = Image.new("RGB", img.size)
    full.paste(fill, (0, mark_box[1]))
    img.paste(full, (0, 0), mark)
    # A thin lit edge across the top of the letters.
    top_edge = ImageChops.subtract(mark, shift(mark, 0, s)).point(lambda v: int(v * 0.7))
    img.paste((255, 255, 245), (0, 0), top_edge)
    return mark_box


def render_backdrop(scale):
    """Backdrop without the button plates."""
    img = texture(scale)
    draw_window_frame(img, scale)
    draw_logo(img, scale)
    gem = Layer((280, 20, 376, 98), scale)
    glow = Layer(gem.box, scale)
    glow.draw.ellipse(
        [glow.p(GEM_CENTRE[0] - 36, GEM_CENTRE[1] - 27), glow.p(GEM_CENTRE[0] + 36, GEM_CENTRE[1] + 29)],
        fill=(0, 0, 0, 170),
    )
    glow.image = glow.image.filter(ImageFilter.GaussianBlur(glow.d(3)))
    img.paste(glow.result(), gem.origin(), glow.result())
    draw_gem(gem)
    gem_img = gem.result()
    img.paste(gem_img, gem.origin(), gem_img)
    draw_caption(img, scale)
    draw_panel(img, scale)
    draw_progress_area(img, scale)
    # Soft shadows under the button plates.
    shade = Image.new("L", img.size, 0)
    sd = ImageDraw.Draw(shade)
    for x, y, w, h in BUTTONS.values():
        sd.rounded_rectangle(((x + 1) * scale, (y + 2) * scale, (x + w + 1) * scale, (y + h + 2) * scale), radius=4 * scale, fill=150)
    shade = shade.filter(ImageFilter.GaussianBlur(1.8 * scale))
    img.paste((0, 0, 0), (0, 0), shade)
    return img


# ---------------------------------------------------------------------------
# Button faces

PLATE_TOP = (96, 114, 146)
PLATE_BOTTOM = (44, 56, 80)
PRESSED_TOP = (30, 37, 54)
PRESSED_BOTTOM = (46, 57, 80)


def render_face(backdrop, scale, text, button, pressed):
    """One button face: a bevelled slate-blue plate laid on the backdrop."""
    bx, by, bw, bh = BUTTONS[button]
    s = scale
    size = (bw * s, bh * s)
    face = backdrop.crop((bx * s, by * s, (bx + bw) * s, (by + bh) * s))

    outer = rounded_mask(size, (0, 0, bw * s, bh * s), 3.5 * s)
    body = rounded_mask(size, (s, s, (bw - 1) * s, (bh - 1) * s), 2.5 * s)
    face.paste((8, 11, 18), (0, 0), outer)

    if pressed:
        fill = vertical_gradient(size, PRESSED_TOP, PRESSED_BOTTOM)
    else:
        fill = vertical_gradient(size, PLATE_TOP, PLATE_BOTTOM)
        # A gentle sheen on the upper half.
        sheen = Image.new("L", size, 0)
        ImageDraw.Draw(sheen).rectangle((0, 0, size[0], size[1] // 2 - 1), fill=22)
        fill.paste((255, 255, 255), (0, 0), sheen)
    face.paste(fill, (0, 0), body)

    # Bevel: bands along the top-left and bottom-right edges of the body.
    top_left = ImageChops.subtract(body, shift(body, s, s))
    bottom_right = ImageChops.subtract(body, shift(body, -s, -s))
    top_left2 = ImageChops.subtract(shift(body, s, s), shift(body, 2 * s, 2 * s))
    top_left2 = ImageChops.multiply(top_left2, body)
    bottom_right2 = ImageChops.subtract(shift(body, -s, -s), shift(body, -2 * s, -2 * s))
    bottom_right2 = ImageChops.multiply(bottom_right2, body)
    if pressed:
        face.paste((10, 13, 20), (0, 0), top_left)
        face.paste((10, 13, 20), (0, 0), top_left2.point(lambda v: v * 45 // 100))
        face.paste((84, 98, 126), (0, 0), bottom_right.point(lambda v: v * 70 // 100))
    else:
        face.paste((176, 194, 224), (0, 0), top_left)
        face.paste((176, 194, 224), (0, 0), top_left2.point(lambda v: v * 30 // 100))
        face.paste((16, 21, 32), (0, 0), bottom_right)
        face.paste((16, 21, 32), (0, 0), bottom_right2.point(lambda v: v * 35 // 100))

    # Lettering, centred on the cap height so descenders do not lift it.
    font = load_font("button", 12 * s)
    left, _, right, _ = font.getbbox(text)
    _, cap_top, _, cap_bottom = font.getbbox("H")
    x = (size[0] - (right - left)) // 2 - left
    y = (size[1] - (cap_bottom - cap_top) + 1) // 2 - cap_top
    if pressed:
        x += s
        y += s
    d = ImageDraw.Draw(face)
    d.text((x, y + s), text, font=font, fill=(6, 9, 16) if not pressed else (4, 6, 10))
    d.text((x, y), text, font=font, fill=(212, 222, 236) if pressed else (244, 247, 252))
    return face


FOCUS_RING = (240, 210, 122)  # the lit bronze of the gem's setting


def render_focus_mark(scale, button):
    """The keyboard-focus mark of a button, drawn over whichever face it shows.

    A lit bronze ring two pixels wide in place of the plate's dark rim and its
    outer bevel, with a faint glow just inside it; transparent elsewhere, so
    the lettering stays untouched.
    """
    _, _, bw, bh = BUTTONS[button]
    s = scale
    size = (bw * s, bh * s)
    outer = rounded_mask(size, (0, 0, bw * s, bh * s), 3.5 * s)
    inner = rounded_mask(size, (s, s, (bw - 1) * s, (bh - 1) * s), 2.5 * s)
    core = rounded_mask(size, (2 * s, 2 * s, (bw - 2) * s, (bh - 2) * s), 1.5 * s)
    rim = ImageChops.subtract(outer, inner)
    bevel = ImageChops.subtract(inner, core).point(lambda v: v * 80 // 100)
    ring = ImageChops.lighter(rim, bevel)
    glow = ring.filter(ImageFilter.GaussianBlur(1.3 * s))
    glow = ImageChops.multiply(glow, core).point(lambda v: v * 60 // 100)
    mark = Image.new("RGBA", size, FOCUS_RING + (0,))
    mark.putalpha(ImageChops.lighter(ring, glow))
    return mark


# ---------------------------------------------------------------------------
# Icon


def render_icon(px):
    """The fern-and-gem emblem at px x px, as RGBA.

    Drawn on a 32-unit grid; the 16 pixel version has fewer, larger leaflets
    so that the frond still reads as one.
    """
    k = 8
    size = px * k
    u = size / 32.0
    small = px <= 16

    def P(x, y):
        return (x * u, y * u)

    img = Image.new("RGBA", (size, size), (0, 0, 0, 0))
    d = ImageDraw.Draw(img)
    # Tile: dark olive, rounded, lit from above.
    d.rounded_rectangle((0, 0, size - 1, size - 1), radius=6 * u, fill=(8, 11, 5, 255))
    tile = Image.new("L", (size, size), 0)
    ImageDraw.Draw(tile).rounded_rectangle((u, u, size - 1 - u, size - 1 - u), radius=5 * u, fill=255)
    img.paste(vertical_gradient((size, size), (84, 100, 46), (28, 36, 15)), (0, 0), tile)

    # Frond: a stem curving up and to the right, leaflets in pairs.
    p0, p1, p2 = (11.5, 31), (9.5, 15), (17.5, 3.5)

    def stem_at(t):
        x = (1 - t) ** 2 * p0[0] + 2 * (1 - t) * t * p1[0] + t * t * p2[0]
        y = (1 - t) ** 2 * p0[1] + 2 * (1 - t) * t * p1[1] + t * t * p2[1]
        dx = 2 * (1 - t) * (p1[0] - p0[0]) + 2 * t * (p2[0] - p1[0])
        dy = 2 * (1 - t) * (p1[1] - p0[1]) + 2 * t * (p2[1] - p1[1])
        return x, y, math.atan2(dy, dx)

    pairs, longest, stem_w, breadth = (4, 12.5, 2.4, 0.42) if small else (6, 11.5, 1.6, 0.34)
    leaves = []
    for i in range(pairs):
        t = 0.16 + 0.74 * i / (pairs - 1)
        x, y, heading = stem_at(t)
        length = longest * (1 - t) ** 0.6 * min(1.0, (t + 0.35) / 0.55)
        for side in (1, -1):
            leaflet(leaves, x, y, heading + side * math.radians(54), length, t, breadth)
    spine = [stem_at(i / 40)[:2] for i in range(41)]

    shape = Image.new("L", (size, size), 0)
    sd = ImageDraw.Draw(shape)
    sd.line([P(*q) for q in spine], fill=255, width=int(stem_w * u), joint="curve")
    for _, poly, _, _ in leaves:
        sd.polygon([P(*q) for q in poly], fill=255)
    # A dark rim keeps the frond apart from the tile at small sizes.
    rim = shape.filter(ImageFilter.MaxFilter(2 * int(u * (0.9 if small else 0.6)) + 1))
    img.paste((10, 16, 6), (0, 0), ImageChops.multiply(rim, tile))
    d.line([P(*q) for q in spine], fill=(122, 170, 52, 255), width=int(stem_w * u), joint="curve")
    for _, poly, pos, angle in leaves:
        d.polygon([P(*q) for q in poly], fill=fern_colour(0.25 + 0.7 * pos, angle) + (255,))

    # Gem in a bronze setting at the top right.
    gx, gy, rx, ry = 24, 8.5, (6.4 if small else 5.8), (4.9 if small else 4.4)
    d.ellipse([P(gx - rx - 1.6, gy - ry - 1.6), P(gx + rx + 1.6, gy + ry + 1.6)], fill=(8, 11, 5, 255))
    d.ellipse([P(gx - rx - 1.1, gy - ry - 1.1), P(gx + rx + 1.1, gy + ry + 1.1)], fill=(214, 186, 108, 255))
    d.ellipse([P(gx - rx, gy - ry), P(gx + rx, gy + ry)], fill=(14, 40, 130, 255))
    d.ellipse([P(gx - rx * 0.8, gy - ry * 0.6), P(gx + rx * 0.92, gy + ry * 0.9)], fill=(48, 112, 228, 255))
    d.ellipse([P(gx - rx * 0.1, gy + ry * 0.05), P(gx + rx * 0.75, gy + ry * 0.78)], fill=(120, 192, 255, 255))
    d.ellipse([P(gx - rx * 0.7, gy - ry * 0.72), P(gx - rx * 0.05, gy - ry * 0.12)], fill=(244, 250, 255, 255))

    return img.resize((px, px), Image.LANCZOS)


def icon_to_palette(rgba):
    """256-colour image plus transparency mask (255 = transparent)."""
    alpha = rgba.getchannel("A")
    transparent = alpha.point(lambda v: 255 if v < 128 else 0)
    matte = Image.new("RGB", rgba.size, (10, 14, 6))
    matte.paste(rgba, (0, 0), rgba)
    pal_img = matte.quantize(colors=255, method=Image.MEDIANCUT, dither=Image.NONE)
    palette = pal_img.getpalette()[: 255 * 3]
    palette += [0, 0, 0] * (256 - len(palette) // 3)
    palette[255 * 3 : 256 * 3] = [0, 0, 0]
    pal_img.putpalette(palette)
    pal_img.paste(255, (0, 0), transparent)
    return pal_img, transparent


def write_ico(path, images):
    """Writes a classic icon file of 8-bit palette images with their AND masks."""
    entries = []
    blobs = []
    for pal_img, transparent in images:
        w, h = pal_img.size
        dib = io.BytesIO()
        pal_img.save(dib, "DIB")
        dib = bytearray(dib.getvalue())
        header_size, dib_w, dib_h = struct.unpack_from("<IiI", dib, 0)
        assert header_size == 40 and dib_w == w and dib_h == h
        xor_size = ((w * 8 + 31) // 32) * 4 * h
        stride = ((w + 31) // 32) * 4
        rows = []
        for y in range(h - 1, -1, -1):
            row = bytearray(stride)
            for x in range(w):
                if transparent.getpixel((x, y)):
                    row[x // 8] |= 0x80 >> (x % 8)
            rows.append(bytes(row))
        and_mask = b"".join(rows)
        struct.pack_into("<i", dib, 8, h * 2)  # height covers the XOR and AND bitmaps
        struct.pack_into("<I", dib, 20, xor_size + len(and_mask))
        blob = bytes(dib) + and_mask
        blobs.append(blob)
        entries.append((w, h, len(blob)))
    out = io.BytesIO()
    out.write(struct.pack("<HHH", 0, 1, len(entries)))
    offset = 6 + 16 * len(entries)
    for (w, h, n), blob in zip(entries, blobs):
        out.write(struct.pack("<BBBBHHII", w % 256, h % 256, 0, 0, 1, 8, n, offset))
        offset += n
    for blob in blobs:
        out.write(blob)
    write_file(path, out.getvalue())


# ---------------------------------------------------------------------------
# Output


def write_file(path, data):
    """Writes through a temporary file so an interrupted run leaves no torn file."""
    tmp = path + ".tmp"
    with open(tmp, "wb") as f:
        f.write(data)
        f.flush()
        os.fsync(f.fileno())
    os.replace(tmp, path)


def save_image(img, path, **options):
    buf = io.BytesIO()
    fmt = "JPEG" if path.endswith(".jpg") else "PNG"
    img.save(buf, fmt, **options)
    write_file(path, buf.getvalue())


def at_scale(name, scale):
    stem, ext = os.path.splitext(name)
    return name if scale == 1 else "%s@%dx%s" % (stem, scale, ext)


def render_all(out):
    files = []
    for scale in SCALES:
        backdrop = render_backdrop(scale)
        faces = {}
        for name, text, button in FACES:
            faces[name + "_up"] = render_face(backdrop, scale, text, button, False)
            faces[name + "_down"] = render_face(backdrop, scale, text, button, True)
        for text, button in BACKDROP_PLATES:
            x, y = BUTTONS[button][:2]
            backdrop.paste(render_face(backdrop, scale, text, button, False), (x * scale, y * scale))
        name = at_scale("background.jpg", scale)
        save_image(backdrop, os.path.join(out, name), quality=JPEG_QUALITY, subsampling=0, optimize=True)
        files.append(name)
        for face_name in sorted(faces):
            name = at_scale(face_name + ".png", scale)
            save_image(faces[face_name], os.path.join(out, name), optimize=True)
            files.append(name)
        for button in sorted(BUTTONS):
            name = at_scale("pic%s_focus.png" % button, scale)
            save_image(render_focus_mark(scale, button), os.path.join(out, name), optimize=True)
            files.append(name)

    icons = {px: render_icon(px) for px in (32, 16)}
    for px, img in icons.items():
        name = "icon%d.png" % px
        save_image(img, os.path.join(out, name), optimize=True)
        files.append(name)
    write_ico(os.path.join(out, "vorn-updater.ico"), [icon_to_palette(icons[32]), icon_to_palette(icons[16])])
    files.append("vorn-updater.ico")

    qrc = ['<!DOCTYPE RCC>', '<RCC version="1.0">', '  <qresource prefix="/skin">']
    qrc += ["    <file>%s</file>" % f for f in files]
    qrc += ["  </qresource>", "</RCC>", ""]
    write_file(os.path.join(out, "skin.qrc"), "\n".join(qrc).encode("ascii"))
    return files


# ---------------------------------------------------------------------------
# Preview: the window in its two states, for checking the artwork by eye.

LOG_RUNNING = [
    "Preparing to update...",
    "Downloading file client-core.zip...",
    "Download completed.",
    "Downloading file client-data.zip...",
]
LOG_DONE = LOG_RUNNING + [
    "Download completed.",
    "Checking client conditions...",
    "Processing update data...",
    "Updating files...",
    "Client update complete.",
]


def mock_window(out, scale, running):
    s = scale
    win = Image.open(os.path.join(out, at_scale("background.jpg", s))).convert("RGB")
    d = ImageDraw.Draw(win)
    font = load_font("log", 11 * s)
    lines = LOG_RUNNING if running else LOG_DONE
    x0, y0 = 18 * s, 135 * s
    step = 13 * s
    first = max(0, len(lines) - 9)
    for i, line in enumerate(lines[first:]):
        d.text((x0, y0 + i * step), line, font=font, fill=(255, 255, 255))
    # Scroll bar of the log, roughly as a desktop theme would draw it.
    d.rectangle((352 * s, 133 * s, 367 * s, 258 * s), fill=(40, 40, 40))
    d.rectangle((354 * s, 136 * s, 365 * s, 200 * s), fill=(110, 110, 110))
    bold = load_font("caption", 11 * s)
    label = "client-data.zip: 412 of 980 KB" if running else ""
    d.text((16 * s, 263 * s), label, font=bold, fill=(224, 224, 224))
    d.rectangle((16 * s, 280 * s, 201 * s - 1, 293 * s - 1), fill=(30, 30, 30), outline=(90, 90, 90))
    if running:
        d.rectangle((17 * s, 281 * s, (17 + 77) * s, 292 * s - 1), fill=(60, 140, 60))
    close = "picCancel_up" if running else "picClose_up"
    win.paste(Image.open(os.path.join(out, at_scale(close + ".png", s))), (308 * s, 274 * s))
    if running:
        d.rectangle((212 * s, 274 * s, 301 * s - 1, 302 * s - 1), fill=(0, 0, 0))
    else:
        win.paste(Image.open(os.path.join(out, at_scale("picUpdateInfo_up.png", s))), (212 * s, 274 * s))
    return win


def write_preview(out, path):
    states = [mock_window(out, 1, True), mock_window(out, 1, False)]
    sheet = Image.new("RGB", (WIDTH * 2 + 30, HEIGHT + 20), (200, 200, 200))
    sheet.paste(states[0], (10, 10))
    sheet.paste(states[1], (WIDTH + 20, 10))
    faces = ["picCancel_up", "picCancel_down", "picClose_up", "picClose_down", "picUpdateInfo_up", "picUpdateInfo_down"]
    strip = Image.new("RGB", (sheet.width, 50), (200, 200, 200))
    x = 10
    for name in faces:
        img = Image.open(os.path.join(out, name + ".png"))
        strip.paste(img, (x, 10))
        x += img.width + 10
    for px in (32, 16):
        img = Image.open(os.path.join(out, "icon%d.png" % px))
        strip.paste(img, (x, 10), img)
        x += px + 10
    full = Image.new("RGB", (sheet.width, sheet.height + strip.height))
    full.paste(sheet, (0, 0))
    full.paste(strip, (0, sheet.height))
    full.save(path)
    stem, ext = os.path.splitext(path)
    zoom = full.crop((0, 0, WIDTH + 20, HEIGHT + 20))
    zoom.resize((zoom.width * 3, zoom.height * 3), Image.NEAREST).save(stem + "-x3" + ext)
    mock_window(out, 2, False).save(stem + "-2x" + ext)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description="Render the updater window's skin.")
    parser.add_argument("--out", default=here, help="folder for the skin files")
    parser.add_argument("--preview", help="also write a mock-up of the window to this PNG file")
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)
    files = render_all(args.out)
    for name in files:
        print(name)
    if args.preview:
        write_preview(args.out, args.preview)


if __name__ == "__main__":
    main()

#!/usr/bin/python3
"""Paints the editor's artwork: the pedal face and the knob.

Run by hand after changing the look; the PNGs it writes are committed:
    /usr/bin/python3 tools/artwork/make_artwork.py plugin/resources

Deterministic: fixed noise seed, fonts from Debian's fonts-dejavu-core, numpy and PIL only.
Positions are in editor design units (384 x 498); the face is drawn at 2.5 pixels per unit
so that the knob centres, knob radii and footswitch match the editor's layout table.
"""

import os
import sys

import numpy as np
from PIL import Image, ImageDraw, ImageFilter, ImageFont

PX = 2.5                      # background pixels per design unit
W, H = 960, 1245              # 384 x 498 design units
KNOB_SIZE = 320
KNOB_BODY = 125.4             # knob radius in knob-image pixels

# Same rows as the editor's knob table: caption, centre x, centre y, radius.
KNOBS = [
    ("VOL", 84.4, 88.4, 31.6),
    ("DIST", 193.4, 88.4, 31.6),
    ("TONE", 302.8, 88.4, 31.6),
    ("BLEND", 84.4, 186.8, 24.0),
    ("GATE", 302.8, 186.8, 24.0),
]
SWITCH_X, SWITCH_Y, SWITCH_R = 192.0, 365.2, 47.2
READOUT = (140.0, 453.0, 104.0, 22.0)   # box the editor draws its value read-out in

FONT_DIR = "/usr/share/fonts/truetype/dejavu"
INK = np.array([34, 24, 14], np.float64)         # painted lettering
PAINT = np.array([200, 160, 40], np.float64)     # enclosure, matches the editor's fallback colour


def font(name, size_px):
    return ImageFont.truetype(os.path.join(FONT_DIR, name), int(round(size_px)))


def grid(w, h):
    y, x = np.mgrid[0:h, 0:w].astype(np.float64)
    return x + 0.5, y + 0.5


def disc(x, y, cx, cy, r):
    """Anti-aliased coverage of a disc, all in pixels."""
    d = np.hypot(x - cx, y - cy)
    return np.clip(r - d + 0.5, 0.0, 1.0)


def ring(x, y, cx, cy, r0, r1):
    return np.clip(disc(x, y, cx, cy, r1) - disc(x, y, cx, cy, r0), 0.0, 1.0)


def rounded_rect(x, y, x0, y0, x1, y1, rad):
    qx = np.maximum(np.maximum(x0 + rad - x, x - (x1 - rad)), 0.0)
    qy = np.maximum(np.maximum(y0 + rad - y, y - (y1 - rad)), 0.0)
    outside = np.hypot(qx, qy) - rad
    inside = np.minimum(np.maximum(np.maximum(x0 - x, x - x1), np.maximum(y0 - y, y - y1)), 0.0)
    dist = np.where((qx > 0) | (qy > 0), outside, inside)
    return np.clip(0.5 - dist, 0.0, 1.0)


def blend(img, color, alpha):
    a = alpha[..., None]
    img[:] = img * (1.0 - a) + np.asarray(color, np.float64) * a


def text_mask(w, h, items, ss=4):
    """Coverage of centred texts; items are (text, font file, size px, cx, cy, tracking px)."""
    big = Image.new("L", (w * ss, h * ss), 0)
    draw = ImageDraw.Draw(big)
    for text, face, size, cx, cy, tracking in items:
        f = font(face, size * ss)
        widths = [draw.textlength(ch, font=f) for ch in text]
        total = sum(widths) + tracking * ss * (len(text) - 1)
        x = cx * ss - total / 2.0
        for ch, cw in zip(text, widths):
            draw.text((x, cy * ss), ch, font=f, fill=255, anchor="lm")
            x += cw + tracking * ss
    small = big.resize((w, h), Image.BOX)
    return np.asarray(small, np.float64) / 255.0


def smooth_noise(rng, w, h, scale, blur):
    n = rng.standard_normal((h // scale + 2, w // scale + 2)).astype(np.float32)
    img = Image.fromarray(((n * 40) + 128).clip(0, 255).astype(np.uint8), "L")
    img = img.resize((w, h), Image.BICUBIC).filter(ImageFilter.GaussianBlur(blur))
    return np.asarray(img, np.float64) / 255.0 - 0.5


def paint_background():
    rng = np.random.RandomState(20261210)
    x, y = grid(W, H)
    u = PX
    img = np.zeros((H, W, 3), np.float64)
    img[:] = (22, 19, 16)

    # Enclosure: hammertone paint lit from the top left.
    body = rounded_rect(x, y, 0, 0, W, H, 16 * u)
    bump = smooth_noise(rng, W, H, 12, 3.0) + 0.4 * smooth_noise(rng, W, H, 6, 1.5)
    gy, gx = np.gradient(bump)
    light = np.tanh(-(gx + gy) * 5.0) * 0.06
    shade = 1.0 + light - 0.10 * (y / H) + 0.04 * (1.0 - x / W)
    paint = PAINT[None, None, :] * shade[..., None]
    blend(img, paint, body)

    # Bevel where the top face turns into the sides.
    edge = np.minimum(np.minimum(x, W - x), np.minimum(y, H - y))
    bevel = np.clip(1.0 - edge / (7 * u), 0.0, 1.0) ** 2 * body
    lit = ((W - x) / W + (H - y) / H) * 0.5
    blend(img, (255, 236, 170), bevel * 0.45 * lit)
    blend(img, (40, 28, 8), bevel * 0.55 * (1.0 - lit))

    # Corner screws.
    for sx, sy in ((14, 14), (370, 14), (14, 484), (370, 484)):
        cx, cy = sx * u, sy * u
        blend(img, (60, 45, 15), disc(x, y, cx + 1.5, cy + 2.5, 5.6 * u) * 0.5)
        d = np.hypot(x - cx, y - cy) / (5 * u)
        metal = 150 + 80 * (1 - d) - 45 * ((x - cx + y - cy) / (10 * u))
        blend(img, np.stack([metal, metal * 0.98, metal * 0.92], -1).clip(0, 255), disc(x, y, cx, cy, 5 * u))
        slot = rounded_rect(x, y, cx - 3.6 * u, cy - 0.55 * u, cx + 3.6 * u, cy + 0.55 * u, 0.5 * u)
        blend(img, (45, 40, 35), slot * disc(x, y, cx, cy, 4.2 * u))

    # Scale around every knob: dots from -150 to +150 degrees, the ends larger.
    for _, kx, ky, kr in KNOBS:
        cx, cy = kx * u, ky * u
        blend(img, (120, 88, 18), disc(x, y, cx, cy, kr * 1.08 * u) * 0.35)
        for i in range(11):
            a = np.radians(-150 + 30 * i)
            rr = kr * 1.34 * u
            dx, dy = cx + rr * np.sin(a), cy - rr * np.cos(a)
            size = (1.7 if i in (0, 10) else 1.05) * u
            blend(img, INK, disc(x, y, dx, dy, size))

    # Recessed window the editor writes its value read-out into.
    rx, ry, rw, rh = READOUT
    wx0, wy0, wx1, wy1 = (rx - 8) * u, (ry - 6) * u, (rx + rw + 8) * u, (ry + rh + 6) * u
    blend(img, (255, 232, 160), rounded_rect(x, y, wx0 - 2, wy0 - 2, wx1 + 3, wy1 + 3, 8 * u) * 0.5)
    blend(img, (70, 50, 12), rounded_rect(x, y, wx0 - 3, wy0 - 3, wx1 + 1, wy1 + 1, 8 * u) * 0.8)
    window = rounded_rect(x, y, wx0, wy0, wx1, wy1, 7 * u)
    inner = np.clip((y - wy0) / (6 * u), 0.0, 1.0)
    blend(img, np.stack([10 + 16 * inner, 9 + 14 * inner, 8 + 11 * inner], -1), window)

    # Footswitch: washer, hex nut and plunger, lit from the top left.
    cx, cy = SWITCH_X * u, SWITCH_Y * u
    blend(img, (60, 40, 6), disc(x, y, cx + 2 * u, cy + 4 * u, (SWITCH_R + 1) * u) * 0.55)
    ang = np.arctan2(y - cy, x - cx)
    d = np.hypot(x - cx, y - cy)
    brushed = 0.5 + 0.5 * np.cos(2 * (ang + np.pi / 4))
    washer = 120 + 95 * brushed + 10 * np.sin(d * 0.9)
    blend(img, np.stack([washer, washer * 0.97, washer * 0.92], -1).clip(0, 255),
          disc(x, y, cx, cy, (SWITCH_R - 1) * u))
    blend(img, (40, 38, 34), ring(x, y, cx, cy, (SWITCH_R - 1.6) * u, (SWITCH_R - 0.6) * u) * 0.6)
    hex_r = 36 * u
    sector = np.mod(ang + np.pi / 6, np.pi / 3) - np.pi / 6
    hex_d = d * np.cos(sector) - hex_r * np.cos(np.pi / 6)
    hex_cov = np.clip(0.5 - hex_d, 0.0, 1.0)
    face = np.round((ang + np.pi) / (np.pi / 3)) % 6
    facet = 150 + 22 * np.cos(face * np.pi / 3 + 0.8) + 25 * np.clip(1 - d / hex_r, 0, 1)
    blend(img, np.stack([facet, facet * 0.98, facet * 0.94], -1), hex_cov)
    blend(img, (30, 28, 26), np.clip(0.5 - np.abs(hex_d + 0.6 * u), 0, 1) * 0.35)
    blend(img, (25, 22, 20), disc(x, y, cx, cy, 26 * u) * 0.7)
    plunger = 200 - 80 * (d / (24 * u)) ** 2 - 40 * ((x - cx + y - cy) / (48 * u)) + 8 * np.sin(d * 1.3)
    blend(img, np.stack([plunger, plunger * 0.985, plunger * 0.95], -1).clip(0, 255),
          disc(x, y, cx, cy, 24 * u))
    blend(img, (255, 255, 250), disc(x, y, cx - 8 * u, cy - 9 * u, 7 * u) * 0.25)

    # Lettering.
    items = [(c, "DejaVuSans-Bold.ttf", 10.5 * u, kx * u, (ky - kr * 1.34 - 10.5) * u, 1.2 * u)
             for c, kx, ky, kr in KNOBS]
    items += [
        ("KORVANE", "DejaVuSerif-Bold.ttf", 21 * u, 192 * u, 184 * u, 1.0 * u),
        ("BASS FUZZ", "DejaVuSans-Bold.ttf", 7.5 * u, 192 * u, 157 * u, 3.0 * u),
        ("Drevanok Effects", "DejaVuSerif-Italic.ttf", 10.5 * u, 192 * u, 211 * u, 0.3 * u),
        ("BYPASS", "DejaVuSans-Bold.ttf", 7.5 * u, 192 * u, (SWITCH_Y - SWITCH_R - 9) * u, 2.5 * u),
    ]
    ink = text_mask(W, H, items)
    # Letters are printed slightly raised: a faint light edge below each one.
    under = np.roll(ink, 2, axis=0) * (1 - ink)
    blend(img, (250, 222, 140), under * 0.5)
    blend(img, INK, ink)

    # Pinstripes framing the name.
    for yy in (146.0, 224.0):
        line = np.clip(0.6 * u - np.abs(y - yy * u), 0, 1) * np.clip((np.abs(x - 192 * u) < 62 * u), 0, 1)
        blend(img, INK, line * 0.9)

    return np.round(np.clip(img, 0, 255)).astype(np.uint8)


def paint_knob():
    s = KNOB_SIZE
    x, y = grid(s, s)
    c = s / 2.0
    d = np.hypot(x - c, y - c)
    ang = np.arctan2(x - c, c - y)
    rgba = np.zeros((s, s, 4), np.float64)
    col = rgba[..., :3]
    R = KNOB_BODY

    # Knurled skirt: 40 ridges, shaded like a cylinder edge.
    ridges = 0.5 + 0.5 * np.cos(ang * 40)
    skirt = 18 + 30 * ridges + 10 * np.clip((d - 0.86 * R) / (0.14 * R), 0, 1)
    col[:] = np.stack([skirt, skirt, skirt * 1.05], -1)
    alpha = disc(x, y, c, c, R)
    blend(col, (6, 6, 7), ring(x, y, c, c, R - 2.5, R) * 0.8)

    # Top face: dark bakelite with a soft concentric sheen.
    top_r = 0.84 * R
    sheen = 34 + 16 * np.exp(-((d - 0.62 * R) / (0.12 * R)) ** 2) - 10 * (d / top_r) ** 2
    top = disc(x, y, c, c, top_r)
    blend(col, np.stack([sheen, sheen, sheen * 1.06], -1), top)
    blend(col, (92, 92, 96), ring(x, y, c, c, top_r - 2.0, top_r) * 0.7)
    blend(col, (4, 4, 5), ring(x, y, c, c, top_r, top_r + 2.5) * 0.7)

    # Brushed metal cap in the middle.
    cap_r = 0.36 * R
    spin = 120 + 10 * np.sin(d * 1.7) - 45 * (d / cap_r) ** 2
    cap = disc(x, y, c, c, cap_r)
    blend(col, np.stack([spin + 10, spin + 8, spin], -1).clip(0, 255), cap)
    blend(col, (30, 30, 32), ring(x, y, c, c, cap_r - 1.5, cap_r + 1.0) * 0.8)

    # Pointer: a cream line from the cap to the skirt, straight up.
    pw = 5.0
    seg_y0, seg_y1 = c - 0.97 * R, c - 0.44 * R
    py = np.clip(y, seg_y0, seg_y1)
    pd = np.hypot(x - c, y - py)
    pointer = np.clip(pw - pd + 0.5, 0, 1)
    blend(col, (12, 10, 8), np.clip(pw + 2.0 - pd + 0.5, 0, 1) * 0.5)
    blend(col, (242, 232, 200), pointer)

    rgba[..., 3] = alpha * 255.0
    out = np.round(np.clip(rgba, 0, 255)).astype(np.uint8)
    out[alpha <= 0.0] = 0   # fully clear outside the body, so nothing bleeds when mipmapped
    return out


def main():
    out_dir = sys.argv[1] if len(sys.argv) > 1 else "plugin/resources"
    os.makedirs(out_dir, exist_ok=True)
    Image.fromarray(paint_background(), "RGB").save(os.path.join(out_dir, "background.png"), optimize=True)
    Image.fromarray(paint_knob(), "RGBA").save(os.path.join(out_dir, "knob.png"), optimize=True)


if __name__ == "__main__":
    main()

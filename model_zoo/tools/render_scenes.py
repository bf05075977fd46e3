#!/usr/bin/python3
"""Rendered floor scenes for training and evaluating the demo network.

The geometry is that of the C++ scene renderer the simulated camera uses
(pinhole camera in the arm base frame, rotation R = Rz Ry Rx from degrees,
pieces resting on the floor: boxes with size and roll/pitch/yaw, cylinders
with diameter, length and axis; pixel rays through (u - cx) / fx); on top of it
domain randomisation the C++ renderer does not do: floor colour and texture,
directional lighting (or none, as the simulated camera), piece colours drawn
independently of class, unlabelled distractors painted on and lying on the
floor, camera height, tilt and yaw, colour noise and blur.

Only numpy and OpenCV (cv2) are used; every frame follows from its seed.
"""
import math

import cv2
import numpy as np

# The demo's classes: 0-based index in config/trash_classes.txt.
PAPER, BOTTLE, COFFEE, CARTON = 0, 4, 13, 17
DEMO_CLASSES = (PAPER, BOTTLE, COFFEE, CARTON)
CLASS_NAMES = {PAPER: "paper", BOTTLE: "bottle", COFFEE: "coffee", CARTON: "carton_box"}
FLOOR_Z = -0.176


def rotation_rpy_deg(r, p, y):
    r, p, y = (math.radians(v) for v in (r, p, y))
    rx = np.array([[1, 0, 0], [0, math.cos(r), -math.sin(r)], [0, math.sin(r), math.cos(r)]])
    ry = np.array([[math.cos(p), 0, math.sin(p)], [0, 1, 0], [-math.sin(p), 0, math.cos(p)]])
    rz = np.array([[math.cos(y), -math.sin(y), 0], [math.sin(y), math.cos(y), 0], [0, 0, 1]])
    return rz @ ry @ rx


def rotation_x_to(axis):
    """Rotation taking the x axis onto `axis` (any one; a cylinder is symmetric)."""
    a = np.asarray(axis, float) / np.linalg.norm(axis)
    x = np.array([1.0, 0.0, 0.0])
    v = np.cross(x, a)
    c = float(x @ a)
    if np.linalg.norm(v) < 1e-12:
        return np.eye(3) if c > 0 else np.diag([-1.0, -1.0, 1.0])
    vx = np.array([[0, -v[2], v[1]], [v[2], 0, -v[0]], [-v[1], v[0], 0]])
    return np.eye(3) + vx + vx @ vx / (1 + c)


class Piece:
    """A box (size = full extents) or cylinder (size = length, diameter, diameter)
    with local-to-base rotation R and centre c; rests on the floor."""

    def __init__(self, kind, size, rot, xy, label, color):
        self.kind, self.size, self.rot, self.label, self.color = kind, np.asarray(size, float), rot, label, color
        half = 0.5 * self.size
        if kind == "box":
            lowest = -np.abs(rot[2]) @ half
        else:
            ax = rot[:, 0]
            lowest = -(abs(ax[2]) * half[0] + half[1] * math.sqrt(max(0.0, 1 - ax[2] ** 2)))
        self.center = np.array([xy[0], xy[1], FLOOR_Z - lowest])

    def intersect(self, origin, dirs):
        """Ray parameter t (inf for a miss) and the base-frame normal per ray."""
        o = self.rot.T @ (origin - self.center)
        d = dirs @ self.rot  # = (R^T d) per row
        half = 0.5 * self.size
        n = dirs.shape[0]
        if self.kind == "box":
            with np.errstate(divide="ignore", invalid="ignore"):
                t0 = (-half - o) / d
                t1 = (half - o) / d
            tmin, tmax = np.minimum(t0, t1), np.maximum(t0, t1)
            t_near = np.nanmax(tmin, axis=1)
            t_far = np.nanmin(tmax, axis=1)
            hit = (t_near <= t_far) & (t_near > 0)
            t = np.where(hit, t_near, np.inf)
            face = np.nanargmax(tmin, axis=1)
            normal = np.zeros((n, 3))
            normal[np.arange(n), face] = -np.sign(d[np.arange(n), face])
        else:
            r, hl = half[1], half[0]
            a = d[:, 1] ** 2 + d[:, 2] ** 2
            b = 2 * (o[1] * d[:, 1] + o[2] * d[:, 2])
            c = o[1] ** 2 + o[2] ** 2 - r * r
            disc = b * b - 4 * a * c
            with np.errstate(divide="ignore", invalid="ignore"):
                ts = (-b - np.sqrt(np.maximum(disc, 0))) / (2 * a)
            xs = o[0] + ts * d[:, 0]
            side = (disc >= 0) & (a > 1e-15) & (ts > 0) & (np.abs(xs) <= hl)
            t = np.where(side, ts, np.inf)
            normal = np.zeros((n, 3))
            p = o + ts[:, None] * d
            normal[:, 1:] = p[:, 1:] / r
            for sgn in (-1.0, 1.0):
                with np.errstate(divide="ignore", invalid="ignore"):
                    tc = (sgn * hl - o[0]) / d[:, 0]
                pc = o + tc[:, None] * d
                cap = (tc > 0) & (pc[:, 1] ** 2 + pc[:, 2] ** 2 <= r * r) & (tc < t)
                t = np.where(cap, tc, t)
                normal[cap] = [sgn, 0, 0]
        return t, normal @ self.rot.T


def random_color(rng):
    h = rng.uniform(0, 180)
    s = rng.uniform(40, 255) if rng.random() < 0.85 else rng.uniform(0, 40)
    v = rng.uniform(60, 255)
    return cv2.cvtColor(np.uint8([[[h, s, v]]]), cv2.COLOR_HSV2RGB)[0, 0].astype(float)


def random_piece(rng, label, xy, yaw):
    color = random_color(rng)
    if label == PAPER:
        size = (rng.uniform(0.06, 0.15), rng.uniform(0.05, 0.11), rng.uniform(0.003, 0.012))
        return Piece("box", size, rotation_rpy_deg(0, 0, yaw), xy, label, color)
    if label == CARTON:
        size = (rng.uniform(0.08, 0.16), rng.uniform(0.04, 0.08), rng.uniform(0.03, 0.06))
        roll = 90.0 if rng.random() < 0.2 else 0.0
        return Piece("box", size, rotation_rpy_deg(roll, 0, yaw), xy, label, color)
    if label == BOTTLE:
        d = rng.uniform(0.05, 0.075)
        if rng.random() < 0.8:
            return Piece("cyl", (rng.uniform(0.12, 0.22), d, d), rotation_x_to((0, 0, 1)), xy, label, color)
        axis = (math.cos(math.radians(yaw)), math.sin(math.radians(yaw)), 0)
        return Piece("cyl", (rng.uniform(0.17, 0.23), d, d), rotation_x_to(axis), xy, label, color)
    d = rng.uniform(0.04, 0.056)  # coffee can, lying
    axis = (math.cos(math.radians(yaw)), math.sin(math.radians(yaw)), 0)
    return Piece("cyl", (rng.uniform(0.10, 0.145), d, d), rotation_x_to(axis), xy, label, color)


def random_distractor(rng, xy, yaw):
    """An object of no demo class: a flat disc, a small cube or a wide low slab."""
    color = random_color(rng)
    k = rng.integers(3)
    if k == 0:
        d = rng.uniform(0.03, 0.1)
        return Piece("cyl", (rng.uniform(0.004, 0.02), d, d), rotation_x_to((0, 0, 1)), xy, -1, color)
    if k == 1:
        e = rng.uniform(0.02, 0.045)
        return Piece("box", (e, e, e), rotation_rpy_deg(0, 0, yaw), xy, -1, color)
    return Piece("box", (rng.uniform(0.2, 0.3), rng.uniform(0.15, 0.25), rng.uniform(0.002, 0.006)),
                 rotation_rpy_deg(0, 0, yaw), xy, -1, color)


def floor_texture(rng, h, w):
    base = random_color(rng) * rng.uniform(0.4, 1.0) if rng.random() < 0.5 else np.full(3, rng.uniform(70, 200))
    img = np.ones((h, w, 3)) * base
    kind = rng.integers(4)
    if kind == 1:  # blotches
        small = rng.normal(0, rng.uniform(5, 30), (max(2, h // 16), max(2, w // 16), 1))
        img += cv2.resize(small, (w, h), interpolation=cv2.INTER_CUBIC)[..., None]
    elif kind == 2:  # tiles
        step = int(rng.integers(12, 48))
        line = np.zeros((h, w), bool)
        line[::step, :] = True
        line[:, ::step] = True
        img[line] *= rng.uniform(0.5, 0.9)
    elif kind == 3:  # fine grain
        img += rng.normal(0, rng.uniform(3, 15), (h, w, 1))
    return img


def render(seed, width=320, height=180, demo_like=False):
    """RGB uint8 image, list of (label, mask uint8 0/1) of the visible labelled pieces."""
    rng = np.random.default_rng(seed)
    scale = width / 640.0
    fx = 326.9 * scale
    cx, cy = 319.4 * scale, 181.7 * scale * (height / (360 * scale))
    if demo_like:
        cam_z, tilt, yaw, cam_x = 0.30, 50.0, 0.0, -0.05
    else:
        cam_z, tilt, yaw, cam_x = rng.uniform(0.22, 0.42), rng.uniform(35, 65), rng.uniform(-15, 15), -0.05
    rot = rotation_rpy_deg(-90 - tilt, 0, 90 + yaw)
    origin = np.array([cam_x, 0.0, cam_z])
    v, u = np.mgrid[0:height, 0:width].astype(float)
    d_cam = np.stack(((u - cx) / fx, (v - cy) / fx, np.ones_like(u)), -1).reshape(-1, 3)
    dirs = d_cam @ rot.T
    dirs /= np.linalg.norm(dirs, axis=1, keepdims=True)

    # Floor points seen by the image: where pieces may go.
    t_floor = np.where(dirs[:, 2] < -1e-6, (FLOOR_Z - origin[2]) / np.minimum(dirs[:, 2], -1e-6), np.inf)
    floor_pts = origin + t_floor[:, None] * dirs
    visible = np.isfinite(t_floor) & (np.linalg.norm(floor_pts[:, :2] - origin[:2], axis=1) < 1.3)
    candidates = floor_pts[visible][:, :2]

    pieces, taken = [], []
    n_pieces = int(rng.integers(1, 6))
    n_distract = int(rng.integers(0, 3))
    for i in range(n_pieces + n_distract):
        for _ in range(20):
            xy = candidates[rng.integers(len(candidates))]
            if all(np.linalg.norm(xy - q) > 0.13 for q in taken):
                break
        else:
            continue
        taken.append(xy)
        yaw_p = rng.uniform(0, 180)
        if i < n_pieces:
            pieces.append(random_piece(rng, DEMO_CLASSES[rng.integers(4)], xy, yaw_p))
        else:
            pieces.append(random_distractor(rng, xy, yaw_p))

    n = dirs.shape[0]
    best_t = t_floor.copy()
    index = np.full(n, -1)
    normal = np.tile([0.0, 0.0, 1.0], (n, 1))
    for k, p in enumerate(pieces):
        t, nrm = p.intersect(origin, dirs)
        closer = t < best_t
        best_t[closer] = t[closer]
        index[closer] = k
        normal[closer] = nrm[closer]

    img = floor_texture(rng, height, width).reshape(-1, 3)
    # Painted stains: flat shapes on the floor, unlabelled.
    if rng.random() < 0.5:
        stain = np.zeros((height, width), np.uint8)
        for _ in range(int(rng.integers(1, 4))):
            c = (int(rng.integers(width)), int(rng.integers(height)))
            ax = (int(rng.integers(4, width // 8)), int(rng.integers(3, height // 8)))
            cv2.ellipse(stain, c, ax, float(rng.uniform(0, 180)), 0, 360, 1, -1)
        img[stain.reshape(-1) > 0] = random_color(rng)
    for k, p in enumerate(pieces):
        img[index == k] = p.color
    if rng.random() < 0.3 or demo_like:
        shade = np.ones(n)  # flat colours, as the simulated camera renders
    else:
        light = np.array([rng.uniform(-0.6, 0.6), rng.uniform(-0.6, 0.6), 1.0])
        light /= np.linalg.norm(light)
        ambient = rng.uniform(0.35, 0.7)
        shade = ambient + (1 - ambient) * np.clip(normal @ light, 0, 1) * rng.uniform(0.8, 1.3)
    img = img * shade[:, None] * rng.uniform(0.8, 1.15)
    img = img.reshape(height, width, 3)
    noise = rng.uniform(0, 8)
    img += rng.uniform(-noise, noise, img.shape)
    if rng.random() < 0.25:
        img = cv2.GaussianBlur(img, (3, 3), rng.uniform(0.3, 1.0))
    img = np.clip(np.round(img), 0, 255).astype(np.uint8)

    index = index.reshape(height, width)
    objects = []
    for k, p in enumerate(pieces):
        if p.label < 0:
            continue
        mask = (index == k).astype(np.uint8)
        if mask.sum() >= 12:
            objects.append((p.label, mask))
    return img, objects


def letterbox(img, in_w, in_h):
    """The node's letterbox: scale to fit, centre, pad with grey 114."""
    h, w = img.shape[:2]
    r = min(in_w / w, in_h / h)
    sw, sh = int(round(w * r)), int(round(h * r))
    left, top = (in_w - sw) // 2, (in_h - sh) // 2
    out = np.full((in_h, in_w, 3), 114, np.uint8)
    scaled = img if (sw, sh) == (w, h) else cv2.resize(img, (sw, sh), interpolation=cv2.INTER_LINEAR)
    out[top:top + sh, left:left + sw] = scaled
    return out, r, left, top

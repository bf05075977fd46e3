#!/usr/bin/python3
"""Detections of PyTorch's own forward pass, in the node's terms, and their
comparison with what the node's onnx backend reports.

The network's outputs come from PyTorch (the in-graph DFL decode, sigmoid
scores, coefficients and prototypes); around them the steps the node
documents in docs/model.md: letterbox (OpenCV's bilinear resize, grey 114),
class-aware NMS (score order, ties by anchor), box back through the
letterbox and clipped, mask = sigmoid(coefficients . prototypes) sampled
bilinearly at the centre of every image pixel inside the box (border
replicated) and thresholded.

A detection directory holds, per image stem, <stem>.txt with one line
"label score x y width height" per detection and <stem>_<k>.png masks (0/255):
the format of model_zoo/tools/model_zoo_detect.cpp.
"""
import os

import cv2
import numpy as np
import torch

import render_scenes as rs


def letterbox(rgb, in_w, in_h):
    img, r, left, top = rs.letterbox(rgb, in_w, in_h)
    return img, r, left, top


def nms(boxes, scores, labels, iou_thr, max_det):
    order = sorted(range(len(scores)), key=lambda i: (-scores[i], i))
    kept = []
    for i in order:
        if len(kept) >= max_det:
            break
        ok = True
        for j in kept:
            if labels[j] != labels[i]:
                continue
            ix = max(0.0, min(boxes[i][2], boxes[j][2]) - max(boxes[i][0], boxes[j][0]))
            iy = max(0.0, min(boxes[i][3], boxes[j][3]) - max(boxes[i][1], boxes[j][1]))
            inter = ix * iy
            area = lambda b: (b[2] - b[0]) * (b[3] - b[1])  # noqa: E731
            union = area(boxes[i]) + area(boxes[j]) - inter
            if union > 0 and inter / union > iou_thr:
                ok = False
                break
        if ok:
            kept.append(i)
    return kept


def sample_mask(prob, box, img_w, img_h, r, left, top, in_w, in_h, threshold):
    ph, pw = prob.shape
    mask = np.zeros((img_h, img_w), np.uint8)
    edge = lambda v, lim: int(min(max(np.ceil(v - 0.5), 0), lim))  # noqa: E731
    c0, r0 = edge(box[0], img_w), edge(box[1], img_h)
    c1, r1 = edge(box[2], img_w), edge(box[3], img_h)
    if c1 <= c0 or r1 <= r0:
        return mask
    u = np.arange(c0, c1, dtype=np.float64)
    v = np.arange(r0, r1, dtype=np.float64)
    px = ((u + 0.5) * r + left) * (pw / in_w) - 0.5
    py = ((v + 0.5) * r + top) * (ph / in_h) - 0.5

    def weights(p, n):
        f = np.floor(p)
        w = p - f
        i0 = np.clip(f.astype(int), 0, n - 1)
        i1 = np.clip(f.astype(int) + 1, 0, n - 1)
        return i0, i1, w

    x0, x1, wx = weights(px, pw)
    y0, y1, wy = weights(py, ph)
    top_row = prob[y0][:, x0] * (1 - wx) + prob[y0][:, x1] * wx
    bottom_row = prob[y1][:, x0] * (1 - wx) + prob[y1][:, x1] * wx
    val = top_row * (1 - wy)[:, None] + bottom_row * wy[:, None]
    mask[r0:r1, c0:c1] = val > threshold
    return mask


def detect(net, rgb, in_w, in_h, nc, score_thr=0.25, iou_thr=0.45, mask_thr=0.5, max_det=100):
    """[(label, score, x, y, w, h, mask)] of one RGB image through PyTorch."""
    img_h, img_w = rgb.shape[:2]
    lb, r, left, top = letterbox(rgb, in_w, in_h)
    x = torch.from_numpy(lb).permute(2, 0, 1)[None].float() / 255.0
    with torch.no_grad():
        out0, out1 = net(x)
    det = out0[0].double().numpy()
    protos = out1[0].double().numpy()
    cls = det[4:4 + nc]
    labels = cls.argmax(0)
    scores = cls.max(0)
    cand = np.nonzero(scores > score_thr)[0]
    boxes = [(det[0, a] - det[2, a] / 2, det[1, a] - det[3, a] / 2, det[0, a] + det[2, a] / 2,
              det[1, a] + det[3, a] / 2) for a in cand]
    kept = nms(boxes, [scores[a] for a in cand], [labels[a] for a in cand], iou_thr, max_det)
    results = []
    for k in kept:
        a = cand[k]
        x1, y1, x2, y2 = boxes[k]
        bx1 = min(max((x1 - left) / r, 0), img_w)
        by1 = min(max((y1 - top) / r, 0), img_h)
        bx2 = min(max((x2 - left) / r, 0), img_w)
        by2 = min(max((y2 - top) / r, 0), img_h)
        if bx2 - bx1 <= 0 or by2 - by1 <= 0:
            continue
        coef = det[4 + nc:, a]
        prob = 1 / (1 + np.exp(-(coef @ protos.reshape(len(coef), -1)))).reshape(protos.shape[1:])
        mask = sample_mask(prob, (bx1, by1, bx2, by2), img_w, img_h, r, left, top, in_w, in_h, mask_thr)
        results.append((int(labels[a]), float(scores[a]), bx1, by1, bx2 - bx1, by2 - by1, mask))
    return results


def write_dets(out_dir, stem, dets):
    os.makedirs(out_dir, exist_ok=True)
    with open(os.path.join(out_dir, stem + ".txt"), "w") as f:
        for k, (label, score, x, y, w, h, mask) in enumerate(dets):
            f.write(f"{label} {score:.7f} {x:.4f} {y:.4f} {w:.4f} {h:.4f}\n")
            cv2.imwrite(os.path.join(out_dir, f"{stem}_{k}.png"), mask * 255)


def read_dets(out_dir, stem):
    dets = []
    with open(os.path.join(out_dir, stem + ".txt")) as f:
        for k, line in enumerate(f):
            v = line.split()
            mask = cv2.imread(os.path.join(out_dir, f"{stem}_{k}.png"), cv2.IMREAD_GRAYSCALE) > 0
            dets.append((int(v[0]), float(v[1]), *map(float, v[2:6]), mask))
    return dets


def compare(ref, got):
    """Pairs detections (same class, best box overlap) and returns
    (pairs, unmatched_ref, unmatched_got, max box deviation px, max score deviation, min mask IoU)."""
    used = set()
    box_dev = score_dev = 0.0
    iou_min = 1.0
    pairs = 0
    for r in ref:
        best, best_j = None, -1
        for j, g in enumerate(got):
            if j in used or g[0] != r[0]:
                continue
            d = max(abs(a - b) for a, b in zip(r[2:6], g[2:6]))
            if best is None or d < best:
                best, best_j = d, j
        if best_j < 0 or best > 2.0:
            continue
        used.add(best_j)
        g = got[best_j]
        pairs += 1
        box_dev = max(box_dev, best)
        score_dev = max(score_dev, abs(r[1] - g[1]))
        union = np.logical_or(r[6], g[6]).sum()
        iou = np.logical_and(r[6], g[6]).sum() / union if union else 1.0
        iou_min = min(iou_min, iou)
    return pairs, len(ref) - pairs, len(got) - len(used), box_dev, score_dev, iou_min

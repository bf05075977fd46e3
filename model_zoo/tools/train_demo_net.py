#!/usr/bin/python3
"""Trains the demo's segmentation network on rendered scenes and exports it.

  nice -n 5 /usr/bin/python3 model_zoo/tools/train_demo_net.py OUT_DIR [--minutes 25]

Writes OUT_DIR/demo_yolov8_seg.onnx (opset 12, 320x192 input, 23 classes of
config/trash_classes.txt; only paper, bottle, coffee and carton_box are
trained), OUT_DIR/demo_yolov8_seg.pt (weights) and OUT_DIR/report.md (box and
mask AP50 per class on a held-out rendered set). Seeded: the data and the
initialisation follow from --seed; the training loop runs a fixed number of
steps (--steps), so the result does not depend on the machine's speed, except
for the floating-point order of multi-threaded kernels. --minutes only stops
early, with a warning, when a machine is far slower than this one.

Loss, following the public YOLOv8 description: task-aligned assignment
(top 10 anchors inside the box by score^0.5 * IoU^6), binary cross-entropy on
classes against the aligned IoU, IoU loss plus distribution focal loss on the
box sides, and per-anchor mask BCE against the box-cropped true mask at
prototype resolution.
"""
import argparse
import os
import sys
import time

import numpy as np
import torch
import torch.nn.functional as F

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import render_scenes as rs  # noqa: E402
import yolov8_seg_net as yn  # noqa: E402

NC = 23
IN_W, IN_H = 320, 192
IMG_W, IMG_H = 320, 180


def make_sample(seed, demo_like=False):
    img, objs = rs.render(seed, IMG_W, IMG_H, demo_like)
    lb, r, left, top = rs.letterbox(img, IN_W, IN_H)
    masks = np.zeros((len(objs), IN_H, IN_W), np.uint8)
    labels, boxes = [], []
    for k, (label, m) in enumerate(objs):
        masks[k, top:top + IMG_H, left:left + IMG_W] = m
        ys, xs = np.nonzero(masks[k])
        boxes.append([xs.min(), ys.min(), xs.max() + 1, ys.max() + 1])
        labels.append(label)
    return lb, np.array(labels, np.int64), np.array(boxes, np.float32).reshape(-1, 4), masks


def dataset(first_seed, count):
    return [make_sample(first_seed + i) for i in range(count)]


def anchors_for(shape_hw):
    shapes = [(shape_hw[0] // s, shape_hw[1] // s) for s in yn.STRIDES]
    pts, strides = yn.make_anchors(shapes, torch.float32, "cpu")
    return pts[0].T * strides[0].T, strides[0, 0]  # [A, 2] pixels, [A]


def box_iou(a, b):
    """IoU of matching rows (xyxy)."""
    lt = torch.max(a[..., :2], b[..., :2])
    rb = torch.min(a[..., 2:], b[..., 2:])
    inter = (rb - lt).clamp(min=0).prod(-1)
    area = lambda x: (x[..., 2:] - x[..., :2]).clamp(min=0).prod(-1)  # noqa: E731
    return inter / (area(a) + area(b) - inter + 1e-9)


def ciou(a, b):
    iou = box_iou(a, b)
    c_lt = torch.min(a[..., :2], b[..., :2])
    c_rb = torch.max(a[..., 2:], b[..., 2:])
    c2 = ((c_rb - c_lt) ** 2).sum(-1) + 1e-9
    rho2 = (((a[..., :2] + a[..., 2:]) - (b[..., :2] + b[..., 2:])) ** 2).sum(-1) / 4
    wa, ha = (a[..., 2] - a[..., 0]).clamp(min=1e-6), (a[..., 3] - a[..., 1]).clamp(min=1e-6)
    wb, hb = (b[..., 2] - b[..., 0]).clamp(min=1e-6), (b[..., 3] - b[..., 1]).clamp(min=1e-6)
    v = (4 / np.pi ** 2) * (torch.atan(wb / hb) - torch.atan(wa / ha)) ** 2
    with torch.no_grad():
        alpha = v / (v - iou + (1 + 1e-9))
    return iou - (rho2 / c2 + v * alpha)


def decode_raw(feats):
    bs = feats[0].shape[0]
    x = torch.cat([f.view(bs, NC + 4 * yn.REG_MAX, -1) for f in feats], 2)
    dist_logits, cls_logits = x.split((4 * yn.REG_MAX, NC), 1)
    return dist_logits.permute(0, 2, 1), cls_logits.permute(0, 2, 1)  # [B, A, 64], [B, A, nc]


def dist_to_box(dist_logits, anchors, strides):
    a = dist_logits.shape[0]
    p = dist_logits.view(a, 4, yn.REG_MAX).softmax(-1)
    d = (p * torch.arange(yn.REG_MAX, dtype=torch.float32)).sum(-1) * strides[:, None]
    return torch.cat((anchors - d[:, :2], anchors + d[:, 2:]), 1)


def assign(scores, pboxes, anchors, gt_labels, gt_boxes, topk=10):
    """Task-aligned assignment: per anchor the gt index (-1 none) and its target score."""
    a = anchors.shape[0]
    g = gt_boxes.shape[0]
    gt_of = torch.full((a,), -1, dtype=torch.long)
    target = torch.zeros(a)
    if g == 0:
        return gt_of, target
    inside = ((anchors[None] > gt_boxes[:, None, :2]) & (anchors[None] < gt_boxes[:, None, 2:])).all(-1)
    ious = box_iou(pboxes[None].expand(g, a, 4), gt_boxes[:, None].expand(g, a, 4)).clamp(min=0)
    align = scores[:, gt_labels].T.pow(0.5) * ious.pow(6.0) * inside
    k = min(topk, a)
    top = align.topk(k, dim=1).indices
    pos = torch.zeros(g, a, dtype=torch.bool)
    pos.scatter_(1, top, True)
    pos &= inside
    # An anchor claimed by several boxes goes to the one it overlaps most.
    multi = pos.sum(0) > 1
    if multi.any():
        best = ious.argmax(0)
        pos[:, multi] = False
        pos[best[multi], multi.nonzero()[:, 0]] = True
    align = align * pos
    max_align = align.amax(1, keepdim=True) + 1e-9
    max_iou = (ious * pos).amax(1, keepdim=True)
    norm = (align / max_align * max_iou).amax(0)
    has = pos.any(0)
    gt_of[has] = pos[:, has].float().argmax(0)
    target[has] = norm[has]
    return gt_of, target


def loss_fn(net_out, batch, anchors, strides):
    feats, coeffs, protos = net_out
    dist_logits, cls_logits = decode_raw(feats)
    bsz = cls_logits.shape[0]
    ph, pw = protos.shape[2:]
    l_cls = l_box = l_dfl = l_mask = 0.0
    total_target = 0.0
    for b in range(bsz):
        labels, boxes, masks = batch[b]
        pboxes = dist_to_box(dist_logits[b], anchors, strides)
        scores = cls_logits[b].sigmoid()
        with torch.no_grad():
            gt_of, tscore = assign(scores.detach(), pboxes.detach(), anchors, labels, boxes)
        tcls = torch.zeros_like(cls_logits[b])
        pos = gt_of >= 0
        if pos.any():
            tcls[pos, labels[gt_of[pos]]] = tscore[pos]
        l_cls = l_cls + F.binary_cross_entropy_with_logits(cls_logits[b], tcls, reduction="sum")
        total_target += float(tscore.sum())
        if not pos.any():
            continue
        w = tscore[pos]
        gtb = boxes[gt_of[pos]]
        l_box = l_box + ((1 - ciou(pboxes[pos], gtb)) * w).sum()
        # DFL: the true side distances in strides, spread over the two nearest bins.
        ap, st = anchors[pos], strides[pos][:, None]
        tdist = torch.cat((ap - gtb[:, :2], gtb[:, 2:] - ap), 1) / st
        tdist = tdist.clamp(0, yn.REG_MAX - 1.01)
        lo = tdist.long()
        wl = lo.float() + 1 - tdist
        logits = dist_logits[b][pos].view(-1, 4, yn.REG_MAX)
        logp = F.log_softmax(logits, -1)
        dfl = -(logp.gather(2, lo[..., None])[..., 0] * wl + logp.gather(2, lo[..., None] + 1)[..., 0] * (1 - wl))
        l_dfl = l_dfl + (dfl.mean(1) * w).sum()
        # Masks at prototype resolution, cropped to the true box.
        gt_m = F.interpolate(masks[None].float(), (ph, pw), mode="bilinear", align_corners=False)[0]
        idx = gt_of[pos]
        pred = torch.einsum("nc,chw->nhw", coeffs[b][:, pos].T, protos[b])
        bce = F.binary_cross_entropy_with_logits(pred, gt_m[idx], reduction="none")
        bx = gtb / 4.0
        ys = torch.arange(ph, dtype=torch.float32)[None, :, None] + 0.5
        xs = torch.arange(pw, dtype=torch.float32)[None, None, :] + 0.5
        crop = ((xs >= bx[:, 0, None, None]) & (xs < bx[:, 2, None, None]) &
                (ys >= bx[:, 1, None, None]) & (ys < bx[:, 3, None, None])).float()
        area = crop.sum((1, 2)).clamp(min=1)
        l_mask = l_mask + ((bce * crop).sum((1, 2)) / area).mean()
    norm = max(total_target, 1.0)
    return (7.5 * l_box + 1.5 * l_dfl) / norm + 0.5 * l_cls / norm + 7.5 * l_mask / bsz


def to_batch(samples):
    imgs = torch.from_numpy(np.stack([s[0] for s in samples])).permute(0, 3, 1, 2).float() / 255.0
    targets = [(torch.from_numpy(s[1]), torch.from_numpy(s[2]), torch.from_numpy(s[3])) for s in samples]
    return imgs, targets


def flip(sample):
    img, labels, boxes, masks = sample
    b = boxes.copy()
    b[:, [0, 2]] = IN_W - boxes[:, [2, 0]]
    return img[:, ::-1].copy(), labels, b, masks[:, :, ::-1].copy()


def predict(net, img, conf=0.25, iou_thr=0.45):
    """Detections of one letterboxed image through the exported-form forward pass:
    list of (label, score, xyxy, mask at input size)."""
    with torch.no_grad():
        out0, out1 = net(torch.from_numpy(img).permute(2, 0, 1)[None].float() / 255.0)
    det = out0[0].T
    scores, labels = det[:, 4:4 + NC].max(1)
    keep = scores > conf
    det, scores, labels = det[keep], scores[keep], labels[keep]
    top = scores.argsort(descending=True)[:300]  # as the common evaluators cap candidates
    det, scores, labels = det[top], scores[top], labels[top]
    xyxy = torch.cat((det[:, :2] - det[:, 2:4] / 2, det[:, :2] + det[:, 2:4] / 2), 1)
    order = scores.argsort(descending=True)
    kept = []
    for i in order.tolist():
        if all(labels[j] != labels[i] or box_iou(xyxy[i], xyxy[j]) <= iou_thr for j in kept):
            kept.append(i)
    results = []
    for i in kept:
        m = (det[i, 4 + NC:] @ out1[0].view(32, -1)).view(out1.shape[2:]).sigmoid()
        m = F.interpolate(m[None, None], (IN_H, IN_W), mode="bilinear", align_corners=False)[0, 0]
        x1, y1, x2, y2 = xyxy[i].tolist()
        ys = torch.arange(IN_H)[:, None] + 0.5
        xs = torch.arange(IN_W)[None, :] + 0.5
        inside = (xs >= x1) & (xs < x2) & (ys >= y1) & (ys < y2)
        results.append((int(labels[i]), float(scores[i]), xyxy[i].numpy(), ((m > 0.5) & inside).numpy()))
    return results


def ap50(matches, n_true):
    """VOC-style area under the interpolated precision/recall curve."""
    if n_true == 0:
        return float("nan")
    if not matches:
        return 0.0
    matches.sort(key=lambda m: -m[0])
    tp = np.cumsum([m[1] for m in matches])
    fp = np.cumsum([1 - m[1] for m in matches])
    rec = np.concatenate(([0], tp / n_true, [1]))
    prec = np.concatenate(([1], tp / np.maximum(tp + fp, 1e-9), [0]))
    for i in range(len(prec) - 2, -1, -1):
        prec[i] = max(prec[i], prec[i + 1])
    idx = np.nonzero(rec[1:] != rec[:-1])[0]
    return float(((rec[idx + 1] - rec[idx]) * prec[idx + 1]).sum())


def evaluate(net, samples):
    box_m = {c: [] for c in rs.DEMO_CLASSES}
    mask_m = {c: [] for c in rs.DEMO_CLASSES}
    n_true = {c: 0 for c in rs.DEMO_CLASSES}
    for img, labels, boxes, masks in samples:
        dets = predict(net, img, conf=0.01)
        for c in rs.DEMO_CLASSES:
            gi = [k for k in range(len(labels)) if labels[k] == c]
            n_true[c] += len(gi)
            for kind, store in (("box", box_m), ("mask", mask_m)):
                used = set()
                for lab, score, xyxy, m in dets:
                    if lab != c:
                        continue
                    best, best_k = 0.0, -1
                    for k in gi:
                        if k in used:
                            continue
                        if kind == "box":
                            o = float(box_iou(torch.tensor(xyxy), torch.from_numpy(boxes[k])))
                        else:
                            inter = np.logical_and(m, masks[k]).sum()
                            o = inter / max(np.logical_or(m, masks[k]).sum(), 1)
                        if o > best:
                            best, best_k = o, k
                    hit = best >= 0.5
                    if hit:
                        used.add(best_k)
                    store[c].append((score, int(hit)))
    return {c: (n_true[c], ap50(box_m[c], n_true[c]), ap50(mask_m[c], n_true[c])) for c in rs.DEMO_CLASSES}


def write_report(a, net, res, note):
    lines = [
        f"- scale `{a.scale}`, {sum(q.numel() for q in net.parameters())} parameters, input {IN_W}x{IN_H}",
        f"- {note}",
        f"- held-out set: {a.held_out} scenes (seeds disjoint from training)",
        "",
        "| class | instances | box AP50 | mask AP50 |",
        "|---|---|---|---|",
    ]
    for c, (n, bap, map_) in res.items():
        lines.append(f"| {rs.CLASS_NAMES[c]} ({c}) | {n} | {bap:.3f} | {map_:.3f} |")
    mean_b = np.nanmean([r[1] for r in res.values()])
    mean_m = np.nanmean([r[2] for r in res.values()])
    lines.append(f"| mean | | {mean_b:.3f} | {mean_m:.3f} |")
    text = "\n".join(lines) + "\n"
    with open(os.path.join(a.out_dir, "report.md"), "w") as f:
        f.write(text)
    print(text)


def main(argv):
    p = argparse.ArgumentParser()
    p.add_argument("out_dir")
    p.add_argument("--seed", type=int, default=14)
    p.add_argument("--train", type=int, default=1200, help="rendered training scenes")
    p.add_argument("--held-out", type=int, default=200)
    p.add_argument("--steps", type=int, default=400)
    p.add_argument("--batch", type=int, default=8)
    p.add_argument("--scale", default="t")
    p.add_argument("--minutes", type=float, default=26.0)
    p.add_argument("--stop-after", type=int, help="run only this many steps of the --steps schedule")
    p.add_argument("--threads", type=int, default=2)
    p.add_argument("--init", help="start from these weights (a second stage) instead of the seed")
    p.add_argument("--lr", type=float, default=2e-3)
    p.add_argument("--evaluate", metavar="WEIGHTS", help="only write the held-out report of these weights")
    a = p.parse_args(argv[1:])
    os.makedirs(a.out_dir, exist_ok=True)
    torch.set_num_threads(a.threads)
    t0 = time.time()
    held = dataset(a.seed * 1_000_000 + 500_000, a.held_out)
    if a.evaluate:
        net = yn.build(NC, a.scale, a.seed, (IN_H, IN_W), a.evaluate)
        write_report(a, net, evaluate(net, held), "weights " + a.evaluate)
        return 0
    train = dataset(a.seed * 1_000_000, a.train)
    print(f"rendered {len(train)} + {len(held)} scenes in {time.time() - t0:.0f} s", flush=True)

    net = yn.build(NC, a.scale, a.seed, (IN_H, IN_W), a.init)
    net.train()
    net.head.raw = True
    anchors, strides = anchors_for((IN_H, IN_W))
    params = [q for q in net.parameters() if q.requires_grad]
    opt = torch.optim.AdamW(params, lr=a.lr, weight_decay=5e-4)
    sched = torch.optim.lr_scheduler.OneCycleLR(opt, max_lr=a.lr, total_steps=a.steps, pct_start=0.05)
    rng = np.random.default_rng(a.seed + (1 if a.init else 0))
    t_train = time.time()
    step = 0
    for step in range(a.steps):
        idx = rng.choice(len(train), a.batch, replace=False)
        samples = [flip(train[i]) if rng.random() < 0.5 else train[i] for i in idx]
        imgs, targets = to_batch(samples)
        loss = loss_fn(net(imgs), targets, anchors, strides)
        opt.zero_grad()
        loss.backward()
        torch.nn.utils.clip_grad_norm_(params, 10.0)
        opt.step()
        sched.step()
        if step % 50 == 0:
            el = time.time() - t_train
            print(f"step {step}/{a.steps} loss {loss.item():.3f} {el:.0f} s", flush=True)
        if a.stop_after is not None and step + 1 >= a.stop_after:
            break
        if time.time() - t_train > a.minutes * 60:
            print(f"WARNING: stopped at step {step} of {a.steps}: --minutes {a.minutes} reached", flush=True)
            break
    train_s = time.time() - t_train
    net.eval()
    net.head.raw = False
    torch.save({"model": net.state_dict(), "scale": a.scale, "nc": NC}, os.path.join(a.out_dir, "demo_yolov8_seg.pt"))
    onnx_path = os.path.join(a.out_dir, "demo_yolov8_seg.onnx")
    yn.export(net, onnx_path, (IN_H, IN_W), 12)
    note = (f"seed {a.seed}, {a.train} training scenes, {step + 1} steps of batch {a.batch}, "
            f"{train_s / 60:.1f} min training, {(time.time() - t0) / 60:.1f} min in all, {a.threads} threads")
    write_report(a, net, evaluate(net, held), note)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

#!/usr/bin/python3
"""YOLOv8-seg in PyTorch, written from the public architecture description,
and its ONNX export in the form the common exporter produces.

  output0  [1, 4 + classes + 32, anchors]  box centre x, y, width, height in
           input pixels (DFL decoded in the graph), sigmoid class scores,
           32 mask coefficients
  output1  [1, 32, H/4, W/4]               mask prototypes

Usage (Debian's /usr/bin/python3 with python3-torch):
  yolov8_seg_net.py export --scale n --width 640 --height 384 --opset 12 \
      --classes 23 [--weights state.pt] [--seed 0] OUT.onnx

Without --weights the network keeps its seeded random initialisation (after
a few batch-norm statistics updates, so the exports are not degenerate):
enough to check that an export runs and matches PyTorch, never a detector.
"""
import argparse
import math
import sys

import torch
from torch import nn

REG_MAX = 16
STRIDES = (8, 16, 32)
NUM_MASKS = 32

# depth, width, max channels of the public scales; "t" is ours: a reduced
# width for small committed test models and the demo network.
SCALES = {
    "n": (0.33, 0.25, 1024),
    "s": (0.33, 0.50, 1024),
    "t": (0.33, 0.125, 1024),
    "u": (0.33, 0.0625, 1024),
}


def make_divisible(x, divisor=8):
    return int(math.ceil(x / divisor) * divisor)


class Conv(nn.Module):
    """Conv2d without bias, batch norm, SiLU."""

    def __init__(self, c1, c2, k=1, s=1):
        super().__init__()
        self.conv = nn.Conv2d(c1, c2, k, s, k // 2, bias=False)
        self.bn = nn.BatchNorm2d(c2, eps=1e-3, momentum=0.03)
        self.act = nn.SiLU()

    def forward(self, x):
        return self.act(self.bn(self.conv(x)))


class Bottleneck(nn.Module):
    def __init__(self, c1, c2, shortcut=True):
        super().__init__()
        self.cv1 = Conv(c1, c2, 3)
        self.cv2 = Conv(c2, c2, 3)
        self.add = shortcut and c1 == c2

    def forward(self, x):
        y = self.cv2(self.cv1(x))
        return x + y if self.add else y


class C2f(nn.Module):
    def __init__(self, c1, c2, n=1, shortcut=False):
        super().__init__()
        self.c = c2 // 2
        self.cv1 = Conv(c1, 2 * self.c, 1)
        self.cv2 = Conv((2 + n) * self.c, c2, 1)
        self.m = nn.ModuleList(Bottleneck(self.c, self.c, shortcut) for _ in range(n))

    def forward(self, x):
        # Static split sizes: a Split with constant sizes, which OpenCV's
        # importer reads (chunk() exports a Split OpenCV 4.6 also reads, but
        # sizes computed from the shape do not).
        y = list(self.cv1(x).split((self.c, self.c), 1))
        y.extend(m(y[-1]) for m in self.m)
        return self.cv2(torch.cat(y, 1))


class SPPF(nn.Module):
    def __init__(self, c1, c2, k=5):
        super().__init__()
        c_ = c1 // 2
        self.cv1 = Conv(c1, c_, 1)
        self.cv2 = Conv(c_ * 4, c2, 1)
        self.m = nn.MaxPool2d(k, 1, k // 2)

    def forward(self, x):
        y = [self.cv1(x)]
        y.extend(self.m(y[-1]) for _ in range(3))
        return self.cv2(torch.cat(y, 1))


class Proto(nn.Module):
    def __init__(self, c1, c_, c2=NUM_MASKS):
        super().__init__()
        self.cv1 = Conv(c1, c_, 3)
        self.upsample = nn.ConvTranspose2d(c_, c_, 2, 2, 0, bias=True)
        self.cv2 = Conv(c_, c_, 3)
        self.cv3 = Conv(c_, c2, 1)

    def forward(self, x):
        return self.cv3(self.cv2(self.upsample(self.cv1(x))))


class Segment(nn.Module):
    """Detect head (box DFL branch + class branch) plus mask coefficients and prototypes."""

    def __init__(self, nc, npr, ch):
        super().__init__()
        self.nc = nc
        self.no = nc + 4 * REG_MAX
        c2 = max(16, ch[0] // 4, 4 * REG_MAX)
        c3 = max(ch[0], min(nc, 100))
        c4 = max(ch[0] // 4, NUM_MASKS)
        self.cv2 = nn.ModuleList(
            nn.Sequential(Conv(x, c2, 3), Conv(c2, c2, 3), nn.Conv2d(c2, 4 * REG_MAX, 1)) for x in ch)
        self.cv3 = nn.ModuleList(
            nn.Sequential(Conv(x, c3, 3), Conv(c3, c3, 3), nn.Conv2d(c3, nc, 1)) for x in ch)
        self.cv4 = nn.ModuleList(
            nn.Sequential(Conv(x, c4, 3), Conv(c4, c4, 3), nn.Conv2d(c4, NUM_MASKS, 1)) for x in ch)
        self.proto = Proto(ch[0], npr, NUM_MASKS)
        # DFL as a fixed 1x1 convolution with weights 0..15: the expectation
        # over the bins.
        self.dfl = nn.Conv2d(REG_MAX, 1, 1, bias=False).requires_grad_(False)
        self.dfl.weight.data[:] = torch.arange(REG_MAX, dtype=torch.float).view(1, REG_MAX, 1, 1)
        self.raw = False  # training: return the per-level tensors undecoded

    def bias_init(self, input_size):
        for a, b, s in zip(self.cv2, self.cv3, STRIDES):
            a[-1].bias.data[:] = 1.0
            b[-1].bias.data[: self.nc] = math.log(5 / self.nc / (input_size / s) ** 2)

    def forward(self, xs):
        bs = xs[0].shape[0]
        proto = self.proto(xs[0])
        mc = torch.cat([self.cv4[i](xs[i]).view(bs, NUM_MASKS, -1) for i in range(3)], 2)
        feats = [torch.cat((self.cv2[i](xs[i]), self.cv3[i](xs[i])), 1) for i in range(3)]
        if self.raw:
            return feats, mc, proto
        shapes = [f.shape[2:] for f in feats]
        anchors, strides = make_anchors(shapes, xs[0].dtype, xs[0].device)
        x_cat = torch.cat([f.view(bs, self.no, -1) for f in feats], 2)
        box, cls = x_cat.split((4 * REG_MAX, self.nc), 1)
        a = box.shape[2]
        dist = self.dfl(box.view(bs, 4, REG_MAX, a).transpose(2, 1).softmax(1)).view(bs, 4, a)
        lt, rb = dist.split((2, 2), 1)
        x1y1 = anchors - lt
        x2y2 = anchors + rb
        dbox = torch.cat(((x1y1 + x2y2) / 2, x2y2 - x1y1), 1) * strides
        # Two Concats, as the common exporter writes them: boxes and scores, then masks.
        return torch.cat((torch.cat((dbox, cls.sigmoid()), 1), mc), 1), proto


def make_anchors(shapes, dtype, device):
    """Anchor points (column + 0.5, row + 0.5) in grid units, [1, 2, A], and strides [1, 1, A]."""
    points, strides = [], []
    for (h, w), s in zip(shapes, STRIDES):
        sy, sx = torch.meshgrid(torch.arange(int(h), dtype=dtype, device=device) + 0.5,
                                torch.arange(int(w), dtype=dtype, device=device) + 0.5, indexing="ij")
        points.append(torch.stack((sx, sy), 0).view(2, -1))
        strides.append(torch.full((1, int(h) * int(w)), float(s), dtype=dtype, device=device))
    return torch.cat(points, 1).unsqueeze(0), torch.cat(strides, 1).unsqueeze(0)


class YOLOv8Seg(nn.Module):
    def __init__(self, nc, scale="n"):
        super().__init__()
        depth, width, max_ch = SCALES[scale]
        ch = lambda c: make_divisible(min(c, max_ch) * width)  # noqa: E731
        rep = lambda n: max(round(n * depth), 1)  # noqa: E731
        self.nc = nc
        self.scale = scale
        # Backbone.
        self.b0 = Conv(3, ch(64), 3, 2)
        self.b1 = Conv(ch(64), ch(128), 3, 2)
        self.b2 = C2f(ch(128), ch(128), rep(3), True)
        self.b3 = Conv(ch(128), ch(256), 3, 2)
        self.b4 = C2f(ch(256), ch(256), rep(6), True)
        self.b5 = Conv(ch(256), ch(512), 3, 2)
        self.b6 = C2f(ch(512), ch(512), rep(6), True)
        self.b7 = Conv(ch(512), ch(1024), 3, 2)
        self.b8 = C2f(ch(1024), ch(1024), rep(3), True)
        self.b9 = SPPF(ch(1024), ch(1024), 5)
        # FPN / PAN neck.
        self.up = nn.Upsample(scale_factor=2, mode="nearest")
        self.h12 = C2f(ch(1024) + ch(512), ch(512), rep(3))
        self.h15 = C2f(ch(512) + ch(256), ch(256), rep(3))
        self.h16 = Conv(ch(256), ch(256), 3, 2)
        self.h18 = C2f(ch(256) + ch(512), ch(512), rep(3))
        self.h19 = Conv(ch(512), ch(512), 3, 2)
        self.h21 = C2f(ch(512) + ch(1024), ch(1024), rep(3))
        self.head = Segment(nc, ch(256), (ch(256), ch(512), ch(1024)))

    def forward(self, x):
        x = self.b2(self.b1(self.b0(x)))
        p3 = self.b4(self.b3(x))
        p4 = self.b6(self.b5(p3))
        p5 = self.b9(self.b8(self.b7(p4)))
        n4 = self.h12(torch.cat((self.up(p5), p4), 1))
        n3 = self.h15(torch.cat((self.up(n4), p3), 1))
        o4 = self.h18(torch.cat((self.h16(n3), n4), 1))
        o5 = self.h21(torch.cat((self.h19(o4), p5), 1))
        return self.head([n3, o4, o5])


def build(nc, scale, seed, input_hw, weights=None):
    torch.manual_seed(seed)
    net = YOLOv8Seg(nc, scale)
    net.head.bias_init(max(input_hw))
    if weights:
        state = torch.load(weights, map_location="cpu")
        net.load_state_dict(state["model"] if "model" in state else state)
    else:
        # A few forward passes in training mode give the batch norms
        # non-trivial statistics, so the exported graph is not all zeros.
        net.train()
        with torch.no_grad():
            for _ in range(2):
                net(torch.rand(2, 3, *input_hw))
    net.eval()
    return net


def export(net, path, input_hw, opset):
    net.eval()
    net.head.raw = False
    dummy = torch.zeros(1, 3, *input_hw)
    torch.onnx.export(net, dummy, path, opset_version=opset, input_names=["images"],
                      output_names=["output0", "output1"], do_constant_folding=True)


def main(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    sub = p.add_subparsers(dest="cmd", required=True)
    e = sub.add_parser("export")
    e.add_argument("--scale", choices=sorted(SCALES), default="n")
    e.add_argument("--width", type=int, default=640)
    e.add_argument("--height", type=int, default=640)
    e.add_argument("--opset", type=int, default=12)
    e.add_argument("--classes", type=int, default=23)
    e.add_argument("--seed", type=int, default=0)
    e.add_argument("--weights")
    e.add_argument("out")
    a = p.parse_args(argv[1:])
    if a.width % 32 or a.height % 32:
        p.error("width and height must be multiples of 32")
    net = build(a.classes, a.scale, a.seed, (a.height, a.width), a.weights)
    export(net, a.out, (a.height, a.width), a.opset)
    params = sum(t.numel() for t in net.parameters())
    print(f"{a.out}: scale {a.scale}, {params} parameters, {a.width}x{a.height}, opset {a.opset}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

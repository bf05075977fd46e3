#!/usr/bin/python3
"""Writes a tiny YOLOv8-seg-shaped ONNX model for the model_zoo tests.

A stand-in backbone (strided averaging convolutions) feeds a head laid out as
an ultralytics export lays out `model.22` (Segment), so the cutting tool walks
it as on a real export (the real backbone's layer types run in
network_equality_test, on the demo export). Weights make the answer workable by hand (64x64 RGB in
0..1, two classes, 32 prototypes): stride 8 class 0 logit = 30 * (R - G - B) - 10
per cell, stride 16 class 1 = 30 * (G - R - B) - 10, all else -20; box bins 0
and 1 at 20 on every side, so every box is exactly its cell; mask coefficient
0 = 1; prototype 0 = 20 * (R + G - B) - 10 per 4x4 cell. A pure red 8x8 square
on the 8-grid gives one class-0 box of that cell, a pure green 16x16 square on
the 16-grid one class-1 box, each mask covering its box.

Usage: make_tiny_yolov8_seg.py [--unrelated] OUT.onnx  (--unrelated: a model
whose output fits no YOLOv8-seg form, for the loader's error path)
"""
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

INPUT = 64
NC = 2
NM = 32
REG_MAX = 16
STRIDES = (8, 16, 32)


class Graph:
    def __init__(self):
        self.nodes = []
        self.inits = []

    def const(self, name, array):
        self.inits.append(numpy_helper.from_array(np.asarray(array), name))
        return name

    def op(self, op_type, inputs, name, outputs=None, **attrs):
        self.nodes.append(helper.make_node(op_type, inputs, outputs or [name], name=name, **attrs))
        return outputs or name


def averaging_conv_weight(k):
    # Per-channel mean over a k x k window: out channel c sees only in channel c.
    w = np.zeros((3, 3, k, k), np.float32)
    w[[0, 1, 2], [0, 1, 2]] = 1.0 / (k * k)
    return w


def build():
    g = Graph()
    feats = {}
    for s in STRIDES:
        feats[s] = g.op("Conv", ["images", g.const(f"model.bb{s}.weight", averaging_conv_weight(s))],
                        f"/model.bb{s}/Conv", strides=[s, s], kernel_shape=[s, s])

    # Class logits: weights on R, G, B of the cell mean, and biases.
    cls_w = {8: [[30, -30, -30], [0, 0, 0]], 16: [[0, 0, 0], [-30, 30, -30]], 32: [[0, 0, 0], [0, 0, 0]]}
    cls_b = {8: [-10, -20], 16: [-20, -10], 32: [-20, -20]}
    box_bias = np.zeros((4, REG_MAX), np.float32)
    box_bias[:, 0:2] = 20.0
    box_bias = box_bias.reshape(-1)
    mc_bias = np.zeros(NM, np.float32)
    mc_bias[0] = 1.0

    level_cat, level_mc = [], []
    for i, s in enumerate(STRIDES):
        box = g.op("Conv", [feats[s], g.const(f"model.22.cv2.{i}.weight", np.zeros((4 * REG_MAX, 3, 1, 1), np.float32)),
                            g.const(f"model.22.cv2.{i}.bias", box_bias)],
                   f"/model.22/cv2.{i}/Conv", kernel_shape=[1, 1])
        w = np.array(cls_w[s], np.float32).reshape(NC, 3, 1, 1)
        bias = np.array(cls_b[s], np.float32)
        cls = g.op("Conv", [feats[s], g.const(f"model.22.cv3.{i}.weight", w), g.const(f"model.22.cv3.{i}.bias", bias)],
                   f"/model.22/cv3.{i}/Conv", kernel_shape=[1, 1])
        mc = g.op("Conv", [feats[s], g.const(f"model.22.cv4.{i}.weight", np.zeros((NM, 3, 1, 1), np.float32)),
                           g.const(f"model.22.cv4.{i}.bias", mc_bias)],
                  f"/model.22/cv4.{i}/Conv", kernel_shape=[1, 1])
        level_mc.append(g.op("Reshape", [mc, g.const(f"mc_shape_{i}", np.array([1, NM, -1], np.int64))],
                             f"/model.22/Reshape_mc_{i}"))
        level_cat.append(g.op("Concat", [box, cls], f"/model.22/Concat_{i}", axis=1))

    # Prototypes at stride 4.
    p2 = g.op("Conv", ["images", g.const("model.proto_in.weight", averaging_conv_weight(4))],
              "/model.proto_in/Conv", strides=[4, 4], kernel_shape=[4, 4])
    pw = np.zeros((NM, 3, 1, 1), np.float32)
    pw[0, :, 0, 0] = [20, 20, -20]
    pb = np.zeros(NM, np.float32)
    pb[0] = -10
    g.op("Conv", [p2, g.const("model.22.proto.cv3.weight", pw), g.const("model.22.proto.cv3.bias", pb)],
         "/model.22/proto/cv3/Conv", ["output1"], kernel_shape=[1, 1])

    mc_all = g.op("Concat", level_mc, "/model.22/Concat_mc", axis=2)

    flat = [g.op("Reshape", [t, g.const(f"level_shape_{i}", np.array([1, 4 * REG_MAX + NC, -1], np.int64))],
                 f"/model.22/Reshape_{i}") for i, t in enumerate(level_cat)]
    x_cat = g.op("Concat", flat, "/model.22/Concat_3", axis=2)
    box, cls = g.op("Split", [x_cat, g.const("split_box_cls", np.array([4 * REG_MAX, NC], np.int64))], "/model.22/Split",
                    ["/model.22/Split_output_0", "/model.22/Split_output_1"], axis=1)

    # Distribution focal loss: softmax over the bins, expectation as a 1x1 conv.
    n_anchor = sum((INPUT // s) ** 2 for s in STRIDES)
    d = g.op("Reshape", [box, g.const("dfl_shape", np.array([1, 4, REG_MAX, n_anchor], np.int64))],
             "/model.22/dfl/Reshape")
    d = g.op("Transpose", [d], "/model.22/dfl/Transpose", perm=[0, 2, 1, 3])
    d = g.op("Softmax", [d], "/model.22/dfl/Softmax", axis=1)
    d = g.op("Conv", [d, g.const("model.22.dfl.conv.weight",
                                 np.arange(REG_MAX, dtype=np.float32).reshape(1, REG_MAX, 1, 1))],
             "/model.22/dfl/conv/Conv", kernel_shape=[1, 1])
    d = g.op("Reshape", [d, g.const("dfl_out_shape", np.array([1, 4, n_anchor], np.int64))],
             "/model.22/dfl/Reshape_1")

    anchors, strides = [], []
    for s in STRIDES:
        n = INPUT // s
        ys, xs = np.meshgrid(np.arange(n) + 0.5, np.arange(n) + 0.5, indexing="ij")
        anchors.append(np.stack([xs.reshape(-1), ys.reshape(-1)]))
        strides.append(np.full(n * n, s))
    anchor_c = g.const("anchors", np.concatenate(anchors, 1)[None].astype(np.float32))
    stride_c = g.const("strides", np.concatenate(strides)[None].astype(np.float32))

    lt, rb = g.op("Split", [d, g.const("split_lt_rb", np.array([2, 2], np.int64))], "/model.22/Split_1",
                  ["/model.22/Split_1_output_0", "/model.22/Split_1_output_1"], axis=1)
    x1y1 = g.op("Sub", [anchor_c, lt], "/model.22/Sub")
    x2y2 = g.op("Add", [anchor_c, rb], "/model.22/Add")
    c_xy = g.op("Div", [g.op("Add", [x1y1, x2y2], "/model.22/Add_1"), g.const("two", np.array(2, np.float32))],
                "/model.22/Div")
    wh = g.op("Sub", [x2y2, x1y1], "/model.22/Sub_1")
    dbox = g.op("Concat", [c_xy, wh], "/model.22/Concat_4", axis=1)
    dbox = g.op("Mul", [dbox, stride_c], "/model.22/Mul")
    y = g.op("Concat", [dbox, g.op("Sigmoid", [cls], "/model.22/Sigmoid")], "/model.22/Concat_5", axis=1)
    g.op("Concat", [y, mc_all], "output0", axis=1)

    return finish(g, "tiny_yolov8_seg", [("output0", [1, 4 + NC + NM, n_anchor]),
                                          ("output1", [1, NM, INPUT // 4, INPUT // 4])])


def build_unrelated():
    g = Graph()
    g.op("Conv", ["images", g.const("w", averaging_conv_weight(4))], "features", strides=[4, 4],
         kernel_shape=[4, 4])
    return finish(g, "not_yolov8_seg", [("features", [1, 3, INPUT // 4, INPUT // 4])])


def finish(g, name, outputs):
    graph = helper.make_graph(
        g.nodes, name, [helper.make_tensor_value_info("images", TensorProto.FLOAT, [1, 3, INPUT, INPUT])],
        [helper.make_tensor_value_info(n, TensorProto.FLOAT, shape) for n, shape in outputs], g.inits)
    model = helper.make_model(graph, producer_name="moorwick_test", opset_imports=[helper.make_opsetid("", 13)])
    model.ir_version = 7
    onnx.checker.check_model(model, full_check=True)
    return model


def main():
    onnx.save(build_unrelated() if sys.argv[1] == "--unrelated" else build(), sys.argv[-1])


if __name__ == "__main__":
    sys.exit(main())

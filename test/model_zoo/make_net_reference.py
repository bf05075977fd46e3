#!/usr/bin/python3
"""Writes net_reference/ for network_equality_test.cpp: rendered 640x360
scenes (JPEG, decoded alike by OpenCV in C++ and Python) and PyTorch's
detections on them with the trained demo network.

  make_net_reference.py WEIGHTS.pt OUT_DIR  (weights from
  model_zoo/tools/train_demo_net.py; needs python3-torch and python3-opencv)
"""
import os
import sys

import cv2
import torch

TOOLS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "model_zoo", "tools")
sys.path.insert(0, TOOLS)
import render_scenes as rs  # noqa: E402
import torch_reference as tr  # noqa: E402
import yolov8_seg_net as yn  # noqa: E402

NC, IN_W, IN_H = 23, 320, 192
# Below the demo's threshold: more detections to compare (network_equality_test.cpp uses the same).
SCORE = 0.1


def main(argv):
    weights, out = argv[1], argv[2]
    os.makedirs(out, exist_ok=True)
    torch.set_num_threads(1)
    state = torch.load(weights, map_location="cpu")
    net = yn.build(NC, state["scale"], 0, (IN_H, IN_W), weights)
    for k, seed in enumerate((1401, 1402, 1403)):
        img, _ = rs.render(seed, 640, 360, demo_like=(k == 0))
        path = os.path.join(out, f"scene{seed}.jpg")
        cv2.imwrite(path, cv2.cvtColor(img, cv2.COLOR_RGB2BGR), [cv2.IMWRITE_JPEG_QUALITY, 85])
        rgb = cv2.cvtColor(cv2.imread(path), cv2.COLOR_BGR2RGB)
        dets = tr.detect(net, rgb, IN_W, IN_H, NC, score_thr=SCORE)
        tr.write_dets(out, f"scene{seed}", dets)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

#!/usr/bin/python3
"""PyTorch against the node's onnx backend on rendered scenes, per export variant.

  check_exports.py MODEL_ZOO_DETECT WORK_DIR [--scales n s] [--opsets 12 17]
      [--sizes 640x640 640x384] [--weights STATE.pt --classes N --scale t]

For every variant: export with torch.onnx.export, prepare with
cut_yolov8_head.py, run build/model_zoo/model_zoo_detect (the node's backend
on OpenCV DNN) and PyTorch's own forward pass on the same rendered scenes,
and print one table row per scene and variant: detections paired, unpaired
on either side, largest box deviation (px), largest score deviation,
smallest mask IoU, classes equal.

Without --weights the networks keep their seeded initialisation with class
biases at zero (not the detection prior), so that random weights still give
detections to compare. Scenes: render_scenes.py at 640x360 (the demo
camera), seeds 1401..1403 (1401 drawn like the demo scene).
"""
import argparse
import os
import subprocess
import sys

import cv2
import torch

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import render_scenes as rs  # noqa: E402
import torch_reference as tr  # noqa: E402
import yolov8_seg_net as yn  # noqa: E402

TOOLS = os.path.dirname(os.path.abspath(__file__))


def scenes(work):
    paths = []
    for k, seed in enumerate((1401, 1402, 1403)):
        img, _ = rs.render(seed, 640, 360, demo_like=(k == 0))
        p = os.path.join(work, f"scene{seed}.png")
        cv2.imwrite(p, cv2.cvtColor(img, cv2.COLOR_RGB2BGR))
        paths.append(p)
    return paths


def main(argv):
    p = argparse.ArgumentParser()
    p.add_argument("detect_exe")
    p.add_argument("work")
    p.add_argument("--scales", nargs="+", default=["n", "s"])
    p.add_argument("--opsets", nargs="+", type=int, default=[12, 17])
    p.add_argument("--sizes", nargs="+", default=["640x640", "640x384"])
    p.add_argument("--weights")
    p.add_argument("--classes", type=int, default=80)
    p.add_argument("--threads", type=int, default=2)
    a = p.parse_args(argv[1:])
    torch.set_num_threads(a.threads)
    os.makedirs(a.work, exist_ok=True)
    images = scenes(a.work)
    print("| scale | input | opset | scene | paired | only PyTorch | only node | box dev px | score dev | mask IoU min | classes |")
    print("|---|---|---|---|---|---|---|---|---|---|---|")
    worst = True
    for scale in a.scales:
        for size in a.sizes:
            w, h = map(int, size.split("x"))
            torch.manual_seed(0)
            net = yn.build(a.classes, scale, 0, (h, w), a.weights)
            if not a.weights:
                for b in net.head.cv3:
                    b[-1].bias.data.zero_()
            for opset in a.opsets:
                tag = f"{scale}_{w}x{h}_op{opset}"
                raw = os.path.join(a.work, tag + ".onnx")
                prepared = os.path.join(a.work, tag + "_cut.onnx")
                yn.export(net, raw, (h, w), opset)
                res = subprocess.run([sys.executable, os.path.join(TOOLS, "cut_yolov8_head.py"), raw, prepared],
                                     capture_output=True, text=True)
                if res.returncode != 0:
                    print(f"| {scale} | {size} | {opset} | - | tool failed: {res.stderr.strip()} |")
                    worst = False
                    continue
                rewrites = [ln for ln in res.stdout.splitlines() if ln.startswith("rewritten")]
                cfg = os.path.join(a.work, tag + ".yaml")
                with open(cfg, "w") as f:
                    f.write(f"backend: onnx\nmodel_file: {prepared}\ninput_width: {w}\ninput_height: {h}\n"
                            f"num_classes: {a.classes}\nthreads: {a.threads}\n")
                out = os.path.join(a.work, tag + "_node")
                subprocess.run([a.detect_exe, cfg, out, *images], check=True, capture_output=True)
                for img_path in images:
                    stem = os.path.splitext(os.path.basename(img_path))[0]
                    rgb = cv2.cvtColor(cv2.imread(img_path), cv2.COLOR_BGR2RGB)
                    ref = tr.detect(net, rgb, w, h, a.classes)
                    got = tr.read_dets(out, stem)
                    pairs, only_ref, only_got, box_dev, score_dev, iou_min = tr.compare(ref, got)
                    same = only_ref == 0 and only_got == 0
                    ok = same and box_dev <= 0.5 and score_dev <= 1e-4 and iou_min >= 0.99
                    worst = worst and ok
                    print(f"| {scale} | {size} | {opset} | {stem} | {pairs} | {only_ref} | {only_got} | "
                          f"{box_dev:.2e} | {score_dev:.2e} | {iou_min:.4f} | {'same' if same else 'DIFFER'} |",
                          flush=True)
                print(f"<!-- {tag}: {len(rewrites)} rewrites: {'; '.join(rewrites)} -->", flush=True)
    print("all within tolerance" if worst else "SOME VARIANT OUTSIDE TOLERANCE")
    return 0 if worst else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))

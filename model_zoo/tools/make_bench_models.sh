#!/usr/bin/env bash
# Writes the YOLOv8-seg exports the network benchmark times (n and s scales at
# 640x640, 640x384, 320x320, opset 12, seeded random weights, 23 classes) and
# prepares them with cut_yolov8_head.py. Needs Debian's python3-torch.
#   model_zoo/tools/make_bench_models.sh [OUT_DIR]   (default build/bench/model_zoo/bench_models)
set -euo pipefail
TOOLS=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
OUT=${1:-$TOOLS/../../build/bench/model_zoo/bench_models}
mkdir -p "$OUT"
for scale in n s; do
  for size in 640x640 640x384 320x320; do
    w=${size%x*} h=${size#*x} tag=${scale}_${size}_op12
    [[ -f $OUT/${tag}_cut.onnx ]] && continue
    /usr/bin/python3 "$TOOLS/yolov8_seg_net.py" export --scale "$scale" --width "$w" --height "$h" \
      --opset 12 --classes 23 "$OUT/$tag.onnx" 2>/dev/null
    /usr/bin/python3 "$TOOLS/cut_yolov8_head.py" "$OUT/$tag.onnx" "$OUT/${tag}_cut.onnx" | tail -n 1
    rm -f "$OUT/$tag.onnx"
  done
done

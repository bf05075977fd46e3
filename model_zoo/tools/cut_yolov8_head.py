#!/usr/bin/python3
"""Prepares a YOLOv8-seg ONNX export for OpenCV 4.5/4.6.

Always: rewrites what OpenCV's importer refuses but means nothing to the
network. torch.onnx.export turns initialisers with equal contents (for
example the box branches' biases of an untrained or freshly initialised
head) into one initialiser plus Identity nodes; OpenCV 4.6 cannot read an
Identity whose input is an initialiser. Each such Identity becomes a copy of
its initialiser; an Identity of a computed tensor is bypassed.

With --keep-head the stock outputs stay (exports whose head OpenCV can run,
as a PyTorch export with static sizes). Without it the tool also cuts the
box-decoding head off: OpenCV's importer before 4.7 cannot read the
decoding part of the ultralytics Segment head export (DFL, anchor grid,
stride multiply). Then everything up to the per-level outputs is kept and
these become the model's outputs:

  one tensor per stride 8, 16, 32:  [1, 4*16 + classes, H/s, W/s]
      (channels 0..63: box side distributions l, t, r, b x 16 bins,
       then the raw class logits)
  mask coefficients:                [1, 32, anchors]
  mask prototypes:                  [1, 32, H/4, W/4]

The moorwick model library decodes the rest in C++. The tool relies on the
head's structure, not on node names: the first output is a Concat of the
decoded boxes/scores and the mask coefficients; the per-level tensors are the
Concat results upstream of it whose shape fits [1, 64 + classes, H/s, W/s].

Usage: cut_yolov8_head.py [--keep-head] STOCK.onnx OUT.onnx
Requires static input and output shapes (export with a fixed image size).
Exit status 0 on success, 1 with a message on stderr when the model does not
have the expected form.
"""
import os
import sys
import tempfile

import onnx
from onnx import numpy_helper, shape_inference

REG_MAX = 16
STRIDES = (8, 16, 32)


class CutError(Exception):
    pass


def static_shape(value_info):
    dims = value_info.type.tensor_type.shape.dim
    shape = []
    for d in dims:
        if not d.HasField("dim_value"):
            return None
        shape.append(d.dim_value)
    return shape


def find_cut(model):
    graph = model.graph
    if len(graph.input) != 1:
        inputs = [i.name for i in graph.input if i.name not in {t.name for t in graph.initializer}]
        if len(inputs) != 1:
            raise CutError(f"expected one image input, found {len(inputs)}")
        image = next(i for i in graph.input if i.name == inputs[0])
    else:
        image = graph.input[0]
    in_shape = static_shape(image)
    if in_shape is None or len(in_shape) != 4 or in_shape[1] != 3:
        raise CutError("image input must have a static shape [1, 3, H, W]")
    height, width = in_shape[2], in_shape[3]

    if len(graph.output) != 2:
        raise CutError(f"expected 2 outputs (detections, prototypes), found {len(graph.output)}")
    shapes = {}
    for vi in list(graph.value_info) + list(graph.output) + list(graph.input):
        s = static_shape(vi)
        if s is not None:
            shapes[vi.name] = s
    det_name, proto_name = graph.output[0].name, graph.output[1].name
    det_shape, proto_shape = shapes.get(det_name), shapes.get(proto_name)
    if det_shape is None or proto_shape is None:
        raise CutError("output shapes are not static")
    if len(proto_shape) != 4 or proto_shape[2:] != [height // 4, width // 4]:
        # Some exports list prototypes first.
        det_name, proto_name = proto_name, det_name
        det_shape, proto_shape = proto_shape, det_shape
    if len(proto_shape) != 4 or proto_shape[2:] != [height // 4, width // 4] or len(det_shape) != 3:
        raise CutError(f"outputs {det_shape} and {proto_shape} are not [1, 4+classes+masks, anchors]"
                       " and [1, masks, H/4, W/4]")
    n_mask = proto_shape[1]
    n_anchor = sum((height // s) * (width // s) for s in STRIDES)
    if det_shape[2] != n_anchor:
        raise CutError(f"detections have {det_shape[2]} anchors, strides 8/16/32 give {n_anchor}")
    n_class = det_shape[1] - 4 - n_mask
    if n_class < 1:
        raise CutError(f"detections have {det_shape[1]} rows, too few for 4 + classes + {n_mask}")

    producers = {}
    for node in graph.node:
        for out in node.output:
            producers[out] = node
    final = producers.get(det_name)
    # Two inputs (boxes+scores, coefficients), or three when the exporter fused
    # the boxes/scores Concat into it.
    if final is None or final.op_type != "Concat" or len(final.input) not in (2, 3):
        raise CutError("the detection output is not a Concat of boxes/scores and mask coefficients")
    coeff_name = next((i for i in final.input if shapes.get(i) == [1, n_mask, n_anchor]), None)
    if coeff_name is None:
        raise CutError(f"no input of the final Concat has the mask coefficient shape [1, {n_mask}, {n_anchor}]"
                       f" (inferred: {[shapes.get(i) for i in final.input]}; if None, simplify the model"
                       " with onnxsim or export with simplify=True and retry)")

    # Per-level tensors: Concat results upstream of the final Concat.
    wanted = {s: [1, 4 * REG_MAX + n_class, height // s, width // s] for s in STRIDES}
    found = {}
    seen, stack = set(), [i for i in final.input if i != coeff_name]
    while stack:
        name = stack.pop()
        if name in seen:
            continue
        seen.add(name)
        node = producers.get(name)
        if node is None:
            continue
        if node.op_type == "Concat":
            for s, shape in wanted.items():
                if shapes.get(name) == shape:
                    if s in found and found[s] != name:
                        raise CutError(f"two candidate tensors for stride {s}: {found[s]}, {name}")
                    found[s] = name
        stack.extend(node.input)
    missing = [s for s in STRIDES if s not in found]
    if missing:
        raise CutError(f"no per-level tensor [1, {4 * REG_MAX + n_class}, H/s, W/s] for strides {missing}")
    return image.name, [found[s] for s in STRIDES] + [coeff_name, proto_name], n_class


def rewrite_for_opencv(model):
    """Removes Identity nodes; returns one line per rewrite."""
    graph = model.graph
    inits = {t.name: t for t in graph.initializer}
    outputs = {o.name for o in graph.output}
    done = []
    for node in [n for n in graph.node if n.op_type == "Identity"]:
        src, dst = node.input[0], node.output[0]
        if src in inits:
            copy = numpy_helper.from_array(numpy_helper.to_array(inits[src]), dst)
            graph.initializer.append(copy)
            inits[dst] = copy
            done.append(f"Identity {node.name!r}: initialiser {src!r} copied as {dst!r}")
        elif dst in outputs:
            # Keep the output's name: the producer of src writes dst instead.
            for other in graph.node:
                other.output[:] = [dst if o == src else o for o in other.output]
                if other is not node:
                    other.input[:] = [dst if i == src else i for i in other.input]
            done.append(f"Identity {node.name!r}: {src!r} renamed to output {dst!r}")
        else:
            for other in graph.node:
                other.input[:] = [src if i == dst else i for i in other.input]
            done.append(f"Identity {node.name!r}: bypassed ({dst!r} -> {src!r})")
        graph.node.remove(node)
    return done


def prepare(src, dst, keep_head):
    model = onnx.load(src)
    rewrites = rewrite_for_opencv(model)
    if keep_head:
        model = shape_inference.infer_shapes(model, data_prop=True)
        # The same checks as for cutting: the model must be a YOLOv8-seg stock export.
        n_class = find_cut(model)[2]
        onnx.checker.check_model(model)
        onnx.save(model, dst)
        return rewrites, [o.name for o in model.graph.output], n_class
    return (rewrites, *cut(model, dst))


def cut(model, dst):
    # data_prop carries static sizes through Shape/Gather/Concat chains, as
    # some exports compute their Reshape targets that way.
    model = shape_inference.infer_shapes(model, data_prop=True)
    image, outputs, n_class = find_cut(model)
    # extract_model works on files; give it the shape-inferred model.
    with tempfile.TemporaryDirectory() as tmp:
        inferred = os.path.join(tmp, "inferred.onnx")
        onnx.save(model, inferred)
        onnx.utils.extract_model(inferred, dst, [image], outputs)
    onnx.checker.check_model(onnx.load(dst))
    return outputs, n_class


def main(argv):
    args = argv[1:]
    keep_head = "--keep-head" in args
    args = [a for a in args if a != "--keep-head"]
    if len(args) != 2:
        sys.stderr.write(__doc__)
        return 2
    try:
        rewrites, outputs, n_class = prepare(args[0], args[1], keep_head)
    except (CutError, onnx.checker.ValidationError, onnx.onnx_cpp2py_export.shape_inference.InferenceError,
            OSError) as err:
        sys.stderr.write(f"cut_yolov8_head: {args[0]}: {err}\n")
        return 1
    for line in rewrites:
        print(f"rewritten: {line}")
    print(f"{args[1]}: {n_class} classes; outputs " + ", ".join(outputs))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

#!/usr/bin/python3
"""Checks the head-cutting tool on the committed tiny models (and that their
generator still reproduces them): the cut, the Identity rewrite in both modes,
and refusal of models of other forms.

Usage: test_cut_tool.py TOOL DATA_DIR SCRATCH_DIR
"""
import os
import subprocess
import sys
import unittest

import onnx

TOOL = DATA = SCRATCH = None


def out_shapes(model):
    return {o.name: [d.dim_value for d in o.type.tensor_type.shape.dim] for o in model.graph.output}


class CutTool(unittest.TestCase):
    def run_tool(self, src, dst, *flags):
        return subprocess.run([sys.executable, TOOL, *flags, src, dst], capture_output=True, text=True)

    def test_generator_reproduces_committed_models(self):
        for flags, name in (([], "tiny_yolov8_seg_stock.onnx"), (["--unrelated"], "tiny_unrelated.onnx")):
            fresh = os.path.join(SCRATCH, "fresh_" + name)
            subprocess.run([sys.executable, os.path.join(DATA, "make_tiny_yolov8_seg.py"), *flags, fresh],
                           check=True)
            self.assertEqual(onnx.load(fresh).SerializeToString(),
                             onnx.load(os.path.join(DATA, name)).SerializeToString(), name)

    def test_cuts_stock_model_into_cut_head_form(self):
        dst = os.path.join(SCRATCH, "cut.onnx")
        res = self.run_tool(os.path.join(DATA, "tiny_yolov8_seg_stock.onnx"), dst)
        self.assertEqual(res.returncode, 0, res.stderr)
        self.assertIn("2 classes", res.stdout)
        cut = onnx.load(dst)
        onnx.checker.check_model(cut)
        # The decoding head is gone: node for node the committed cut model, no anchor grid.
        self.assertNotIn("anchors", {t.name for t in cut.graph.initializer})
        committed = onnx.load(os.path.join(DATA, "tiny_yolov8_seg_cut.onnx"))
        self.assertEqual([(n.op_type, list(n.input), list(n.output)) for n in cut.graph.node],
                         [(n.op_type, list(n.input), list(n.output)) for n in committed.graph.node])
        self.assertEqual(out_shapes(cut), out_shapes(committed))

    def test_rewrites_identity_nodes_away(self):
        # As torch.onnx.export writes them: one Identity copies an initialiser
        # that a Conv reads, another passes a computed tensor on.
        model = onnx.load(os.path.join(DATA, "tiny_yolov8_seg_stock.onnx"))
        graph = model.graph
        inits = {t.name: t for t in graph.initializer}
        conv = next(n for n in graph.node if n.op_type == "Conv" and n.input[1] in inits)
        weight = conv.input[1]
        conv.input[1] = "shared_weight"
        graph.node.insert(0, onnx.helper.make_node("Identity", [weight], ["shared_weight"], name="Identity_0"))
        first = graph.node[1]
        computed = first.output[0]
        graph.node.insert(2, onnx.helper.make_node("Identity", [computed], ["passed_on"], name="Identity_1"))
        for n in list(graph.node)[3:]:
            n.input[:] = ["passed_on" if i == computed else i for i in n.input]
        src = os.path.join(SCRATCH, "with_identity.onnx")
        onnx.save(model, src)
        for flags, n_outputs in (([], 5), (["--keep-head"], 2)):
            dst = os.path.join(SCRATCH, "prepared.onnx")
            res = self.run_tool(src, dst, *flags)
            self.assertEqual(res.returncode, 0, res.stderr)
            self.assertIn("Identity 'Identity_0': initialiser", res.stdout)
            self.assertIn("Identity 'Identity_1': bypassed", res.stdout)
            out = onnx.load(dst)
            onnx.checker.check_model(out)
            self.assertNotIn("Identity", {n.op_type for n in out.graph.node})
            self.assertEqual(len(out.graph.output), n_outputs)
            # The Conv reads a copy of the very weights it read before.
            copy = next(t for t in out.graph.initializer if t.name == "shared_weight")
            orig = inits[weight]
            self.assertEqual(copy.raw_data or copy.float_data, orig.raw_data or orig.float_data)

    def test_refuses_models_of_other_forms(self):
        # A stock model whose final node has output0's shape but is not the Segment head's Concat.
        odd = onnx.load(os.path.join(DATA, "tiny_yolov8_seg_stock.onnx"))
        final = next(n for n in odd.graph.node if n.output[0] == "output0")
        final.op_type = "Max"
        del final.attribute[:]
        onnx.save(odd, os.path.join(SCRATCH, "odd.onnx"))
        for src, says in ((os.path.join(DATA, "tiny_unrelated.onnx"), "expected 2 outputs"),
                          (os.path.join(SCRATCH, "odd.onnx"), "not a Concat")):
            res = self.run_tool(src, os.path.join(SCRATCH, "x.onnx"))
            self.assertEqual(res.returncode, 1)
            self.assertIn(says, res.stderr)
            self.assertIn(os.path.basename(src), res.stderr)


if __name__ == "__main__":
    TOOL, DATA, SCRATCH = sys.argv[1:4]
    os.makedirs(SCRATCH, exist_ok=True)
    unittest.main(argv=sys.argv[:1], verbosity=2)

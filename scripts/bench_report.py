#!/usr/bin/python3
"""Side-by-side summary of Google Benchmark JSON results.

    bench_report.py RESULT.json [RESULT.json ...]

Prints the fast estimation against the PCL reference (per stage, in total and
as ratios), then every other benchmark with its time and counters.
"""
import json
import sys


def load(paths):
    rows = []
    for path in paths:
        with open(path, encoding="utf-8") as f:
            doc = json.load(f)
        context = doc.get("context", {})
        for b in doc.get("benchmarks", []):
            if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
                continue
            b["_load"] = context.get("load_avg", [])
            rows.append(b)
    return rows


def args_of(name):
    """'BM_X/points:10000/piece:0/manual_time' -> ('BM_X', {'points': '10000', ...})"""
    parts = name.split("/")
    args = {}
    for p in parts[1:]:
        if ":" in p:
            k, v = p.split(":", 1)
            args[k] = v
    return parts[0], args


def ratio(a, b):
    return f"{a / b:6.2f}x" if b else "     -"


def fast_vs_reference(rows):
    pieces = {"0": "lying can", "1": "standing bottle"}
    out = []
    header = (f"{'piece':<16} {'points':>7} | {'ref ms':>8} {'fast ms':>8} {'ratio':>7} | "
              f"{'ref CPU':>8} {'fast CPU':>8} {'ratio':>7} | "
              f"{'SOR ref':>8} {'fast':>7} {'ratio':>7} | {'boxes ref':>9} {'fast':>6} {'ratio':>8} | "
              f"{'rest ref':>8} {'fast':>6}")
    for b in rows:
        family, args = args_of(b["name"])
        if family != "BM_FastVsReference" or "error_occurred" in b:
            continue
        c = b
        out.append(
            f"{pieces.get(args.get('piece'), args.get('piece', '?')):<16} {int(c['points']):>7} | "
            f"{c['ref_ms']:8.2f} {c['fast_ms']:8.2f} {ratio(c['ref_ms'], c['fast_ms']):>7} | "
            f"{c['ref_cpu_ms']:8.2f} {c['fast_cpu_ms']:8.2f} {ratio(c['ref_cpu_ms'], c['fast_cpu_ms']):>7} | "
            f"{c['ref_sor_ms']:8.2f} {c['fast_sor_ms']:7.2f} {ratio(c['ref_sor_ms'], c['fast_sor_ms']):>7} | "
            f"{c['ref_box_ms']:9.2f} {c['fast_box_ms']:6.2f} {ratio(c['ref_box_ms'], c['fast_box_ms']):>8} | "
            f"{c['ref_rest_ms']:8.2f} {c['fast_rest_ms']:6.2f}")
    if out:
        print("Grab pose estimation, PCL reference vs fast path (same pieces, same run; mean per estimate)")
        print("  stage columns: CPU ms of the calling thread (the fast outlier removal runs a second thread)")
        print(header)
        print("\n".join(out))
        print()


def frames(rows):
    out = []
    for b in rows:
        family, args = args_of(b["name"])
        if family != "BM_Frame" or "error_occurred" in b:
            continue
        out.append(f"{args.get('w')}x{args.get('h'):<6} {int(b.get('pieces', 0)):>6} "
                   f"{b['median_ms']:10.2f} {b['cutout_ms']:10.2f} {b['estimation_ms']:12.2f} "
                   f"{b['rest_ms']:8.2f}")
    if out:
        print("Whole frame, synchronised pair to done flag, model excluded (median ms per frame)")
        print(f"{'frame':<11} {'pieces':>6} {'median':>10} {'cut-out':>10} {'estimation':>12} {'rest':>8}")
        print("\n".join(out))
        print()


def latency(rows):
    by = {}
    for b in rows:
        family, args = args_of(b["name"])
        if family == "BM_FlagToAnswer" and "error_occurred" not in b:
            by["poll" if args.get("poll10ms") == "1" else "wake"] = b
        elif family == "BM_RunDetectFlagToAnswer" and "error_occurred" not in b:
            by["service"] = b
    if not by:
        return
    print("Detect service, camera done flag to answer (ms)")
    print(f"{'wait':<28} {'median':>8} {'p90':>8} {'max':>8}")
    names = {"poll": "10 ms polling (before)", "wake": "wake on the flag",
             "service": "whole RunDetect, wake"}
    for key in ("poll", "wake", "service"):
        if key in by:
            b = by[key]
            print(f"{names[key]:<28} {b['median_ms']:8.3f} {b['p90_ms']:8.3f} {b['max_ms']:8.3f}")
    if "poll" in by and "wake" in by:
        print(f"median ratio poll / wake: {ratio(by['poll']['median_ms'], by['wake']['median_ms']).strip()}")
    print()


def others(rows):
    skip = {"BM_FastVsReference", "BM_Frame", "BM_FlagToAnswer", "BM_RunDetectFlagToAnswer"}
    current = None
    for b in rows:
        family, _ = args_of(b["name"])
        if family in skip:
            continue
        if family != current:
            current = family
            print(family)
        unit = b.get("time_unit", "ns")
        counters = {k: v for k, v in b.items()
                    if isinstance(v, (int, float)) and k not in (
                        "family_index", "per_family_instance_index", "repetitions",
                        "repetition_index", "threads", "iterations", "real_time", "cpu_time")}
        text = " ".join(f"{k}={v:.4g}" for k, v in counters.items())
        err = f" ERROR: {b['error_message']}" if "error_occurred" in b else ""
        print(f"  {b['name']:<58} {b['real_time']:10.3f} {unit:<2} (CPU {b['cpu_time']:.3f}) {text}{err}")
    print()


def main(paths):
    rows = load(paths)
    loads = {tuple(round(x, 2) for x in b["_load"]) for b in rows if b["_load"]}
    fast_vs_reference(rows)
    frames(rows)
    latency(rows)
    others(rows)
    if loads:
        print("load average at the start of each benchmark program:",
              ", ".join(str(list(x)) for x in sorted(loads)))


if __name__ == "__main__":
    main(sys.argv[1:])

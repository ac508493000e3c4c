"""quellmar from a wheel against quellmar built from the source, same run.

    python benchmarks/wheel_vs_source.py WHEEL_PYTHON SOURCE_PYTHON [--rounds N] [--full]

WHEEL_PYTHON and SOURCE_PYTHON are the interpreters of two environments, one
with the wheel installed (tools/wheels.sh), one with `pip install .`.  Each
round runs benchmarks/run.py (--quick unless --full) once in each, the two
alternating, so that load elsewhere on the machine hits both alike; per
workload the best quellmar time of all rounds counts.  Printed: per workload
both times and the ratio wheel / source (above 1: the wheel is slower).
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))

# Runs in each environment: benchmarks/run.py's main(), then its rows
# (routine, workload, quellmar seconds) as JSON to the file named by argv[1].
DRIVER = r"""
import json, sys
sys.path.insert(0, sys.argv[2])
out, sys.argv = sys.argv[1], ["run.py"] + sys.argv[3:]
import run
run.main()
rows, routine = [], ""
for r in run.ROWS:
    routine = r[0] or routine
    if r[2] is not None:
        rows.append([routine, r[1], r[2], run.quellmar.__file__])
with open(out, "w") as f:
    json.dump(rows, f)
"""


def one_run(python, args):
    with tempfile.NamedTemporaryFile(suffix=".json", delete=False) as f:
        path = f.name
    try:
        subprocess.run([python, "-c", DRIVER, path, HERE, *args], check=True, stdout=subprocess.DEVNULL)
        with open(path) as f:
            return json.load(f)
    finally:
        os.unlink(path)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("wheel_python")
    parser.add_argument("source_python")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--full", action="store_true", help="benchmarks/run.py without --quick")
    parser.add_argument("--only", help="passed to benchmarks/run.py")
    args = parser.parse_args()
    run_args = ([] if args.full else ["--quick"]) + (["--only", args.only] if args.only else [])
    best = {"wheel": {}, "source": {}}
    modules = {}
    for _ in range(args.rounds):
        for kind, python in (("wheel", args.wheel_python), ("source", args.source_python)):
            for routine, workload, seconds, module in one_run(python, run_args):
                key = (routine, workload)
                best[kind][key] = min(seconds, best[kind].get(key, seconds))
                modules[kind] = module
    print(f"wheel:  {modules['wheel']}\nsource: {modules['source']}\n"
          f"best of {args.rounds} alternating rounds of benchmarks/run.py {' '.join(run_args)}\n")
    head = f"{'routine':<24} {'workload':<44} {'wheel':>10} {'source':>10} {'wheel/source':>12}"
    print(head)
    print("-" * len(head))
    ratios = []
    for key, w in best["wheel"].items():
        s = best["source"].get(key)
        if s is None:
            continue
        ratios.append(w / s)
        print(f"{key[0][:24]:<24} {key[1][:44]:<44} {w * 1e3:>8.2f}ms {s * 1e3:>8.2f}ms {w / s:>11.2f}x")
    if ratios:
        print(f"\nworst {max(ratios):.2f}x, best {min(ratios):.2f}x over {len(ratios)} workloads")


if __name__ == "__main__":
    sys.exit(main())

"""The table the benchmarks print: one group of rows per workload, quellmar's
time and each alternative's, with the ratio between them, and the notes
below it.  benchmarks/run.py and bench_ensemble.py both add to it."""
import os
import time

QUICK = False  # fewer repeats (run.py --quick)
ROWS = []  # (routine, workload, quellmar seconds, alternative, seconds, ratio text)
NOTES = []


def best(fn, repeat=None, budget=None):
    """Best wall time of `fn()` over `repeat` runs (fewer when `budget`
    seconds are used up first, but at least two)."""
    repeat = repeat or (3 if QUICK else 11)
    budget = budget or (0.5 if QUICK else 3.0)
    times = []
    start = time.perf_counter()
    for i in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
        if i >= 1 and time.perf_counter() - start > budget:
            break
    return min(times)


def fmt_time(s):
    if s >= 1.0:
        return f"{s:.2f} s"
    if s >= 1e-3:
        return f"{s * 1e3:.1f} ms" if s < 0.1 else f"{s * 1e3:.0f} ms"
    return f"{s * 1e6:.0f} us"


class Group:
    """One workload: quellmar's time and the rows of its alternatives."""

    def __init__(self, routine, workload, q_time):
        self.routine, self.workload, self.q = routine, workload, q_time
        ROWS.append((routine, workload, q_time, None, None, ""))

    def vs(self, name, alt_time):
        """An alternative: ratio alternative / quellmar."""
        ratio = alt_time / self.q
        ROWS.append(("", "", None, name, alt_time, f"{ratio:.1f}x"))
        return ratio

    def floor(self, name, floor_time):
        """A floor: ratio quellmar / floor."""
        ratio = self.q / floor_time
        ROWS.append(("", "", None, name, floor_time, f"{ratio:.2f}x floor"))
        return ratio

    def info(self, name, value_text):
        ROWS.append(("", "", None, name, None, value_text))


def print_table():
    head = ("routine", "workload", "quellmar", "alternative", "time", "ratio")
    cells = []
    for routine, workload, q, alt, t, ratio in ROWS:
        cells.append((routine, workload, fmt_time(q) if q is not None else "", alt or "",
                      fmt_time(t) if t is not None else "", ratio))
    widths = [max([len(head[i])] + [len(c[i]) for c in cells]) for i in range(len(head))]
    line = "  ".join(h.ljust(w) for h, w in zip(head, widths))
    print(line)
    print("-" * len(line))
    for c in cells:
        if c[0]:
            print()
        print("  ".join(v.ljust(w) if i not in (2, 4) else v.rjust(w) for i, (v, w) in enumerate(zip(c, widths))))
    print()
    for note in NOTES:
        print(note)


def load_average():
    try:
        return " / ".join(f"{v:.2f}" for v in os.getloadavg())
    except OSError:
        return "unknown"

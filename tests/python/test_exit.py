"""A search running on a daemon thread while the interpreter shuts down.

At interpreter exit CPython ends (or blocks) every other thread that asks for the lock
back. A search that returns, or probes for Ctrl-C, at that moment must neither abort the
process nor touch Python objects: the process has to exit with the main thread's status.
Each case runs a fresh interpreter, since the event can only happen once per process.
"""
import subprocess
import sys
import textwrap

import pytest

SCRIPT = textwrap.dedent("""
    import math, sys, threading, time, types
    import numpy as np
    import _morvel_core as core

    budget, delay, stall = (float(a) for a in sys.argv[1:4])
    rng = np.random.default_rng(1)
    nf, trees, depth = 12, 60, 5
    feature, threshold, left, right, value, roots = [], [], [], [], [], []

    def grow(d):
        i = len(feature)
        for arr, v in ((feature, -1), (threshold, 0.0), (left, 0), (right, 0), (value, 0.0)):
            arr.append(v)
        if d == depth:
            value[i] = round(float(rng.normal()), 3)
            return i
        feature[i] = int(rng.integers(nf))
        threshold[i] = float(rng.choice(np.linspace(-1, 1, 41)))
        left[i] = grow(d + 1)
        right[i] = grow(d + 1)
        return i

    for _ in range(trees):
        roots.append(grow(0))
    n = len(feature)
    u32 = lambda v: np.asarray(v, np.uint32)
    model = core.RustEnsemble(np.asarray(feature, np.int32), np.asarray(threshold),
                              np.ones(n, np.uint8), np.zeros(n, np.uint8), u32(left), u32(right),
                              np.asarray(value), u32(roots), 0.0, "identity", nf)
    empty_u32, empty_f64 = np.zeros(0, np.uint32), np.zeros(0)
    rules = core.RustConstraints(nf, empty_u32, empty_u32, empty_f64, empty_f64, empty_u32,
                                 empty_f64, empty_u32, np.zeros(0, np.int8), np.zeros(1, np.uint32),
                                 empty_u32, empty_f64, np.zeros(0, np.uint8), empty_f64,
                                 np.zeros(0, np.uint8), empty_u32, empty_f64, empty_u32, empty_f64,
                                 empty_u32, empty_u32, empty_u32, empty_f64, empty_f64)
    # A window high above the factual score: the search runs until its time budget.
    started = threading.Event()

    def search():
        started.set()
        core.solve_exact_raw(model, rules, np.zeros(nf), 25.0, math.inf, np.ones(nf),
                             np.ones(nf), 0.0, np.zeros(nf, np.uint8), np.zeros(nf),
                             np.zeros(nf), node_budget=10**12, time_budget_s=budget)

    threading.Thread(target=search, daemon=True).start()
    started.wait()
    time.sleep(delay)

    class Stall:
        # Freed with its module once shutdown has begun: keeps the interpreter in its exit,
        # with the lock free, while the search ends. (The main module's globals would stay
        # alive, held by the search thread's frame.)
        def __init__(self):
            self.sleep = time.sleep

        def __del__(self):
            self.sleep(stall)

    holder = types.ModuleType("stall_at_exit")
    holder.stall = Stall()
    sys.modules[holder.__name__] = holder
    del holder
    print("main thread done", flush=True)
""")


# (time budget, delay before the main thread ends, stall during shutdown), in seconds.
# The first cases end the search while the interpreter sits in its shutdown; the next one
# keeps it there while the search probes for Ctrl-C; the others leave the search running
# and let the two threads race.
CASES = ([(0.3, 0.05, 1.0)] * 4 + [(0.15, 0.1, 0.3)] * 2 + [(5.0, 0.05, 3.0)] +
         [(5.0, d, 0.0) for d in (0.0, 0.02, 0.05, 0.1, 0.2, 0.3)] * 2)


@pytest.mark.parametrize("budget, delay, stall", CASES)
def test_search_thread_at_interpreter_exit(budget, delay, stall):
    done = subprocess.run([sys.executable, "-c", SCRIPT, str(budget), str(delay), str(stall)],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout == "main thread done\n"
    assert "terminate" not in done.stderr and "Fatal" not in done.stderr, done.stderr[-2000:]


FORCED_UNWIND = textwrap.dedent("""
    import ctypes, threading, time
    import numpy as np
    import _morvel_core as core

    libc = ctypes.CDLL(None)  # its foreign calls release the interpreter lock
    libc.pthread_exit.argtypes = [ctypes.c_void_p]

    class EndsThread:
        def __float__(self):
            libc.pthread_exit(None)

    def model(base_score, n_features):
        u32, f64 = np.zeros(0, np.uint32), np.zeros(0)
        return core.RustEnsemble(np.zeros(0, np.int32), f64, np.zeros(0, np.uint8),
                                 np.zeros(0, np.uint8), u32, u32, f64, u32, base_score,
                                 "identity", n_features)

    thread = threading.Thread(target=model, args=(EndsThread(), 3), daemon=True)
    thread.start()
    thread.join(0.5)
    print(model(1.5, 3).raw_score_batch(np.zeros((2, 3))).tolist(), flush=True)
""")


def test_forced_unwind_passes_through_an_entry():
    # The way CPython ends a thread at exit (pthread_exit: a forced unwind), made to happen
    # deterministically inside an entry's argument conversion. The entry must let it pass;
    # the process goes on.
    done = subprocess.run([sys.executable, "-c", FORCED_UNWIND], capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout == "[1.5, 1.5]\n"

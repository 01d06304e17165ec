"""Stopping searches that run on other threads than the main one, which alone sees Ctrl-C:
a StopToken set from another thread ends every native search holding it; and Ctrl-C while
`explain_many` runs exact searches on its threads, through the API and the command line,
in a real process, must stop them all, so that the process exits promptly even when the
searches have no time limit."""
import math
import pickle
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import _morvel_core as core
from test_genetic import batch, endless_problem, ga
from test_large_models import complete_trees, solve
from test_region_inputs import long_growth

pytest.importorskip("sklearn")
from sklearn.datasets import load_breast_cancer  # noqa: E402
from sklearn.ensemble import RandomForestClassifier  # noqa: E402

INF = math.inf
STOP_BOUND_S = 3.0  # about a second on an idle machine; the margin is for loaded hosts


def long_calls(entry):
    """A call of `entry` that runs for minutes unless stopped; takes `stop=`."""
    if entry == "exact":
        model = complete_trees(np.random.default_rng(1), 300, 8, 20)
        return lambda **kw: solve(model, "refine", node_budget=10**12, time_budget_s=600.0,
                                  **kw)
    if entry == "region":
        return long_growth()
    ensemble, c, rows, sigma, weights = endless_problem(8)
    endless = dict(max_generations=10**12, stall_generations=10**12, time_budget_s=600.0)
    if entry == "genetic":
        return lambda **kw: ga(ensemble, c, rows[0], INF, INF, sigma, weights, **endless, **kw)
    return lambda **kw: batch(ensemble, c, rows, np.arange(8), np.arange(8), INF, INF, sigma,
                              weights, **endless, **kw)


@pytest.mark.parametrize("entry", ["exact", "genetic", "genetic_batch", "region"])
def test_a_stop_token_ends_a_search_on_another_thread(entry):
    call = long_calls(entry)
    token = core.StopToken()
    ended = []

    def run():
        try:
            call(stop=token)
            ended.append(None)
        except KeyboardInterrupt:
            ended.append(time.monotonic())

    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    time.sleep(0.5)
    assert thread.is_alive()
    token.set()
    set_at = time.monotonic()
    thread.join(30)
    assert not thread.is_alive() and ended[0] is not None
    assert ended[0] - set_at < STOP_BOUND_S
    # A token that is set already ends a call before its search starts.
    with pytest.raises(KeyboardInterrupt):
        call(stop=token)


ROWS = [0, 1, 2, 6, 8, 9]  # rejected rows the search does not prove within seconds


@pytest.fixture(scope="module")
def forest(tmp_path_factory):
    X, y = load_breast_cancer(return_X_y=True, as_frame=True)
    model = RandomForestClassifier(random_state=0).fit(X, y)
    rejected = X[model.predict_proba(X)[:, 1] < 0.5].iloc[ROWS]
    d = tmp_path_factory.mktemp("forest")
    with open(d / "model.pkl", "wb") as f:
        pickle.dump(model, f)
    rejected.to_csv(d / "rows.csv", index=False)
    return d


def interrupt_and_time_exit(command, cwd, started_marker: str) -> tuple[float, int]:
    """Starts `command`, waits until it prints `started_marker` on stderr and one more
    second, sends SIGINT and returns the seconds until the process has exited (inf when
    it is still running 30 s later) and its exit status."""
    with subprocess.Popen(command, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                          text=True) as proc:
        try:
            seen = ""
            while started_marker not in seen:
                chunk = proc.stderr.read(1)
                assert chunk, f"exited before starting: {seen[-2000:]}"
                seen += chunk
            time.sleep(1.0)
            assert proc.poll() is None, "the searches ended by themselves"
            sent = time.monotonic()
            proc.send_signal(signal.SIGINT)
            try:
                proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                return math.inf, 0
            return time.monotonic() - sent, proc.returncode
        finally:
            if proc.poll() is None:
                proc.kill()


API_SCRIPT = textwrap.dedent("""
    import math, pickle, sys
    import pandas as pd
    import morvel
    with open("model.pkl", "rb") as f:
        model = pickle.load(f)
    rows = pd.read_csv("rows.csv")
    ex = morvel.Explainer(model, rows, n_jobs=2)
    print("searching", file=sys.stderr, flush=True)
    ex.explain_many(rows, desired_class=1, method="exact", time_budget_s=math.inf,
                    node_budget=10**15, fallback=False)
""")


def test_ctrl_c_stops_every_running_search(forest):
    api = interrupt_and_time_exit([sys.executable, "-c", API_SCRIPT], forest, "searching")
    cli = interrupt_and_time_exit(
        [sys.executable, "-m", "morvel", "explain", "--model", "model.pkl", "--trust-pickle",
         "--data", "rows.csv", "--all", "--target", "class=1", "--time-budget", "inf",
         "--progress"], forest, "explaining")
    # Python ends on an uncaught KeyboardInterrupt by SIGINT; the command exits with 130.
    assert api[1] == -signal.SIGINT and cli[1] == 130, (api, cli)
    assert api[0] < STOP_BOUND_S and cli[0] < STOP_BOUND_S, (api, cli)

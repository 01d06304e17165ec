"""Explaining a batch over a `dask.distributed` cluster.

The explainer (model, training-derived tables, rules) is scattered to every worker once;
the rows travel in chunks, each explained on a worker by the same code as a local batch,
and the result frames come back in input order. A row's genetic seed depends on the
batch's seed and the row's position only, so the results equal a single-process
`explain_many` row for row, whatever the chunking.

>>> from distributed import Client                                     # doctest: +SKIP
>>> client = Client("scheduler:8786")                                  # doctest: +SKIP
>>> results = explainer.explain_many(frame, "proba>=0.7", client=client)  # doctest: +SKIP
"""
from __future__ import annotations

import math
import pickle

import numpy as np
import pandas as pd

from ..search import batch as _batch

# Chunks per worker when the caller does not choose a size: enough to balance uneven rows,
# few enough that the per-chunk round trip stays small next to the search.
_CHUNKS_PER_WORKER = 4


def is_dask_collection(rows) -> bool:
    """A Dask DataFrame (or other Dask collection), recognised without importing Dask."""
    return type(rows).__module__.split(".")[0] == "dask" and hasattr(rows, "to_delayed")


def explain_many(ex, rows, target, opts, *, client=None, n_jobs: int | None = None,
                 progress: bool | None = None, chunk_rows: int | None = None,
                 alternatives: int | None = None) -> pd.DataFrame:
    """`Explainer.explain_many` over a cluster (see there for `client`, `chunk_rows` and
    `alternatives`)."""
    if client is None:
        client = _current_client(required=not is_dask_collection(rows))
    job = dict(target=target, opts=opts, seed_base=_seed_base(ex), n_jobs=n_jobs,
               alternatives=alternatives)
    if is_dask_collection(rows):
        _check_columns(ex, rows)
        if client is None:
            return _local_partitions(ex, rows, job, progress)
        return _dask_frame(ex, rows, job, client, progress)
    frame, X = ex.schema.rows(rows, "rows")
    ex._require_present(X)
    if len(X) == 0:
        return explain_codes(Shipped(ex), X, frame.index, 0, **job)
    size = _chunk_size(len(X), _n_workers(client), chunk_rows)
    starts = list(range(0, len(X), size))
    chunks = [(X[s:s + size], frame.index[s:s + size]) for s in starts]
    shipped = _scatter(client, ex)
    futures = client.map(explain_codes, [shipped] * len(chunks), [c[0] for c in chunks],
                         [c[1] for c in chunks], starts, **job, pure=False)
    return _gather(client, futures, [len(c[0]) for c in chunks], progress, len(X),
                   alternatives)


class Shipped:
    """The explainer as one pickled buffer. Dask would otherwise send its arrays as separate
    frames, which may arrive misaligned (the native core takes aligned arrays only); each
    worker unpickles the buffer once, when the scattered object arrives."""

    def __init__(self, ex):
        self.explainer = ex

    def __reduce__(self):
        try:
            import cloudpickle as dumper  # models defined in a notebook travel too
        except ImportError:
            dumper = pickle
        return (_unship, (dumper.dumps(self.explainer, protocol=pickle.HIGHEST_PROTOCOL),))


def _unship(blob: bytes) -> Shipped:
    return Shipped(pickle.loads(blob))


def _scatter(client, ex):
    return client.scatter(Shipped(ex), broadcast=True, hash=False)


def explain_codes(shipped: Shipped, X: np.ndarray, index, start: int, *, target, opts,
                  seed_base, n_jobs, alternatives=None) -> pd.DataFrame:
    """Runs on a worker: one chunk of validated rows of codes, at positions start, ...
    (with `alternatives`, a long frame of up to that many per row)."""
    ex = shipped.explainer
    X = np.require(X, np.float64, ["C_CONTIGUOUS", "ALIGNED"])  # task frames may be unaligned
    positions = range(start, start + len(X))
    if alternatives is not None:
        from ..search import alternatives as _alternatives

        return _alternatives.frame_many(ex, index, X, target, opts, alternatives,
                                        _batch.row_seeds(seed_base, positions),
                                        _threads(ex, n_jobs), _batch._NoBar())
    outcomes = _batch.solve_rows(ex, X, target, opts, _threads(ex, n_jobs), False,
                                 positions=positions, seed_base=seed_base)
    return _batch.as_frame(ex, index, X, outcomes)


def explain_frame(shipped: Shipped, part: pd.DataFrame, start: int, **job) -> pd.DataFrame:
    """Runs on a worker: one partition of a Dask DataFrame, validated where it lives."""
    ex = shipped.explainer
    frame, X = ex.schema.rows(part, "rows")
    ex._require_present(X)
    return explain_codes(shipped, X, frame.index, start, **job)


def _dask_frame(ex, ddf, job: dict, client, progress) -> pd.DataFrame:
    """Partitions stay on the workers: their lengths come back first (for the seeds'
    positions), then each is explained where it was computed."""
    parts = client.compute(ddf.to_delayed())
    lengths = client.gather(client.map(len, parts))
    starts = np.concatenate([[0], np.cumsum(lengths)[:-1]]).astype(int).tolist()
    shipped = _scatter(client, ex)
    futures = client.map(explain_frame, [shipped] * len(parts), parts, starts, **job,
                         pure=False)
    del parts  # each partition is released once its chunk is done
    return _gather(client, futures, list(lengths), progress, int(sum(lengths)),
                   job["alternatives"])


def _local_partitions(ex, ddf, job: dict, progress) -> pd.DataFrame:
    """No distributed client: the partitions one after the other in this process."""
    out, start = [], 0
    for k in range(ddf.npartitions):
        part = ddf.get_partition(k).compute()
        out.append(explain_frame(Shipped(ex), part, start, **job))
        start += len(part)
    return _concat(out, job["alternatives"])


def _gather(client, futures, sizes, progress, total, alternatives) -> pd.DataFrame:
    from distributed import as_completed

    results: list = [None] * len(futures)
    position = {f.key: k for k, f in enumerate(futures)}
    bar = _batch._progress_bar(total, progress)
    try:
        for future in as_completed(futures, loop=client.loop):
            k = position[future.key]
            results[k] = future.result()
            bar.update(sizes[k])
    except BaseException:
        client.cancel(futures)
        raise
    finally:
        bar.close()
    return _concat(results, alternatives)


def _concat(frames: list, alternatives) -> pd.DataFrame:
    """The chunks' frames in order; long frames (alternatives) numbered 0, 1, ... as one
    call numbers them."""
    if alternatives is not None:
        return pd.concat(frames, axis=0, ignore_index=True)
    return pd.concat(frames, axis=0) if len(frames) > 1 else frames[0]


def _check_columns(ex, ddf) -> None:
    """Column names and order against the model, on the frame's metadata (no data read)."""
    meta = getattr(ddf, "_meta", None)
    if isinstance(meta, pd.DataFrame):
        ex.schema._as_frame(meta, "rows")


def _current_client(required: bool):
    try:
        from distributed import default_client
    except ImportError:
        raise ImportError("client=... needs dask.distributed (pip install "
                          "'morvel[dask]')") from None
    try:
        return default_client()
    except ValueError:
        if required:
            raise ValueError("no dask.distributed client: pass client=Client(...)") from None
        return None


def _seed_base(ex) -> int:
    """The batch's seed, drawn here once when the explainer has no random_state, so that
    every chunk of one call shares it."""
    if ex.random_state is not None:
        return ex.random_state
    return int(np.random.SeedSequence().entropy)


def _n_workers(client) -> int:
    return max(len(client.scheduler_info().get("workers", {})), 1)


def _chunk_size(n_rows: int, n_workers: int, chunk_rows: int | None) -> int:
    if chunk_rows is not None:
        return chunk_rows
    return max(1, math.ceil(n_rows / (_CHUNKS_PER_WORKER * n_workers)))


def _threads(ex, n_jobs) -> int:
    return ex.n_jobs if n_jobs is None else n_jobs

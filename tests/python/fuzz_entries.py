"""Fuzzing and leak checking of every entry of the native module.

One table (`ENTRIES`) lists the entries: each builds a random valid call (small random
models, constraint sets and rows), and knows the kind of each argument so that the fuzzer
can corrupt it: wrong types, dtypes, ranks and layouts, wrong lengths, special values
(NaN, infinities, huge integers), foreign objects. Entries that this build lacks are
skipped, so entries that land later are fuzzed from their first build.

A call may return or raise one of the errors a caller can expect (TypeError, ValueError,
OverflowError, RuntimeError, MemoryError); anything else -- the internal-error exception,
another exception type, a crash, a sanitizer report or a hang -- is a failure.

    python fuzz_entries.py fuzz --seconds 20 [--seed N] [--sanitized] [--trace]
    python fuzz_entries.py leaks [--calls 20000]

Run it in a subprocess: a crash must not take the test runner with it.
"""
import argparse
import gc
import math
import os
import sys
import time
import tracemalloc
import warnings

import numpy as np

import _morvel_core as core

EXPECTED_ERRORS = (TypeError, ValueError, OverflowError, RuntimeError, MemoryError)

NAN, INF = math.nan, math.inf
SPECIAL_FLOATS = [NAN, INF, -INF, -0.0, 0.0, 1.0, -1.0, 0.5, 1e308, -1e308, 5e-324, 2.0 ** 53,
                  2.0 ** 63, 2.0 ** 64, 3.0, 1e-300]
SPECIAL_INTS = [0, 1, 2, 3, -1, 255, 2 ** 31 - 1, 2 ** 31, 2 ** 32 - 1, 2 ** 32, 2 ** 63 - 1,
                2 ** 63, 2 ** 64 - 1, 2 ** 64, -2 ** 63]
DTYPES = {"f64": np.float64, "u32": np.uint32, "i32": np.int32, "u8": np.uint8, "i8": np.int8,
          "u64": np.uint64}

# Argument kinds: "f64[]" etc. (1-D arrays), "f64[][]" (matrix), "float", "count", "str",
# "bool", "ensemble", "constraints", "stop" (a StopToken), "windows" (a list of further
# score windows). A trailing "?" marks an optional argument (None allowed). Counts listed
# in BOUNDED_COUNTS only ever take small or invalid values: a huge valid value would make
# the call run for its full (unbounded) budget.
BOUNDED_COUNTS = {"population", "max_generations", "stall_generations", "budget",
                  "alternatives"}


class Gen:
    def __init__(self, seed):
        self.rng = np.random.default_rng(seed)

    def chance(self, p):
        return self.rng.random() < p

    def int(self, lo, hi):
        return int(self.rng.integers(lo, hi))

    def pick(self, items):
        return items[self.int(0, len(items))]

    def value(self, n_features):
        return self.pick([NAN, 0.0, 1.0, -1.0, 0.5, -0.5, 2.0, float(self.int(0, 6)),
                          float(self.rng.normal()), float(self.int(0, max(n_features, 1)))])


# ---- random valid inputs -------------------------------------------------------------

def random_ensemble_args(g, cards=None):
    """Keyword arguments of a valid RustEnsemble: a few small trees, some categorical.
    `cards`: the category count of every feature (0: numeric), random when not given."""
    if cards is None:
        cards = [g.pick([0, 0, 2, 3, 70]) for _ in range(g.int(0, 5))]
    nf = len(cards)
    feature, threshold, is_lt, missing_left, left, right, value, roots = ([] for _ in range(8))
    node_set, offsets, words = [], [0], []

    def grow(depth):
        i = len(feature)
        for arr, v in ((feature, -1), (threshold, 0.0), (is_lt, 0), (missing_left, 0),
                       (left, 0), (right, 0), (value, 0.0), (node_set, -1)):
            arr.append(v)
        if nf == 0 or depth >= 3 or g.chance(0.3):
            value[i] = float(np.round(g.rng.normal(), 3))
            return i
        f = g.int(0, nf)
        feature[i] = f
        threshold[i] = g.pick([-INF, INF, 0.0, 0.5, -1.0, 1.0, 2.5])
        is_lt[i] = g.int(0, 2)
        missing_left[i] = g.int(0, 2)
        if cards[f] and g.chance(0.7):
            n_words = g.int(0, (cards[f] + 63) // 64 + 2)
            words.extend(int(w) for w in g.rng.integers(0, 2 ** 63, n_words, dtype=np.uint64))
            offsets.append(len(words))
            node_set[i] = len(offsets) - 2
        left[i] = grow(depth + 1)
        right[i] = grow(depth + 1)
        return i

    for _ in range(g.int(0, 4)):
        roots.append(grow(0))
    args = dict(feature=np.array(feature, np.int32), threshold=np.array(threshold),
                is_lt=np.array(is_lt, np.uint8), missing_left=np.array(missing_left, np.uint8),
                left=np.array(left, np.uint32), right=np.array(right, np.uint32),
                value=np.array(value), tree_roots=np.array(roots, np.uint32),
                base_score=float(g.rng.normal()), link=g.pick(["identity", "sigmoid"]),
                n_features=nf)
    if any(cards) or g.chance(0.2):
        args.update(node_set=np.array(node_set, np.int32), set_offsets=np.array(offsets, np.uint32),
                    set_words=np.array(words, np.uint64),
                    cat_idx=np.array([f for f in range(nf) if cards[f]], np.uint32),
                    cat_card=np.array([c for c in cards if c], np.uint32))
    return args


def random_constraints_args(g, n):
    """Keyword arguments of a valid RustConstraints over n features."""
    def idx(k):
        return np.array([g.int(0, n) for _ in range(k)] if n else [], np.uint32)

    def vals(k):
        return np.array([g.value(n) for _ in range(k)])

    few = lambda: g.int(0, 3) if n else 0  # noqa: E731
    k_range, k_eq, k_mono, k_imp, k_am = few(), few(), few(), few(), few()
    # Mostly what the exact search supports: one term, or an order pair x_a - x_b <= 0.
    terms = [g.pick([1, 1, 2, 2, 3]) for _ in range(few())]
    groups = [g.int(0, 3) for _ in range(g.int(0, 2))] if n else []
    args = dict(
        n_features=n, freeze=idx(few()), range_idx=idx(k_range),
        range_lo=np.sort(vals(k_range)), range_hi=vals(k_range) + 1.0,
        equals_idx=idx(k_eq), equals_val=vals(k_eq), mono_idx=idx(k_mono),
        mono_dir=np.array([g.pick([-1, 1, 0]) for _ in range(k_mono)], np.int8),
        lin_offsets=np.cumsum([0] + terms).astype(np.uint32), lin_indices=idx(sum(terms)),
        lin_coefs=np.array([c for t in terms for c in (
            [1.0, -1.0] if t == 2 and g.chance(0.8) else
            [g.pick([1.0, -1.0, 0.5, 2.0]) for _ in range(t)])]),
        lin_op=np.array([0 if t == 2 else g.int(0, 3) for t in terms], np.uint8),
        lin_rhs=np.array([0.0 if t == 2 else g.value(n) for t in terms]),
        lin_policy=np.array([g.int(0, 2) for _ in terms], np.uint8),
        imp_cond_idx=idx(k_imp), imp_cond_val=vals(k_imp), imp_cons_idx=idx(k_imp),
        imp_cons_val=vals(k_imp),
        oh_offsets=np.cumsum([0] + groups).astype(np.uint32) if groups else np.zeros(0, np.uint32),
        oh_indices=idx(sum(groups)), am_idx=idx(k_am), am_to=np.abs(vals(k_am)) + 0.0,
        am_from=np.abs(vals(k_am)) + 0.0)
    args["am_to"][np.isnan(args["am_to"])] = 1.0
    args["am_from"][np.isnan(args["am_from"])] = 1.0
    if n and g.chance(0.3):
        k = g.int(0, 3)
        lens = [g.int(0, 3) for _ in range(k)]
        args.update(ac_idx=idx(k), ac_offsets=np.cumsum([0] + lens).astype(np.uint32),
                    ac_words=np.array([g.int(0, 2 ** 62) for _ in range(sum(lens))], np.uint64))
    return args


def model_and_rules(g):
    e_args = random_ensemble_args(g)
    ensemble = core.RustEnsemble(**e_args)
    n = e_args["n_features"]
    constraints = core.RustConstraints(**random_constraints_args(g, n))
    return e_args, ensemble, constraints, n


def cards_of(e_args):
    cards = [0] * e_args["n_features"]
    for f, c in zip(e_args.get("cat_idx", []), e_args.get("cat_card", [])):
        cards[int(f)] = int(c)
    return cards


def factual_row(g, e_args, n):
    cards = cards_of(e_args)
    return np.array([float(g.int(0, cards[f])) if cards[f] else g.value(n) for f in range(n)])


def factual_rows(g, e_args, n, lo=0, hi=70):
    k = g.int(lo, hi)
    return np.array([factual_row(g, e_args, n) for _ in range(k)]).reshape(k, n)


def distance_model(g, n):
    return dict(sigma=g.rng.uniform(0.5, 2.0, n), weights=g.rng.uniform(0.0, 2.0, n),
                lam=g.pick([0.0, 0.1]))


def policies(g, n):
    code = np.array([g.int(0, 3) for _ in range(n)], np.uint8)
    return dict(policy_code=code, policy_step=np.array([g.pick([0.25, 1.0, 0.1]) for _ in code]),
                policy_anchor=np.array([g.pick([0.0, 0.05]) for _ in code]))


def window(g):
    lo = g.pick([-INF, -1.0, 0.0, 0.5, 2.0])
    hi = g.pick([INF, 0.0, 1.0]) if lo == -INF else lo + g.pick([INF, 1.0, 0.0])
    return dict(lo_t=lo, hi_t=hi)


# ---- the entries ----------------------------------------------------------------------
# Each builder returns (function, {name: (value, kind)}) for one random valid call.

ENSEMBLE_KINDS = dict(feature="i32[]", threshold="f64[]", is_lt="u8[]", missing_left="u8[]",
                      left="u32[]", right="u32[]", value="f64[]", tree_roots="u32[]",
                      base_score="float", link="str", n_features="count", node_set="i32[]?",
                      set_offsets="u32[]?", set_words="u64[]?", cat_idx="u32[]?",
                      cat_card="u32[]?")
CONSTRAINT_KINDS = dict(n_features="count", **{k: k_ for k, k_ in (
    ("freeze", "u32[]"), ("range_idx", "u32[]"), ("range_lo", "f64[]"), ("range_hi", "f64[]"),
    ("equals_idx", "u32[]"), ("equals_val", "f64[]"), ("mono_idx", "u32[]"),
    ("mono_dir", "i8[]"), ("lin_offsets", "u32[]"), ("lin_indices", "u32[]"),
    ("lin_coefs", "f64[]"), ("lin_op", "u8[]"), ("lin_rhs", "f64[]"), ("lin_policy", "u8[]"),
    ("imp_cond_idx", "u32[]"), ("imp_cond_val", "f64[]"), ("imp_cons_idx", "u32[]"),
    ("imp_cons_val", "f64[]"), ("oh_offsets", "u32[]"), ("oh_indices", "u32[]"),
    ("am_idx", "u32[]"), ("am_to", "f64[]"), ("am_from", "f64[]"), ("ac_idx", "u32[]?"),
    ("ac_offsets", "u32[]?"), ("ac_words", "u64[]?"))})


def with_kinds(values, kinds):
    return {k: (values.get(k), kind) for k, kind in kinds.items()}


def build_ensemble(g):
    return core.RustEnsemble, with_kinds(random_ensemble_args(g), ENSEMBLE_KINDS)


def build_constraints(g):
    return core.RustConstraints, with_kinds(random_constraints_args(g, g.int(0, 5)),
                                            CONSTRAINT_KINDS)


def build_raw_score_batch(g):
    e_args, ensemble, _, n = model_and_rules(g)
    rows = factual_rows(g, e_args, n)
    return ensemble.raw_score_batch, {"x": (rows, "f64[][]")}


def build_check_or_repair(method):
    def build(g):
        e_args, _, constraints, n = model_and_rules(g)
        rows = factual_rows(g, e_args, n)
        fn = getattr(constraints, method)
        return fn, {"x_matrix": (rows, "f64[][]"), "x": (factual_row(g, e_args, n), "f64[]")}
    return build


def plausibility(g, e_args):
    """(ensemble, node count), or (None, 0): the optional second model over the same row."""
    if not g.chance(0.3):
        return None, 0
    args = random_ensemble_args(g, cards_of(e_args))
    return core.RustEnsemble(**args), len(args["feature"])


def further_windows(g, e_args, sure=False):
    """None, or one to three further windows over the model's feature space: (ensemble, lo,
    hi), some with their missing_defined flags. A region needs x_cf inside each, so
    `sure` makes every window the whole line."""
    if not sure and not g.chance(0.4) or sure and not g.chance(0.3):
        return None
    out = []
    for _ in range(g.int(1, 4)):
        args = random_ensemble_args(g, cards_of(e_args))
        lo, hi = (-INF, INF) if sure else sorted(g.pick([-INF, INF, 0.0, -1.0, 1.0, 0.5])
                                                 for _ in range(2))
        window = (core.RustEnsemble(**args), lo, hi)
        if g.chance(0.3):
            window += (np.array([g.int(0, 2) for _ in args["feature"]], np.uint8),)
        out.append(window)
    return out


def build_solve_exact(g):
    e_args, ensemble, constraints, n = model_and_rules(g)
    args = dict(ensemble=(ensemble, "ensemble"), constraints=(constraints, "constraints"),
                x=(factual_row(g, e_args, n), "f64[]"))
    args.update({k: (v, "float") for k, v in window(g).items()})
    dm = distance_model(g, n)
    args.update(sigma=(dm["sigma"], "f64[]"), weights=(dm["weights"], "f64[]"),
                lam=(dm["lam"], "float"))
    args.update({k: (v, "u8[]" if k == "policy_code" else "f64[]")
                 for k, v in policies(g, n).items()})
    args.update(if_ensemble=(plausibility(g, e_args)[0], "ensemble?"),
                min_total_path=(g.pick([None, 0.0, 2.0]), "float?"),
                node_budget=(g.pick([0, 1, 50, 20000]), "count"),
                gap=(g.pick([0.0, 0.1]), "float"), time_budget_s=(0.05, "float"),
                incumbent_cost=(None, "float?"), incumbent_row=(None, "f64[]?"),
                search=(g.pick(["classic", "refine"]), "str"), stop=(stop_token(g), "stop?"))
    args.update(change_rules(g, n))
    args["alternatives"] = (g.pick([None, 1, 3]), "count?")
    args["windows"] = (further_windows(g, e_args), "windows?")
    return core.solve_exact_raw, args


def change_rules(g, n, sets=True):
    """The change-set rule arguments: a cap, earlier change sets (CSR) and the diversity."""
    out = dict(max_changes=(g.pick([None, 0, 1, 3]), "count?"))
    if not sets:
        return out
    k = g.int(0, 3) if g.chance(0.5) else 0
    members = [sorted({g.int(0, n) for _ in range(g.int(0, 3))}) if n else [] for _ in range(k)]
    offsets = np.cumsum([0] + [len(m) for m in members]).astype(np.uint32)
    features = np.array([f for m in members for f in m], np.uint32)
    out.update(exclude_offsets=(offsets if k else None, "u32[]?"),
               exclude_features=(features if k else None, "u32[]?"),
               diversity=(g.pick(["no_superset", "new_feature"]), "str"))
    return out


def build_debug_domains(g):
    _, args = build_solve_exact(g)
    keep = ("ensemble", "constraints", "x", "sigma", "weights", "lam", "policy_code",
            "policy_step", "policy_anchor", "if_ensemble", "windows")
    return core.debug_domains_raw, {k: args[k] for k in keep}


def genetic_tail(g, n, e_args):
    dm = distance_model(g, n)
    tail = {k: (v, "float") for k, v in window(g).items()}
    tail.update(sigma=(dm["sigma"], "f64[]"), weights=(dm["weights"], "f64[]"),
                lam=(dm["lam"], "float"))
    background = factual_rows(g, e_args, n, 0, 4)
    tail.update(background=(background if g.chance(0.5) else None, "f64[][]?"),
                if_ensemble=(plausibility(g, e_args)[0], "ensemble?"),
                min_total_path=(g.pick([None, 0.0, 2.0]), "float?"))
    return tail


def stop_token(g):
    """None, or a StopToken: unset, or set (then the call raises KeyboardInterrupt)."""
    if g.chance(0.5):
        return None
    token = core.StopToken()
    if g.chance(0.2):
        token.set()
    return token


def stopped(pos, kw) -> bool:
    """Whether the call was handed a StopToken that is set."""
    return any(isinstance(v, core.StopToken) and v.is_set() for v in [*pos, *kw.values()])


def genetic_budgets(g):
    return dict(population=(g.pick([2, 8, 16]), "count"),
                max_generations=(g.pick([0, 1, 3]), "count"),
                stall_generations=(g.pick([1, 2]), "count"),
                time_budget_s=(0.05, "float"))


def build_solve_genetic(g):
    e_args, ensemble, constraints, n = model_and_rules(g)
    args = dict(ensemble=(ensemble, "ensemble"), constraints=(constraints, "constraints"))
    args["x"] = (factual_row(g, e_args, n), "f64[]")
    args.update(genetic_tail(g, n, e_args))
    args["seed"] = (g.pick([None, 0, 7, 2 ** 64 - 1]), "count?")
    args.update(genetic_budgets(g), stop=(stop_token(g), "stop?"))
    args.update(change_rules(g, n))
    args["windows"] = (further_windows(g, e_args), "windows?")
    return core.solve_genetic_raw, args


def build_solve_genetic_batch(g):
    e_args, ensemble, constraints, n = model_and_rules(g)
    args = dict(ensemble=(ensemble, "ensemble"), constraints=(constraints, "constraints"))
    rows = factual_rows(g, e_args, n, 1, 4)
    k = g.int(0, 5)
    args.update(x_rows=(rows, "f64[][]"),
                task_row=(np.array([g.int(0, len(rows)) for _ in range(k)], np.uint64), "u64[]"),
                task_seed=(np.array([g.int(0, 2 ** 62) for _ in range(k)], np.uint64), "u64[]"))
    args.update(genetic_tail(g, n, e_args))
    args.update(genetic_budgets(g), stop=(stop_token(g), "stop?"))
    args.update(change_rules(g, n, sets=False))
    args["windows"] = (further_windows(g, e_args), "windows?")
    return core.solve_genetic_batch_raw, args


def build_compute_region(g):
    e_args, ensemble, constraints, n = model_and_rules(g)
    x_cf = factual_row(g, e_args, n)
    lo = np.where(np.isnan(x_cf), -INF, x_cf - g.pick([0.0, 1.0, INF]))
    hi = np.where(np.isnan(x_cf), INF, x_cf + g.pick([0.0, 1.0, INF]))
    n_nodes = len(e_args["feature"])
    open_set = np.array(sorted({g.int(0, n) for _ in range(g.int(0, n + 1))}) if n else [],
                        np.uint32)
    args = dict(ensemble=(ensemble, "ensemble"),
                missing_defined=(np.array([g.int(0, 2) for _ in range(n_nodes)], np.uint8),
                                 "u8[]"),
                constraints=(constraints, "constraints"), x_cf=(x_cf, "f64[]"))
    args.update({k: (v, "float") for k, v in window(g).items()})
    args.update(lo_b=(lo, "f64[]"), hi_b=(hi, "f64[]"), open_set=(open_set, "u32[]"))
    pl, pl_nodes = plausibility(g, e_args)
    args.update(if_ensemble=(pl, "ensemble?"),
                if_missing_defined=(None if pl is None else np.ones(pl_nodes, np.uint8), "u8[]?"),
                min_total_path=(g.pick([None, 0.0]), "float?"))
    cats = [f for f, c in zip(e_args.get("cat_idx", []), e_args.get("cat_card", []))]
    if cats and g.chance(0.6):
        cat_open, feat_offsets, block_offsets, members = [], [0], [0], []
        for f in cats:
            card = int(dict(zip(e_args["cat_idx"], e_args["cat_card"]))[f])
            cat_open.append(int(f))
            codes = list(range(card))
            for start in range(0, card, max(1, card // 2)):
                members.extend(codes[start:start + max(1, card // 2)])
                block_offsets.append(len(members))
            feat_offsets.append(len(block_offsets) - 1)
        args.update(cat_open=(np.array(cat_open, np.uint32), "u32[]?"),
                    cat_feat_offsets=(np.array(feat_offsets, np.uint32), "u32[]?"),
                    cat_block_offsets=(np.array(block_offsets, np.uint32), "u32[]?"),
                    cat_members=(np.array(members, np.uint32), "u32[]?"))
    else:
        args.update({k: (None, "u32[]?") for k in ("cat_open", "cat_feat_offsets",
                                                   "cat_block_offsets", "cat_members")})
    args.update(maximal=(g.chance(0.3), "bool"), budget=(g.pick([0, 10, 1000]), "count"),
                stop=(stop_token(g), "stop?"))
    args.update(x=(factual_row(g, e_args, n) if g.chance(0.5) else None, "f64[]?"),
                max_changes=(g.pick([None, 0, 1, n]), "count?"),
                windows=(further_windows(g, e_args, sure=True), "windows?"))
    return core.compute_region_raw, args


class Entry:
    """`internal`: texts of internal errors the entry's contract keeps for input only a
    faulty caller can produce (they count as expected outcomes; any other is a failure)."""

    def __init__(self, name, build, available=lambda: True, internal=()):
        self.name, self.build, self.available = name, build, available
        self.internal = internal

    def expected_internal(self, exc):
        return isinstance(exc, core.InternalError) and str(exc) in self.internal


def has(name):
    return lambda: hasattr(core, name)


ENTRIES = [
    Entry("RustEnsemble", build_ensemble),
    Entry("RustEnsemble.raw_score_batch", build_raw_score_batch),
    Entry("RustConstraints", build_constraints),
    Entry("RustConstraints.check", build_check_or_repair("check")),
    Entry("RustConstraints.repair", build_check_or_repair("repair")),
    Entry("solve_exact_raw", build_solve_exact),
    Entry("debug_domains_raw", build_debug_domains),
    Entry("solve_genetic_raw", build_solve_genetic, has("solve_genetic_raw")),
    Entry("solve_genetic_batch_raw", build_solve_genetic_batch, has("solve_genetic_batch_raw")),
    Entry("compute_region_raw", build_compute_region, has("compute_region_raw")),
]


# ---- corruption ----------------------------------------------------------------------

def corrupt_array(g, value, kind, sanitized):
    dtype = DTYPES[kind.split("[")[0]]
    matrix = kind.startswith("f64[][]")
    base = value if value is not None else np.zeros((2, 2) if matrix else 3, dtype)
    choice = g.int(0, 20)  # 0-7 change the array's type or layout; the rest its values
    if choice == 0:  # another dtype of the same shape
        other = g.pick([np.float32, np.int64, np.uint16, np.bool_, np.complex128, object,
                        np.float64, np.uint32, np.int32])
        return base.astype(other) if other is not dtype else base.astype(np.float32)
    if choice == 1:  # another rank
        return g.pick([base.reshape(-1), base.reshape(1, -1), base.reshape(-1, 1, 1),
                       np.array(base.flat[0] if base.size else 0, dtype)])
    if choice == 2:  # not contiguous
        doubled = np.repeat(base, 2, axis=-1) if base.ndim else base
        return doubled[..., ::2] if doubled.ndim else doubled
    if choice == 3:  # misaligned
        raw = np.zeros(base.nbytes + 1, np.uint8)
        view = raw[1:].view(dtype).reshape(base.shape)
        view[...] = base
        return view
    if choice == 4:  # other byte order
        return base.astype(np.dtype(dtype).newbyteorder())
    if choice == 5 and matrix:  # Fortran order, or no columns / rows at all
        options = [np.asfortranarray(base), np.empty((base.shape[0], 0)), np.empty((0, 3))]
        if not sanitized:
            options.append(np.empty((10 ** 15, 0)))
        return g.pick(options)
    if choice == 6:  # another length (or width)
        if matrix:
            return np.resize(base, (base.shape[0], max(base.shape[1] + g.pick([-1, 1, 5]), 0)))
        n = g.pick([0, 1, max(base.size - 1, 0), base.size + 1, base.size + 7])
        return np.resize(base, n).astype(dtype)
    if choice == 7:  # not an array at all
        return g.pick([None, 1, 1.5, "x", [1, 2], (0.0,), object(), core.InternalError])
    # Otherwise: special values in place.
    out = base.copy()
    if out.size:
        for _ in range(g.int(1, 4)):
            pos = tuple(g.int(0, d) for d in out.shape)
            if np.issubdtype(dtype, np.floating):
                out[pos] = g.pick(SPECIAL_FLOATS)
            else:
                info = np.iinfo(dtype)
                out[pos] = g.pick([info.min, info.max, 0, 1, info.max // 2, 64, 70, 3])
    return out


def corrupt_scalar(g, name, value, kind, sanitized):
    base = kind.rstrip("?")
    wrong = [None, "1", [1.0], object(), np.zeros(2), core.RustEnsemble]
    if base == "float":
        return g.pick(SPECIAL_FLOATS + wrong + [10 ** 400, -5, True, np.float32(1.5),
                                                np.int64(3)])
    if base == "count":
        huge = [] if name in BOUNDED_COUNTS else SPECIAL_INTS
        small = [0, 1, 2, -1, 2 ** 64, -2 ** 63, np.int64(3), np.uint8(2), 1.0, True]
        if name == "n_features":  # never a width that allocates gigabytes
            huge = [2 ** 30 + 1, 2 ** 31, 2 ** 63, 2 ** 64 - 1, 64]
        return g.pick(small + huge + wrong)
    if base == "str":
        return g.pick(["", "Classic", "identity\0", "refine ", "\u00e9", b"classic"] + wrong)
    if base == "bool":
        return g.pick([0, 1, 2, None, "yes", 1.5, np.bool_(True)])
    if base == "ensemble":
        return g.pick([None, "ensemble", object(), core.RustConstraints(**random_constraints_args(
            g, 1))] + [core.RustEnsemble(**random_ensemble_args(g))] * 3)
    if base == "constraints":
        return g.pick([None, object(), core.RustEnsemble(**random_ensemble_args(g))] +
                      [core.RustConstraints(**random_constraints_args(g, g.int(0, 5)))] * 3)
    if base == "stop":
        return g.pick([True, object(), core.StopToken, stop_token(g)] + wrong)
    if base == "windows":
        return corrupt_windows(g, value) if g.chance(0.8) else g.pick(wrong + [[], ()])
    raise AssertionError(kind)


def corrupt_windows(g, value):
    """One window of the list made malformed: another width or category counts, NaN or
    crossed ends, a tuple of another size, a wrong element, flags of another length."""
    windows = list(value or [])
    if not windows:
        return g.pick([[], [None], [()], 3])
    k = g.int(0, len(windows))
    e, lo, hi = windows[k][:3]
    other = core.RustEnsemble(**random_ensemble_args(g))
    windows[k] = g.pick([(other, lo, hi), (e, NAN, hi), (e, lo, NAN), (e, 1.0, -1.0),
                         (e, lo), (e, lo, hi, None, 1), [e, lo, hi], (None, lo, hi),
                         (e, "0", hi), (e, lo, hi, np.zeros(3, np.uint8)),
                         (e, lo, hi, np.zeros(2, np.float64)), (e, 10 ** 400, hi)])
    return windows


def corrupt(g, name, value, kind, sanitized):
    if kind.endswith("?") and value is not None and g.chance(0.15):
        return None
    if "[" in kind:
        return corrupt_array(g, value, kind.rstrip("?"), sanitized)
    return corrupt_scalar(g, name, value, kind, sanitized)


def arrange(g, fn, args):
    """Positional and keyword arguments, sometimes with parser-level faults."""
    names = list(args)
    values = {k: v for k, (v, _) in args.items()}
    n_pos = g.int(0, len(names) + 1) if g.chance(0.3) else 0
    pos = [values[k] for k in names[:n_pos]]
    kw = {k: values[k] for k in names[n_pos:] if values[k] is not None or g.chance(0.5)}
    fault = g.int(0, 40)
    if fault == 0 and kw:
        kw.pop(g.pick(list(kw)))
    elif fault == 1:
        kw["no_such_argument"] = 1
    elif fault == 2:
        pos.append(0)
    elif fault == 3 and names:
        kw[names[0]] = values[names[0]]  # also given by position when n_pos > 0
    return pos, kw


def one_call(g, entry, sanitized):
    fn, args = entry.build(g)
    # A third of the calls stay valid; the others corrupt one to three arguments.
    n_corrupt = g.pick([0, 0, 0, 1, 1, 1, 1, 2, 2, 3])
    for name in g.rng.permutation(list(args))[:n_corrupt]:
        value, kind = args[name]
        args[name] = (corrupt(g, name, value, kind, sanitized), kind)
    pos, kw = arrange(g, fn, args)
    return fn, pos, kw


def describe(pos, kw):
    def short(v):
        if isinstance(v, np.ndarray):
            return f"array(shape={v.shape}, dtype={v.dtype}, {np.array2string(v.ravel()[:8])})"
        return repr(v)[:80]
    return ", ".join([short(v) for v in pos] + [f"{k}={short(v)}" for k, v in kw.items()])


def fuzz(seconds, seed, sanitized, trace):
    warnings.simplefilter("ignore")  # casts of special values warn; not the point here
    entries = [e for e in ENTRIES if e.available()]
    deadline = time.monotonic() + seconds
    g = Gen(seed)
    calls, outcomes = 0, {}
    while time.monotonic() < deadline:
        for entry in entries:
            fn, pos, kw = one_call(g, entry, sanitized)
            if trace:
                print(f"{entry.name}({describe(pos, kw)})", file=sys.stderr, flush=True)
            try:
                fn(*pos, **kw)
                outcome = "ok"
            except EXPECTED_ERRORS as exc:
                outcome = type(exc).__name__
            except KeyboardInterrupt as exc:
                if not stopped(pos, kw):
                    print(f"FAIL seed={seed} call={calls} {entry.name}({describe(pos, kw)}): "
                          f"KeyboardInterrupt without a set stop token", flush=True)
                    return 1
                outcome = type(exc).__name__
            except BaseException as exc:  # noqa: B902 - the point is to see everything else
                if entry.expected_internal(exc):
                    outcomes[(entry.name, "InternalError")] = outcomes.get(
                        (entry.name, "InternalError"), 0) + 1
                    calls += 1
                    continue
                print(f"FAIL seed={seed} call={calls} {entry.name}({describe(pos, kw)}): "
                      f"{type(exc).__module__}.{type(exc).__name__}: {exc}", flush=True)
                return 1
            outcomes[(entry.name, outcome)] = outcomes.get((entry.name, outcome), 0) + 1
            calls += 1
    for (name, outcome), count in sorted(outcomes.items()):
        print(f"{name:32s} {outcome:14s} {count}")
    print(f"{calls} calls over {len(entries)} entries, seed {seed}")
    return 0


# ---- leak check --------------------------------------------------------------------------

def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


# Per entry: an argument edit refused only after every argument has been converted.
LATE_REFUSALS = {
    "RustEnsemble": ("n_features", 2 ** 31),
    "RustConstraints": ("freeze", np.array([10 ** 6], np.uint32)),
    "RustEnsemble.raw_score_batch": ("x", np.zeros((3, 50))),
    "RustConstraints.check": ("x", np.zeros(50)),
    "RustConstraints.repair": ("x", np.zeros(50)),
    "compute_region_raw": ("hi_t", NAN),
}


def fixed_calls(entry):
    """A valid call on a model of at least two features, the same call refused late (after
    every argument is converted), with its last argument unconvertible, and (for the
    searches) stopped by a set StopToken."""
    for seed in range(10000):
        fn, args = entry.build(Gen(seed))
        values = {k: v for k, (v, _) in args.items()}
        row = values.get("x") if values.get("x") is not None else values.get("x_cf", [])
        width = values.get("n_features", len(row))
        if width >= 2:
            try:
                fn(**values)
                break
            except (*EXPECTED_ERRORS, KeyboardInterrupt):
                continue
    name, bad = LATE_REFUSALS.get(entry.name, ("sigma", np.full(width, NAN)))
    late = dict(values, **{name: bad})
    conversion = dict(values)
    conversion[list(values)[-1]] = object()
    calls = [(fn, values), (fn, late), (fn, conversion)]
    if "stop" in values:
        token = core.StopToken()
        token.set()
        calls.append((fn, dict(values, stop=token)))
    return calls


def leaks(calls, warmup=2000):
    tracemalloc.start()
    failures = []
    for entry in [e for e in ENTRIES if e.available()]:
        for k, (fn, kw) in enumerate(fixed_calls(entry)):
            def run(n):
                for _ in range(n):
                    try:
                        fn(**kw)
                    except (*EXPECTED_ERRORS, KeyboardInterrupt):
                        pass
            run(warmup)
            gc.collect()
            rss0, (py0, _) = rss_bytes(), tracemalloc.get_traced_memory()
            start = time.monotonic()
            half = calls // 2
            run(half)
            gc.collect()
            rss_half = rss_bytes()
            run(calls - half)
            gc.collect()
            rss1, (py1, _) = rss_bytes(), tracemalloc.get_traced_memory()
            per_call_py = (py1 - py0) / calls
            # The allocator may grow the heap once, in either half, as its layout settles;
            # a leak grows it in both.
            per_call_rss = min((rss_half - rss0) / max(half, 1),
                               (rss1 - rss_half) / max(calls - half, 1))
            print(f"{entry.name:32s} call {k}: {per_call_py:+8.2f} B/call traced, "
                  f"{per_call_rss:+8.2f} B/call resident (the lesser half), "
                  f"{(time.monotonic() - start) / calls * 1e6:7.1f} us/call")
            # Any leak of a Python object or a heap block per call exceeds these.
            if per_call_py > 4 or per_call_rss > 16:
                failures.append(f"{entry.name} call {k}")
    if failures:
        print("LEAK: " + ", ".join(failures))
        return 1
    return 0


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    sub = parser.add_subparsers(dest="mode", required=True)
    f = sub.add_parser("fuzz")
    f.add_argument("--seconds", type=float, default=20.0)
    f.add_argument("--seed", type=int, default=None)
    f.add_argument("--sanitized", action="store_true",
                   help="skip inputs whose only failure is an allocation too large to make "
                        "(the sanitizer reports those as errors)")
    f.add_argument("--trace", action="store_true", help="print every call before making it")
    f.add_argument("--expect-module", default=None,
                   help="fail unless the module is loaded from this directory")
    lk = sub.add_parser("leaks")
    lk.add_argument("--calls", type=int, default=20000)
    a = parser.parse_args(argv)
    print(f"module: {core.__file__}", flush=True)
    if a.mode == "fuzz" and a.expect_module and \
            os.path.dirname(os.path.abspath(core.__file__)) != os.path.abspath(a.expect_module):
        print(f"FAIL: expected the module from {a.expect_module}")
        return 1
    if a.mode == "fuzz":
        seed = a.seed if a.seed is not None else int.from_bytes(os.urandom(4), "little")
        return fuzz(a.seconds, seed, a.sanitized, a.trace)
    return leaks(a.calls)


if __name__ == "__main__":
    sys.exit(main())

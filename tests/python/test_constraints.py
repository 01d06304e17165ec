"""RustConstraints end to end: construction, check and repair through the Python face.

The property tests compare against a small pure-Python evaluation of the rules written
here, so a fault shared with the native code would have to be made twice.
"""
import inspect
import math
from dataclasses import dataclass, field

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import _morvel_core as core

NAN = math.nan
INF = math.inf


@dataclass
class Rules:
    """A constraint set as plain Python values; the source of both the native object and
    the reference evaluation below."""

    n: int
    freeze: list = field(default_factory=list)  # [f]
    ranges: list = field(default_factory=list)  # [(f, lo, hi)]
    equals: list = field(default_factory=list)  # [(f, v)]
    mono: list = field(default_factory=list)  # [(f, direction)]
    linear: list = field(default_factory=list)  # [(indices, coefs, op, rhs, policy)]
    implications: list = field(default_factory=list)  # [(a, va, b, vb)]
    one_hot: list = field(default_factory=list)  # [[f, ...]]
    allow_missing: list = field(default_factory=list)  # [f]
    categories: list = None  # [(f, [word, ...])] or None

    def arrays(self):
        u32 = lambda v: np.asarray(v, dtype=np.uint32)  # noqa: E731
        f64 = lambda v: np.asarray(v, dtype=np.float64)  # noqa: E731
        lin_offsets = [0]
        for idx, *_ in self.linear:
            lin_offsets.append(lin_offsets[-1] + len(idx))
        oh_offsets = [0] if self.one_hot else []
        for g in self.one_hot:
            oh_offsets.append(oh_offsets[-1] + len(g))
        args = dict(
            n_features=self.n,
            freeze=u32(self.freeze),
            range_idx=u32([r[0] for r in self.ranges]),
            range_lo=f64([r[1] for r in self.ranges]),
            range_hi=f64([r[2] for r in self.ranges]),
            equals_idx=u32([e[0] for e in self.equals]),
            equals_val=f64([e[1] for e in self.equals]),
            mono_idx=u32([m[0] for m in self.mono]),
            mono_dir=np.asarray([m[1] for m in self.mono], dtype=np.int8),
            lin_offsets=u32(lin_offsets),
            lin_indices=u32([j for lc in self.linear for j in lc[0]]),
            lin_coefs=f64([c for lc in self.linear for c in lc[1]]),
            lin_op=np.asarray([lc[2] for lc in self.linear], dtype=np.uint8),
            lin_rhs=f64([lc[3] for lc in self.linear]),
            lin_policy=np.asarray([lc[4] for lc in self.linear], dtype=np.uint8),
            imp_cond_idx=u32([i[0] for i in self.implications]),
            imp_cond_val=f64([i[1] for i in self.implications]),
            imp_cons_idx=u32([i[2] for i in self.implications]),
            imp_cons_val=f64([i[3] for i in self.implications]),
            oh_offsets=u32(oh_offsets),
            oh_indices=u32([f for g in self.one_hot for f in g]),
            am_idx=u32(self.allow_missing),
            am_to=f64([1.0] * len(self.allow_missing)),
            am_from=f64([1.0] * len(self.allow_missing)),
        )
        if self.categories is not None:
            ac_offsets = [0]
            for _, words in self.categories:
                ac_offsets.append(ac_offsets[-1] + len(words))
            args.update(
                ac_idx=u32([f for f, _ in self.categories]),
                ac_offsets=u32(ac_offsets),
                ac_words=np.asarray([w for _, ws in self.categories for w in ws], dtype=np.uint64),
            )
        return args

    def build(self):
        return core.RustConstraints(**self.arrays())


# ---- reference evaluation, from the rules' definitions ---------------------------------------


def ref_bounds(r, x):
    lo, hi, fixed = [-INF] * r.n, [INF] * r.n, [False] * r.n

    def raise_lo(f, v):
        if v > lo[f]:
            lo[f] = v

    def lower_hi(f, v):
        if v < hi[f]:
            hi[f] = v

    for f in r.freeze:
        raise_lo(f, x[f])
        lower_hi(f, x[f])
        fixed[f] = True
    for f, low, high in r.ranges:
        raise_lo(f, low)
        lower_hi(f, high)
    for f, v in r.equals:
        raise_lo(f, v)
        lower_hi(f, v)
    for f, d in r.mono:
        if d <= 0:
            lower_hi(f, x[f])
        else:
            raise_lo(f, x[f])
    return lo, hi, fixed


def ref_allowed_code(v, words):
    if not math.isfinite(v) or v < 0 or v != math.floor(v):
        return False
    code = int(v)
    return code // 64 < len(words) and (words[code // 64] >> (code % 64)) & 1 == 1


def ref_check(r, row, x):
    lo, hi, _ = ref_bounds(r, x)
    for i in range(r.n):
        if not math.isnan(row[i]) and not (lo[i] <= row[i] <= hi[i]):
            return False
    for i in range(r.n):
        if i not in r.allow_missing and math.isnan(row[i]) != math.isnan(x[i]):
            return False
    for idx, coefs, op, rhs, policy in r.linear:
        total, missing = 0.0, False
        for j, c in zip(idx, coefs):
            p = c * row[j]
            if math.isnan(p):
                missing = True
            else:
                total += p
        if op == 0:
            ok = total <= rhs + 1e-9
        elif op == 1:
            ok = total >= rhs - 1e-9
        else:
            ok = abs(total - rhs) <= 1e-9
        if not ((ok or missing) if policy == 0 else (ok and not missing)):
            return False
    for a, va, b, vb in r.implications:
        if row[a] == va and row[b] != vb:
            return False
    for g in r.one_hot:
        total = -0.0
        for f in g:
            total += row[f]
        if not g or total != 1.0:
            return False
    for f, words in r.categories or []:
        if not math.isnan(row[f]) and not ref_allowed_code(row[f], words):
            return False
    return True


def ref_is_order_pair(coefs, op, rhs):
    return op == 0 and rhs == 0.0 and len(coefs) == 2 and sorted(coefs) == [-1.0, 1.0]


def ref_repair(r, row, x):
    row = list(row)
    lo, hi, fixed = ref_bounds(r, x)
    for i in range(r.n):
        if i not in r.allow_missing:
            if math.isnan(x[i]):
                row[i] = NAN
                continue
            if math.isnan(row[i]):
                row[i] = x[i]
        if not math.isnan(row[i]):
            row[i] = min(hi[i], max(lo[i], row[i]))
    for f, words in r.categories or []:
        if words and not math.isnan(row[f]) and not ref_allowed_code(row[f], words):
            for k, w in enumerate(words):
                if w:
                    row[f] = float(64 * k + (w & -w).bit_length() - 1)
                    break
    for _ in range(3):
        for idx, coefs, op, rhs, _policy in r.linear:
            if ref_is_order_pair(coefs, op, rhs):
                a, b = idx[coefs.index(1.0)], idx[coefs.index(-1.0)]
                if not math.isnan(row[a]) and not math.isnan(row[b]):
                    row[a] = min(row[b], row[a])
                continue
            if any(math.isnan(row[j]) for j in idx):
                continue
            s = 0.0
            for j, c in zip(idx, coefs):
                s += c * row[j]
            s -= rhs
            violated = s > 0 if op == 0 else (s < 0 if op == 1 else s != 0)
            if not violated or not idx:
                continue
            movable = [not fixed[j] and hi[j] > lo[j] for j in idx]
            t = 0.0
            for c, m in zip(coefs, movable):
                if m:
                    t += c * c
            if t != 0:
                step = s / t
                for j, c, m in zip(idx, coefs, movable):
                    if m:
                        row[j] = min(hi[j], max(lo[j], row[j] - c * step))
    for a, va, b, vb in r.implications:
        if row[a] == va:
            row[b] = vb
    for g in r.one_hot:
        if not g:
            continue
        best, pick = -INF, g[0]  # all members at -inf: keep the first
        for f in g:
            v = -1.0 if math.isnan(row[f]) else row[f]
            if v > best:
                best, pick = v, f
        for f in g:
            row[f] = 0.0
        row[pick] = 1.0
    return row


# ---- random constraint sets and rows ----------------------------------------------------------

# Values that make equalities, ties, tolerances and category codes actually come up.
SPECIAL = [-2.0, -1.0, -0.5, -0.0, 0.0, 0.5, 1.0, 2.0, 3.0, 1.0 + 1e-10, 1.0 - 1e-10, 64.0,
           1e300, NAN, INF, -INF]
values = st.one_of(st.sampled_from(SPECIAL), st.floats(-4, 4), st.floats())
coefs = st.sampled_from([1.0, -1.0, 0.5, 2.0, -2.0, 0.0])
words = st.lists(st.one_of(st.sampled_from([0, 1, 0b1010, 0b110]), st.integers(0, 2**64 - 1)),
                 max_size=2)


@st.composite
def linear_constraints(draw, feature):
    if draw(st.booleans()):  # the order-pair form, in either term order
        a, b = draw(feature), draw(feature)
        order = draw(st.sampled_from([([a, b], [1.0, -1.0]), ([b, a], [-1.0, 1.0])]))
        return order[0], order[1], 0, draw(st.sampled_from([0.0, -0.0, 1.0])), draw(st.integers(0, 1))
    idx = draw(st.lists(feature, max_size=3))
    cs = draw(st.lists(coefs, min_size=len(idx), max_size=len(idx)))
    op = draw(st.sampled_from([0, 1, 2, 7]))
    rhs = draw(st.sampled_from([-1.0, 0.0, 0.5, 1.0, 2.0]))
    return idx, cs, op, rhs, draw(st.integers(0, 1))


@st.composite
def rule_sets(draw):
    n = draw(st.integers(1, 5))
    f = st.integers(0, n - 1)
    return Rules(
        n=n,
        freeze=draw(st.lists(f, max_size=2)),
        ranges=draw(st.lists(st.tuples(f, values, values), max_size=2)),
        equals=draw(st.lists(st.tuples(f, values), max_size=1)),
        mono=draw(st.lists(st.tuples(f, st.sampled_from([-3, -1, 0, 1, 2])), max_size=2)),
        linear=draw(st.lists(linear_constraints(f), max_size=3)),
        implications=draw(st.lists(st.tuples(f, values, f, values), max_size=2)),
        one_hot=draw(st.lists(st.lists(f, max_size=3), max_size=2)),
        allow_missing=draw(st.lists(f, max_size=2)),
        categories=draw(st.none() | st.lists(st.tuples(f, words), max_size=2)),
    )


@st.composite
def cases(draw, rule_strategy=rule_sets(), row_values=values):
    r = draw(rule_strategy)
    x = draw(st.lists(row_values, min_size=r.n, max_size=r.n))
    rows = draw(st.lists(st.lists(row_values, min_size=r.n, max_size=r.n), min_size=1, max_size=6))
    # Some rows are perturbations of x, which pass the box and missingness rules more often.
    rows.append(list(x))
    return r, np.asarray(rows, dtype=np.float64), np.asarray(x, dtype=np.float64)


PROPERTY = settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])


@PROPERTY
@given(cases())
def test_check_agrees_with_reference(case):
    r, rows, x = case
    got = r.build().check(rows, x)
    assert got.dtype == np.bool_ and got.shape == (len(rows),)
    assert got.tolist() == [ref_check(r, row.tolist(), x.tolist()) for row in rows]


@PROPERTY
@given(cases())
def test_repair_agrees_with_reference(case):
    r, rows, x = case
    got = r.build().repair(rows, x)
    want = np.asarray([ref_repair(r, row.tolist(), x.tolist()) for row in rows], dtype=np.float64)
    np.testing.assert_array_equal(got, want)


# Rule sets on which repair is idempotent (a second repair changes nothing) and, when the
# rules are satisfiable, makes every row pass check. The conditions:
# - each feature has one role: box rules only, one allowed-category entry, a member of one
#   one-hot group, a term of one linear constraint, the consequent of one implication, or none;
# - category, one-hot, linear and consequent features have no box rules (a value the later
#   steps write is never clamped again by the first step of a second repair);
# - linear constraints share no features, their coefficients are +-1 and they have 1, 2 or 4
#   terms, and all values are multiples of 0.5, so one projection lands exactly on the
#   hyperplane (s / t is exact) and later passes leave it alone;
# - implication conditions are never consequents or one-hot members, so the value an
#   implication tests is final before implications run;
# - one-hot members and consequents without an allowed-missing entry have a present
#   factual value (otherwise the first step of the next repair makes them missing again).
HALVES = [-2.0, -1.5, -1.0, -0.5, 0.0, 0.5, 1.0, 1.5, 2.0, 3.0]
halves = st.sampled_from(HALVES + [NAN])


@st.composite
def separable_rule_sets(draw):
    n = draw(st.integers(1, 8))
    roles = draw(st.lists(st.sampled_from(["plain", "box", "cat", "onehot", "linear", "cons"]),
                          min_size=n, max_size=n))
    of = lambda role: [f for f in range(n) if roles[f] == role]  # noqa: E731
    r = Rules(n=n, allow_missing=draw(st.lists(st.integers(0, n - 1), max_size=n)))
    for f in of("box"):
        kind = draw(st.sampled_from(["freeze", "range", "equals", "mono", "range+equals"]))
        if kind == "freeze":
            r.freeze.append(f)
        if kind in ("range", "range+equals"):
            r.ranges.append((f, draw(halves), draw(halves)))
        if kind in ("equals", "range+equals"):
            r.equals.append((f, draw(halves)))
        if kind == "mono":
            r.mono.append((f, draw(st.sampled_from([-1, 1]))))
    r.categories = [(f, draw(words)) for f in of("cat")]
    members = of("onehot")
    while members:
        size = draw(st.integers(1, len(members)))
        r.one_hot.append(members[:size])
        members = members[size:]
    terms = of("linear")
    while terms:
        size = draw(st.sampled_from([s for s in (1, 2, 4) if s <= len(terms)]))
        idx, terms = terms[:size], terms[size:]
        cs = draw(st.lists(st.sampled_from([1.0, -1.0]), min_size=size, max_size=size))
        r.linear.append((idx, cs, draw(st.sampled_from([0, 1, 7])),
                         draw(st.sampled_from([-1.0, 0.0, 1.0, 2.0])), draw(st.integers(0, 1))))
    conditions = [f for f in range(n) if roles[f] in ("plain", "box", "cat", "linear")]
    for b in of("cons"):
        if conditions:
            r.implications.append((draw(st.sampled_from(conditions)), draw(halves), b,
                                   draw(st.sampled_from(HALVES))))
    return r, roles


@st.composite
def separable_cases(draw):
    r, roles = draw(separable_rule_sets())
    x = draw(st.lists(halves, min_size=r.n, max_size=r.n))
    for f in range(r.n):
        if roles[f] in ("onehot", "cons") and f not in r.allow_missing and math.isnan(x[f]):
            x[f] = 0.0
    rows = draw(st.lists(st.lists(halves, min_size=r.n, max_size=r.n), min_size=1, max_size=6))
    return r, np.asarray(rows, dtype=np.float64), np.asarray(x, dtype=np.float64)


@PROPERTY
@given(separable_cases())
def test_repair_is_idempotent_on_separable_rules(case):
    r, rows, x = case
    c = r.build()
    once = c.repair(rows, x)
    np.testing.assert_array_equal(c.repair(once, x), once)

    # Satisfiable: consistent boxes, every category entry allows some code. A policy-1
    # constraint with a missing term cannot be repaired, so such rows are left out.
    lo, hi, _ = ref_bounds(r, x.tolist())
    if any(lo[i] > hi[i] for i in range(r.n)) or not all(any(ws) for _, ws in r.categories):
        return
    fixable = [not any(p and any(math.isnan(row[j]) for j in idx) for idx, _, _, _, p in r.linear)
               for row in once]
    ok = c.check(once, x)
    assert all(ok[k] for k in range(len(once)) if fixable[k])


# ---- edge cases through the Python face -------------------------------------------------------

EDGE = [
    # (rules, x, row, passes check, repaired row)
    pytest.param(Rules(2, freeze=[0]), [3.0, 1.0], [3.0, 1.0], True, [3.0, 1.0], id="freeze-equal"),
    pytest.param(Rules(2), [NAN, 1.0], [2.0, 1.0], False, [NAN, 1.0], id="missing-x-forces-missing"),
    pytest.param(Rules(2, allow_missing=[0]), [NAN, 1.0], [2.0, 1.0], True, [2.0, 1.0],
                 id="allowed-missing"),
    pytest.param(Rules(1, ranges=[(0, 0.0, 10.0)], equals=[(0, 20.0)]), [5.0], [20.0], False,
                 [10.0], id="contradictory-box"),
    pytest.param(Rules(1, linear=[([0], [1.0], 0, 1.0, 0)]), [0.0], [1.0 + 1e-10], True, [1.0],
                 id="tolerance-check-only"),
    pytest.param(Rules(2, allow_missing=[0], linear=[([0, 1], [1.0, 1.0], 0, -5.0, 0)]),
                 [0.0, 0.0], [NAN, 0.0], True, [NAN, 0.0], id="missing-term-policy-0"),
    pytest.param(Rules(2, allow_missing=[0], linear=[([0, 1], [1.0, 1.0], 0, -5.0, 1)]),
                 [0.0, 0.0], [NAN, 0.0], False, [NAN, 0.0], id="missing-term-policy-1"),
    pytest.param(Rules(3, allow_missing=[1], one_hot=[[0, 1, 2]]), [1.0, 0.0, 0.0],
                 [0.0, NAN, 0.0], False, [1.0, 0.0, 0.0], id="one-hot-nan"),
    pytest.param(Rules(2, linear=[([0, 1], [1.0, -1.0], 0, 0.0, 0)]), [0.0, 0.0], [5.0, 3.0],
                 False, [3.0, 3.0], id="order-pair"),
    pytest.param(Rules(1, categories=[(0, [0b1010])]), [1.0], [0.0], False, [1.0],
                 id="category-smallest-code"),
    pytest.param(Rules(2, one_hot=[[]]), [0.0, 1.0], [0.0, 1.0], False, [0.0, 1.0],
                 id="empty-one-hot-group"),
    pytest.param(Rules(2, implications=[(0, 1.0, 1, 2.0)], linear=[([1], [1.0], 7, 0.0, 0)]),
                 [1.0, 0.0], [1.0, 0.0], False, [1.0, 2.0], id="implication-after-linear"),
]


@pytest.mark.parametrize("rules, x, row, passes, repaired", EDGE)
def test_edge_cases(rules, x, row, passes, repaired):
    c = rules.build()
    m, xv = np.asarray([row], dtype=np.float64), np.asarray(x, dtype=np.float64)
    assert c.check(m, xv).tolist() == [passes]
    np.testing.assert_array_equal(c.repair(m, xv), [repaired])


def mixed_rules():
    return Rules(
        6, freeze=[5], ranges=[(0, -1.0, 1.0), (1, 0.0, 5.0)], mono=[(2, 1)], allow_missing=[3],
        linear=[([0, 1, 2], [1.0, 2.0, -1.0], 0, 2.0, 0), ([1, 4], [1.0, -1.0], 0, 0.0, 0)],
        implications=[(3, 1.0, 4, 2.0)], one_hot=[[0, 1]], categories=[(4, [0b10110])])


def test_parallel_matches_row_by_row():
    c = mixed_rules().build()
    x = np.array([0.0, 1.0, 0.5, NAN, 2.0, 3.0])
    rng = np.random.default_rng(3)
    rows = np.round(rng.uniform(-3, 6, size=(3000, 6)) * 2) / 2
    rows[rng.random(rows.shape) < 0.1] = NAN
    rows[::7, 5] = 3.0  # enough rows pass check for both outcomes to be exercised

    ok = c.check(rows, x)
    fixed = c.repair(rows, x)
    assert 0 < ok.sum() < len(rows)
    assert ok.tolist() == [bool(c.check(rows[i:i + 1], x)[0]) for i in range(len(rows))]
    by_row = np.vstack([c.repair(rows[i:i + 1], x) for i in range(len(rows))])
    assert fixed.tobytes() == by_row.tobytes()


def test_repair_returns_a_new_array_and_leaves_input_alone():
    c = mixed_rules().build()
    x = np.array([0.0, 1.0, 0.5, NAN, 2.0, 3.0])
    rows = np.full((4, 6), 9.0)
    before = rows.copy()
    out = c.repair(rows, x)
    assert out.shape == rows.shape and out.dtype == np.float64
    assert not np.shares_memory(out, rows)
    assert rows.tobytes() == before.tobytes()
    assert not np.array_equal(out, rows)


def test_fortran_ordered_matrix_reads_by_rows():
    c = mixed_rules().build()
    x = np.array([0.0, 1.0, 0.5, NAN, 2.0, 3.0])
    rows = np.round(np.random.default_rng(5).uniform(-3, 6, size=(50, 6)) * 2) / 2
    rows[:, 5] = 3.0
    fortran = np.asfortranarray(rows)
    assert not fortran.flags.c_contiguous
    assert c.check(fortran, x).tolist() == c.check(rows, x).tolist()
    np.testing.assert_array_equal(c.repair(fortran, x), c.repair(rows, x))


def test_no_rows():
    c = mixed_rules().build()
    x = np.zeros(6)
    assert c.check(np.empty((0, 6)), x).shape == (0,)
    assert c.repair(np.empty((0, 6)), x).shape == (0, 6)


@pytest.mark.parametrize("method", ["check", "repair"])
@pytest.mark.parametrize("shape, x_len, message", [
    ((2, 5), 6, "expected 6 features, got 5"),
    ((2, 6), 7, "expected 6 features, got 7"),
])
def test_width_mismatch(method, shape, x_len, message):
    c = mixed_rules().build()
    with pytest.raises(ValueError, match=f"^{message}$"):
        getattr(c, method)(np.zeros(shape), np.zeros(x_len))


def test_method_signatures_and_keywords():
    for method in (core.RustConstraints.check, core.RustConstraints.repair):
        assert method.__text_signature__ == "($self, x_matrix, x)"
        assert list(inspect.signature(method).parameters) == ["self", "x_matrix", "x"]
        assert not (method.__doc__ or "").strip()
    c = Rules(1).build()
    assert c.check(x=np.zeros(1), x_matrix=np.zeros((1, 1))).tolist() == [True]
    with pytest.raises(TypeError):
        c.check(np.zeros((1, 1)))
    with pytest.raises(TypeError, match="x_matrix"):
        c.repair(np.zeros((1, 1), dtype=np.float32), np.zeros(1))


@pytest.mark.parametrize("rules, message", [
    (Rules(2, freeze=[0, 2]), "freeze[1]: feature index 2"),
    (Rules(2, ranges=[(1, 0, 1), (2, 0, 1)]), "range_idx[1]: feature index 2"),
    (Rules(2, equals=[(3, 0.0)]), "equals_idx[0]: feature index 3"),
    (Rules(2, mono=[(5, 1)]), "mono_idx[0]: feature index 5"),
    (Rules(2, linear=[([0], [1.0], 0, 0.0, 0), ([0, 2], [1.0, 1.0], 0, 0.0, 0)]),
     "lin_indices[2]: feature index 2"),
    (Rules(2, implications=[(0, 0.0, 3, 1.0)]), "imp_cons_idx[0]: feature index 3"),
    (Rules(2, implications=[(4, 0.0, 0, 1.0)]), "imp_cond_idx[0]: feature index 4"),
    (Rules(2, one_hot=[[0], [1, 2]]), "oh_indices[2]: feature index 2"),
    (Rules(2, allow_missing=[2]), "am_idx[0]: feature index 2"),
    (Rules(2, categories=[(9, [1])]), "ac_idx[0]: feature index 9"),
], ids=["freeze", "range", "equals", "mono", "linear", "consequent", "condition", "one-hot",
        "allow-missing", "category"])
def test_out_of_range_feature_is_refused_at_construction(rules, message):
    # Once accepted and then reported at check time as the internal error (a BaseException).
    with pytest.raises(ValueError) as err:
        rules.build()
    assert str(err.value) == message + " out of range for 2 features"


def test_surplus_entries_of_paired_arrays_stay_ignored():
    # Only complete (index, value) pairs become rules, so a dangling index is not checked.
    args = Rules(2, ranges=[(0, 0.0, 1.0)]).arrays()
    args["range_idx"] = np.array([0, 99], np.uint32)
    c = core.RustConstraints(**args)
    assert c.check(np.array([[0.5, 0.0], [2.0, 0.0]]), np.zeros(2)).tolist() == [True, False]


MALFORMED = {
    "lin_offsets short": dict(lin_offsets=[0, 1]),
    "lin_offsets empty": dict(lin_offsets=[]),
    "lin_offsets decreasing": dict(lin_offsets=[0, 2, 1]),
    "lin_offsets past lin_indices": dict(lin_indices=[0]),
    "lin_offsets past lin_coefs": dict(lin_coefs=[1.0]),
    "lin_rhs short": dict(lin_rhs=[0.0]),
    "lin_policy short": dict(lin_policy=[0]),
    "oh_offsets decreasing": dict(oh_offsets=[0, 2, 1]),
    "oh_offsets past oh_indices": dict(oh_offsets=[0, 3]),
    "ac_offsets short": dict(ac_offsets=[0]),
    "ac_offsets decreasing": dict(ac_idx=[0, 1], ac_offsets=[1, 0, 1]),
    "ac_offsets past ac_words": dict(ac_offsets=[0, 2]),
}
DTYPES = {"lin_offsets": np.uint32, "lin_indices": np.uint32, "lin_coefs": np.float64,
          "lin_rhs": np.float64, "lin_policy": np.uint8, "oh_offsets": np.uint32,
          "ac_idx": np.uint32, "ac_offsets": np.uint32}


def well_formed():
    return Rules(2, linear=[([0, 1], [1.0, 1.0], 0, 1.0, 0), ([1], [2.0], 1, 0.0, 1)],
                 one_hot=[[0, 1]], categories=[(0, [0b11])])


def test_well_formed_arrays_build():
    c = well_formed().build()
    assert c.check(np.array([[1.0, 0.0]]), np.zeros(2)).tolist() == [True]


@pytest.mark.parametrize("spoil", MALFORMED.values(), ids=MALFORMED.keys())
def test_malformed_offsets_are_value_errors(spoil):
    args = well_formed().arrays()
    args.update({k: np.asarray(v, dtype=DTYPES[k]) for k, v in spoil.items()})
    with pytest.raises(ValueError):
        core.RustConstraints(**args)


def test_surplus_and_missing_optional_arrays():
    args = Rules(3).arrays()
    # range_idx longer than range_lo: two ranges only, so feature 2 stays unbounded.
    args.update(range_idx=np.array([0, 1, 2], dtype=np.uint32),
                range_lo=np.array([0.0, 0.0]), range_hi=np.array([1.0, 1.0, 1.0]))
    # Allowed categories need all three arrays; ac_idx alone is ignored.
    args.update(ac_idx=np.array([2], dtype=np.uint32), ac_offsets=None)
    c = core.RustConstraints(**args)
    assert c.check(np.array([[0.5, 0.5, 99.5]]), np.zeros(3)).tolist() == [True]
    assert c.check(np.array([[0.5, 1.5, 0.0]]), np.zeros(3)).tolist() == [False]

"""Rules resolved against a model's features: indices, category codes, value policies,
and the flat arrays of the native constraint set (rebuilt per row only when a rule is
relative to the factual value)."""
from __future__ import annotations

import math
from collections import defaultdict

import numpy as np

import _morvel_core

from ..models.flat import code_bitmap
from .data_columns import DataColumns
from .rules import Rule, Rules
from .schema import Schema

_U32, _F64 = np.uint32, np.float64


class CompiledRules:
    """Rules over feature indices. Contradictions that hold for every row raise ValueError
    naming the column and the rules; those that depend on the factual row make that row
    infeasible (the solvers prove it)."""

    def __init__(self, rules: Rules | None, schema: Schema, data: DataColumns,
                 sigma: np.ndarray, integer_valued: np.ndarray):
        self.n = len(schema.names)
        self._schema = schema
        self.freeze: list[int] = []
        self.ranges: list[tuple] = []        # (f, lo, hi, rel_lo, rel_hi, text)
        self.equals: list[tuple] = []        # (f, value, text)
        self.mono: list[tuple] = []          # (f, direction)
        self.linear: list[tuple] = []        # (indices, coefs, op, rhs, fails_missing, text)
        self.implications: list[tuple] = []  # (a, va, b, vb)
        self.one_hot: list[list[int]] = []
        self.allow_missing: list[tuple] = []  # (f, to, from)
        self.allowed: dict[int, list[int]] = {}
        self.snap: dict[int, np.ndarray] = {}
        self._policy_rule: dict[int, str] = {}
        self.policy_code = np.where(integer_valued & ~schema.categorical, 1, 0).astype(np.uint8)
        self.policy_step = np.zeros(self.n)
        self.policy_anchor = np.zeros(self.n)
        for rule in rules or ():
            getattr(self, "_" + rule.kind)(rule, data, sigma)
        self._check_contradictions()
        self._arrays = None
        self._relative = any(r[3] is not None for r in self.ranges)
        self._fixed_constraints = None if self._relative else self._build(None)

    def __getstate__(self):
        state = self.__dict__.copy()
        state["_fixed_constraints"] = None  # native: rebuilt on unpickling
        return state

    def __setstate__(self, state):
        self.__dict__.update(state)
        if not self._relative:
            self._fixed_constraints = self._build(None)

    # -- resolving one rule -------------------------------------------------------------

    def _index(self, name: str, rule: Rule) -> int:
        try:
            return self._schema.names.index(name)
        except ValueError:
            raise ValueError(f"{rule.text}: unknown column {name!r}") from None

    def _numeric(self, name: str, rule: Rule) -> int:
        f = self._index(name, rule)
        if self._schema.categorical[f]:
            raise ValueError(f"{rule.text}: column {name!r} is categorical; use "
                             "equals, allowed_categories or freeze on it")
        return f

    def _value(self, f: int, value, rule: Rule) -> float:
        """A number, or a category label as its code."""
        cmap = self._schema.categories.get(f)
        if cmap is not None:
            code_of = cmap.code_of() if not cmap.numeric else {c: c for c in cmap.codes}
            key = int(value) if cmap.numeric and _is_whole(value) else value
            if key not in code_of:
                raise ValueError(f"{rule.text}: {value!r} is not a category of column "
                                 f"{self._schema.names[f]!r} seen in training")
            return float(code_of[key])
        try:
            v = float(value)
        except (TypeError, ValueError):
            raise ValueError(f"{rule.text}: {value!r} is not a number") from None
        if not math.isfinite(v):
            raise ValueError(f"{rule.text}: the value must be finite")
        return v

    def _freeze(self, rule, data, sigma):
        self.freeze.append(self._index(rule.args[0], rule))

    def _range(self, rule, data, sigma):
        col, lo, hi, a, b = rule.args
        self.ranges.append((self._numeric(col, rule), lo, hi, a, b, rule.text))

    def _equals(self, rule, data, sigma):
        f = self._index(rule.args[0], rule)
        self.equals.append((f, self._value(f, rule.args[1], rule), rule.text))

    def _mono(self, rule, data, sigma):
        self.mono.append((self._numeric(rule.args[0], rule), rule.args[1]))

    def _linear(self, rule, data, sigma):
        terms, op, rhs, fails = rule.args
        indices = [self._numeric(c, rule) for c, _ in terms]
        if len(set(indices)) != len(indices):
            raise ValueError(f"{rule.text}: a column appears twice")
        coefs = [c for _, c in terms]
        self.linear.append((*_as_order_pair(indices, coefs, op, rhs), fails, rule.text))

    def _implies(self, rule, data, sigma):
        a_col, va, b_col, vb = rule.args
        a, b = self._index(a_col, rule), self._index(b_col, rule)
        if a == b:
            raise ValueError(f"{rule.text}: the condition and the consequence name the same "
                             "column")
        self.implications.append((a, self._value(a, va, rule), b, self._value(b, vb, rule)))

    def _one_hot(self, rule, data, sigma):
        self._add_group([self._numeric(c, rule) for c in rule.args], rule, data)

    def _one_hot_prefix(self, rule, data, sigma):
        prefix, sep = rule.args
        cols = [j for j, name in enumerate(self._schema.names) if name.startswith(prefix + sep)]
        if len(cols) < 2:
            raise ValueError(f"{rule.text}: fewer than two columns start with "
                             f"{prefix + sep!r}")
        self._add_group(cols, rule, data)

    def _detect_one_hot(self, rule, data, sigma):
        for cols in _dummy_groups(self._schema, data, rule.args[0]):
            if not any(set(cols) & set(g) for g in self.one_hot):
                self.one_hot.append(cols)

    def _add_group(self, cols: list[int], rule: Rule, data: DataColumns):
        for g in self.one_hot:
            shared = sorted(set(g) & set(cols))
            if shared:
                raise ValueError(f"{rule.text}: column {self._schema.names[shared[0]]!r} is "
                                 "already in another one-hot group")
        block = data.block(cols)
        present = block[~np.isnan(block).any(axis=1)]
        outside = ~np.isin(present, (0.0, 1.0))
        if outside.any():
            bad = cols[int(np.flatnonzero(outside.any(axis=0))[0])]
            raise ValueError(f"{rule.text}: column {self._schema.names[bad]!r} holds values "
                             "other than 0 and 1")
        self.one_hot.append(cols)

    def _allow_missing(self, rule, data, sigma):
        col, to, frm = rule.args
        f = self._index(col, rule)
        scale = float(sigma[f])
        self.allow_missing.append((f, scale if to is None else to, scale if frm is None else frm))

    def _allowed(self, rule, data, sigma):
        col, labels = rule.args
        f = self._index(col, rule)
        if f not in self._schema.categories:
            raise ValueError(f"{rule.text}: column {col!r} is not categorical")
        codes = sorted({int(self._value(f, label, rule)) for label in labels})
        if f in self.allowed:
            codes = sorted(set(codes) & set(self.allowed[f]))
            if not codes:
                raise ValueError(f"{rule.text}: no category of {col!r} is left allowed by "
                                 "this and an earlier allowed_categories rule")
        self.allowed[f] = codes

    def _policy(self, rule, data, sigma):
        col, code, step, anchor = rule.args
        f = self._numeric(col, rule)
        if f in self._policy_rule or f in self.snap:
            earlier = self._policy_rule.get(f, f"snap_to_data({col!r})")
            raise ValueError(f"{rule.text} contradicts {earlier}: one value policy per column")
        self._policy_rule[f] = rule.text
        self.policy_code[f], self.policy_step[f], self.policy_anchor[f] = code, step, anchor

    def _snap(self, rule, data, sigma):
        f = self._numeric(rule.args[0], rule)
        if f in self._policy_rule:
            raise ValueError(f"{rule.text} contradicts {self._policy_rule[f]}: one value "
                             "policy per column")
        column = data.column(f)
        values = np.unique(column[np.isfinite(column)])
        if values.size == 0:
            raise ValueError(f"{rule.text}: the data holds no value of this column")
        self.snap[f] = values

    # -- checks that hold for every row -------------------------------------------------

    def _check_contradictions(self):
        names = self._schema.names
        box: dict[int, list] = defaultdict(lambda: [-math.inf, math.inf, None, None])
        for f, lo, hi, _, _, text in self.ranges:
            b = box[f]
            if lo > b[0]:
                b[0], b[2] = lo, text
            if hi < b[1]:
                b[1], b[3] = hi, text
            if b[0] > b[1]:
                raise ValueError(f"{b[2]} contradicts {b[3]}: no value of {names[f]!r} "
                                 "satisfies both")
        pinned: dict[int, tuple] = {}
        for f, v, text in self.equals:
            if f in pinned and pinned[f][0] != v:
                raise ValueError(f"{text} contradicts {pinned[f][1]} on column {names[f]!r}")
            pinned[f] = (v, text)
            lo, hi, lo_text, hi_text = box[f] if f in box else (-math.inf, math.inf, None, None)
            if v < lo or v > hi:
                raise ValueError(f"{text} contradicts {lo_text if v < lo else hi_text}: the "
                                 f"value lies outside the allowed range of {names[f]!r}")
            if f in self.allowed and int(v) not in self.allowed[f]:
                raise ValueError(f"{text} contradicts allowed_categories on {names[f]!r}")

    def exact_unsupported(self) -> str | None:
        """The text of the first rule the exact method cannot take, or None."""
        for indices, coefs, op, rhs, _, text in self.linear:
            if len(indices) > 1 and not _is_order_pair(coefs, op, rhs):
                return text
        return None

    # -- per row ------------------------------------------------------------------------

    def row_ranges(self, x: np.ndarray) -> list[tuple[int, float, float]]:
        """Every range as (feature, lo, hi), relative ones resolved against `x`."""
        out = []
        for f, lo, hi, a, b, _ in self.ranges:
            if a is not None and not math.isnan(x[f]):
                ends = (a * x[f], b * x[f])
                lo, hi = max(lo, min(ends)), min(hi, max(ends))
            out.append((f, lo, hi))
        return out

    def bounds(self, x: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """Per feature (lo, hi, fixed): the box implied by freeze, ranges, equals and
        monotone rules for the factual row `x`, as the native constraint set sees it."""
        lo, hi = np.full(self.n, -math.inf), np.full(self.n, math.inf)
        fixed = np.zeros(self.n, dtype=bool)

        def narrow(f, low, high):
            if low > lo[f]:
                lo[f] = low
            if high < hi[f]:
                hi[f] = high

        for f in self.freeze:
            narrow(f, x[f], x[f])
            fixed[f] = True
        for f, low, high in self.row_ranges(x):
            narrow(f, low, high)
        for f, v, _ in self.equals:
            narrow(f, v, v)
        for f, d in self.mono:
            narrow(f, x[f], math.inf) if d > 0 else narrow(f, -math.inf, x[f])
        return lo, hi, fixed

    def constraints(self, x: np.ndarray) -> _morvel_core.RustConstraints:
        """The native constraint set for the factual row `x`."""
        if self._fixed_constraints is not None:
            return self._fixed_constraints
        return self._build(x)

    def _build(self, x) -> _morvel_core.RustConstraints:
        ranges = self.row_ranges(x) if x is not None else [r[:3] for r in self.ranges]
        return _morvel_core.RustConstraints(
            self.n, range_idx=np.asarray([r[0] for r in ranges], _U32),
            range_lo=np.asarray([r[1] for r in ranges], _F64),
            range_hi=np.asarray([r[2] for r in ranges], _F64), **self._row_free_arrays())

    def _row_free_arrays(self) -> dict:
        """The arrays of the native constraint set that no factual row changes (all but the
        ranges), built once: a rule set relative to the factual row is rebuilt per row."""
        if self._arrays is not None:
            return self._arrays
        allowed = sorted(self.allowed.items())
        words = [code_bitmap(codes) for _, codes in allowed]
        self._arrays = dict(
            freeze=np.asarray(self.freeze, _U32),
            equals_idx=np.asarray([e[0] for e in self.equals], _U32),
            equals_val=np.asarray([e[1] for e in self.equals], _F64),
            mono_idx=np.asarray([m[0] for m in self.mono], _U32),
            mono_dir=np.asarray([m[1] for m in self.mono], np.int8),
            lin_offsets=np.cumsum([0] + [len(r[0]) for r in self.linear]).astype(_U32),
            lin_indices=np.asarray([i for r in self.linear for i in r[0]], _U32),
            lin_coefs=np.asarray([c for r in self.linear for c in r[1]], _F64),
            lin_op=np.asarray([r[2] for r in self.linear], np.uint8),
            lin_rhs=np.asarray([r[3] for r in self.linear], _F64),
            lin_policy=np.asarray([int(r[4]) for r in self.linear], np.uint8),
            imp_cond_idx=np.asarray([i[0] for i in self.implications], _U32),
            imp_cond_val=np.asarray([i[1] for i in self.implications], _F64),
            imp_cons_idx=np.asarray([i[2] for i in self.implications], _U32),
            imp_cons_val=np.asarray([i[3] for i in self.implications], _F64),
            oh_offsets=np.cumsum([0] + [len(g) for g in self.one_hot]).astype(_U32),
            oh_indices=np.asarray([f for g in self.one_hot for f in g], _U32),
            am_idx=np.asarray([a[0] for a in self.allow_missing], _U32),
            am_to=np.asarray([a[1] for a in self.allow_missing], _F64),
            am_from=np.asarray([a[2] for a in self.allow_missing], _F64),
            ac_idx=np.asarray([f for f, _ in allowed], _U32),
            ac_offsets=np.cumsum([0] + [len(w) for w in words]).astype(_U32),
            ac_words=(np.concatenate(words) if words else np.zeros(0, np.uint64)).astype(
                np.uint64))
        return self._arrays

    @property
    def relative(self) -> bool:
        """Some rule depends on the factual row (the constraint set differs per row)."""
        return self._relative

    @property
    def policies(self) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        return self.policy_code, self.policy_step, self.policy_anchor


def _is_whole(value) -> bool:
    try:
        return float(value).is_integer()
    except (TypeError, ValueError):
        return False


def _is_order_pair(coefs, op, rhs) -> bool:
    return op == 0 and rhs == 0.0 and len(coefs) == 2 and sorted(coefs) == [-1.0, 1.0]


def _as_order_pair(indices, coefs, op, rhs):
    """`c*a - c*b <= 0` (or `>= 0`) as the order pair `a - b <= 0` that both solvers read
    the same way; anything else unchanged."""
    if len(indices) == 2 and rhs == 0.0 and op in (0, 1) and coefs[0] == -coefs[1] != 0:
        sign = 1.0 if (coefs[0] > 0) == (op == 0) else -1.0
        return indices, [sign, -sign], 0, 0.0
    return indices, coefs, op, rhs


def _dummy_groups(schema: Schema, data: DataColumns, sep: str) -> list[list[int]]:
    """Column groups sharing a prefix before `sep` whose rows hold exactly one 1 (0/1
    values, no missing); the longest such groups first, none overlapping."""
    candidates: dict[str, list[int]] = defaultdict(list)
    for j, name in enumerate(schema.names):
        if schema.categorical[j]:
            continue
        parts = name.split(sep)
        for k in range(1, len(parts)):
            candidates[sep.join(parts[:k])].append(j)
    groups, used = [], set()
    for _, cols in sorted(candidates.items(), key=lambda kv: -len(kv[1])):
        if len(cols) < 2 or used & set(cols):
            continue
        block = data.block(cols)
        if np.isin(block, (0.0, 1.0)).all() and (block.sum(axis=1) == 1.0).all():
            groups.append(cols)
            used |= set(cols)
    return groups

"""Readable values: the simplest number of an interval, against decimal arithmetic."""
import decimal
import math

from hypothesis import given, settings
from hypothesis import strategies as st

from morvel.search.readable import Interval, SplitTable, readable_value, simplest
from morvel.models import convert


def smallest_with_digits(lo: float, digits: int) -> float:
    """The smallest number with at most `digits` significant digits that is >= lo > 0."""
    ctx = decimal.Context(prec=digits, rounding=decimal.ROUND_CEILING)
    return float(ctx.plus(decimal.Decimal(lo)))


def significant(v: float) -> int:
    return len(decimal.Decimal(repr(v)).normalize().as_tuple().digits)


@settings(max_examples=150, deadline=None)
@given(st.floats(1e-30, 1e30), st.floats(1e-12, 0.5), st.booleans(), st.booleans())
def test_simplest_has_the_fewest_significant_digits(lo, width, lo_open, hi_open):
    hi = lo * (1.0 + width)
    cell = Interval(lo, hi, lo_open, hi_open)
    v = simplest(cell, lo)
    if v is None:  # nothing below 18 digits: then lo and hi are adjacent doubles
        assert math.nextafter(lo, math.inf) >= hi
        return
    assert v in cell
    for d in range(1, significant(v)):
        fewer = smallest_with_digits(lo, d)
        if fewer == lo and lo_open:
            fewer = smallest_with_digits(math.nextafter(lo, math.inf), d)
        assert fewer not in cell, (lo, hi, v, fewer)


@settings(max_examples=150, deadline=None)
@given(st.floats(-1e6, 1e6), st.floats(1e-9, 1e3), st.floats(0.0, 1.0), st.floats(0.0, 1e3))
def test_readable_value_is_never_worse_and_ignores_the_scalar_type(factual, width, at, slack):
    import numpy as np

    cell = Interval(factual + width, factual + 3 * width)
    value = cell.lo + at * (cell.hi - cell.lo)
    bounds = Interval(-math.inf, math.inf, True, True)
    got = readable_value(cell, bounds, value, factual, slack, False)
    assert got == readable_value(cell, bounds, np.float64(value), factual, slack, False)
    assert got in cell and abs(got - factual) <= abs(value - factual) + slack
    # simpler, or as simple and nearer to the factual row, or the value itself
    assert got == value or ((significant(got), abs(got - factual))
                            < (significant(value), abs(value - factual)))


def test_integer_and_zero_preferences():
    assert simplest(Interval(-3.2, 5.7), 2.0) == 0.0
    assert simplest(Interval(29050.5, 29061.0, True, False), 29000.0) == 29060.0
    assert simplest(Interval(29050.5, 29059.0, True, False), 29000.0) == 29051.0
    assert simplest(Interval(35.2, 35.9), 30.0, integer=True) is None
    assert simplest(Interval(1e-35, 2e-35, True, False), 0.0) == 2e-35
    # Equally simple numbers: the one nearest to the target.
    assert simplest(Interval(1e-35, 5e-4, True, False), 0.0) == 2e-35
    assert simplest(Interval(1e-35, 5e-4, True, False), 1.0) == 5e-4


def test_cells_route_like_the_model():
    import numpy as np
    from sklearn.ensemble import RandomForestRegressor

    rng = np.random.default_rng(0)
    X = rng.normal(size=(200, 2))
    model = RandomForestRegressor(n_estimators=5, max_depth=4, random_state=0).fit(X, X[:, 0])
    flat = convert(model)
    table = SplitTable([flat])
    core = flat.to_core()
    for v in rng.normal(size=40):
        cell = table.cell(0, v)
        assert v in cell
        lo = cell.lo if math.isfinite(cell.lo) else v - 5.0
        hi = cell.hi if math.isfinite(cell.hi) else v + 5.0
        inside = list(np.linspace(lo, hi, 7)[1:-1])
        ends = [e for e, open_ in ((cell.lo, cell.lo_open), (cell.hi, cell.hi_open))
                if math.isfinite(e) and not open_]
        rows = np.array([[w, 0.3] for w in inside + ends + [v]])
        scores = core.raw_score_batch(rows)
        assert (scores == scores[-1]).all()
        outside = [math.nextafter(cell.lo, -math.inf) if not cell.lo_open else cell.lo,
                   math.nextafter(cell.hi, math.inf) if not cell.hi_open else cell.hi]
        for w in outside:
            if math.isfinite(w):
                assert w not in cell

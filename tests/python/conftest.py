import numpy as np
import pytest


def flat_arrays(feature, threshold, is_lt, missing_left, left, right, value, roots):
    """Typed node arrays for RustEnsemble from plain lists."""
    return dict(
        feature=np.asarray(feature, dtype=np.int32),
        threshold=np.asarray(threshold, dtype=np.float64),
        is_lt=np.asarray(is_lt, dtype=np.uint8),
        missing_left=np.asarray(missing_left, dtype=np.uint8),
        left=np.asarray(left, dtype=np.uint32),
        right=np.asarray(right, dtype=np.uint32),
        value=np.asarray(value, dtype=np.float64),
        tree_roots=np.asarray(roots, dtype=np.uint32),
    )


@pytest.fixture
def stump_arrays():
    """x0 < 0.5 -> -1 else +1 (NaN goes left), over two features."""
    return flat_arrays([0, -1, -1], [0.5, 0, 0], [1, 0, 0], [1, 0, 0], [1, 0, 0], [2, 0, 0],
                       [0, -1.0, 1.0], [0])

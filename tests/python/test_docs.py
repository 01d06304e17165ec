"""The examples in the public docstrings run as written."""
import doctest

import pytest

import morvel.models
import morvel.problem.rules
import morvel.problem.targets


@pytest.mark.parametrize("module", [morvel.problem.targets, morvel.problem.rules, morvel.models],
                         ids=lambda m: m.__name__)
def test_docstring_examples(module):
    result = doctest.testmod(module)
    assert result.attempted > 0 and result.failed == 0

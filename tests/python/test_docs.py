"""The examples in the public docstrings run as written."""
import doctest

import pytest

import morvel.models
import morvel.rules
import morvel.targets


@pytest.mark.parametrize("module", [morvel.targets, morvel.rules, morvel.models],
                         ids=lambda m: m.__name__)
def test_docstring_examples(module):
    result = doctest.testmod(module)
    assert result.attempted > 0 and result.failed == 0

"""Result fields computed on first read.

Building a frame of changes or a row in the input's type costs more than many a search,
and most callers read only a few of a result's fields. A field declared `LazyField()`
in a (frozen) dataclass takes either its value or a `Deferred(make, *args)`; the first
read calls `make(*args)` and keeps what it returns. Copies and pickles carry the value,
never the recipe.
"""
from __future__ import annotations

from typing import Any, Callable


class Deferred:
    """A value still to be made: `make(*args)`."""

    __slots__ = ("make", "args")

    def __init__(self, make: Callable, *args):
        self.make, self.args = make, args

    def __reduce__(self):
        return _given, (self.make(*self.args),)


def _given(value):
    return value


class LazyField:
    """A dataclass field whose value may be given as a `Deferred` (a data descriptor, so
    the dataclass's own `__init__` stores through it, frozen or not)."""

    def __set_name__(self, owner, name: str):
        self.slot = f"_{name}_value"

    def __get__(self, obj, owner=None) -> Any:
        if obj is None:  # read on the class: the field has no default
            raise AttributeError(self.slot)
        value = obj.__dict__[self.slot]
        if type(value) is Deferred:
            value = value.make(*value.args)
            obj.__dict__[self.slot] = value
        return value

    def __set__(self, obj, value) -> None:
        obj.__dict__[self.slot] = value


def given(obj, name: str) -> bool:
    """Whether the lazy field `name` of `obj` holds a value or a recipe for one (not
    None), without making it."""
    return obj.__dict__[f"_{name}_value"] is not None

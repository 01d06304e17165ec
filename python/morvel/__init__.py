"""Counterfactual recourse for tree-ensemble models, on a native core."""

import _morvel_core as core

__all__ = ["core"]

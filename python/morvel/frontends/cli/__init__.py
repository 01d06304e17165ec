"""The `morvel` command line (`morvel explain`, `morvel demo`); `main` is its entry point."""
from .app import main

__all__ = ["main"]

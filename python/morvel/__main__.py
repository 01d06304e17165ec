"""`python -m morvel`: the command line."""
import sys

from .frontends.cli import main

sys.exit(main())

"""python -m quorvex: the quorvex command."""

from quorvex.cli import entry

entry()

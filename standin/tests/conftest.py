"""The stand-ins' own tests, run beside the package's suite or alone (pytest standin/tests): the
folder holding standin/ goes on sys.path, and run alone the stand-ins go in before anything
imports cupy or tensorrt (beside the suite, tests/conftest.py has put in what the machine needs)."""

import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
if ROOT not in sys.path:
    sys.path.insert(0, ROOT)

import standin  # noqa: E402

if "cupy" not in sys.modules:
    standin.install()

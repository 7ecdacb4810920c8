"""Processes killed at random moments lose nothing they acknowledged."""

import os
import sys

sys.path.insert(0, os.path.dirname(__file__))

import killtest  # noqa: E402


def test_two_hundred_kill_points(tmp_path):
    assert killtest.run(points=200, seed=20261208, base=str(tmp_path)) == 200

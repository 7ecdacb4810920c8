"""A short run of the threads-and-databases stress test (stress.py has the long one)."""

import os
import sys

sys.path.insert(0, os.path.dirname(__file__))

import stress  # noqa: E402


def test_threads_and_databases_under_load(tmp_path):
    result = stress.run(8.0, str(tmp_path))
    # Values are overwritten in place of older ones: once warm, memory must not
    # keep growing with the number of calls.
    assert result["rss_growth_kib"] < 16 * 1024, result

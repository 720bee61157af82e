"""vesk as others install it: pytest in a project of theirs, and the wheels of scripts/wheels."""

import os
import subprocess
import sys

import pytest

A_TEST = "def test_sum():\n    assert 1 + 1 == 2\n"
# pytest's own variables of the session that runs these tests stay out of the one it starts.
CLEAN_ENV = {key: value for key, value in os.environ.items() if not key.startswith("PYTEST_")}


def run_pytest(python, folder, *options):
    (folder / "test_sum.py").write_text(A_TEST)
    return subprocess.run(
        [python, "-m", "pytest", "-q", "-p", "no:cacheprovider",
         "-W", "error::pytest.PytestAssertRewriteWarning", *options],
        cwd=folder, env=CLEAN_ENV, capture_output=True, text=True, timeout=300)


PYTEST_OPTIONS = pytest.mark.parametrize(
    "options", [(), ("-p", "no:vesk"), ("--vesk",)], ids=["plugin", "no-plugin", "recording"])


@PYTEST_OPTIONS
def test_pytest_starts_without_a_warning_of_vesk(tmp_path, options):
    result = run_pytest(sys.executable, tmp_path, *options)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "1 passed" in result.stdout

"""vesk as others install it: pytest in a project of theirs, and the wheels of scripts/wheels."""

import os
import pathlib
import re
import subprocess
import sys
import textwrap

import pytest
from test_endings import DAEMONS_AT_EXIT

ROOT = pathlib.Path(__file__).resolve().parents[1]
A_TEST = "def test_sum():\n    assert 1 + 1 == 2\n"
PROGRAM = ("def total(prices):\n    return sum(prices)\n\n\n"
           "def main():\n    return total([3, 4])\n\n\nprint('total', main())\n")
# The variables of the pytest session that runs these tests (and of a recording around it) stay
# out of what they start; a wheel's interpreter is spared as well those of this installation:
# its import path, its virtual environment, the sanitizers' runtime that its build needs.
_SESSION = re.compile(r"PYTEST_|VESK_")
_INSTALLATION = re.compile(r"PYTHONPATH$|PYTHONHOME$|VIRTUAL_ENV$|LD_PRELOAD$|[A-Z]+SAN_OPTIONS$")
OWN_ENV = {key: value for key, value in os.environ.items() if not _SESSION.match(key)}
CLEAN_ENV = {key: value for key, value in OWN_ENV.items() if not _INSTALLATION.match(key)}
# What a wheel may find outside itself: the C library, its loader, and libgcc_s, the unwinder
# that the C library loads itself to end a thread.
C_LIBRARY = re.compile(r"(linux-vdso|ld-linux[-\w]*|lib(c|m|pthread|dl|rt|gcc_s))\.so")

PYTEST_RUNS = pytest.mark.parametrize("launch, options", [
    (["-m", "pytest"], []),
    (["-m", "pytest"], ["-p", "no:vesk"]),
    (["-m", "pytest"], ["--vesk"]),
    (["-m", "vesk", "run", "-m", "pytest"], []),
], ids=["plugin", "no-plugin", "recording", "under-vesk-run"])


def run(*command, cwd, env=CLEAN_ENV, timeout=300):
    return subprocess.run(command, cwd=cwd, env=env, capture_output=True, text=True,
                          timeout=timeout)


def check(result):
    assert result.returncode == 0, result.stdout + result.stderr
    return result.stdout


def run_pytest(python, folder, launch, options, env=CLEAN_ENV):
    """pytest on a project of one test, in which a warning of pytest's own is an error."""
    project = folder / "project"
    project.mkdir()
    (project / "test_sum.py").write_text(A_TEST)
    output = check(run(python, *launch, "-q", "-p", "no:cacheprovider",
                       "-W", "error::pytest.PytestAssertRewriteWarning", *options,
                       cwd=project, env=env))
    assert "1 passed" in output


@PYTEST_RUNS
def test_pytest_starts_without_a_warning_of_vesk(tmp_path, launch, options):
    run_pytest(sys.executable, tmp_path, launch, options, env=OWN_ENV)


def this_pythons_wheels():
    tag = "cp%d%d" % sys.version_info[:2]
    wheels = sorted((ROOT / "dist").glob(f"vesk-*-{tag}-{tag}-*.whl"))
    if not wheels:
        return [pytest.param(None, marks=pytest.mark.skip(
            reason=f"no wheel for {tag} in dist/ (scripts/wheels builds them)"))]
    return [pytest.param(wheel, id=wheel.name) for wheel in wheels]


@pytest.fixture(scope="module")
def installed_wheel(request, tmp_path_factory):
    """A virtual environment of this interpreter's own Python with the wheel alone installed
    (its dependencies from the package index) and pytest, used from folders outside the
    repository: the package cannot come from python/ there."""
    folder = tmp_path_factory.mktemp("wheel")
    venv = folder / "venv"
    check(run(sys._base_executable, "-m", "venv", str(venv), cwd=folder))
    python = str(venv / "bin" / "python")
    check(run(python, "-m", "pip", "install", "-q", str(request.param),
              f"pytest=={pytest.__version__}", cwd=folder))
    return venv


@pytest.mark.parametrize("installed_wheel", this_pythons_wheels(), indirect=True)
def test_wheel_records_and_shows_in_a_clean_venv(installed_wheel, tmp_path):
    venv = installed_wheel
    python, vesk = str(venv / "bin" / "python"), str(venv / "bin" / "vesk")
    module = check(run(python, "-c", "import vesk._vesk as m; print(m.__file__)", cwd=tmp_path))
    module = pathlib.Path(module.strip())
    assert module.is_relative_to(venv), f"vesk came from {module}, not from the wheel"

    for line in check(run("ldd", str(module), cwd=tmp_path)).splitlines():
        name, _, found = line.strip().partition(" => ")
        name, where = os.path.basename(name.split(" (")[0]), found.split(" (")[0]
        assert C_LIBRARY.match(name) or (where and pathlib.Path(where).is_relative_to(venv)), (
            f"the wheel's module needs {line.strip()}, from outside the wheel")

    # The interpreter ends these threads inside the hook, unwinding through the module's frames.
    # (Its plugin holds them there, in files named so.)
    (tmp_path / "program.py").write_text(textwrap.dedent(DAEMONS_AT_EXIT))
    assert check(run(python, "program.py", "daemons.sqlite3", cwd=tmp_path)) == "done\n"

    (tmp_path / "prog.py").write_text(PROGRAM)
    assert "total 7" in check(run(vesk, "run", "prog.py", cwd=tmp_path))
    shown = check(run(vesk, "show", cwd=tmp_path))
    assert "__main__.main() -> 7" in shown
    assert "__main__.total(prices=[3, 4]) -> 7" in shown


@PYTEST_RUNS
@pytest.mark.parametrize("installed_wheel", this_pythons_wheels(), indirect=True)
def test_wheel_install_starts_pytest_without_a_warning_of_vesk(
        installed_wheel, tmp_path, launch, options):
    run_pytest(str(installed_wheel / "bin" / "python"), tmp_path, launch, options)

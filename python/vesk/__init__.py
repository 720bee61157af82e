"""vesk: a recording profiler for Python programs.

    with vesk.enable():      # or @vesk.enable() on a function
        ...                  # recorded, then saved as a trace in .vesk/db.sqlite3

From the command line: `vesk run script.py`, `vesk show`; in pytest: `pytest --vesk`.

PYTEST_DONT_REWRITE: pytest would rewrite the asserts of its plugins' packages, and warns about
one imported before it starts, as vesk is under `vesk run -m pytest`; vesk has none to rewrite.
"""

import vesk.plugins  # noqa: F401 - imported now, never while a program is being recorded
from vesk.profiler import Profiler, enable
from vesk.version import __version__

__all__ = ["Profiler", "enable", "__version__"]

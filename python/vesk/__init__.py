"""vesk: a recording profiler for Python programs.

    with vesk.enable():      # or @vesk.enable() on a function
        ...                  # recorded, then saved as a trace in .vesk/db.sqlite3

From the command line: `vesk run script.py`, `vesk show`; in pytest: `pytest --vesk`.
"""

import vesk.plugins  # noqa: F401 - imported now, never while a program is being recorded
from vesk.profiler import Profiler, enable
from vesk.version import __version__

__all__ = ["Profiler", "enable", "__version__"]

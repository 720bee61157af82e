"""vesk's build backend: scikit-build-core's, but for one mark in an editable install.

An editable install finds the package through a top-level module that a .pth file imports when
the interpreter starts. pytest marks for rewriting every top-level module of a distribution
that has a pytest11 entry point, as ours has, and warns about each that is already imported:
so every pytest run warned, with or without `-p no:vesk`, and a suite that turns warnings into
errors could not start. The module's docstring now tells pytest to leave it alone.
"""

import base64
import hashlib
import os
import tempfile
import zipfile

from scikit_build_core.build import *  # noqa: F401,F403 - every other hook as it is
from scikit_build_core.build import build_editable as _build_editable

DONT_REWRITE = b'"""PYTEST_DONT_REWRITE: the import hook of an editable install of vesk."""\n'


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    name = _build_editable(wheel_directory, config_settings, metadata_directory)
    _mark_top_level_modules(os.path.join(wheel_directory, name))
    return name


def _record_line(path, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{path},sha256={digest},{len(data)}"


def _mark_top_level_modules(wheel):
    """Puts the mark at the head of each top-level module (the package itself lies in vesk/)
    and writes the wheel's RECORD again to match."""
    with zipfile.ZipFile(wheel) as source:
        members = [(info, source.read(info)) for info in source.infolist()]
    changed = {}
    for info, data in members:
        if "/" not in info.filename and info.filename.endswith(".py"):
            changed[info.filename] = DONT_REWRITE + data
    if not changed:
        return
    folder = os.path.dirname(wheel)
    with tempfile.NamedTemporaryFile(dir=folder, suffix=".whl", delete=False) as scratch:
        try:
            with zipfile.ZipFile(scratch, "w", zipfile.ZIP_DEFLATED) as target:
                for info, data in members:
                    if info.filename.endswith(".dist-info/RECORD"):
                        data = _rewrite_record(data, changed)
                    target.writestr(info, changed.get(info.filename, data))
        except BaseException:
            os.unlink(scratch.name)
            raise
    os.replace(scratch.name, wheel)


def _rewrite_record(record, changed):
    lines = []
    for line in record.decode().splitlines():
        path = line.rsplit(",", 2)[0]
        lines.append(_record_line(path, changed[path]) if path in changed else line)
    return ("\n".join(lines) + "\n").encode()

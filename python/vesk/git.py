"""The git commit a recording was made at.

``COMMIT_SHA`` is the HEAD commit of the git work tree containing the current
directory when the attribute is first read, or None. It is looked up once and
cached: the engine reads it for every saved trace, from inside its profile
hook, so it must not start a process each time.

The repository files are read directly (``.git`` directory or ``gitdir:``
file, ``commondir`` for linked worktrees, HEAD, loose refs, ``packed-refs``).
Only when they cannot decide, e.g. a ref store in a format we do not read,
does it ask ``git rev-parse`` once.
"""

import os
import string
import subprocess
import threading

__all__ = ["COMMIT_SHA", "commit_sha_of"]

_HEX = frozenset(string.hexdigits.lower())
# Refs that live in each worktree's own git dir rather than the shared one.
_PER_WORKTREE_PREFIXES = ("refs/worktree/", "refs/bisect/", "refs/rewritten/")
_MAX_SYMREF_DEPTH = 5
_GIT_TIMEOUT = 5.0

_lock = threading.Lock()


def _new_lock_in_child():
    # A fork copies the lock as it stands: taken, when another thread was looking the commit up,
    # and that thread does not exist in the child, which would wait for it for ever.
    global _lock
    _lock = threading.Lock()


os.register_at_fork(after_in_child=_new_lock_in_child)


class _Undecided(Exception):
    """The repository files do not settle the answer; ask git itself."""


def _is_sha(text):
    # sha1 repositories use 40 hex digits, sha256 ones 64.
    return len(text) in (40, 64) and set(text) <= _HEX


def _read_text(path):
    try:
        with open(path, encoding="utf-8") as f:
            return f.read()
    except (FileNotFoundError, NotADirectoryError):
        return None


def _find_git_dir(start):
    """(work tree root, git dir) for the work tree containing start, or None."""
    directory = os.path.abspath(start)
    while True:
        dot_git = os.path.join(directory, ".git")
        if os.path.isdir(dot_git):
            return directory, dot_git
        if os.path.isfile(dot_git):
            # Linked worktrees and submodules: a file pointing at the git dir.
            text = _read_text(dot_git) or ""
            first = text.splitlines()[0] if text else ""
            if not first.startswith("gitdir:"):
                raise _Undecided(f"unreadable {dot_git}")
            target = first[len("gitdir:") :].strip()
            return directory, os.path.normpath(os.path.join(directory, target))
        parent = os.path.dirname(directory)
        if parent == directory:
            return None
        directory = parent


def _common_dir(git_dir):
    text = _read_text(os.path.join(git_dir, "commondir"))
    if text is None:
        return git_dir
    return os.path.normpath(os.path.join(git_dir, text.strip()))


def _packed_ref(common_dir, ref):
    text = _read_text(os.path.join(common_dir, "packed-refs"))
    if text is None:
        return None
    for line in text.splitlines():
        if not line or line[0] in "#^":
            continue
        sha, _, name = line.partition(" ")
        if name == ref:
            return sha
    return None


def _resolve(git_dir, common_dir, ref):
    """The sha ref points to, or None when it does not exist (unborn branch)."""
    for _ in range(_MAX_SYMREF_DEPTH):
        if ref.startswith("refs/") and not ref.startswith(_PER_WORKTREE_PREFIXES):
            home = common_dir
        else:
            home = git_dir
        text = _read_text(os.path.join(home, *ref.split("/")))
        if text is None:
            text = _packed_ref(common_dir, ref)
            if text is None:
                if os.path.isdir(os.path.join(common_dir, "reftable")):
                    raise _Undecided("reftable ref storage")
                return None
        text = text.strip()
        if text.startswith("ref:"):
            ref = text[len("ref:") :].strip()
            continue
        if _is_sha(text):
            return text
        raise _Undecided(f"unexpected contents of {ref}")
    raise _Undecided("symbolic refs nested too deep")


def _from_files(start):
    found = _find_git_dir(start)
    if found is None:
        return None
    _, git_dir = found
    if not os.path.isdir(git_dir):
        return None
    common_dir = _common_dir(git_dir)
    head = _read_text(os.path.join(git_dir, "HEAD"))
    if head is None:
        return None
    head = head.strip()
    if _is_sha(head):
        return head
    if not head.startswith("ref:"):
        raise _Undecided("unexpected HEAD")
    return _resolve(git_dir, common_dir, head[len("ref:") :].strip())


def _from_git(start):
    try:
        result = subprocess.run(
            ["git", "rev-parse", "--verify", "--quiet", "HEAD"],
            cwd=start,
            stdin=subprocess.DEVNULL,
            capture_output=True,
            text=True,
            timeout=_GIT_TIMEOUT,
        )
    except (OSError, subprocess.SubprocessError, ValueError):
        return None
    sha = result.stdout.strip()
    return sha if result.returncode == 0 and _is_sha(sha) else None


def commit_sha_of(path):
    """The HEAD commit of the git work tree containing path, or None when
    there is none (not in a repository, no commit yet, unreadable)."""
    try:
        return _from_files(path)
    except _Undecided:
        return _from_git(path)
    except (OSError, UnicodeDecodeError, IndexError, ValueError):
        return None


def _current():
    try:
        cwd = os.getcwd()
    except OSError:  # the current directory was removed
        return None
    return commit_sha_of(cwd)


def __getattr__(name):
    if name == "COMMIT_SHA":
        with _lock:
            if "COMMIT_SHA" not in globals():
                # Later reads find the global and never come back here.
                globals()["COMMIT_SHA"] = _current()
            return globals()["COMMIT_SHA"]
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")

"""Database URLs and their passwords: how a URL is shown, what its connections read, and how a
child process gets the password without it being in its environment or in a file.

A password never travels with the URL inside vesk: `hide_password` keeps the URL as given in this
process alone, for its connections, and gives back the URL without the password, which every
message, every trace and a child's environment payload show. A URL is read as libpq reads it
(a password after the user, up to the first "@" unless a "/" comes first, or as a password=
parameter, which wins), and what a bare "@" or "/" in a password leaves of it in libpq's host,
port or database is not shown either (a database name that holds an "@" is then not shown
whole).

A recorded child process gets the URL as given from an anonymous file in memory (memfd), which
no file name ever points to and which goes when the last process holding it does: made at the
first child's start, handed to each child the launch functions start as an inherited descriptor
(children.py), read and closed by the child as it starts, which keeps the URL in memory as its
parent does. A child may so outlive its parent, and start children of its own.
"""

import contextlib
import fcntl
import os
import stat
import tempfile
import threading
import urllib.parse

__all__ = ["hide_password", "shown", "secret_for_children", "take_secret", "inherited", "spared"]

# URL without its password -> the URL as given, for this process's connections (where they differ).
_originals = {}
# URL without its password -> (descriptor, device, inode) of the anonymous file that holds the URL as
# given, for the processes this one starts.
_for_children = {}
_making = threading.Lock()
# Descriptor -> the launches under way that let their child inherit it; it is inheritable while
# there is one.
_inheriting = {}
_inheriting_lock = threading.Lock()


def _after_fork_in_child():
    # A fork while another thread held a lock copied it held, and that thread's launch under way
    # is not the child's.
    global _making, _inheriting_lock
    _making = threading.Lock()
    _inheriting_lock = threading.Lock()
    for fd in list(_inheriting):
        del _inheriting[fd]
        with contextlib.suppress(OSError):
            os.set_inheritable(fd, False)


os.register_at_fork(after_in_child=_after_fork_in_child)


def _query_start(url, start):
    """Where libpq reads url's parameters from: the first "?" after the user part (which ends at
    the first "@" unless a "/" comes first, and may hold a "?" of its own), len(url) if none."""
    end = start
    while end < len(url) and url[end] not in "@/":
        end += 1
    query = url.find("?", end + 1 if end < len(url) and url[end] == "@" else start)
    return len(url) if query < 0 else query


def _without_password(url):
    """(url as it may be shown, the texts of url that this leaves out). Never fails, whatever url
    holds."""
    start = url.find("://") + 3
    if start < 3:
        return url, []
    query = _query_start(url, start)
    hidden = []
    shown = url[:query]
    # From the ":" that ends the user to the last "@" before the parameters: libpq's password is
    # what lies before the first "@", and a password with a bare "@" or "/" leaves the rest where
    # libpq reads a host, port or database.
    user_end = start
    while user_end < query and url[user_end] not in ":@/":
        user_end += 1
    last_at = url.rfind("@", user_end, query)
    if user_end < query and url[user_end] == ":" and last_at > user_end:
        hidden.append(url[user_end + 1:last_at])
        shown = url[:user_end] + url[last_at:query]
    if query < len(url):
        kept = []
        for parameter in url[query + 1:].split("&"):
            keyword, _, value = parameter.partition("=")
            if urllib.parse.unquote(keyword) == "password":
                hidden.append(value)
            else:
                kept.append(parameter)
        if kept:
            shown += "?" + "&".join(kept)
    return shown, [text for text in hidden if text]


def hide_password(url):
    """url without its password; the URL as given is kept for this process's connections to it."""
    bare = _without_password(url)[0]
    if bare != url:
        _originals[bare] = url
    return bare


def shown(url):
    """url as messages show it: never with a password."""
    return _without_password(url)[0]


def _conninfo(url):
    """What connections to url read: the URL as given when this process was given one with a
    password."""
    bare = hide_password(url)
    return _originals.get(bare, bare)


def secret_for_children(url, make=True):
    """(descriptor, device, inode) of an anonymous file in memory that holds url as given, for a
    child about to start (see take_secret): made when there is none yet, or when the program
    closed it, unless not make; None when url came without a password (libpq then finds one
    for the child as it does for this process). The descriptor is not inherited unless a launch
    asks for it."""
    original = _originals.get(url)
    if original is None:
        return None
    with _making:
        handed = _for_children.get(url)
        if handed is not None and _still_ours(handed):
            return handed
        if not make:
            return None
        fd = _anonymous_file(original.encode("utf-8", "surrogateescape"))
        info = os.fstat(fd)
        handed = _for_children[url] = (fd, info.st_dev, info.st_ino)
        return handed


def _still_ours(handed):
    """Whether the descriptor is the file made for children still: the program may have closed
    it, and its number been given to a file of the program's own."""
    fd, device, inode = handed
    try:
        info = os.fstat(fd)
    except OSError:
        return False
    return (info.st_dev, info.st_ino) == (device, inode)


def _anonymous_file(data):
    """A descriptor (not inheritable) of a file that holds data and that no name points to,
    sealed where the system allows it: a child cannot change what the next one reads."""
    try:
        fd = os.memfd_create("vesk-db", os.MFD_CLOEXEC | os.MFD_ALLOW_SEALING)
    except (AttributeError, OSError):  # a kernel without memfd: a file that never had a name
        fd = os.open(tempfile.gettempdir(), os.O_TMPFILE | os.O_RDWR | os.O_CLOEXEC, 0o600)
    try:
        view = memoryview(data)
        while view:
            view = view[os.write(fd, view):]
        try:
            fcntl.fcntl(fd, fcntl.F_ADD_SEALS,
                        fcntl.F_SEAL_SEAL | fcntl.F_SEAL_SHRINK | fcntl.F_SEAL_GROW | fcntl.F_SEAL_WRITE)
        except (AttributeError, OSError):
            pass
    except BaseException:
        os.close(fd)
        raise
    return fd


def take_secret(url, handed):
    """In a child: reads the URL as given from the file its parent handed it (secret_for_children's
    triple), for this process's connections to url, and closes the descriptor, which the program
    is not to see. A descriptor that is not that file (one of the program's own, by the same
    number) is left alone."""
    try:
        fd, device, inode = handed
        info = os.fstat(fd)
    except (TypeError, ValueError, OverflowError, OSError):
        return
    if (info.st_dev, info.st_ino) != (device, inode) or not stat.S_ISREG(info.st_mode):
        return
    try:
        data = os.pread(fd, info.st_size, 0)
    except OSError:
        data = b""
    finally:
        os.close(fd)
    original = data.decode("utf-8", "surrogateescape")
    if original and _without_password(original)[0] == url:
        _originals[url] = original


@contextlib.contextmanager
def inherited(fd):
    """fd inheritable during the block, for a child that a launch function starts with the
    descriptors the process lets its children inherit."""
    with _inheriting_lock:
        try:
            if fd not in _inheriting:
                os.set_inheritable(fd, True)
            _inheriting[fd] = _inheriting.get(fd, 0) + 1
        except OSError:  # closed meanwhile by the program: the child goes without
            fd = None
    try:
        yield
    finally:
        if fd is not None:
            with _inheriting_lock:
                _inheriting[fd] -= 1
                if not _inheriting[fd]:
                    del _inheriting[fd]
                    with contextlib.suppress(OSError):
                        os.set_inheritable(fd, False)


def spared(actions, fd):
    """(os.posix_spawn's file actions, the number fd has in the child) when the actions close fd
    with POSIX_SPAWN_CLOSEFROM (as subprocess's do from Python 3.13 on): fd is duplicated first
    onto the lowest number that closes, which the child would not have had, and the closing starts
    after it. (actions, None) when fd stays open."""
    closefrom = getattr(os, "POSIX_SPAWN_CLOSEFROM", None)
    actions = list(actions)
    for i, action in enumerate(actions):
        if closefrom is not None and action[0] == closefrom and action[1] <= fd:
            lowest = action[1]
            actions[i:i + 1] = [(os.POSIX_SPAWN_DUP2, fd, lowest), (closefrom, lowest + 1)]
            return actions, lowest
    return actions, None

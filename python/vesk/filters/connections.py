"""The process's write connections, one per database, which its threads use one at a time.

Parts are written by vesk's saver thread, which holds an interpreter thread state only while it
writes one (so that it can end at a fork without the interpreter lock): a connection per thread
state would open the database, check it and, for a file, checkpoint its log at every save. A
fork's child makes its own: a parent's connection must not be used by two processes, and a lock
a thread of the parent held is copied held.
"""

import contextlib
import os
import threading

__all__ = ["Connections"]


class Connections:
    """Connections by key (a file's path, a server's URL), made by make(key, timeout), made again when
    usable(connection) says no, and closed by close(connection) when a use failed. A thread that
    finds another using the connection waits for it up to its timeout, then raises busy()."""

    def __init__(self, make, usable, close, busy):
        self._make, self._usable, self._close, self._busy = make, usable, close, busy
        self._reset()

    def _reset(self):
        self._pid = os.getpid()
        self._by_key = {}
        self._lock = threading.Lock()

    @contextlib.contextmanager
    def using(self, key, timeout):
        """The connection for key, this thread's alone until the block ends. One that an
        exception left is closed, and the next use makes a new one."""
        if self._pid != os.getpid():
            self._reset()
        with self._lock:
            entry = self._by_key.setdefault(key, [threading.Lock(), None])
        if not entry[0].acquire(timeout=max(float(timeout), 0.0)):
            raise self._busy()
        try:
            conn = entry[1]
            if conn is not None and not self._usable(conn):
                entry[1] = None
                self._close(conn)
                conn = None
            if conn is None:
                conn = entry[1] = self._make(key, timeout)
            try:
                yield conn
            except BaseException:
                entry[1] = None
                self._close(conn)
                raise
        finally:
            entry[0].release()

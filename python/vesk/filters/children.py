"""Recording the processes a recorded program starts, each as a trace of its own that names its
parent's trace and process.

A Python child started by exec (subprocess, multiprocessing's spawn and forkserver, os.exec*,
os.system, os.posix_spawn) finds the folder `boot` first on its PYTHONPATH; the sitecustomize
there puts the child's environment and sys.path back as they would have been, runs the user's own
sitecustomize if there is one, and starts recording (start_child below). The launch functions are
wrapped so that a child gets this even when the program hands it an environment of its own; a
child that inherits the environment gets it from the process's C environment, which vesk sets
with os.putenv (os.environ, what the program sees, is left as it was).

A child made by fork() without exec starts a trace of its own at once: what the parent held stays
the parent's, and the child's calls go only to the child's trace.

A database URL that came with a password goes to a child in an anonymous file in memory
(db_password.secret_for_children), never in its environment: the launch functions hand the file's
descriptor to the child they start (in the descriptors a subprocess keeps, or inherited for the
call), and the payload names it.
"""

import atexit
import json
import logging
import os
import signal
import sys

# Imported now: the at-fork code below must not import (another thread's import in progress at the
# fork would leave the child waiting for ever on that module's lock).
from vesk import _vesk, db
from vesk.filters import db_password, secrets
from vesk.profiler import Profiler
from vesk.utils import new_trace_id

# The environment variable a child finds its recording in, and the folder of the bootstrap.
ENV = "VESK_CHILD"
# A child hands what it recorded to the saver thread this often (seconds), besides as parts fill
# and when it ends: a signal may end it at any moment, and the program's way of ending is kept.
HANDOFF_INTERVAL = 1.0
BOOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "boot")
_PYTHONPATH = "PYTHONPATH"

# The recordings of this process, innermost last; children follow the innermost that records
# them.
_live = []
_hooked_fork = False
_hooked_launches = False
_environ_set = False


def follow(profiler):
    """Called when profiler starts recording in this process."""
    _hook_fork()
    if profiler.children:
        _hook_launches()
    _live.append(profiler)
    _update_environ()


def unfollow(profiler):
    """Called when profiler stops recording."""
    if profiler in _live:
        _live.remove(profiler)
    _update_environ()


def _recording_children():
    for profiler in reversed(_live):
        if profiler.children:
            return profiler
    return None


def _portable(config):
    """What of config a child can be given: plugin descriptions hold functions, which do not
    cross to another process; the child gets the built-in ones."""
    portable = {}
    for key, value in config.items():
        try:
            json.dumps(value)
        except (TypeError, ValueError):
            continue
        portable[key] = value
    return portable


def _payload(profiler, pythonpath, child_fd=None):
    payload = {
        "db": os.path.abspath(profiler.db_path),
        "config": _portable(profiler.config),
        "parent": _current_trace(profiler),
        "pid": os.getpid(),
        "pythonpath": pythonpath,
        "labels": db.labels(),
    }
    if db.is_url(profiler.db_path):
        # The URL as the profiler keeps it, without a password: the payload names the descriptor
        # that the launch hands on, from which the child reads the URL as given.
        payload["db"] = profiler.db_path
        handed = db_password.secret_for_children(profiler.db_path, make=False)
        if handed is not None:
            fd, device, inode = handed
            payload["db_secret"] = [fd if child_fd is None else child_fd, device, inode]
    return json.dumps(payload)


def _current_trace(profiler):
    # In one-trace-per-test mode the engine's trace changes with every test.
    engine = profiler.rust_profiler
    return engine.trace_id if engine is not None else profiler.trace_id


def _child_variables(pythonpath, child_fd=None):
    """The variables a child's environment gets: None when no recording takes children, or
    when they cannot be made (the child then runs unrecorded rather than not at all). child_fd:
    the number the database's descriptor has in the child, when not its own."""
    profiler = _recording_children()
    if profiler is None:
        return None
    try:
        payload = _payload(profiler, pythonpath, child_fd)
    except Exception:  # noqa: BLE001 - e.g. a trace id or path that is not text
        return None
    path = BOOT if not pythonpath else BOOT + os.pathsep + pythonpath
    return {ENV: payload, _PYTHONPATH: path}


def _update_environ():
    """The process's C environment, which children inherit, as the innermost recording wants it;
    os.environ is never touched."""
    global _environ_set
    variables = _child_variables(os.environ.get(_PYTHONPATH))
    if variables is not None:
        for key, value in variables.items():
            os.putenv(key, value)
        _environ_set = True
    elif _environ_set:
        os.unsetenv(ENV)
        if _PYTHONPATH in os.environ:
            os.putenv(_PYTHONPATH, os.environ[_PYTHONPATH])
        else:
            os.unsetenv(_PYTHONPATH)
        _environ_set = False


def _with_child_variables(env, as_list, child_fd=None):
    """env (a mapping, or when as_list a list of b"KEY=VALUE" as _posixsubprocess takes it) with
    the child's variables; None (inherit) becomes the program's os.environ with them."""
    if env is None:
        env = [k + b"=" + v for k, v in os.environb.items()] if as_list else os.environ
    if as_list:
        existing = dict(item.split(b"=", 1) for item in env if b"=" in item)
        pythonpath = existing.get(os.fsencode(_PYTHONPATH))
        variables = _child_variables(None if pythonpath is None else os.fsdecode(pythonpath), child_fd)
        if variables is None:
            return env
        existing.update((os.fsencode(k), os.fsencode(v)) for k, v in variables.items())
        return [k + b"=" + v for k, v in existing.items()]
    binary = any(isinstance(key, bytes) for key in env)
    pythonpath = env.get(os.fsencode(_PYTHONPATH) if binary else _PYTHONPATH)
    if isinstance(pythonpath, bytes):
        pythonpath = os.fsdecode(pythonpath)
    variables = _child_variables(pythonpath, child_fd)
    if variables is None:
        return env
    merged = dict(env)
    for key, value in variables.items():
        merged[os.fsencode(key) if binary else key] = os.fsencode(value) if binary else value
    return merged


def _secret_for_launch():
    """The descriptor that hands the database URL, as given, to the child about to start; None when
    it needs none, or when it cannot be made (the child's saves then say why they fail). Made at
    the first launch: the C environment, which children that inherit it read, names it from then
    on."""
    profiler = _recording_children()
    if profiler is None or not db.is_url(profiler.db_path):
        return None
    try:
        before = db_password.secret_for_children(profiler.db_path, make=False)
        handed = db_password.secret_for_children(profiler.db_path)
        if handed != before:
            _update_environ()
    except Exception:  # noqa: BLE001 - the program's launch matters more (out of descriptors...)
        return None
    return None if handed is None else handed[0]


def _wrap(function, env_index, as_list=False, fds_index=None):
    """function, which starts a child with the environment its argument env_index gives (a list of
    b"KEY=VALUE" when as_list), giving the child its variables. The database's descriptor goes to
    the child in the descriptors to keep, argument fds_index, or else inherited for the call (and
    spared by the file actions of os.posix_spawn)."""
    def launch(*args, **kwargs):
        if _recording_children() is None:
            return function(*args, **kwargs)
        secret = _secret_for_launch()
        child_fd = None
        try:
            if secret is not None and fds_index is not None:
                args = (*args[:fds_index], tuple(sorted({*args[fds_index], secret})), *args[fds_index + 1:])
            elif secret is not None and kwargs.get("file_actions"):
                actions, child_fd = db_password.spared(kwargs["file_actions"], secret)
                if child_fd is not None:
                    kwargs = {**kwargs, "file_actions": actions}
            if len(args) > env_index:
                args = (*args[:env_index], _with_child_variables(args[env_index], as_list, child_fd),
                        *args[env_index + 1:])
            elif "env" in kwargs:
                kwargs = {**kwargs, "env": _with_child_variables(kwargs["env"], as_list, child_fd)}
        except Exception:  # noqa: BLE001 - an environment the call itself will refuse
            pass
        if secret is None or fds_index is not None:
            return function(*args, **kwargs)
        with db_password.inherited(secret):
            return function(*args, **kwargs)

    launch.__wrapped__ = function
    launch.__name__ = getattr(function, "__name__", "launch")
    launch.__doc__ = getattr(function, "__doc__", None)
    return launch


def _handing_on(function):
    """function (os.system, os.execv), whose child inherits the C environment: the database's
    descriptor, which that names, is inherited for the call."""
    def launch(*args, **kwargs):
        secret = _secret_for_launch()
        if secret is None:
            return function(*args, **kwargs)
        with db_password.inherited(secret):
            return function(*args, **kwargs)

    return _standing_for(function, launch)


def _hook_fork():
    global _hooked_fork
    if not _hooked_fork:
        _hooked_fork = True
        os.register_at_fork(after_in_child=_after_fork_in_child)
        # exec() replaces the process, and with it whatever it recorded and had not saved.
        for name in ("execv", "execve"):
            setattr(os, name, _saving_first(getattr(os, name)))
        os._exit = _finishing_first(os._exit)


def _saving_first(exec_function):
    def replace_process(*args, **kwargs):
        for profiler in list(_live):
            try:
                profiler.save()  # a part: should the exec fail, recording goes on
            except Exception:  # noqa: BLE001 - the program's exec matters more than the trace
                pass
        return exec_function(*args, **kwargs)

    return _standing_for(exec_function, replace_process)


def _standing_for(original, wrapper):
    """wrapper, named and documented as the function of os it stands in for."""
    wrapper.__wrapped__ = original
    wrapper.__name__ = original.__name__
    wrapper.__doc__ = original.__doc__
    return wrapper


def _finishing_first(exit_function):
    """os._exit ends the process without exit handlers: the recordings live in it stop and are
    saved first, as they would be at a normal exit, and then it ends with the status asked for.
    A multiprocessing child has finished its recording before it gets here."""
    def end_process(*args, **kwargs):
        for profiler in list(reversed(_live)):  # stopping takes it off _live
            try:
                profiler.stop()
                profiler.save()
                if profiler.on_final_save is not None:
                    profiler.on_final_save()
            except BaseException:  # noqa: BLE001 - the process ends as asked, whatever happens
                pass
        return exit_function(*args, **kwargs)

    return _standing_for(exit_function, end_process)


def _hook_launches():
    """Wraps every way Python starts a program with an environment of its own; those that inherit
    it get the C environment. subprocess takes _posixsubprocess's function when it is imported, so
    it is not imported here for that."""
    global _hooked_launches
    if _hooked_launches:
        return
    _hooked_launches = True
    import _posixsubprocess

    _posixsubprocess.fork_exec = _wrap(_posixsubprocess.fork_exec, 5, as_list=True, fds_index=3)
    subprocess = sys.modules.get("subprocess")
    if getattr(subprocess, "_fork_exec", None) is not None:
        subprocess._fork_exec = _wrap(subprocess._fork_exec, 5, as_list=True, fds_index=3)
    for name in ("posix_spawn", "posix_spawnp", "execve"):
        if hasattr(os, name):
            setattr(os, name, _wrap(getattr(os, name), 2))
    for name in ("system", "execv"):
        setattr(os, name, _handing_on(getattr(os, name)))


def _after_fork_in_child():
    """A fork's child: each recording of the parent goes on, under a trace of its own when it
    takes children, and stops (its parent's records dropped) when not. A SIGTERM handler that
    `vesk run` set in the parent is not the child's: the child gets the default back, as it would
    have had without vesk."""
    global _environ_set
    _environ_set = False
    del _to_save[:]  # the parent's to save
    if getattr(signal.getsignal(signal.SIGTERM), "__module__", None) == "vesk.filters.run":
        signal.signal(signal.SIGTERM, signal.SIG_DFL)
    parent_pid = os.getppid()
    for profiler in list(_live):
        engine = profiler.rust_profiler
        if engine is None:
            continue
        parent = _current_trace(profiler)
        profiler.trace_id = new_trace_id()
        engine.restart_in_forked_child(profiler.trace_id, HANDOFF_INTERVAL)
        if not profiler.children:
            profiler.stop()
            profiler.forked_away = True
            continue
        db.note_parent(profiler.trace_id, parent, parent_pid)
        _save_at_exit(profiler, forked=True)
    _update_environ()


def start_child(payload):
    """Starts recording a child process from the payload its parent put in its environment."""
    data = _valid_payload(payload)
    if data is None:
        return None
    config = dict(data["config"], handoff_interval=HANDOFF_INTERVAL)
    labels = data.get("labels")
    if isinstance(labels, dict) and all(isinstance(v, str) for v in labels.values()):
        db.set_labels(labels)
    if db.is_url(data["db"]):
        db_password.take_secret(data["db"], data.get("db_secret"))
    profiler = Profiler(config, db_path=data["db"], source=" ".join(secrets.redacted_arguments(sys.orig_argv)), children=True)
    db.note_parent(profiler.trace_id, data["parent"], data["pid"])
    profiler.start()
    _save_at_exit(profiler, forked=False)
    return profiler


_PAYLOAD_TYPES = {"db": str, "config": dict, "parent": (str, type(None)), "pid": int}


def _valid_payload(payload):
    """The parent's description of a child's recording, or None, with one line on the "vesk"
    logger, when it is not one (set by hand, or by something else): the child runs unrecorded."""
    try:
        data = json.loads(payload)
    except ValueError:
        data = None
    if isinstance(data, dict) and all(isinstance(data.get(key), kind) for key, kind in _PAYLOAD_TYPES.items()):
        return data
    logging.getLogger("vesk").warning("vesk: %s is not what a recorded parent sets; this process "
                                      "runs unrecorded", ENV)
    return None


# The child recordings this process saves when it ends, with whether each came from a fork (whose
# program may stop and save it itself, in the recording code it inherited).
_to_save = []
_finishing = False
_exit_hooked = False


def _save_at_exit(profiler, forked):
    """Saves what the child records when it ends: at exit, and at the end of a multiprocessing
    child (which leaves by os._exit). Nothing of how it ends changes: a child that a signal ends
    (a pool's workers are ended by SIGTERM) ends at once, and loses what it recorded since its
    last part was handed off (every HANDOFF_INTERVAL seconds)."""
    global _exit_hooked
    _to_save.append((profiler, forked))
    if not _exit_hooked:
        _exit_hooked = True  # inherited by forks, which use the same list
        atexit.register(_finish)
    if forked and "multiprocessing.util" in sys.modules:
        _finish_with_multiprocessing(profiler)


def leave_unrecorded():
    """This child process is to be recorded otherwise (a test runner's worker, whose tests are
    recorded one by one): the recordings its bootstrap started stop, and save nothing."""
    for profiler, forked in list(_to_save):
        if forked:
            continue
        _to_save.remove((profiler, forked))
        profiler.stop()
        profiler.forked_away = True  # nothing of it is saved


def save_when_idle(worker_frame):
    """Called by a multiprocessing pool's worker frame (a plugin sees it put a result): in a
    recorded child whose worker has no other task waiting, what the child recorded is saved
    now, before the result goes out."""
    if not _to_save:
        return  # not a recorded child (or a thread pool's worker in the parent)
    inqueue = worker_frame.f_locals.get("inqueue")
    try:
        if inqueue._reader.poll():
            return  # another task waits: the worker is not idle
    except Exception as error:  # noqa: BLE001 - not a process pool's queue
        if _vesk.is_interruption(error):
            raise
        return
    for profiler, _ in _to_save:
        if profiler in _live:
            try:
                profiler.save()
            except Exception as error:  # noqa: BLE001 - kept for the next save; the task's
                if _vesk.is_interruption(error):  # result matters more
                    raise


def _finish():
    global _finishing
    if _finishing:
        return
    _finishing = True
    try:
        while _to_save:
            profiler, forked = _to_save.pop(0)
            if profiler in _live:
                profiler.stop()
            elif forked:
                continue  # the program's own recording code stopped and saved it
            try:
                profiler.save()
            except Exception as error:  # noqa: BLE001 - one line; the child's outcome stands
                print(f"vesk: the trace of process {os.getpid()} could not be saved: "
                      f"{type(error).__name__}: {error}", file=sys.stderr)
    finally:
        _finishing = False


def _finish_with_multiprocessing(profiler):
    # A multiprocessing child ends by os._exit after running its finalizers, which it clears when
    # it starts: the finalizer is registered again from its after-fork hooks, which run after that.
    from multiprocessing import util

    def register(obj):
        util.Finalize(obj, _finish, exitpriority=-1000)

    util.register_after_fork(profiler, register)
    register(profiler)

"""Found first on the PYTHONPATH of a child process that a recorded program started: puts the
child's environment and sys.path back as they would have been without vesk, runs the user's own
sitecustomize if there is one, then records the child into its parent's database."""


def _start():
    import os
    import sys

    payload = os.environ.pop("VESK_CHILD", None)
    boot = os.path.dirname(os.path.abspath(__file__))
    sys.path[:] = [entry for entry in sys.path if entry != boot]
    this = sys.modules.pop("sitecustomize")
    if payload is not None:
        import json

        try:
            data = json.loads(payload)
        except ValueError:
            data = None
        if not isinstance(data, dict):
            data, payload = {}, None  # not what a recorded parent sets: the child runs unrecorded
        pythonpath = data.get("pythonpath")
        if pythonpath is not None and not isinstance(pythonpath, str):
            pythonpath = None
        if pythonpath is None:
            os.environ.pop("PYTHONPATH", None)
        else:
            os.environ["PYTHONPATH"] = pythonpath
    try:
        import sitecustomize  # noqa: F401 - the user's own, as site would have run it
    except ImportError as error:
        if error.name != "sitecustomize":
            raise
        # The import that runs this module needs it in sys.modules when it finishes.
        sys.modules["sitecustomize"] = this
    if payload is None:
        return
    try:
        from vesk.filters.children import start_child
    except ImportError:  # another interpreter, without vesk: it runs unrecorded
        return
    start_child(payload)


_start()
del _start

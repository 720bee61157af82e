"""Which frames are recorded: built-in filters, configured include and ignore fragments."""

import functools

import pytest

SITE = "/opt/venv/lib/python3.12/site-packages/somepkg/core.py"
USER = "/srv/shop/app/views.py"
GENERATED = "<attrs generated init shop.Point>"


def load(filename, source, name="module"):
    namespace = {"__name__": name}
    exec(compile(source, filename, "exec"), namespace)
    return namespace


def recorded_names(recording, host):
    return [r["co_name"] for r in recording.decode(host)["frames_of_interest"]
            if r["event"] == "call"]


FILES = {
    "site": SITE, "user": USER, "frozen": "<frozen shop>", "string": "<string>",
    "pytest": "<pytest match expression>", "generated": GENERATED,
    "own": "/srv/app/python/vesk/db.py", "plugins": "/srv/app/python/vesk/plugins.py",
}


def run_each(names):
    for name in names:
        FUNCTIONS[name]()


FUNCTIONS = {kind: load(path, f"def {kind}():\n    return 1\n")[kind] for kind, path in FILES.items()}


@pytest.mark.parametrize("filters, recorded", [
    (None, ["user", "plugins"]),
    ({"include_frames": ["somepkg/"]}, ["site", "user", "plugins"]),
    ({"include_frames": ["somepkg/"], "ignore_frames": ["somepkg/"]}, ["site", "user", "plugins"]),
    ({"ignore_frames": ["shop/app"]}, ["plugins"]),
    ({"include_frames": [""]}, list(FILES)),
    ({"ignore_frames": [""]}, []),
    ({"ignore_frames": [""], "include_frames": ["views.py"]}, ["user"]),
    ({"include_frames": ["<frozen", "<string>", "<pytest", "<attrs", "vesk/db"]},
     ["frozen", "string", "pytest", "generated", "own", "user", "plugins"]),
    ({"include_frames": ["APP/VIEWS"]}, ["user", "plugins"]),  # case matters
])
def test_configured_fragments(recording, filters, recorded):
    config = {} if filters is None else {"filters": filters}
    with recording(config=config) as host:
        run_each(list(FILES))
    names = [name for name in recorded_names(recording, host) if name in FILES]
    assert sorted(names) == sorted(recorded)


MAKER = load("/opt/venv/lib/python3.12/site-packages/attr/_make.py",
             "def make(callback):\n    return callback()\n", "attr._make")
TRAMPOLINE = load("", "def trampoline(callback):\n    return callback()\n", "trampoline")
SECOND = load("", "def again(callback):\n    return callback()\n", "again")


def generated_method():
    return 1


@pytest.mark.parametrize("call, recorded", [
    # Called from attrs' code generator: dropped, whatever its own file.
    (lambda: MAKER["make"](generated_method), False),
    # One frame without a file name between them is looked through...
    (lambda: MAKER["make"](functools.partial(TRAMPOLINE["trampoline"], generated_method)), False),
    # ...but not two.
    (lambda: MAKER["make"](functools.partial(
        TRAMPOLINE["trampoline"], functools.partial(SECOND["again"], generated_method))), True),
    (lambda: TRAMPOLINE["trampoline"](generated_method), True),
])
def test_frames_called_by_attrs_code_generator(recording, call, recorded):
    with recording() as host:
        call()
    assert ("generated_method" in recorded_names(recording, host)) is recorded


def test_each_call_is_judged_by_its_own_caller(recording):
    """The same function called by turns from the generator and from user code: only the calls
    from user code are recorded."""
    with recording() as host:
        for _ in range(2):
            MAKER["make"](generated_method)
            generated_method()
    assert recorded_names(recording, host).count("generated_method") == 2


def test_include_does_not_spare_a_frame_called_by_the_generator(recording):
    """An include fragment overrides the attrs test too."""
    with recording(config={"filters": {"include_frames": ["test_filters.py"]}}) as host:
        MAKER["make"](generated_method)
    assert "generated_method" in recorded_names(recording, host)


def test_filtered_frames_leave_the_call_sites_alone(recording):
    """A recorded frame called through library frames names the recorded frame below them."""
    library = load(SITE, "def call(callback):\n    return callback()\n")

    def outer():
        return library["call"](generated_method)

    with recording() as host:
        outer()
    records = recording.decode(host)["frames_of_interest"]
    assert [r["co_name"] for r in records] == ["outer", "generated_method", "generated_method",
                                               "outer"]
    assert records[1]["user_code_call_site"]["call_frame_id"] == records[0]["frame_id"]

"""Loading the plugin descriptions of the companion package when a profiler is registered."""

import sys
import types

import pytest

import vesk._vesk as engine


def mismatch(type_name, expected):
    return f"^'{type_name}' object cannot be converted to '{expected}'$"


def plugin(**overrides):
    description = {"co_names": ["handler"], "path_fragment": "app/", "call_type": "start",
                   "return_type": "end"}
    description.update(overrides)
    return {key: value for key, value in description.items() if value is not ...}


def register_with_plugins(make_host, descriptions):
    host = make_host(config={"plugins": descriptions})
    engine.register_profiler(host)
    return host


def replace_plugins_module(monkeypatch, **attributes):
    module = types.ModuleType("vesk.plugins")
    module.__dict__.update(attributes)
    monkeypatch.setitem(sys.modules, "vesk.plugins", module)


@pytest.mark.parametrize("attributes, message", [
    ({"load_plugin_data": lambda config: (yield)}, "load_plugin_data should return a list"),
    ({"load_plugin_data": lambda config: ()}, "load_plugin_data should return a list"),
    ({"load_plugin_data": 42}, "load_plugin_data should be callable"),
    ({"load_plugin_data": lambda: []}, "load_plugin_data should be callable"),
    ({}, "load_plugin_data should exist"),
])
def test_broken_companion_package_is_an_internal_fault(make_host, monkeypatch, attributes, message):
    replace_plugins_module(monkeypatch, **attributes)
    with pytest.raises(BaseException, match=message) as caught:
        engine.register_profiler(make_host())
    assert type(caught.value).__name__ == "PanicException"
    assert sys.getprofile() is None


def test_unimportable_plugins_module_is_an_internal_fault(make_host, monkeypatch):
    monkeypatch.setitem(sys.modules, "vesk.plugins", None)
    with pytest.raises(BaseException, match="vesk.plugins should always be importable") as caught:
        engine.register_profiler(make_host())
    assert type(caught.value).__name__ == "PanicException"


def test_replaced_plugins_module_is_honoured(make_host, monkeypatch):
    seen = []
    replace_plugins_module(monkeypatch, load_plugin_data=lambda config: seen.append(config) or [])
    host = make_host(config={"marker": 1})
    engine.register_profiler(host)
    assert seen == [host.config]


@pytest.mark.parametrize("descriptions", [
    [],
    [plugin()],
    [plugin(co_names=[])],
    [plugin(co_names=[], call_type=...)],  # validated per code name only
    [plugin(co_names="abc")],  # a str is iterated: three one-letter names
    [plugin(co_names=("a", "a"))],
    [plugin(subtype="request", events=["call"], call=None, process=None, build_context=None)],
    [plugin(call=lambda *a: True, process=lambda *a: {}, events=("return",))],
    [plugin(call=42, process="not checked until used")],
    [plugin(), plugin()],
])
def test_accepted_descriptions(make_host, descriptions):
    host = register_with_plugins(make_host, descriptions)
    assert sys.getprofile() is host.rust_profiler


@pytest.mark.parametrize("descriptions, error, message", [
    ([42], TypeError, mismatch("int", "PyDict")),
    ([plugin(co_names=...)], KeyError, "co_names"),
    ([plugin(path_fragment=...)], KeyError, "path_fragment"),
    ([plugin(call_type=...)], KeyError, "call_type"),
    ([plugin(return_type=...)], KeyError, "return_type"),
    ([plugin(co_names=[1])], TypeError, mismatch("int", "PyString")),
    ([plugin(co_names=5)], TypeError, "not iterable"),
    ([plugin(path_fragment=b"app")], TypeError, mismatch("bytes", "PyString")),
    ([plugin(call_type=None)], TypeError, mismatch("NoneType", "PyString")),
    ([plugin(subtype=None)], TypeError, mismatch("NoneType", "PyString")),
    ([plugin(events="call")], TypeError, "^Can't extract `str` to `Vec`$"),
    ([plugin(events=5)], TypeError, mismatch("int", "Sequence")),
    ([plugin(events=["call", 3])], TypeError, mismatch("int", "PyString")),
    ([plugin(build_context=lambda config: [])], TypeError, mismatch("list", "PyDict")),
    ([plugin(build_context=lambda config: 1 / 0)], ZeroDivisionError, None),
    ([plugin(), "second is bad"], TypeError, mismatch("str", "PyDict")),
])
def test_refused_descriptions(make_host, descriptions, error, message):
    host = make_host(config={"plugins": descriptions})
    with pytest.raises(error, match=message):
        engine.register_profiler(host)
    assert sys.getprofile() is None


def test_build_context_called_once_per_description_with_the_config(make_host):
    calls = []

    def build_context(config):
        calls.append(config)
        return {}

    host = register_with_plugins(make_host, [plugin(co_names=["a", "b", "c"],
                                                    build_context=build_context)])
    assert calls == [host.config]


def test_descriptions_removed_while_loading_are_not_read(make_host, monkeypatch):
    descriptions = []

    def shrink(config):
        del descriptions[1:]
        return {}

    descriptions.extend([plugin(build_context=shrink), "never read"])
    replace_plugins_module(monkeypatch, load_plugin_data=lambda config: descriptions)
    engine.register_profiler(make_host())

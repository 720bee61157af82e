"""Recorded calls made into test cases: what was called, with what, and how it ended.

A call becomes a case only when its test would be faithful: its function importable, its
arguments (and, for a method, its instance) rebuilt from what was recorded, its outcome known,
and nothing under it that a test cannot repeat. Calls under which any of these is recorded are
skipped:

- a framework event (an HTTP exchange, an SQL statement, a log record, a request served);
- a child process started while it ran;
- a recorded function that names, in its code, one of the functions that read the clock,
  randomness or the environment: CLOCK_RANDOM_ENV below (time.time, datetime.now, random.*,
  os.environ, uuid.uuid4, ...). The names are read from the code, not from what ran, so a
  function that merely mentions one is skipped too: a test that flips is worse than none.

Every skipped call is counted under its reason.
"""

import builtins
import collections
import dataclasses
import inspect
import types

from vesk.filters.events import TYPES as EVENT_TYPES
from vesk.generate_tests.resolve import Resolver, Unfaithful, is_name
from vesk.generate_tests.values import Rebuilder
from vesk.view.choose import matches
from vesk.view.values import is_object
from vesk.view.tree import is_fact

__all__ = ["CLOCK_RANDOM_ENV", "Case", "Collector", "main_module_of"]

# Names whose mention in a recorded function's code makes the calls around it unrepeatable.
CLOCK_RANDOM_ENV = frozenset({
    # the clock
    "time", "time_ns", "monotonic", "monotonic_ns", "perf_counter", "perf_counter_ns", "process_time",
    "localtime", "gmtime", "ctime", "now", "utcnow", "today",
    # randomness
    "random", "randint", "randrange", "choice", "choices", "shuffle", "sample", "uniform", "urandom",
    "uuid1", "uuid4", "token_bytes", "token_hex", "token_urlsafe", "getrandbits",
    # the environment
    "environ", "getenv", "getpid", "getcwd", "argv",
})


@dataclasses.dataclass
class Case:
    """One call as a test: sources of its arguments, its instance, its outcome."""

    function: str  # the recorded dotted name, module mapped ("shop.Basket.add")
    qualname: str  # as imported in the test module ("Basket.add")
    method: str | None  # for a method: its name, called on the rebuilt instance
    args: list  # sources of positional arguments
    kwargs: list  # (name, source) of keyword arguments
    instance: str | None  # source of the instance before the call
    returns: str | None  # source of the returned value (None when it raised)
    raises: tuple | None  # (source naming the exception's type, source of its args) or None
    after: str | None  # source of the instance after the call, when the call changed it
    changed: list  # (name, source after the call) of keyword arguments the call changed
    site: str  # where it was called from
    shape: tuple  # the kinds of its arguments, to choose cases that differ
    imports: dict = dataclasses.field(default_factory=dict)  # module -> names its source needs
    variant: object = None  # the same case with its arguments' arrays as tuples, if it has arrays

    @property
    def key(self):
        return (self.function, tuple(self.args), tuple(self.kwargs), self.instance)


def main_module_of(trace):
    """The module name the recorded script imports as, from its module frame: its file's name.
    Where that file was is the recording machine's business: the module is looked for in the
    project's roots."""
    for thread in trace.threads:
        for record in thread.records[:50]:
            if isinstance(record, dict) and record.get("qualname") == "__main__.<module>":
                path = (record.get("locals") or {}).get("__file__")
                if isinstance(path, str) and path.endswith(".py"):
                    name = path.replace("\\", "/").rsplit("/", 1)[-1][:-3]
                    return name if is_name(name) and "." not in name else None
    return None


def _code_names(code, seen):
    names = set(code.co_names)
    for const in code.co_consts:
        if isinstance(const, types.CodeType) and const not in seen:
            seen.add(const)
            names |= _code_names(const, seen)
    return names


def _is_suite(module):
    last = module.rsplit(".", 1)[-1]
    return last.startswith("test_") or last.endswith("_test") or last == "conftest" or last.startswith("_pytest")


class Collector:
    """Cases from the call trees of a trace; skipped calls counted by reason."""

    def __init__(self, main_module=None, function=None, children_started=(), roots=None):
        self.resolver = Resolver(main_module, roots)
        self.rebuilder = Rebuilder(self.resolver)
        self.function = function  # a pattern of the functions wanted, or None
        self.children_started = sorted(children_started)  # when child processes started
        self.cases = {}  # key -> Case, in recording order
        self.skipped = collections.Counter()
        self.calls = 0  # calls of functions wanted
        self._unrepeatable = {}

    def add_thread(self, roots):
        """Walks one thread's call tree; returns (node, caller) of every call met."""
        pending = [(root, None) for root in reversed(roots)]
        while pending:
            node, caller = pending.pop()
            pending.extend((child, node) for child in reversed(node.children))
            if not node.is_event and node.call is not None:
                self.add_call(node, caller)

    def add_call(self, node, caller):
        dotted = node.record.get("qualname")
        if not isinstance(dotted, str) or node.record.get("co_name") == "<module>":
            return None
        try:
            dotted = self.resolver.module_name(dotted)
        except Unfaithful:
            pass
        if self.function is not None and not matches(dotted, self.function):
            return None
        self.calls += 1
        self.rebuilder.imports = {}
        try:
            case = self._case(node, caller, dotted)
        except Unfaithful as error:
            self.skipped[str(error)] += 1
            return None
        if case is None:
            self.calls -= 1  # a class body, not a call of a function
            return None
        case.imports = self.rebuilder.imports
        if case.key in self.cases:
            return self.cases[case.key]
        if "[" in repr((case.args, case.kwargs, case.instance)):
            self.rebuilder.imports, self.rebuilder.tuples = {}, True
            try:
                case.variant = self._case(node, caller, dotted)
                case.variant.imports = self.rebuilder.imports
            finally:
                self.rebuilder.tuples = False
        self.cases[case.key] = case
        return case

    def _case(self, node, caller, dotted):
        module, qualname, target = self.resolver.resolve(dotted)
        if isinstance(target, type):
            return None
        if _is_suite(module):
            raise Unfaithful("a test or fixture of the suite")
        function = target.__func__ if isinstance(target, (staticmethod, classmethod)) else target
        if not inspect.isfunction(function):
            # a property's getter, or a descriptor's: it runs on attribute access, not by a call
            raise Unfaithful("a property" if hasattr(function, "__get__") else "not a plain function")
        if not self.resolver.in_project(function):
            raise Unfaithful("a function outside the project")
        if inspect.isgeneratorfunction(function) or inspect.isasyncgenfunction(function):
            raise Unfaithful("a generator")
        if inspect.iscoroutinefunction(function):
            raise Unfaithful("a coroutine")
        if node.ret is None:
            raise Unfaithful("no return recorded")
        self._check_repeatable(node)
        self.rebuilder.imports.setdefault(module, set()).add(qualname.split(".")[0])

        try:
            parameters = list(inspect.signature(function).parameters.values())
        except (TypeError, ValueError):
            raise Unfaithful("a function whose signature cannot be read") from None
        arguments = node.arguments
        method = None
        instance = after = None
        if "." in qualname and not isinstance(target, (staticmethod, classmethod)) and parameters \
                and parameters[0].name == "self":
            if qualname.rsplit(".", 1)[-1] == "__init__":
                raise Unfaithful("a constructor")
            method = qualname.rsplit(".", 1)[-1]
            instance = self.rebuilder.source(arguments.get("self", {"__type__": "?", "__more__": None}))
            ret_self = (node.ret.get("locals") or {}).get("self")
            if ret_self != arguments.get("self"):
                after = self.rebuilder.source(ret_self)
            parameters = parameters[1:]
        elif isinstance(target, classmethod):
            parameters = parameters[1:]
        args, kwargs, shape, changed = [], [], [], []
        ret_locals = node.ret.get("locals") if isinstance(node.ret.get("locals"), dict) else {}
        # Before a *args, arguments can only be given by position.
        by_position = any(p.kind is p.VAR_POSITIONAL for p in parameters)
        for p in parameters:
            if p.name not in arguments:
                raise Unfaithful("arguments not recorded")
            value = arguments[p.name]
            shape.append(_shape(value))
            if p.kind is p.VAR_POSITIONAL:
                if not isinstance(value, list):
                    raise Unfaithful("a value cut by the recording's bounds")
                args.extend(self.rebuilder.source(item) for item in value)
            elif p.kind is p.VAR_KEYWORD:
                if not isinstance(value, dict) or not all(type(k) is str and k.isidentifier() for k in value):
                    raise Unfaithful("a value cut by the recording's bounds")
                kwargs.extend((k, self.rebuilder.source(v)) for k, v in value.items())
            elif p.kind is p.POSITIONAL_ONLY or by_position and p.kind is p.POSITIONAL_OR_KEYWORD:
                args.append(self.rebuilder.source(value))
            else:
                kwargs.append((p.name, self.rebuilder.source(value)))
                later = ret_locals.get(p.name, value)
                # A container or object the call changed in place; a name bound to a new value
                # later in the call would say nothing of the argument.
                if later != value and type(value) is type(later) and (
                        type(value) is list or is_object(value) and value.get("__type__") == later.get("__type__")
                        or type(value) is dict and not is_object(value)):
                    changed.append((p.name, self.rebuilder.source(later)))

        raised = node.exception
        returns = raises = None
        if raised is not None:
            raises = self._exception(raised)
        else:
            returns = self.rebuilder.source(node.return_value)
        return Case(dotted, qualname, method, args, kwargs, instance, returns, raises, after, changed,
                    self._site(node, caller), (raises is not None, raises and raises[0], tuple(shape)))

    def _exception(self, record):
        name, value = record.get("exception"), record.get("value")
        if not isinstance(name, str):
            raise Unfaithful("an exception whose type was not recorded")
        if not is_name(name):
            raise Unfaithful("an exception type that is not a name")
        if isinstance(value, dict) and isinstance(value.get("__args__"), list):
            args = self.rebuilder.source(tuple(value["__args__"]))
        elif isinstance(value, dict):
            raise Unfaithful("a value cut by the recording's bounds")
        else:
            args = None
        if name.startswith("builtins."):
            source, found = name[len("builtins."):], getattr(builtins, name[len("builtins."):], None)
        else:
            source, found = self.rebuilder.name_of(name)
        if not (isinstance(found, type) and issubclass(found, BaseException)):
            raise Unfaithful("an exception type not found")
        return source, args

    def _site(self, node, caller):
        line = node.call_site_line
        if caller is None or caller.is_event:
            thread = node.record.get("thread")
            return f"first call of thread {thread}" if isinstance(thread, str) else "?"
        path = caller.path or "?"
        file = path.rpartition(":")[0] or path
        return f"{file}:{line} in {caller.name.rsplit('.', 1)[-1]}"

    def _check_repeatable(self, node):
        start, end = node.start, node.end
        for started in self.children_started:
            if start <= started <= (end if end is not None else started):
                raise Unfaithful("started a process")
        pending = list(node.children)
        while pending:
            child = pending.pop()
            if child.is_event:
                kind = child.record.get("type")
                if kind in EVENT_TYPES:
                    raise Unfaithful(f"did I/O ({'request' if kind == 'response' else kind})")
                continue
            pending.extend(child.children)
            if self._reads_outside(child.record.get("qualname")):
                raise Unfaithful("reads the clock, randomness or the environment")
        if self._reads_outside(node.record.get("qualname")):
            raise Unfaithful("reads the clock, randomness or the environment")

    def _reads_outside(self, dotted):
        if not isinstance(dotted, str):
            return False
        found = self._unrepeatable.get(dotted)
        if found is None:
            try:
                target = self.resolver.resolve(dotted)[2]
            except Unfaithful:
                target = None
            target = getattr(target, "__func__", target)
            code = getattr(target, "__code__", None)
            found = bool(code is not None and _code_names(code, set()) & CLOCK_RANDOM_ENV)
            self._unrepeatable[dotted] = found
        return found


def _shape(value):
    if isinstance(value, dict) and isinstance(value.get("__type__"), str):
        return value["__type__"]
    if isinstance(value, (list, dict, str, bytes)):
        return (type(value).__name__, min(len(value), 2))
    return type(value).__name__


def chosen(cases, most):
    """At most `most` cases of each function, by function in order of first call: cases that
    differ in outcome (returned, or which exception), then in the kinds of their arguments, then
    the rest in recording order."""
    by_function = {}
    for case in cases:
        by_function.setdefault(case.function, []).append(case)
    result = {}
    for function, group in by_function.items():
        picked, seen_outcome, seen_shape = [], set(), set()
        for stage in (0, 1, 2):
            for case in group:
                if len(picked) >= most:
                    break
                if case in picked:
                    continue
                outcome = case.shape[:2]
                if stage == 0 and outcome in seen_outcome or stage == 1 and case.shape in seen_shape:
                    continue
                picked.append(case)
                seen_outcome.add(outcome)
                seen_shape.add(case.shape)
        result[function] = sorted(picked, key=group.index)
    return result


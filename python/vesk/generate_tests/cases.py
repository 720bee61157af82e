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

A function called many times needs few of its calls: of each function, only the cases `chosen`
could pick are kept (see _Choice), and a call that could not be one of them is counted as not
examined, its values left unread.
"""

import bisect
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

__all__ = ["CLOCK_RANDOM_ENV", "READS_OUTSIDE", "Case", "Collector", "chosen", "did_io", "main_module_of"]

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
READS_OUTSIDE = "reads the clock, randomness or the environment"


def did_io(record):
    """Why the calls around a record cannot be repeated when it is a framework event's, else None."""
    kind = record.get("type")
    return f"did I/O ({'request' if kind == 'response' else kind})" if kind in EVENT_TYPES else None


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
    order: tuple = dataclasses.field(default=(), compare=False)  # where its call is among the traces'
    holds: int = dataclasses.field(default=0, compare=False)  # the _Choice tables that keep it

    @property
    def key(self):
        return (self.function, tuple(self.args), tuple(self.kwargs), self.instance)


def main_module_of(path):
    """The module name the recorded script (its file's recorded path, or None) imports as: its
    file's name. Where that file was is the recording machine's business: the module is looked for
    in the project's roots."""
    if not isinstance(path, str) or not path.endswith(".py"):
        return None
    name = path.replace("\\", "/").rsplit("/", 1)[-1][:-3]
    return name if is_name(name) and "." not in name else None


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
    """Cases from the calls of a trace, handed over as they end (see walk.py); skipped calls
    counted by reason. Of each function it keeps only what `chosen` could pick of at most `most`
    cases."""

    def __init__(self, main_module=None, function=None, children_started=(), roots=None, most=None,
                 frame_id=None):
        self.resolver = Resolver(main_module, roots)
        self.rebuilder = Rebuilder(self.resolver)
        self.function = function  # a pattern of the functions wanted, or None
        self.frame_id = frame_id  # the one call wanted, or None
        self.children_started = sorted(children_started)  # when child processes started
        self.most = most
        self.choices = {}  # function -> _Choice
        self.skipped = collections.Counter()
        self.calls = 0  # calls of functions wanted
        self.distinct = 0  # cases that were no other's repeat when made
        self.unexamined = collections.Counter()  # function -> calls left unread: it had cases enough
        self._unrepeatable = {}
        self._targets = {}  # dotted name -> what _target() says of it

    @property
    def cases(self):
        """The cases kept, in recording order."""
        return sorted((case for choice in self.choices.values() for case in choice.keys.values()),
                      key=lambda case: case.order)

    @property
    def kept(self):
        return sum(len(choice.keys) for choice in self.choices.values())

    def counts(self):
        """What rewind() goes back to."""
        return self.calls, self.distinct, self.skipped.copy(), self.unexamined.copy()

    def rewind(self, trace, counts):
        """Forgets what the trace numbered trace gave since counts() were taken: its pass over it
        begins again. The cases of earlier traces are all still there: a later one never takes
        their place."""
        self.calls, self.distinct = counts[:2]
        self.skipped, self.unexamined = counts[2].copy(), counts[3].copy()
        for choice in self.choices.values():
            choice.forget(trace)

    def wanted(self, record):
        """What a call record is to the collector: None when it is not a call of a function wanted
        (nothing counted), False when it is counted and skipped already (by its function's name
        alone), else its function's dotted name: its call may become a case."""
        dotted = record.get("qualname")
        if dotted.__class__ is not str or record.get("co_name") == "<module>":
            return None
        if self.frame_id is not None and record.get("frame_id") != self.frame_id:
            return None
        try:
            dotted = self.resolver.module_name(dotted)
        except Unfaithful:
            pass
        if self.function is not None and not matches(dotted, self.function):
            return None
        found = self._targets.get(dotted)
        if found is None:
            found = self._targets[dotted] = self._target(dotted)
        if found is False:
            return None  # a class body, not a call of a function
        self.calls += 1
        if isinstance(found, Unfaithful):
            self.skipped[str(found)] += 1
            return False
        return dotted

    def _target(self, dotted):
        """(module, qualname, target, parameters or None) of a function whose calls may become
        cases, False for a class, or the Unfaithful that says why its calls cannot: what its name
        alone tells, the same for all its calls."""
        try:
            module, qualname, target = self.resolver.resolve(dotted)
            if isinstance(target, type):
                return False
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
        except Unfaithful as error:
            return error
        try:
            parameters = list(inspect.signature(function).parameters.values())
        except (TypeError, ValueError):
            parameters = None  # said only of calls that returned, as before
        return module, qualname, target, parameters

    def add_call(self, call, caller, order):
        """Takes a call that ended (walk._Call), made in caller (None at top level); its place
        among the traces' calls is order. Returns its case when the case is new and kept."""
        dotted = call.dotted
        self.rebuilder.imports = {}
        try:
            plan = self._plan(call, dotted)
            choice = self.choices.get(dotted)
            if choice is None:
                choice = self.choices[dotted] = _Choice(self.most)
            if plan.shape is not None and not choice.wanted(order, plan.shape):
                self.unexamined[dotted] += 1
                return None
            case = self._case(call, caller, dotted, plan)
        except Unfaithful as error:
            self.skipped[str(error)] += 1
            return None
        case.imports = self.rebuilder.imports
        case.order = order
        if not choice.wanted(order, case.shape):
            self.unexamined[dotted] += 1
            return None
        held = choice.keys.get(case.key)
        if held is not None and held.order < order:
            return None
        if "[" in repr((case.args, case.kwargs, case.instance)):
            self.rebuilder.imports, self.rebuilder.tuples = {}, True
            try:
                case.variant = self._case(call, caller, dotted, plan)
                case.variant.imports = self.rebuilder.imports
            finally:
                self.rebuilder.tuples = False
        self.distinct += held is None
        choice.add(case)
        return case

    def _plan(self, call, dotted):
        """What of the call is known without building its values: its function's parameters to
        give, whether it is a method, and its case's shape when nothing stops the case being made
        (None: the case tells)."""
        module, qualname, target, parameters = self._targets[dotted]
        if call.ret is None:
            raise Unfaithful("no return recorded")
        self._check_repeatable(call)
        if parameters is None:
            raise Unfaithful("a function whose signature cannot be read")
        method = None
        if "." in qualname and not isinstance(target, (staticmethod, classmethod)) and parameters \
                and parameters[0].name == "self":
            if qualname.rsplit(".", 1)[-1] == "__init__":
                raise Unfaithful("a constructor")
            method = qualname.rsplit(".", 1)[-1]
            parameters = parameters[1:]
        elif isinstance(target, classmethod):
            parameters = parameters[1:]
        shape = None
        arguments = call.arguments
        if all(p.name in arguments for p in parameters):
            raised = call.exception
            kinds = tuple(_shape(arguments[p.name]) for p in parameters)
            if raised is None:
                shape = (False, None, kinds)
            else:
                source = self._exception_type(raised)
                shape = None if source is None else (True, source, kinds)
        return _Plan(module, qualname, method, parameters, shape)

    def _exception_type(self, record):
        """The source naming the type of a recorded exception, or None when it has none."""
        name = record.get("exception")
        if not isinstance(name, str) or not is_name(name):
            return None
        if name.startswith("builtins."):
            return name[len("builtins."):]
        try:
            return self.rebuilder.name_of(name)[0]
        except Unfaithful:
            return None

    def _case(self, call, caller, dotted, plan):
        qualname, method, parameters = plan.qualname, plan.method, plan.parameters
        self.rebuilder.imports.setdefault(plan.module, set()).add(qualname.split(".")[0])
        arguments = call.arguments
        instance = after = None
        if method is not None:
            instance = self.rebuilder.source(arguments.get("self", {"__type__": "?", "__more__": None}))
            ret_self = call.returned_locals.get("self")
            if ret_self != arguments.get("self"):
                after = self.rebuilder.source(ret_self)
        args, kwargs, shape, changed = [], [], [], []
        ret_locals = call.returned_locals
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

        raised = call.exception
        returns = raises = None
        if raised is not None:
            raises = self._exception(raised)
        else:
            returns = self.rebuilder.source(call.return_value)
        return Case(dotted, qualname, method, args, kwargs, instance, returns, raises, after, changed,
                    self.site(call.call_site_line, caller, call.record.get("thread")),
                    (raises is not None, raises and raises[0], tuple(shape)))

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

    @staticmethod
    def site(line, caller, thread=None):
        """Where a call was made: the line of the call it was made in (caller: a walk._Call or
        _Wrapper, None at top level)."""
        if caller is None:
            return f"first call of thread {thread}" if isinstance(thread, str) else "?"
        path = caller.path or "?"
        file = path.rpartition(":")[0] or path
        return f"{file}:{line} in {caller.name.rsplit('.', 1)[-1]}"

    def _check_repeatable(self, call):
        start, end = call.start, call.end
        for started in self.children_started:
            if start <= started <= (end if end is not None else started):
                raise Unfaithful("started a process")
        if call.inner is not None:
            raise Unfaithful(call.inner)
        if self.reads_outside(call.qualname):
            raise Unfaithful(READS_OUTSIDE)

    def reads_outside(self, dotted):
        """Whether the recorded function dotted names, in its code, what reads the clock,
        randomness or the environment."""
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


@dataclasses.dataclass
class _Plan:
    module: str
    qualname: str
    method: str | None
    parameters: list
    shape: tuple | None


class _Choice:
    """The cases of one function that `chosen` could pick of at most `most`, whatever order they
    come in: the `most` first in recording order, the first of each of the `most` first outcomes
    (returned, or which exception) and of each of the 2 * `most` first shapes. A case kept in no
    table is let go. Cases alike in all but their order are one: the first is kept.

    Which outcomes and shapes come first is known only at the end: a call ends after those it
    made, which were made after it. Each table keeps the earliest so far."""

    def __init__(self, most):
        self.most = most
        self.first = []  # (order, case), in order
        self.outcomes = {}  # outcome -> its first case
        self.shapes = {}  # shape -> its first case
        self.keys = {}  # key -> case, of every case kept

    def _tables(self, shape):
        return ((self.outcomes, shape[:2], self.most), (self.shapes, shape, 2 * self.most))

    def wanted(self, order, shape):
        """Whether a case at order of that shape would be kept."""
        if self.most is None or len(self.first) < self.most or order < self.first[-1][0]:
            return True
        for table, value, bound in self._tables(shape):
            held = table.get(value)
            if held is None and (len(table) < bound or order < max(c.order for c in table.values())) \
                    or held is not None and order < held.order:
                return True
        return False

    def add(self, case):
        held = self.keys.get(case.key)
        if held is not None:
            if held.order < case.order:
                return
            for index, (_, kept) in enumerate(self.first):
                if kept is held:
                    del self.first[index]
                    self._let_go(held)
                    break
            for table, value, _ in self._tables(held.shape):
                if table.get(value) is held:
                    del table[value]
                    self._let_go(held)
        self.keys[case.key] = case
        if self.most is None or len(self.first) < self.most or case.order < self.first[-1][0]:
            bisect.insort(self.first, (case.order, case), key=lambda item: item[0])
            case.holds += 1
            if self.most is not None and len(self.first) > self.most:
                self._let_go(self.first.pop()[1])
        for table, value, bound in self._tables(case.shape):
            held = table.get(value)
            if held is not None and held.order < case.order:
                continue
            if held is not None:
                self._let_go(held)
            table[value] = case
            case.holds += 1
            if self.most is not None and len(table) > bound:
                latest = max(table, key=lambda v: table[v].order)
                self._let_go(table.pop(latest))
        if not case.holds and self.keys.get(case.key) is case:
            del self.keys[case.key]

    def forget(self, trace):
        """Lets go of the cases of the trace numbered trace."""
        self.first = [item for item in self.first if item[1].order[0] != trace]
        for table in (self.outcomes, self.shapes):
            for value in [v for v, case in table.items() if case.order[0] == trace]:
                del table[value]
        self.keys = {key: case for key, case in self.keys.items() if case.order[0] != trace}

    def _let_go(self, case):
        case.holds -= 1
        if not case.holds and self.keys.get(case.key) is case:
            del self.keys[case.key]


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


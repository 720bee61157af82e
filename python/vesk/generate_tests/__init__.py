"""`vesk tests`: a pytest module made of a trace's recorded calls.

Each recorded call of the program's functions whose test would be faithful (see cases.py)
becomes a case: the function called with the recorded arguments, asserting the recorded return
value, or the recorded exception's type and args. The cases of a function form one parametrized
test, at most --max-per-function of them, chosen to differ. Unless --no-check, the module is run
twice against the current code and what fails or flips is dropped, so the file written passes.

The code here is one of vesk's filtered names: recording leaves it out of traces.
"""

import os
import sys
import tempfile

from vesk.generate_tests.cases import Collector, chosen, main_module_of
from vesk.generate_tests.walk import collect
from vesk.generate_tests.audit import audit
from vesk.generate_tests.check import CheckFailed, Unimportable, run_twice
from vesk.generate_tests.render import render
from vesk.generate_tests.values import Unfaithful

__all__ = ["Generated", "children_started", "generate", "project_roots", "test_source_for_call", "tests_command"]

DEFAULT_MOST = 20
MAX_UNIMPORTABLE = 50  # cases dropped, one run each, before giving up


class Generated:
    """What generating made: the cases chosen per function, the calls skipped by reason and
    the cases the check dropped by test id, with why."""

    def __init__(self, trace, collector, picked, header):
        self.trace = trace
        self.collector = collector
        self.picked = picked
        self.header = header
        self.dropped = {}

    @property
    def skipped(self):
        return self.collector.skipped

    @property
    def cases(self):
        return [case for cases in self.picked.values() for case in cases]

    def source(self, output=None, ids=None):
        imports = {}
        for case in self.cases:
            for module, names in case.imports.items():
                imports.setdefault(module, set()).update(names)
        text = render(self.picked, imports, self.header, _roots_used(imports, self.collector.resolver.roots),
                      output, ids)
        audit(text)
        return text

    def drop(self, dropped_ids, ids):
        """Drops the cases of dropped_ids (test id -> why), or puts in their place their variant
        with tuples for arrays when they have one; returns how many it put in place."""
        swapped = 0
        for test_id, why in dropped_ids.items():
            if test_id not in ids:
                continue
            case = ids[test_id][0]
            cases = self.picked[case.function]
            if case.variant is not None:
                cases[cases.index(case)] = case.variant
                swapped += 1
                continue
            self.dropped[test_id] = why
            cases.remove(case)
            if not cases:
                del self.picked[case.function]
        return swapped


def _roots_used(imports, roots):
    """The project's roots that the imported modules were found in, for the test module to
    import them from again."""
    used = set()
    for module in imports:
        path = getattr(sys.modules.get(module), "__file__", None)
        if not module or not isinstance(path, str):
            continue
        path = os.path.realpath(path)
        used.update(root for root in roots if path.startswith(root.rstrip(os.sep) + os.sep))
    return [root for root in roots if root in used]


def children_started(db_path, trace_id):
    from vesk.view.choose import summaries

    try:
        return [s.started for s in summaries(db_path) if s.parent_trace_id == trace_id]
    except Exception:  # noqa: BLE001 - a trace given without its database has no children to find
        return []


def generate(trace, function=None, most=DEFAULT_MOST, children_started=(), test=None, frame_id=None, roots=None,
             thread=None):
    """The Generated of a trace (a view.trace.Trace, or a view.trace.StoredTrace read part by
    part, or a list of them: the traces of a suite's tests): its calls of functions matching the
    pattern function (all when None), or only the call frame_id, in the threads named thread
    (all when none is). The program's modules are imported from the folders roots (the working
    directory when None), never from where the trace says they were."""
    traces = trace if isinstance(trace, list) else [trace]
    first, collector = collect(traces, lambda main_file: Collector(
        main_module_of(main_file), function, children_started, roots, most, frame_id), thread)
    if len(traces) == 1:
        header = [f"Tests made by `vesk tests` from the calls recorded in trace {first.trace_id}"
                  + (f",\nthe trace of {test}" if test else "") + ".",
                  f"Recorded: {first.source or ' '.join(map(str, first.command_line_args))}"]
    else:
        header = [f"Tests made by `vesk tests` from the calls recorded in {len(traces)} traces,",
                  f"the first {first.trace_id}: {first.source}"]
    picked = chosen(collector.cases, most)
    return Generated(first, collector, picked, header)


def check(generated, output=None):
    """Runs the module twice and drops what did not pass each time. A case whose values cannot
    even be built when the module is imported is dropped first, one at a time. A case that fails
    with lists for its recorded arrays (a recording does not tell a tuple from a list) is tried
    again with tuples."""
    folder = os.path.dirname(os.path.abspath(output)) if output else None
    for _ in range(MAX_UNIMPORTABLE + 2):
        if not generated.cases:
            return
        fd, path = tempfile.mkstemp(prefix="test_vesk_check_", suffix=".py", dir=folder)
        ids = {}
        try:
            with os.fdopen(fd, "w", encoding="utf-8") as file:
                file.write(generated.source(output and path, ids))
            try:
                if not generated.drop(run_twice(path), ids):
                    return
            except Unimportable as error:
                test_id = next((i for i, (_, first, last) in ids.items() if first <= error.line <= last), None)
                if test_id is None:
                    raise CheckFailed(f"the test module does not import: {error.message}") from None
                generated.drop({test_id: f"its values cannot be built: {error.message}"}, ids)
        finally:
            os.unlink(path)
    raise CheckFailed(f"more than {MAX_UNIMPORTABLE} cases whose values cannot be built")


def test_source_for_call(stored_trace, thread, frame_id, roots=None):
    """The test module for the one call frame_id of a stored trace (a view.trace.StoredTrace), as
    text; thread (a name, or None for any) narrows where to look. Raises Unfaithful with the
    reason when that call cannot be a faithful test."""
    generated = generate(stored_trace, frame_id=frame_id, roots=roots, thread=thread,
                         children_started=children_started(stored_trace.path, stored_trace.trace_id))
    if not generated.cases:
        reasons = list(generated.skipped)
        raise Unfaithful(reasons[0] if reasons else f"no call {frame_id} of the program's functions")
    return generated.source()


def tests_command(options):
    """`vesk tests`: writes the module, and says on stderr what it wrote and left out."""
    from vesk.utils import CommandError
    from vesk.view.choose import chosen_trace
    from vesk.view.trace import open_trace

    trace = open_trace(options.db, chosen_trace(options))
    output = None if options.output in (None, "-") else options.output
    if output and os.path.isdir(output):
        raise CommandError(f"cannot write {output}: it is a directory", status=2)
    generated = generate(trace, options.function, options.max_per_function,
                         children_started(options.db, trace.trace_id), options.test, roots=project_roots(options))
    if options.check:
        try:
            check(generated, output)
        except CheckFailed as error:
            raise CommandError(f"checking the tests failed: {error}") from None
    if not generated.cases:
        _report(generated, None, options.check)
        raise CommandError("no recorded call could be made a faithful test: nothing written")
    text = generated.source(output)
    if output:
        try:
            with open(output, "w", encoding="utf-8") as file:
                file.write(text)
        except OSError as error:
            raise CommandError(f"cannot write {output}: {error.strerror or error}") from None
    else:
        sys.stdout.write(text)
    _report(generated, output, options.check)
    return 0


def project_roots(options):
    """The folders the program's modules are imported from: those given with --path, else the
    working directory."""
    from vesk.utils import CommandError

    given = getattr(options, "path", None) or [os.getcwd()]
    for folder in given:
        if not os.path.isdir(folder):
            raise CommandError(f"--path {folder}: not a folder", status=2)
    return [os.path.abspath(folder) for folder in given]


def _report(generated, output, checked):
    from vesk.view.values import clean

    cases = generated.cases
    functions = len(generated.picked)
    if cases:
        print(f"vesk: wrote {len(cases)} test{'s' * (len(cases) != 1)} of {functions} "
              f"function{'s' * (functions != 1)} to {output or 'standard output'}", file=sys.stderr)
    collector = generated.collector
    calls = collector.calls
    skipped = sum(generated.skipped.values())
    unexamined = sum(collector.unexamined.values())
    print(f"vesk: {calls} recorded call{'s' * (calls != 1)}: {collector.distinct} distinct, {skipped} skipped"
          + (f", {unexamined} not examined" if unexamined else ""), file=sys.stderr)
    for reason, count in generated.skipped.most_common():
        print(f"vesk:   skipped {count}: {clean(reason)}", file=sys.stderr)
    if unexamined:
        functions = len(collector.unexamined)
        print(f"vesk:   not examined {unexamined}: calls of {functions} function{'s' * (functions != 1)} "
              f"that had cases enough to choose {collector.most} from", file=sys.stderr)
    if checked:
        dropped = generated.dropped
        print(f"vesk: checked against the current code: {len(dropped)} dropped", file=sys.stderr)
        for test_id, why in sorted(dropped.items()):
            print(f"vesk:   dropped {clean(test_id)}: {clean(why)}", file=sys.stderr)


def show_as_test(options):
    """`vesk show --call FRAME_ID --as-test`: the call's test module on standard output."""
    from vesk.utils import CommandError
    from vesk.view.call import CallFinder
    from vesk.view.choose import chosen, chosen_trace, only_threads
    from vesk.view.trace import open_trace, read_trace

    wanted = (options.call or "").strip()
    if not wanted:
        raise CommandError("--as-test: give the call with --call FRAME_ID", status=2)
    stored = open_trace(options.db, chosen_trace(options))
    trace = chosen(read_trace(stored, lambda: only_threads(options.thread, lambda: CallFinder(wanted))))
    found = [t.walker.found for t in trace.threads if t.walker.found is not None]
    ids = {f.frame_id for f in found}
    if len(ids) != 1:
        raise CommandError(f"no call {wanted} in trace {stored.trace_id}" if not ids
                           else f"frame id {wanted} is ambiguous in trace {stored.trace_id}")
    try:
        sys.stdout.write(test_source_for_call(stored, found[0].thread, found[0].frame_id, project_roots(options)))
    except Unfaithful as error:
        raise CommandError(f"call {found[0].frame_id} cannot be a faithful test: {error}") from None
    return 0

"""Reading stored traces back: the merged records of a trace, whole or in one pass (trace), its
call tree per thread (tree), the part of it a view shows (outline), recorded values as bounded
text (values) and the text views of the command line (terminal). Everything here only reads."""

from vesk.view.terminal import format_stored_trace, format_trace, format_traces
from vesk.view.trace import (StoredTrace, ThreadRecords, ThreadWalk, Trace, ViewError, load_trace, open_trace,
                             read_trace, trace_from_parts)
from vesk.view.tree import Node, TreeWalker, build_tree
from vesk.view.values import format_value

__all__ = [
    "ViewError",
    "ThreadRecords",
    "ThreadWalk",
    "Trace",
    "StoredTrace",
    "Node",
    "TreeWalker",
    "load_trace",
    "open_trace",
    "read_trace",
    "trace_from_parts",
    "build_tree",
    "format_value",
    "format_traces",
    "format_trace",
    "format_stored_trace",
]

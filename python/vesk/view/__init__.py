"""Reading stored traces back: the merged records of a trace (trace), its call tree per thread
(tree), recorded values as bounded text (values) and the text views of the command line
(terminal). Everything here only reads."""

from vesk.view.terminal import format_trace, format_traces
from vesk.view.trace import ThreadRecords, Trace, ViewError, load_trace, trace_from_parts
from vesk.view.tree import Node, build_tree
from vesk.view.values import format_value

__all__ = [
    "ViewError",
    "ThreadRecords",
    "Trace",
    "Node",
    "load_trace",
    "trace_from_parts",
    "build_tree",
    "format_value",
    "format_traces",
    "format_trace",
]

"""Traces of child processes under the traces of the processes that started them."""

__all__ = ["in_family_order", "descendants"]


def _children_of(summaries):
    known = {s.trace_id for s in summaries}
    children = {}
    for s in sorted(summaries, key=lambda s: s.started):
        parent = s.parent_trace_id if s.parent_trace_id in known else None
        children.setdefault(parent, []).append(s)
    return children


def in_family_order(summaries):
    """(depth, summary) for each summary: traces without a stored parent in the order given,
    each followed by its children's traces, in the order they started, at depth + 1."""
    children = _children_of(summaries)
    ordered, listed = [], set()

    def visit(summary, depth):
        if id(summary) in listed:
            return
        listed.add(id(summary))
        ordered.append((depth, summary))
        for child in children.pop(summary.trace_id, ()):
            visit(child, depth + 1)

    known = {s.trace_id for s in summaries}
    for summary in summaries:
        if summary.parent_trace_id not in known:
            visit(summary, 0)
    # Traces whose parents name one another (a file from elsewhere) have no first among them:
    # each one left is listed at the top, with what it holds.
    for summary in summaries:
        visit(summary, 0)
    return ordered


def descendants(summaries, trace_id):
    """(depth, summary) of every trace recorded under trace_id's process, depth first, in the
    order they started."""
    children = _children_of(summaries)
    found = []
    seen = {trace_id}  # parents that name one another (a file from elsewhere) end there

    def visit(parent, depth):
        for child in children.get(parent, ()):
            if child.trace_id in seen:
                continue
            seen.add(child.trace_id)
            found.append((depth, child))
            visit(child.trace_id, depth + 1)

    visit(trace_id, 1)
    return found

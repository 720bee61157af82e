"""`vesk ui`: a local web viewer of stored traces. The server (server) answers a small JSON API
(api) from a per-thread index of each trace's calls (index), built in one native pass when a
trace is first opened; a call's values in full are read again from the parts of the trace it
lies in (details, seek). The page is plain HTML, CSS and JavaScript files of this package
(static/). Everything here only reads.

No library is vendored: the standard library's threading HTTP server is enough for one user's
local, read-only API, and the tree and the flame chart are small in plain DOM and canvas code,
which keeps recorded text out of any markup without a component's own rules to audit."""

"""`vesk ui`: a local web viewer of stored traces. The server (server) answers a small JSON API
(api) from a per-thread index of each trace's calls (index), built in one pass when a trace is
first opened; the page itself is plain HTML, CSS and JavaScript files of this package (static/).
Everything here only reads."""

// The list of stored traces, filtered by text and by outcome; the tests of one pytest session
// under a heading of their own, which folds them away.
"use strict";

vesk.showList = async function (main) {
  const filter = vesk.el("input", { id: "filter", type: "search", placeholder: "Filter by source, test, id, host, user or label…", spellcheck: "false" });
  const outcome = vesk.el("select", { id: "outcome" },
    ...["any outcome", "passed", "failed", "error", "skipped", "not a test"].map((o) => vesk.el("option", { value: o, text: o })));
  const count = vesk.el("span", { class: "muted", id: "trace-count" });
  const body = vesk.el("tbody");
  const table = vesk.el("table", { id: "traces", class: "grid" },
    vesk.el("thead", {}, vesk.el("tr", {},
      ...["Source / test", "Outcome", "Started", "Duration", "Records", "Threads", "Size"].map((h, i) => vesk.el("th", { class: i >= 3 ? "num" : null, text: h })))),
    body);
  main.replaceChildren(vesk.el("section", { class: "page" },
    vesk.el("div", { class: "toolbar" }, filter, outcome, count), table));

  let traces = [];
  try {
    traces = await vesk.api("traces");
  } catch (error) {
    vesk.status("Cannot list the traces: " + error.message, true);
    return;
  }

  const folded = new Set();
  const counted = new Map(); // trace id -> the answer of its threads, asked once
  const sessions = new Map(); // key -> the traces of that session
  for (const t of traces) {
    if (!t.session) continue;
    if (!sessions.has(t.session)) sessions.set(t.session, []);
    sessions.get(t.session).push(t);
  }

  function heading(key, shown) {
    const all = sessions.get(key);
    const failed = all.filter((t) => t.outcome === "failed" || t.outcome === "error").length;
    const pids = [...new Set(all.map((t) => t.pid))];
    const first = Math.min(...all.map((t) => t.started));
    const open = !folded.has(key);
    const words = [`pytest session · ${all.length} test${all.length === 1 ? "" : "s"}`,
      shown < all.length ? `${shown} shown` : null, failed ? `${failed} failed` : null,
      pids.length > 1 ? `${pids.length} processes` : `process ${pids[0]}`].filter(Boolean).join(" · ");
    return vesk.el("tr", {
      class: "session", "data-session": key,
      onclick: () => { if (open) folded.add(key); else folded.delete(key); render(); },
    }, vesk.el("td", { colspan: 2 }, vesk.el("span", { class: "toggle", text: open ? "▾" : "▸" }), words),
    vesk.el("td", { text: vesk.time(first) }), vesk.el("td", { colspan: 4 }));
  }

  function render() {
    const text = filter.value.trim().toLowerCase();
    const wanted = outcome.value;
    const shown = traces.filter((t) => {
      if (wanted === "not a test" ? t.test : wanted !== "any outcome" && t.outcome !== wanted) return false;
      if (!text) return true;
      return [t.id, t.source, t.test, t.outcome, t.host, t.user, t.ci_job, ...(t.labels || [])]
        .some((v) => v && v.toLowerCase().includes(text));
    });
    count.textContent = `${shown.length} of ${traces.length} traces`;
    // A session stands where its latest test does, its tests under it.
    const members = new Map();
    for (const t of shown) {
      if (t.session && !members.has(t.session)) members.set(t.session, []);
      if (t.session) members.get(t.session).push(t);
    }
    const rows = [];
    for (const t of shown) {
      if (!t.session) { rows.push(row(t)); continue; }
      const group = members.get(t.session);
      if (group[0] !== t) continue;
      rows.push(heading(t.session, group.length));
      if (!folded.has(t.session)) rows.push(...group.map((m) => row(m, true)));
    }
    body.replaceChildren(...rows);
  }

  function row(t, inSession) {
    const href = "#/trace/" + encodeURIComponent(t.id);
    const what = t.test
      ? vesk.el("div", {}, vesk.el("a", { href, class: "test", text: t.test }), vesk.el("div", { class: "muted small", text: (t.source || "pytest") + " · " + t.id }))
      : vesk.el("div", {}, vesk.el("a", { href, text: t.source || "(no source)" }), vesk.el("div", { class: "muted small", text: t.id }));
    const badge = t.outcome ? vesk.el("span", { class: "badge " + t.outcome, text: t.outcome }) : vesk.el("span", { class: "muted", text: "–" });
    const threads = vesk.el("td", { class: "num threads", text: "…" });
    const duration = vesk.el("td", { class: "num duration", text: "…" });
    // Until the trace is opened, how long it ran is its last save less its first record.
    if (!counted.has(t.id)) counted.set(t.id, vesk.api("trace/" + encodeURIComponent(t.id) + "/threads"));
    counted.get(t.id).then((r) => {
      threads.textContent = r.threads === null ? "?" : String(r.threads);
      duration.textContent = r.duration === null ? "?" : (r.exact ? "" : "≈ ") + vesk.duration(r.duration);
      duration.title = r.exact ? "" : "about: from its first record to when it was saved";
    }).catch(() => { threads.textContent = duration.textContent = "?"; });
    return vesk.el("tr", { class: inSession ? "in-session" : null, onclick: (e) => { if (e.target.tagName !== "A") location.hash = href; } },
      vesk.el("td", {}, what), vesk.el("td", {}, badge), vesk.el("td", { text: vesk.time(t.started) }), duration,
      vesk.el("td", { class: "num", text: t.records === null ? "?" : t.records.toLocaleString("en") }),
      threads, vesk.el("td", { class: "num", text: vesk.size(t.size) }));
  }
  filter.addEventListener("input", render);
  outcome.addEventListener("change", render);
  render();
  filter.focus();
};

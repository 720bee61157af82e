// The list of stored traces, filtered by text and by outcome.
"use strict";

vesk.showList = async function (main) {
  const filter = vesk.el("input", { id: "filter", type: "search", placeholder: "Filter by source, test or id…", spellcheck: "false" });
  const outcome = vesk.el("select", { id: "outcome" },
    ...["any outcome", "passed", "failed", "error", "skipped", "not a test"].map((o) => vesk.el("option", { value: o, text: o })));
  const count = vesk.el("span", { class: "muted", id: "trace-count" });
  const body = vesk.el("tbody");
  const table = vesk.el("table", { id: "traces", class: "grid" },
    vesk.el("thead", {}, vesk.el("tr", {},
      ...["Source / test", "Outcome", "Started", "Records", "Threads", "Size"].map((h, i) => vesk.el("th", { class: i >= 3 ? "num" : null, text: h })))),
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

  function render() {
    const text = filter.value.trim().toLowerCase();
    const wanted = outcome.value;
    const shown = traces.filter((t) => {
      if (wanted === "not a test" ? t.test : wanted !== "any outcome" && t.outcome !== wanted) return false;
      if (!text) return true;
      return [t.id, t.source, t.test, t.outcome].some((v) => v && v.toLowerCase().includes(text));
    });
    count.textContent = `${shown.length} of ${traces.length} traces`;
    body.replaceChildren(...shown.map((t) => {
      const href = "#/trace/" + encodeURIComponent(t.id);
      const what = t.test
        ? vesk.el("div", {}, vesk.el("a", { href, class: "test", text: t.test }), vesk.el("div", { class: "muted small", text: (t.source || "pytest") + " · " + t.id }))
        : vesk.el("div", {}, vesk.el("a", { href, text: t.source || "(no source)" }), vesk.el("div", { class: "muted small", text: t.id }));
      const badge = t.outcome ? vesk.el("span", { class: "badge " + t.outcome, text: t.outcome }) : vesk.el("span", { class: "muted", text: "–" });
      const threads = vesk.el("td", { class: "num threads", text: "…" });
      vesk.api("trace/" + encodeURIComponent(t.id) + "/threads").then((r) => { threads.textContent = r.threads === null ? "?" : String(r.threads); })
        .catch(() => { threads.textContent = "?"; });
      return vesk.el("tr", { onclick: (e) => { if (e.target.tagName !== "A") location.hash = href; } },
        vesk.el("td", {}, what), vesk.el("td", {}, badge), vesk.el("td", { text: vesk.time(t.started) }),
        vesk.el("td", { class: "num", text: t.records === null ? "?" : t.records.toLocaleString("en") }),
        threads, vesk.el("td", { class: "num", text: vesk.size(t.size) }));
    }));
  }
  filter.addEventListener("input", render);
  outcome.addEventListener("change", render);
  render();
  filter.focus();
};

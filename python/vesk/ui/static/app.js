// The page's views and how the address picks one: #/ the traces, #/trace/ID its calls,
// #/trace/ID/timeline its timeline, #/trace/ID/profile[/THREAD[/CALL]] where the time of the
// trace (of a thread, of a call) goes.
"use strict";

(function () {
  const main = document.getElementById("main");
  const crumbs = document.getElementById("crumbs");
  const tabs = document.getElementById("tabs");
  const search = document.getElementById("search");
  const searchText = document.getElementById("search-text");
  const searchStatus = document.getElementById("search-status");
  let current = null; // {id, trace, tree, timeline, matches, at}

  async function openTrace(id) {
    if (current && current.id === id) return current;
    vesk.status("Opening the trace…");
    const started = performance.now();
    const trace = await vesk.api("trace/" + encodeURIComponent(id));
    const lows = trace.threads.map((t) => t.low).filter((v) => v !== null);
    trace.low = lows.length ? Math.min(...lows) : 0;
    vesk.status("");
    const treePane = vesk.el("div", { id: "tree", class: "pane" });
    const details = vesk.el("aside", { id: "details", class: "pane" }, vesk.el("p", { class: "muted", text: "Click a call to see its arguments, locals and return value." }));
    const layout = vesk.el("div", { id: "trace-view" }, treePane, details);
    const timelinePane = vesk.el("div", { id: "timeline", class: "pane" });
    const profilePane = vesk.el("div", { id: "profile", class: "pane" });
    current?.timeline?.close();
    current?.profile?.close();
    current = { id, trace, layout, timelinePane, profilePane, treePane, details, matches: [], at: -1, opened: performance.now() - started };
    vesk.current = current; // for a look from the browser's console
    current.tree = new vesk.Tree(trace, treePane, details);
    current.rendered = current.tree.render();
    searchText.value = "";
    searchStatus.textContent = "";
    return current;
  }

  function header(id, trace, view) {
    tabs.hidden = search.hidden = !id;
    if (!id) {
      crumbs.replaceChildren(vesk.el("span", { class: "crumb", text: "Traces" }));
      return;
    }
    crumbs.replaceChildren(...[vesk.el("a", { href: "#/", text: "Traces" }), vesk.el("span", { class: "sep", text: "/" }),
      vesk.el("span", { class: "crumb", id: "trace-title", text: trace ? vesk.traceTitle(trace) : id }),
      trace && trace.outcome ? vesk.el("span", { class: "badge " + trace.outcome, text: trace.outcome }) : null,
      trace ? vesk.el("span", { class: "muted small trace-meta", text: `  ${trace.records.toLocaleString("en")} records · ${trace.threads.length} thread${trace.threads.length === 1 ? "" : "s"} · started ${vesk.time(trace.started)}` }) : null].filter(Boolean));
    const base = "#/trace/" + encodeURIComponent(id);
    document.getElementById("tab-tree").href = base;
    document.getElementById("tab-timeline").href = base + "/timeline";
    document.getElementById("tab-profile").href = base + "/profile";
    for (const name of ["tree", "timeline", "profile"]) document.getElementById("tab-" + name).classList.toggle("active", view === name);
  }

  async function route() {
    const parts = location.hash.replace(/^#\/?/, "").split("/").map(decodeURIComponent);
    vesk.status("");
    try {
      if (parts[0] !== "trace" || !parts[1]) {
        header(null);
        current?.timeline?.close();
        current?.profile?.close();
        current = vesk.current = null;
        document.title = "vesk — traces";
        await vesk.showList(main);
        return;
      }
      const view = ["timeline", "profile"].includes(parts[2]) ? parts[2] : "tree";
      header(parts[1], null, view);
      const opened = await openTrace(parts[1]);
      header(parts[1], opened.trace, view);
      document.title = "vesk — " + vesk.traceTitle(opened.trace);
      for (const warning of opened.trace.warnings) vesk.status(warning, true);
      if (view === "timeline") {
        main.replaceChildren(opened.timelinePane);
        if (!opened.timeline) {
          opened.timeline = new vesk.Timeline(opened.trace, opened.timelinePane, (thread, node) => showCall(thread, node));
          await opened.timeline.render();
        } else opened.timeline.draw();
      } else if (view === "profile") {
        main.replaceChildren(opened.profilePane);
        const scope = parts[3] === undefined || parts[3] === "" ? null : { thread: Number(parts[3]), node: parts[4] === undefined ? null : Number(parts[4]) };
        const key = JSON.stringify(scope);
        if (opened.profileKey !== key) {
          opened.profile?.close();
          opened.profileKey = key;
          opened.profile = new vesk.Profile(opened.trace, opened.profilePane, scope);
          await opened.profile.render();
        } else opened.profile.draw();
      } else {
        main.replaceChildren(opened.layout);
        await opened.rendered;
      }
    } catch (error) {
      vesk.status(error.message, true);
    }
  }

  async function showCall(thread, node) {
    const answer = await vesk.api("trace/" + encodeURIComponent(current.id) + "/node", { thread, node });
    location.hash = "#/trace/" + encodeURIComponent(current.id);
    await current.rendered;
    await current.tree.reveal(thread, node, answer.ancestors.map((a) => a.id));
  }

  async function find(step) {
    if (!current) return;
    const pattern = searchText.value.trim();
    if (!pattern) return;
    if (current.pattern !== pattern) {
      try {
        const answer = await vesk.api("trace/" + encodeURIComponent(current.id) + "/search", { q: pattern });
        current.pattern = pattern;
        current.matches = answer.matches;
        current.total = answer.total;
        current.at = -1;
      } catch (error) {
        searchStatus.textContent = error.message;
        return;
      }
    }
    const matches = current.matches;
    if (!matches.length) {
      searchStatus.textContent = "no match";
      return;
    }
    current.at = (current.at + step + matches.length) % matches.length;
    const more = current.total > matches.length ? ` (first ${matches.length} of ${current.total})` : "";
    searchStatus.textContent = `${current.at + 1} of ${matches.length}${more}`;
    const match = matches[current.at];
    if (!location.hash.match(/^#\/trace\/[^/]+$/)) {
      location.hash = "#/trace/" + encodeURIComponent(current.id);
      await new Promise((r) => setTimeout(r, 0));
    }
    await current.rendered;
    await current.tree.reveal(match.thread, match.id, match.ancestors);
  }

  search.addEventListener("submit", (event) => { event.preventDefault(); find(1); });
  document.getElementById("search-next").addEventListener("click", () => find(1));
  document.getElementById("search-prev").addEventListener("click", () => find(-1));
  document.addEventListener("keydown", (event) => {
    if (event.key === "/" && document.activeElement.tagName !== "INPUT" && !search.hidden) {
      event.preventDefault();
      searchText.focus();
    }
  });
  window.addEventListener("hashchange", route);
  route();
})();

// A trace as call trees, one per thread: children are fetched as a call is expanded, a page at a
// time; a selected call's details are shown beside the tree, its values in full once read.
"use strict";

vesk.Tree = class {
  constructor(trace, pane, details) {
    this.trace = trace;
    this.pane = pane;
    this.detailsPane = details;
    this.rows = new Map(); // "thread:node" -> {li, row, list, loaded, node}
    this.tops = [];
    this.selected = null;
    this.base = "trace/" + encodeURIComponent(trace.id);
  }

  async render() {
    const sections = [];
    for (const thread of this.trace.threads) {
      const list = vesk.el("ul", { class: "calls" });
      const header = vesk.el("h2", { class: "thread" }, vesk.el("span", { class: "thread-name", text: thread.name }),
        vesk.el("span", { class: "muted", text: ` ${thread.is_main ? "main thread, " : ""}native id ${thread.native_id ?? "?"}, ${thread.records.toLocaleString("en")} records` }));
      sections.push(vesk.el("section", { class: "thread-tree", "data-thread": thread.index }, header, list));
      this.tops[thread.index] = list;
    }
    this.pane.replaceChildren(...sections);
    this.pane.addEventListener("keydown", (event) => this.onKey(event));
    await Promise.all(this.trace.threads.map((t) => this.load(t.index, -1, this.tops[t.index], null)));
    const first = this.tops[0] && this.tops[0].querySelector(".row");
    if (first && first.parentElement.dataset.node === "0") await this.toggle(0, 0, true);
  }

  key(thread, node) { return thread + ":" + node; }

  // Arrows move through the rows shown, open (right) and close or go up (left).
  onKey(event) {
    if (!this.selected || !["ArrowDown", "ArrowUp", "ArrowLeft", "ArrowRight"].includes(event.key)) return;
    event.preventDefault();
    const { thread, node } = this.selected;
    const open = this.selected.list && !this.selected.list.hidden;
    if (event.key === "ArrowRight") return this.toggle(thread, node.id, true);
    if (event.key === "ArrowLeft" && open) return this.toggle(thread, node.id, false);
    let target = null;
    if (event.key === "ArrowLeft") target = this.selected.li.parentElement.closest("li")?.querySelector(":scope > .row");
    else {
      const rows = Array.from(this.pane.querySelectorAll(".row")).filter((r) => r.offsetParent !== null);
      const at = rows.indexOf(this.selected.row) + (event.key === "ArrowDown" ? 1 : -1);
      target = rows[at];
    }
    if (target) this.select(Number(target.dataset.thread), Number(target.dataset.node));
  }

  async load(thread, node, list, first) {
    const page = await vesk.api(this.base + "/children", { thread, node, first });
    list.querySelector(":scope > li.more")?.remove();
    for (const child of page.nodes) list.append(this.item(thread, child));
    if (page.next !== null) {
      const more = vesk.el("li", { class: "more" }, vesk.el("button", {
        type: "button", text: "show more calls",
        onclick: () => this.load(thread, node, list, page.next),
      }));
      list.append(more);
    }
    return page;
  }

  item(thread, node) {
    const toggle = vesk.el("span", { class: "toggle" + (node.nested ? "" : " leaf"), text: node.nested ? "▸" : "" });
    const row = vesk.el("div", { class: "row " + node.kind, tabindex: "-1", "data-thread": thread, "data-node": node.id }, toggle);
    if (node.kind === "event") {
      const caught = node.name.startsWith("caught ");
      const text = vesk.eventText(node);
      row.append(vesk.el("span", { class: caught ? "raised" : "event", text: caught ? "!! " + node.name : "▶ " + node.name }),
        vesk.el("span", { class: "args", text: vesk.cut(text, 300), title: vesk.cut(text, 2000) }));
    } else {
      // The arguments give way first, so that what the call gave (a return value, an exception,
      // a yield) stays in sight however long they are.
      const text = vesk.callText(node);
      const args = "(" + text.args + ")" + (text.resumed ? " (resumed)" : "");
      row.append(vesk.el("span", { class: "name", text: node.name }),
        vesk.el("span", { class: "args", text: vesk.cut(args, 400), title: vesk.cut(args, 2000) }));
      row.lastChild.style.minWidth = Math.min(args.length, 8) + "ch"; // short ones whole, long ones a start
      if (text.result) {
        const result = text.result.arrow + text.result.text;
        row.append(vesk.el("span", { class: "outcome " + text.result.cls, text: vesk.cut(result, 160), title: vesk.cut(result, 2000) }));
      }
      const took = node.call && node.returned ? vesk.duration(node.end - node.start) : node.call ? "no return recorded" : "call not recorded";
      row.append(vesk.el("span", { class: "took" + (node.call && node.returned ? "" : " problem"), text: took }));
      if (node.nested) row.append(vesk.el("span", { class: "nested muted", text: `+${node.nested.toLocaleString("en")} nested` }));
      row.append(vesk.el("span", { class: "where muted", text: vesk.location(node) }));
    }
    const li = vesk.el("li", { "data-node": node.id }, row);
    const entry = { li, row, list: null, loaded: false, node, thread };
    this.rows.set(this.key(thread, node.id), entry);
    toggle.addEventListener("click", (e) => { e.stopPropagation(); this.toggle(thread, node.id); });
    row.addEventListener("click", () => this.select(thread, node.id));
    row.addEventListener("dblclick", () => this.toggle(thread, node.id));
    return li;
  }

  async toggle(thread, id, open) {
    const entry = this.rows.get(this.key(thread, id));
    if (!entry || !entry.node.nested) return;
    const opening = open ?? !(entry.list && !entry.list.hidden);
    if (opening && !entry.list) {
      entry.list = vesk.el("ul", { class: "calls" });
      entry.li.append(entry.list);
      await this.load(thread, id, entry.list, null);
    }
    if (entry.list) entry.list.hidden = !opening;
    entry.row.querySelector(".toggle").textContent = opening ? "▾" : "▸";
    entry.li.classList.toggle("open", opening);
  }

  // Opens the calls around node and shows it: ancestors outermost first.
  async reveal(thread, id, ancestors) {
    const chain = [...ancestors, id];
    let list = this.tops[thread];
    for (let i = 0; i < chain.length; i++) {
      const step = chain[i];
      if (!this.rows.has(this.key(thread, step))) {
        // Not among the pages loaded: show the parent's calls from this one on.
        const parent = i === 0 ? -1 : chain[i - 1];
        list.replaceChildren(vesk.el("li", { class: "more" }, vesk.el("button", {
          type: "button", text: "show earlier calls",
          onclick: () => { list.replaceChildren(); this.load(thread, parent, list, null); },
        })));
        await this.load(thread, parent, list, step);
      }
      if (i < chain.length - 1) {
        await this.toggle(thread, step, true);
        list = this.rows.get(this.key(thread, step)).list;
      }
    }
    await this.select(thread, id);
  }

  async select(thread, id) {
    const entry = this.rows.get(this.key(thread, id));
    if (this.selected) this.selected.row.classList.remove("selected");
    this.selected = entry || null;
    if (entry) {
      entry.row.classList.add("selected");
      entry.row.scrollIntoView({ block: "nearest" });
      entry.row.focus({ preventScroll: true });
    }
    await this.showDetails(thread, id);
  }

  async showDetails(thread, id) {
    const pane = this.detailsPane;
    const shown = this.shownDetails = thread + ":" + id;
    const node = await vesk.api(this.base + "/node", { thread, node: id });
    if (this.shownDetails !== shown) return;
    const threadName = this.trace.threads[thread].name;
    const facts = vesk.el("dl", { class: "facts" });
    const fact = (key, value) => facts.append(vesk.el("dt", { text: key }), vesk.el("dd", {}, value));
    const title = vesk.el("h2", { class: "call-title" }, vesk.el("span", { class: node.kind === "event" ? "event" : "name", text: node.name }));
    fact("thread", threadName);
    fact("started", vesk.time(node.start) + " (+" + vesk.duration(node.start - this.trace.low) + ")");
    if (node.kind !== "event") {
      fact("took", node.call && node.returned ? vesk.duration(node.end - node.start) : node.call ? "? (no return recorded)" : "? (call not recorded)");
      fact("where", (node.args && node.args.path) || "?");
      const caller = node.ancestors[node.ancestors.length - 1];
      const line = node.args && node.args.called_from_line;
      if (caller) {
        fact("called", vesk.el("span", {}, "from ", this.link(thread, caller, node.ancestors.slice(0, -1).map((x) => x.id)), line !== undefined ? ` at line ${line}` : ""));
      } else if (line !== undefined) fact("called", `from line ${line}`);
      fact("made", `${node.children ?? "many"} calls directly, ${node.nested.toLocaleString("en")} in all`);
      if (node.nested) {
        const href = "#/trace/" + encodeURIComponent(this.trace.id) + "/profile/" + thread + "/" + id;
        fact("time", vesk.el("a", { href, class: "profile-call", text: "where the time of this call goes" }));
      }
    }
    const body = vesk.el("div", { class: "values" }, vesk.el("p", { class: "muted loading", text: "Reading the values in full…" }));
    const callers = node.ancestors.length
      ? vesk.el("section", {}, vesk.el("h3", { text: "Called in, outermost first" }),
        vesk.el("ol", { class: "callers" }, ...node.ancestors.map((a, i) => vesk.el("li", {}, this.link(thread, a, node.ancestors.slice(0, i).map((x) => x.id))))))
      : null;
    pane.replaceChildren(...[title, facts, body, callers].filter(Boolean));
    pane.scrollTop = 0;
    let full;
    try {
      full = await vesk.api(this.base + "/node", { thread, node: id, full: 1 });
    } catch (error) {
      body.replaceChildren(vesk.el("p", { class: "problem", text: "Cannot read the values: " + error.message }));
      return;
    }
    if (this.shownDetails !== shown) return;
    const d = full.details || {};
    const parts = [];
    if (d.frame_id) facts.append(vesk.el("dt", { text: "frame" }), vesk.el("dd", { class: "mono", text: d.frame_id }));
    const section = (heading, pairs) => {
      if (!pairs) return;
      const table = vesk.el("table", { class: "vars" }, ...pairs.map(([k, v]) => vesk.el("tr", {},
        vesk.el("th", { text: k }), vesk.el("td", {}, vesk.el("pre", { text: v })))));
      parts.push(vesk.el("section", {}, vesk.el("h3", { text: heading }), pairs.length ? table : vesk.el("p", { class: "muted", text: "(none)" })));
    };
    section("Fields", d.fields);
    section("Arguments", d.arguments);
    section("Locals at the return", d.locals);
    if (d.raised !== undefined) parts.push(vesk.el("section", {}, vesk.el("h3", { text: "Raised" }), vesk.el("pre", { class: "raised value", text: d.raised })));
    else if (d.return_value !== undefined) parts.push(vesk.el("section", {}, vesk.el("h3", { text: d.yielded ? "Yielded" : "Return value" }), vesk.el("pre", { class: "ret value", text: d.return_value })));
    for (const exception of d.exceptions || []) section("Exception", exception);
    if (d.frame_id) parts.push(this.asTest(thread, d.frame_id));
    body.replaceChildren(...parts);
  }

  // A button that asks for the call as a pytest test, and shows its source (as text) below it.
  asTest(thread, frame) {
    const out = vesk.el("pre", { class: "test-source" });
    const button = vesk.el("button", { type: "button", class: "as-test", text: "Write this as a test" });
    button.onclick = async () => {
      button.disabled = true;
      try {
        const answer = await vesk.post(this.base + "/test", { thread: String(thread), frame });
        out.textContent = answer.source !== undefined ? answer.source : "Not a faithful test: " + answer.reason;
      } catch (error) {
        out.textContent = "Cannot write it: " + error.message;
      } finally {
        button.disabled = false;
      }
    };
    return vesk.el("section", {}, button, out);
  }

  link(thread, node, ancestors) {
    return vesk.el("button", { type: "button", class: "link name", text: node.name, onclick: () => this.reveal(thread, node.id, ancestors).catch((e) => vesk.status(e.message, true)) });
  }
};

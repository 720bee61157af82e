// Where the time goes: the calls of the trace (or of a thread, or of one call) merged by call path,
// as a flame graph whose boxes are as wide as the time of their path, outermost on top, and the
// table of functions that `vesk stats` prints, beside it. A click on a box focuses on that path
// (the server sends the paths under it); a click on a function of the table shows its paths.
"use strict";

vesk.Profile = class {
  constructor(trace, pane, scope) {
    this.trace = trace;
    this.pane = pane;
    this.scope = scope; // {thread, node}: null for the whole trace, node null for a thread
    this.base = "trace/" + encodeURIComponent(trace.id);
    this.root = 0;
    this.sort = "total";
    this.rowHeight = 20;
    this.request = 0;
    this.marked = null; // the function whose paths are marked
  }

  params(extra) {
    const scope = this.scope || {};
    return { thread: scope.thread ?? "all", node: scope.node ?? null, root: this.root, sort: this.sort, ...extra };
  }

  render() {
    const scope = vesk.el("select", { id: "profile-scope" },
      vesk.el("option", { value: "", text: "All threads" }),
      ...this.trace.threads.map((t) => vesk.el("option", { value: String(t.index), text: "Thread " + t.name })));
    if (this.scope && this.scope.node !== null && this.scope.node !== undefined) {
      scope.append(vesk.el("option", { value: "call", text: `One call (thread ${this.trace.threads[this.scope.thread].name})` }));
      scope.value = "call";
    } else if (this.scope) scope.value = String(this.scope.thread);
    scope.addEventListener("change", () => {
      const base = "#/trace/" + encodeURIComponent(this.trace.id) + "/profile";
      if (scope.value !== "call") location.hash = base + (scope.value === "" ? "" : "/" + scope.value);
    });
    this.chain = vesk.el("nav", { class: "chain", id: "profile-chain" });
    this.canvas = vesk.el("canvas", { class: "icicle", id: "icicle" });
    this.tip = vesk.el("div", { class: "tip", hidden: true });
    this.note = vesk.el("p", { class: "muted small", id: "profile-note" });
    this.table = vesk.el("table", { class: "grid functions", id: "functions" });
    this.count = vesk.el("p", { class: "muted small", id: "function-count" });
    const help = vesk.el("span", { class: "muted small", text: "Width: time · click: focus on a path · click the table's headings to sort" });
    this.pane.replaceChildren(vesk.el("div", { class: "toolbar" }, scope, help),
      vesk.el("div", { class: "profile-view" },
        vesk.el("section", { class: "profile-flame" }, this.chain, this.canvas, this.note),
        vesk.el("section", { class: "profile-table" }, this.table, this.count)),
      this.tip);
    this.listen();
    this.resizeObserver = new ResizeObserver(() => this.draw());
    this.resizeObserver.observe(this.canvas.parentElement);
    return this.fetch();
  }

  async fetch() {
    const request = ++this.request;
    vesk.status("Adding up the calls…");
    let answer;
    try {
      answer = await vesk.api(this.base + "/profile", this.params());
    } finally {
      if (request === this.request) vesk.status("");
    }
    if (request !== this.request) return;
    this.answer = answer;
    this.layout();
    this.draw();
    this.showChain();
    this.showTable();
  }

  async focus(path) {
    this.root = path;
    await this.fetch();
  }

  // Each path's box: x from 0 to 1 of the root's time, and its depth under the root; the paths
  // a caller made are placed side by side, the longest first.
  layout() {
    const { paths, root } = this.answer;
    const kids = new Map();
    for (const path of paths) {
      if (path[0] === root) continue;
      if (!kids.has(path[1])) kids.set(path[1], []);
      kids.get(path[1]).push(path);
    }
    const whole = paths[0][4] || 1;
    this.boxes = [];
    const place = (path, x, depth) => {
      this.boxes.push({ path, x0: x, x1: x + path[4] / whole, depth });
      let at = x;
      for (const kid of (kids.get(path[0]) || []).sort((a, b) => b[4] - a[4])) {
        place(kid, at, depth + 1);
        at += kid[4] / whole;
      }
    };
    if (paths.length) place(paths[0], 0, 0);
    this.depth = Math.max(1, ...this.boxes.map((b) => b.depth + 1));
  }

  label(path) {
    if (path[2] < 0) return this.scope && this.scope.node !== null && this.scope.node !== undefined ? "the call" : (this.scope ? "thread " + this.trace.threads[this.scope.thread].name : "all threads");
    return this.answer.names[path[2]];
  }

  width() { return Math.max(this.canvas.parentElement.clientWidth - 2, 100); }

  draw() {
    if (!this.answer) return;
    const width = this.width();
    const g = vesk.canvas(this.canvas, width, this.depth * this.rowHeight + 2);
    for (const box of this.boxes) {
      const name = this.label(box.path);
      const colour = this.marked !== null && box.path[2] === this.marked ? "#f59e0b" : box.path[2] < 0 ? "#e2e8f0" : vesk.colour(name);
      vesk.box(g, box.x0 * width, (box.x1 - box.x0) * width, box.depth * this.rowHeight, this.rowHeight, colour,
        name + "  " + vesk.duration(box.path[4]));
    }
    const hidden = this.answer.hidden;
    this.note.textContent = hidden ? `${hidden.toLocaleString("en")} paths too short to draw at this width are left out: click a box to see those inside it.` : "";
  }

  boxAt(event) {
    const rect = this.canvas.getBoundingClientRect();
    const x = (event.clientX - rect.left) / this.width();
    const depth = Math.floor((event.clientY - rect.top) / this.rowHeight);
    return (this.boxes || []).find((b) => b.depth === depth && x >= b.x0 && x <= Math.max(b.x1, b.x0 + 2 / this.width())) || null;
  }

  listen() {
    this.canvas.addEventListener("mousemove", (event) => {
      const box = this.boxAt(event);
      this.tip.hidden = !box;
      if (!box) return;
      const path = box.path;
      const scope = this.answer.scope || 1;
      this.tip.textContent = [
        this.label(path),
        path[2] < 0 ? null : `${path[3].toLocaleString("en")} call${path[3] === 1 ? "" : "s"} on this path`,
        `total ${vesk.duration(path[4])} (${(100 * path[4] / scope).toFixed(1)}% of all)`,
        path[2] < 0 ? null : `self  ${vesk.duration(path[5])} (${(100 * path[5] / scope).toFixed(1)}% of all)`,
      ].filter(Boolean).join("\n");
      const paneRect = this.pane.getBoundingClientRect();
      this.tip.style.left = event.clientX - paneRect.left + this.pane.scrollLeft + 12 + "px";
      this.tip.style.top = event.clientY - paneRect.top + this.pane.scrollTop + 12 + "px";
    });
    this.canvas.addEventListener("mouseleave", () => { this.tip.hidden = true; });
    this.canvas.addEventListener("click", (event) => {
      const box = this.boxAt(event);
      if (!box) return;
      // The root box goes back up a step; any other focuses on its path.
      const chain = this.answer.chain;
      const target = box.path[0] === this.root ? (chain.length > 1 ? chain[chain.length - 2][0] : 0) : box.path[0];
      this.focus(target).catch((error) => vesk.status(error.message, true));
    });
  }

  showChain() {
    const items = [vesk.el("button", { type: "button", class: "link", text: this.label([0, -1, -1]), onclick: () => this.focus(0) })];
    for (const [path, name] of this.answer.chain) {
      items.push(vesk.el("span", { class: "sep", text: "›" }),
        vesk.el("button", { type: "button", class: "link", "data-path": path, text: this.answer.names[name], onclick: () => this.focus(path) }));
    }
    this.chain.replaceChildren(...items);
  }

  showTable() {
    const columns = [["Function", "name"], ["Calls", "calls"], ["Total", "total"], ["Own", "own"], ["Mean", "mean"]];
    const head = vesk.el("tr", {}, ...columns.map(([title, sort], i) => vesk.el("th", {
      class: (i >= 1 ? "num " : "") + "sortable" + (sort === this.sort ? " sorted" : ""),
      "data-sort": sort, text: title + (sort === this.sort ? (sort === "name" ? " ▴" : " ▾") : ""),
      onclick: () => { this.sort = sort; this.fetch().catch((error) => vesk.status(error.message, true)); },
    })));
    const number = new Map(this.answer.names.map((name, n) => [name, n]));
    const rows = this.answer.functions.map(([name, where, calls, total, own, mean]) => {
      const row = vesk.el("tr", { "data-function": name, class: number.get(name) === this.marked ? "marked" : null },
        vesk.el("td", { class: "mono" }, vesk.el("div", { text: name }), vesk.el("div", { class: "muted small where", text: where })),
        vesk.el("td", { class: "num", text: calls.toLocaleString("en") }), vesk.el("td", { class: "num", text: total === null ? "-" : vesk.duration(total) }),
        vesk.el("td", { class: "num", text: own === null ? "-" : vesk.duration(own) }), vesk.el("td", { class: "num", text: mean === null ? "-" : vesk.duration(mean) }));
      row.addEventListener("click", () => {
        const picked = number.get(name);
        this.marked = this.marked === picked ? null : picked;
        for (const other of this.table.querySelectorAll("tr.marked")) other.classList.remove("marked");
        if (this.marked !== null) row.classList.add("marked");
        this.draw();
      });
      return row;
    });
    this.table.replaceChildren(vesk.el("thead", {}, head), vesk.el("tbody", {}, ...rows));
    const { functions, function_count: count } = this.answer;
    this.count.textContent = count > functions.length ? `the first ${functions.length} of ${count.toLocaleString("en")} functions` : `${count} function${count === 1 ? "" : "s"}`;
  }

  close() { this.resizeObserver?.disconnect(); }
};

// The timeline: a flame chart per thread on one time axis. It opens on the stretch where the
// calls are (the server finds it), with a strip of the whole trace above to move along it. The
// wheel zooms around the pointer, dragging pans, and a click selects the call in the call tree.
// Each redraw asks the server only for the calls long enough to be seen at the current zoom.
"use strict";

// The ticks of an axis from low to high, about count of them, as times since origin: each label
// has the digits that its step needs, so that no two read the same at any zoom.
vesk.ticks = function (low, high, origin, count) {
  const span = high - low;
  if (!(span > 0) || !(count >= 1)) return [];
  let step = Math.pow(10, Math.floor(Math.log10(span / count)));
  for (const factor of [1, 2, 5, 10]) {
    if (span / (step * factor) <= count) { step *= factor; break; }
  }
  const far = Math.max(Math.abs(high - origin), Math.abs(low - origin), step);
  const [scale, unit] = far >= 1 ? [1, "s"] : far >= 1e-3 ? [1e-3, "ms"] : [1e-6, "µs"];
  const decimals = Math.max(0, Math.ceil(-Math.log10(step / scale) - 1e-9));
  const ticks = [];
  for (let k = Math.ceil((low - origin) / step); origin + k * step <= high; k++) {
    ticks.push({ at: origin + k * step, label: (k * step / scale).toFixed(decimals) + " " + unit });
  }
  return ticks;
};

// Marks of framework events and caught exceptions: their colours, by kind.
vesk.markColour = function (name) {
  const kind = name.startsWith("caught ") ? "caught" : name.split("/")[0];
  return { caught: "#b91c1c", sql: "#0891b2", http: "#ea580c", log: "#ca8a04", request: "#16a34a", response: "#16a34a" }[kind] || "#9333ea";
};

vesk.Timeline = class {
  constructor(trace, pane, onPick) {
    this.trace = trace;
    this.pane = pane;
    this.onPick = onPick;
    const lows = trace.threads.map((t) => t.low).filter((v) => v !== null);
    const highs = trace.threads.map((t) => t.high).filter((v) => v !== null);
    this.low = this.viewLow = lows.length ? Math.min(...lows) : 0;
    this.high = this.viewHigh = highs.length ? Math.max(...highs, this.low + 1e-6) : 1;
    if (this.high <= this.low) this.high = this.viewHigh = this.low + 1e-6;
    if (trace.focus) [this.viewLow, this.viewHigh] = trace.focus;
    this.overview = { lanes: [] };
    this.rowHeight = 20;
    this.lanes = [];
    this.base = "trace/" + encodeURIComponent(trace.id);
    this.request = 0;
  }

  render() {
    this.axis = vesk.el("canvas", { class: "axis", height: 28 });
    this.tip = vesk.el("div", { class: "tip", hidden: true });
    const help = vesk.el("span", { class: "muted small", text: "Wheel: zoom · drag: pan · click: show the call · strip above: the whole trace" });
    const reset = vesk.el("button", { type: "button", text: "Whole trace", onclick: () => this.zoomTo(this.low, this.high) });
    const focus = this.trace.focus;
    const calls = focus ? vesk.el("button", { type: "button", id: "focus-calls", text: "Where the calls are", onclick: () => this.zoomTo(focus[0], focus[1]) }) : null;
    const legend = vesk.el("span", { class: "legend small" }, ...["sql", "http", "log", "request", "caught"].map((kind) =>
      vesk.el("span", { class: "key" }, vesk.el("i", { "data-kind": kind }), kind)));
    this.strip = vesk.el("canvas", { class: "overview", height: 44, title: "The whole trace: drag the window, or click where to go" });
    this.listenStrip();
    const lanes = this.trace.threads.map((thread) => {
      const canvas = vesk.el("canvas", { class: "flame", "data-thread": thread.index });
      const lane = { thread, canvas, boxes: [], names: [], marks: [], depth: 1 };
      this.lanes.push(lane);
      this.listen(lane);
      return vesk.el("section", { class: "lane" }, vesk.el("h2", { class: "thread" }, vesk.el("span", { class: "thread-name", text: thread.name }),
        vesk.el("span", { class: "muted", text: ` ${thread.records.toLocaleString("en")} records` })), canvas);
    });
    this.pane.replaceChildren(vesk.el("div", { class: "toolbar" }, reset, calls, help, legend), this.strip, this.axis, ...lanes, this.tip);
    this.resizeObserver = new ResizeObserver(() => this.draw());
    this.resizeObserver.observe(this.pane);
    return this.fetch();
  }

  // Inside the pane's padding (16px each side) and the canvas border.
  width() { return Math.max(this.pane.clientWidth - 34, 100); }

  async fetch() {
    const request = ++this.request;
    const width = this.width();
    if (this.overview.width !== width) {
      this.overview.width = width;
      // The whole trace once, at the strip's width: only what is a pixel wide there.
      Promise.all(this.lanes.map((lane) => vesk.api(this.base + "/flame", { thread: lane.thread.index, low: this.low, high: this.high, width })))
        .then((answers) => { this.overview.lanes = answers; this.drawStrip(); })
        .catch((error) => vesk.status(error.message, true));
    }
    await Promise.all(this.lanes.map(async (lane) => {
      const answer = await vesk.api(this.base + "/flame", { thread: lane.thread.index, low: this.viewLow, high: this.viewHigh, width });
      if (request !== this.request) return;
      lane.boxes = answer.boxes;
      lane.names = answer.names;
      lane.marks = answer.marks;
    }));
    if (request === this.request) this.draw();
  }

  zoomTo(low, high) {
    const span = Math.max(high - low, 1e-7);
    this.viewLow = Math.max(this.low, Math.min(low, this.high - span));
    this.viewHigh = Math.min(this.high, this.viewLow + span);
    this.draw();
    clearTimeout(this.pending);
    this.pending = setTimeout(() => this.fetch(), 60);
  }

  x(ts) { return ((ts - this.viewLow) / (this.viewHigh - this.viewLow)) * this.width(); }

  draw() {
    const width = this.width();
    this.drawAxis(width);
    this.drawStrip();
    for (const lane of this.lanes) {
      let depth = 1;
      let top = Infinity;
      for (const box of lane.boxes) { depth = Math.max(depth, box[1] + 1); top = Math.min(top, box[1]); }
      lane.top = top === Infinity ? 0 : top;
      const height = (depth - lane.top) * this.rowHeight + 4;
      const g = vesk.canvas(lane.canvas, width, height);
      for (const [node, level, start, end, name] of lane.boxes) {
        const x0 = Math.max(this.x(start), -1);
        const x1 = Math.min(this.x(end), width + 1);
        const picked = this.picked && this.picked[0] === lane.thread.index && this.picked[1] === node;
        vesk.box(g, x0, x1 - x0, (level - lane.top) * this.rowHeight, this.rowHeight,
          picked ? "#f59e0b" : vesk.colour(lane.names[name]), lane.names[name] + "  " + vesk.duration(end - start));
      }
      // Plugin records (a test's start and end) and caught exceptions, where they happened.
      for (const [, at, name] of lane.marks) {
        const x = Math.min(Math.max(Math.round(this.x(at)), 1), width - 2) + 0.5;
        g.strokeStyle = g.fillStyle = vesk.markColour(name);
        g.beginPath(); g.moveTo(x, 0); g.lineTo(x, height); g.stroke();
      }
    }
  }

  drawAxis(width) {
    const g = vesk.canvas(this.axis, width, 28);
    g.font = "11px system-ui, sans-serif";
    g.fillStyle = "#6b7280";
    g.strokeStyle = "#d1d5db";
    this.labels = [];
    for (const tick of vesk.ticks(this.viewLow, this.viewHigh, this.low, Math.max(2, Math.floor(width / 110)))) {
      const x = this.x(tick.at);
      g.beginPath(); g.moveTo(x + 0.5, 16); g.lineTo(x + 0.5, 28); g.stroke();
      g.fillText(tick.label, x + 3, 11);
      this.labels.push(tick.label);
    }
  }

  // The strip: every thread's calls over the whole trace, a band each, and the window shown.
  drawStrip() {
    const width = this.width();
    const height = 44;
    const g = vesk.canvas(this.strip, width, height);
    const x = (ts) => ((ts - this.low) / (this.high - this.low)) * width;
    const band = height / Math.max(this.overview.lanes.length, 1);
    this.overview.lanes.forEach((answer, n) => {
      const rows = Math.max(1, Math.min(8, Math.floor(band / 3)));
      for (const [, level, start, end, name] of answer.boxes) {
        if (level >= rows) continue;
        g.fillStyle = vesk.colour(answer.names[name]);
        g.fillRect(x(start), n * band + level * (band / rows), Math.max(x(end) - x(start), 1), band / rows - 0.5);
      }
      for (const [, at, name] of answer.marks) {
        g.fillStyle = vesk.markColour(name);
        g.fillRect(x(at), n * band, 1, band);
      }
    });
    const x0 = x(this.viewLow);
    const w = Math.max(x(this.viewHigh) - x0, 3);
    g.fillStyle = "rgba(15, 23, 42, 0.18)";
    g.fillRect(0, 0, x0, height);
    g.fillRect(x0 + w, 0, width - x0 - w, height);
    g.strokeStyle = "#2563eb";
    g.lineWidth = 2;
    g.strokeRect(x0, 1, w, height - 2);
  }

  listenStrip() {
    const strip = this.strip;
    let drag = null;
    const at = (event) => this.low + ((event.clientX - strip.getBoundingClientRect().left) / this.width()) * (this.high - this.low);
    strip.addEventListener("mousedown", (event) => {
      const span = this.viewHigh - this.viewLow;
      let low = this.viewLow;
      const t = at(event);
      if (t < this.viewLow || t > this.viewHigh) {
        low = t - span / 2; // a click outside the window brings it there
        this.zoomTo(low, low + span);
        low = this.viewLow;
      }
      drag = { from: t, low, span };
      event.preventDefault();
    });
    // On the window, so that a drag goes on past the strip's edges.
    this.stripMove = (event) => {
      if (!drag || !event.buttons) { drag = null; return; }
      const low = drag.low + at(event) - drag.from;
      this.zoomTo(low, low + drag.span);
    };
    window.addEventListener("mousemove", this.stripMove);
  }

  boxAt(lane, event) {
    const rect = lane.canvas.getBoundingClientRect();
    const x = event.clientX - rect.left;
    const level = Math.floor((event.clientY - rect.top) / this.rowHeight) + lane.top;
    // A mark is a line over the calls: where one is, it is what is pointed at.
    const mark = this.markAt(lane, x, level);
    if (mark) return mark;
    let best = null;
    for (const box of lane.boxes) {
      if (box[1] !== level) continue;
      const x0 = this.x(box[2]);
      const x1 = Math.max(this.x(box[3]), x0 + 1);
      if (x >= x0 - 1 && x <= x1 + 1) best = box;
    }
    return best;
  }

  markAt(lane, x, level) {
    let best = null;
    for (const [node, at, name, text] of lane.marks) {
      const distance = Math.abs(this.x(at) - x);
      if (distance <= 3 && (!best || distance < best.distance)) best = { box: [node, level, at, at, -1, name, text], distance };
    }
    return best && best.box;
  }

  listen(lane) {
    const canvas = lane.canvas;
    let drag = null;
    canvas.addEventListener("wheel", (event) => {
      event.preventDefault();
      const rect = canvas.getBoundingClientRect();
      const at = this.viewLow + ((event.clientX - rect.left) / this.width()) * (this.viewHigh - this.viewLow);
      const factor = Math.exp(event.deltaY * 0.002);
      this.zoomTo(at - (at - this.viewLow) * factor, at + (this.viewHigh - at) * factor);
    }, { passive: false });
    canvas.addEventListener("mousedown", (event) => { drag = { x: event.clientX, low: this.viewLow, high: this.viewHigh, moved: false }; });
    window.addEventListener("mouseup", () => { setTimeout(() => { drag = null; }, 0); });
    canvas.addEventListener("mousemove", (event) => {
      if (drag && event.buttons) {
        const dx = event.clientX - drag.x;
        if (Math.abs(dx) > 3) drag.moved = true;
        const shift = (dx / this.width()) * (drag.high - drag.low);
        if (drag.moved) this.zoomTo(drag.low - shift, drag.high - shift);
        return;
      }
      const box = this.boxAt(lane, event);
      this.tip.hidden = !box;
      if (box) {
        this.tip.textContent = box[4] < 0 ? box[5] + (box[6] ? ": " + box[6] : "") : lane.names[box[4]] + " — " + vesk.duration(box[3] - box[2]);
        const paneRect = this.pane.getBoundingClientRect();
        this.tip.style.left = event.clientX - paneRect.left + this.pane.scrollLeft + 12 + "px";
        this.tip.style.top = event.clientY - paneRect.top + this.pane.scrollTop + 12 + "px";
      }
    });
    canvas.addEventListener("mouseleave", () => { this.tip.hidden = true; });
    canvas.addEventListener("click", (event) => {
      if (drag && drag.moved) return;
      const box = this.boxAt(lane, event);
      if (!box) return;
      this.picked = [lane.thread.index, box[0]];
      this.draw();
      this.onPick(lane.thread.index, box[0]);
    });
  }

  close() {
    this.resizeObserver?.disconnect();
    window.removeEventListener("mousemove", this.stripMove);
  }
};

vesk.colour = function (name) {
  let hash = 0;
  for (let i = 0; i < name.length; i++) hash = (hash * 31 + name.charCodeAt(i)) | 0;
  const hue = 190 + (Math.abs(hash) % 120); // blues to violets, all light enough for dark text
  return `hsl(${hue} 70% ${78 + (Math.abs(hash >> 8) % 10)}%)`;
};

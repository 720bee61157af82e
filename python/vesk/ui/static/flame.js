// The timeline: a flame chart per thread on one time axis. The wheel zooms around the pointer,
// dragging pans, and a click selects the call in the call tree. Each redraw asks the server only
// for the calls long enough to be seen at the current zoom.
"use strict";

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
    this.rowHeight = 20;
    this.lanes = [];
    this.base = "trace/" + encodeURIComponent(trace.id);
    this.request = 0;
  }

  render() {
    this.axis = vesk.el("canvas", { class: "axis", height: 28 });
    this.tip = vesk.el("div", { class: "tip", hidden: true });
    const help = vesk.el("span", { class: "muted small", text: "Wheel: zoom · drag: pan · click: show the call" });
    const reset = vesk.el("button", { type: "button", text: "Whole trace", onclick: () => this.zoomTo(this.low, this.high) });
    const lanes = this.trace.threads.map((thread) => {
      const canvas = vesk.el("canvas", { class: "flame", "data-thread": thread.index });
      const lane = { thread, canvas, boxes: [], names: [], marks: [], depth: 1 };
      this.lanes.push(lane);
      this.listen(lane);
      return vesk.el("section", { class: "lane" }, vesk.el("h2", { class: "thread" }, vesk.el("span", { class: "thread-name", text: thread.name }),
        vesk.el("span", { class: "muted", text: ` ${thread.records.toLocaleString("en")} records` })), canvas);
    });
    this.pane.replaceChildren(vesk.el("div", { class: "toolbar" }, reset, help), this.axis, ...lanes, this.tip);
    this.resizeObserver = new ResizeObserver(() => this.draw());
    this.resizeObserver.observe(this.pane);
    return this.fetch();
  }

  // Inside the pane's padding (16px each side) and the canvas border.
  width() { return Math.max(this.pane.clientWidth - 34, 100); }

  async fetch() {
    const request = ++this.request;
    const width = this.width();
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
    const ratio = window.devicePixelRatio || 1;
    this.drawAxis(width, ratio);
    for (const lane of this.lanes) {
      let depth = 1;
      let top = Infinity;
      for (const box of lane.boxes) { depth = Math.max(depth, box[1] + 1); top = Math.min(top, box[1]); }
      lane.top = top === Infinity ? 0 : top;
      const height = (depth - lane.top) * this.rowHeight + 4;
      const canvas = lane.canvas;
      canvas.style.width = width + "px";
      canvas.style.height = height + "px";
      canvas.width = width * ratio;
      canvas.height = height * ratio;
      const g = canvas.getContext("2d");
      g.scale(ratio, ratio);
      g.font = "12px system-ui, sans-serif";
      g.textBaseline = "middle";
      for (const [node, level, start, end, name] of lane.boxes) {
        const x0 = Math.max(this.x(start), -1);
        const x1 = Math.min(this.x(end), width + 1);
        const w = Math.max(x1 - x0, 1);
        const y = (level - lane.top) * this.rowHeight;
        g.fillStyle = vesk.colour(lane.names[name]);
        if (this.picked && this.picked[0] === lane.thread.index && this.picked[1] === node) g.fillStyle = "#f59e0b";
        g.fillRect(x0, y + 1, w - (w > 3 ? 1 : 0), this.rowHeight - 2);
        if (w > 30) {
          g.fillStyle = "#111827";
          g.save();
          g.beginPath();
          g.rect(x0, y, w - 2, this.rowHeight);
          g.clip();
          g.fillText(lane.names[name] + "  " + vesk.duration(end - start), Math.max(x0, 0) + 4, y + this.rowHeight / 2);
          g.restore();
        }
      }
      // Plugin records (a test's start and end) and caught exceptions, where they happened.
      for (const [, at, name] of lane.marks) {
        const x = Math.min(Math.max(Math.round(this.x(at)), 1), width - 2) + 0.5;
        g.strokeStyle = g.fillStyle = name.startsWith("caught ") ? "#b91c1c" : "#9333ea";
        g.beginPath(); g.moveTo(x, 0); g.lineTo(x, height); g.stroke();
      }
    }
  }

  drawAxis(width, ratio) {
    const canvas = this.axis;
    canvas.style.width = width + "px";
    canvas.width = width * ratio;
    canvas.height = 28 * ratio;
    const g = canvas.getContext("2d");
    g.scale(ratio, ratio);
    g.font = "11px system-ui, sans-serif";
    g.fillStyle = "#6b7280";
    g.strokeStyle = "#d1d5db";
    const span = this.viewHigh - this.viewLow;
    let step = Math.pow(10, Math.floor(Math.log10(span / 8)));
    while (span / step > 10) step *= 2;
    const first = Math.ceil((this.viewLow - this.low) / step) * step;
    for (let t = first; this.low + t <= this.viewHigh; t += step) {
      const x = this.x(this.low + t);
      g.beginPath(); g.moveTo(x + 0.5, 16); g.lineTo(x + 0.5, 28); g.stroke();
      g.fillText(vesk.duration(t), x + 3, 11);
    }
  }

  boxAt(lane, event) {
    const rect = lane.canvas.getBoundingClientRect();
    const x = event.clientX - rect.left;
    const level = Math.floor((event.clientY - rect.top) / this.rowHeight) + lane.top;
    let best = null;
    for (const box of lane.boxes) {
      if (box[1] !== level) continue;
      const x0 = this.x(box[2]);
      const x1 = Math.max(this.x(box[3]), x0 + 1);
      if (x >= x0 - 1 && x <= x1 + 1) best = box;
    }
    if (best) return best;
    for (const [node, at, name] of lane.marks) {
      if (Math.abs(this.x(at) - x) <= 3) return [node, level, at, at, -1, name];
    }
    return null;
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
        this.tip.textContent = box[4] < 0 ? box[5] : lane.names[box[4]] + " — " + vesk.duration(box[3] - box[2]);
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

  close() { this.resizeObserver?.disconnect(); }
};

vesk.colour = function (name) {
  let hash = 0;
  for (let i = 0; i < name.length; i++) hash = (hash * 31 + name.charCodeAt(i)) | 0;
  const hue = 190 + (Math.abs(hash) % 120); // blues to violets, all light enough for dark text
  return `hsl(${hue} 70% ${78 + (Math.abs(hash >> 8) % 10)}%)`;
};

// Helpers shared by the views. Recorded text only ever reaches the page as text nodes
// (textContent), never as markup, so nothing recorded can add elements or run code.
"use strict";

const vesk = {};

vesk.el = function (tag, attrs, ...children) {
  const node = document.createElement(tag);
  for (const [key, value] of Object.entries(attrs || {})) {
    if (value === null || value === undefined || value === false) continue;
    if (key === "class") node.className = value;
    else if (key === "text") node.textContent = value;
    else if (key.startsWith("on")) node.addEventListener(key.slice(2), value);
    else node.setAttribute(key, value === true ? "" : String(value));
  }
  for (const child of children) {
    if (child === null || child === undefined || child === false) continue;
    node.append(child instanceof Node ? child : document.createTextNode(String(child)));
  }
  return node;
};

vesk.api = async function (path, params) {
  const query = new URLSearchParams();
  for (const [key, value] of Object.entries(params || {})) {
    if (value !== null && value !== undefined) query.set(key, value);
  }
  const url = "/api/" + path + (query.toString() ? "?" + query : "");
  const response = await fetch(url, { headers: { Accept: "application/json" } });
  const body = await response.json().catch(() => ({ error: response.statusText }));
  if (!response.ok) throw new Error(body.error || response.statusText);
  return body;
};

// What is more than a read (a test written for a call) is asked for with POST and the token the
// server gave this page with its HTML: a page of another site has neither.
vesk.post = async function (path, params) {
  const token = document.querySelector('meta[name="vesk-token"]').content;
  const response = await fetch("/api/" + path, {
    method: "POST",
    headers: { Accept: "application/json", "Content-Type": "application/json", "X-Vesk-Token": token },
    body: JSON.stringify(params || {}),
  });
  const body = await response.json().catch(() => ({ error: response.statusText }));
  if (!response.ok) throw new Error(body.error || response.statusText);
  return body;
};

vesk.status = function (text, isError) {
  const box = document.getElementById("status");
  box.hidden = !text;
  box.textContent = text || "";
  box.className = isError ? "error" : "";
};

vesk.duration = function (seconds) {
  if (seconds === null || seconds === undefined) return "?";
  const us = Math.max(seconds, 0) * 1e6;
  if (us < 10) return us.toFixed(1) + " µs";
  if (us < 999.5) return us.toFixed(0) + " µs";
  const ms = us / 1e3;
  if (ms < 9.995) return ms.toFixed(2) + " ms";
  if (ms < 99.95) return ms.toFixed(1) + " ms";
  if (ms < 999.5) return ms.toFixed(0) + " ms";
  const s = ms / 1e3;
  return s < 59.995 ? s.toFixed(2) + " s" : s.toFixed(0) + " s";
};

vesk.time = function (unix) {
  if (unix === null || unix === undefined) return "?";
  const d = new Date(unix * 1000);
  const pad = (n) => String(n).padStart(2, "0");
  return `${d.getFullYear()}-${pad(d.getMonth() + 1)}-${pad(d.getDate())} ${pad(d.getHours())}:${pad(d.getMinutes())}:${pad(d.getSeconds())}`;
};

vesk.size = function (bytes) {
  let size = bytes || 0;
  for (const unit of ["B", "KiB", "MiB", "GiB"]) {
    if (size < 1024 || unit === "GiB") return unit === "B" ? size + " B" : size.toFixed(1) + " " + unit;
    size /= 1024;
  }
};

// A value of the spilled JSON (scalars as they are, other values already text) as Python shows it.
vesk.value = function (value) {
  if (value === null) return "None";
  if (value === true) return "True";
  if (value === false) return "False";
  if (typeof value === "string") return value;
  if (typeof value === "object" && typeof value.r === "string") return value.r;
  return String(value);
};

vesk.pyString = function (value) {
  return typeof value === "string" ? "'" + value.replace(/\\/g, "\\\\").replace(/'/g, "\\'") + "'" : vesk.value(value);
};

// A call's one-line text parts, from a node summary: arguments, and what it gave.
vesk.callText = function (node) {
  const args = node.args || {};
  let argsText = "";
  if (!node.call) argsText = "?";
  else if (args.arguments) {
    argsText = Object.entries(args.arguments).map(([k, v]) => k + "=" + vesk.pyString(v)).join(", ");
  }
  let result = null;
  if (args.raised !== undefined) result = { arrow: "!! ", text: args.raised, cls: "raised" };
  else if (args.yielded !== undefined) result = { arrow: "yield ", text: vesk.pyString(args.yielded), cls: "ret" };
  else if (args.return_value !== undefined) result = { arrow: "-> ", text: vesk.pyString(args.return_value), cls: "ret" };
  return { args: argsText, result, resumed: args.resumed === true };
};

vesk.location = function (node) {
  const args = node.args || {};
  let text = args.path || "?";
  if (args.called_from_line !== undefined) text += ` (from line ${args.called_from_line})`;
  return text;
};

vesk.eventText = function (node) {
  const args = node.args || {};
  const parts = [];
  for (const [key, value] of Object.entries(args)) {
    if (key === "frame_id" || key === "user_code_call_site" || key === "subtype") continue;
    parts.push(key === "nodeid" || key === "name" ? String(value) : key + "=" + vesk.pyString(value));
  }
  return parts.join(" ");
};

vesk.cut = function (text, limit) {
  return text.length <= limit ? text : text.slice(0, limit - 1) + "…";
};

// What a trace is called: a test's trace by its test, others by how they were recorded.
vesk.traceTitle = function (trace) {
  return trace.test || trace.source || trace.id;
};

// A canvas sized to width × height CSS pixels, drawn at the screen's resolution: its context.
vesk.canvas = function (canvas, width, height) {
  const ratio = window.devicePixelRatio || 1;
  canvas.style.width = width + "px";
  canvas.style.height = height + "px";
  canvas.width = width * ratio;
  canvas.height = height * ratio;
  const g = canvas.getContext("2d");
  g.scale(ratio, ratio);
  g.font = "12px system-ui, sans-serif";
  g.textBaseline = "middle";
  return g;
};

// A box of a flame chart at x (w wide) in the row at y, with its text where there is room.
vesk.box = function (g, x, w, y, height, colour, text) {
  w = Math.max(w, 1);
  g.fillStyle = colour;
  g.fillRect(x, y + 1, w - (w > 3 ? 1 : 0), height - 2);
  if (w <= 30) return;
  g.fillStyle = "#111827";
  g.save();
  g.beginPath();
  g.rect(x, y, w - 2, height);
  g.clip();
  g.fillText(text, Math.max(x, 0) + 4, y + height / 2);
  g.restore();
};

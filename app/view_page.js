"use strict";
// The viewer's page. The server holds the tool; the page sends each change, asks for the
// render of the newest state and draws it. Pictures arrive as 8-bit RGBA, top row first,
// already through the view transform; pixel values come from the server exactly.
(() => {
const token = new URLSearchParams(location.search).get("t") || "";
const $ = (id) => document.getElementById(id);

// What the tests and the benchmark read: the state, the picture drawn, and counts.
const qrvx = window.qrvx = {
  session: null, state: null, root: "",
  ocio: null,                     // the OpenColorIO config's displays and views, when $OCIO names one
  shown: null,                    // {change, view, width, height, isFloat, pixels: Uint8ClampedArray}
  input: null,                    // the same for the input picture
  rendered: 0, dropped: 0, failed: 0,
  changedAt: new Map(),           // change number -> time the change was made
  timings: [],                    // ms from a change to its picture being drawn
  error: "",
};

async function api(path, body) {
  const opts = { headers: { "X-Token": token } };
  if (body !== undefined) {
    opts.method = "POST";
    opts.headers["Content-Type"] = "application/json";
    opts.body = JSON.stringify(body);
  }
  const res = await fetch(path, opts);
  if (res.headers.get("Content-Type") === "application/octet-stream") return res;
  let data = {};
  try { data = await res.json(); } catch (e) { data = { error: "the server's reply is no JSON (" + res.status + ")" }; }
  if (!res.ok) { const err = new Error(data.error || res.statusText); err.status = res.status; err.data = data; throw err; }
  return data;
}

function status(text, isError) {
  const s = $("status");
  s.textContent = text;
  s.title = text;
  s.classList.toggle("error", !!isError);
  if (isError) qrvx.error = text;
}

// ---- the picture ---------------------------------------------------------------------
const view = $("view"), ctx = view.getContext("2d");
const outCanvas = document.createElement("canvas"), inCanvas = document.createElement("canvas");
const look = { show: "output", zoom: "fit", panX: 0, panY: 0, split: 0.5, scale: 1, ox: 0, oy: 0 };

function putPicture(canvas, pic) {
  canvas.width = pic.width; canvas.height = pic.height;
  canvas.getContext("2d").putImageData(new ImageData(pic.pixels, pic.width, pic.height), 0, 0);
}

// The size of the picture that sets the frame: the output, else the input.
function frameSize() {
  const p = qrvx.shown || qrvx.input;
  return p ? [p.width, p.height] : [0, 0];
}

// The picture point a control's normalised coordinates refer to is the input's (the
// frame the tool measures); both pictures share their bottom-left corner.
function pointFrame() {
  const p = qrvx.input || qrvx.shown;
  return p ? [p.width, p.height] : [1, 1];
}

function layout() {
  const stage = $("stage");
  const w = stage.clientWidth, h = stage.clientHeight;
  if (view.width !== w || view.height !== h) { view.width = w; view.height = h; }
  const [fw, fh] = frameSize();
  if (!fw) return;
  if (look.zoom === "fit") {
    look.scale = Math.min(w / fw, h / fh);
    look.ox = (w - fw * look.scale) / 2;
    look.oy = (h - fh * look.scale) / 2;
  } else {
    look.scale = 1;
    look.ox = Math.round((w - fw) / 2 + look.panX);
    look.oy = Math.round((h - fh) / 2 + look.panY);
  }
}

// Screen position of a point given in host pixels of a picture of height ph (y up, from
// the frame's bottom edge).
function toScreen(px, py) {
  const [, fh] = frameSize();
  return [look.ox + px * look.scale, look.oy + (fh - py) * look.scale];
}
function fromScreen(sx, sy) {
  const [, fh] = frameSize();
  return [(sx - look.ox) / look.scale, fh - (sy - look.oy) / look.scale];
}

function drawPicture(canvas, pic) {
  const [, fh] = frameSize();
  const [x, y] = [look.ox, look.oy + (fh - pic.height) * look.scale];
  ctx.drawImage(canvas, x, y, pic.width * look.scale, pic.height * look.scale);
}

function draw() {
  layout();
  ctx.setTransform(1, 0, 0, 1, 0, 0);
  ctx.fillStyle = "#111";
  ctx.fillRect(0, 0, view.width, view.height);
  ctx.imageSmoothingEnabled = look.scale < 1;
  const out = qrvx.shown, inp = qrvx.input;
  if (look.show !== "input" && out) drawPicture(outCanvas, out);
  if (look.show === "input" && inp) drawPicture(inCanvas, inp);
  if (look.show === "split" && inp) {
    const sx = look.split * view.width;
    ctx.save();
    ctx.beginPath(); ctx.rect(sx, 0, view.width - sx, view.height); ctx.clip();
    ctx.fillStyle = "#111"; ctx.fillRect(sx, 0, view.width - sx, view.height);
    drawPicture(inCanvas, inp);
    ctx.restore();
  }
  drawOverlay();
}

// ---- the overlay: the active point's crosshair and the split line ----------------------
const overlay = $("overlay");
const svgNS = "http://www.w3.org/2000/svg";
let activePoint = null; // the ID of the point control whose crosshair is shown

function drawOverlay() {
  overlay.replaceChildren();
  if (look.show === "split") {
    const x = look.split * view.width;
    const line = document.createElementNS(svgNS, "line");
    Object.entries({ x1: x, x2: x, y1: 0, y2: view.height, stroke: "#fc6", "stroke-width": 3, class: "split" })
      .forEach(([k, v]) => line.setAttribute(k, v));
    line.addEventListener("pointerdown", (e) => dragSplit(e));
    overlay.appendChild(line);
  }
  const c = activePoint && controlById(activePoint);
  if (!c || !c.visible || !qrvx.shown) return;
  const [pw, ph] = pointFrame();
  const [sx, sy] = toScreen(c.value[0] * pw, c.value[1] * ph);
  const g = document.createElementNS(svgNS, "g");
  g.setAttribute("class", "mark");
  g.setAttribute("id", "crosshair");
  g.innerHTML = `<circle cx="${sx}" cy="${sy}" r="14" fill="rgba(0,0,0,0.01)" stroke="#fc6" stroke-width="1.5"/>` +
    `<line x1="${sx - 22}" x2="${sx + 22}" y1="${sy}" y2="${sy}" stroke="#fc6"/>` +
    `<line x1="${sx}" x2="${sx}" y1="${sy - 22}" y2="${sy + 22}" stroke="#fc6"/>` +
    `<text x="${sx + 16}" y="${sy - 16}" fill="#fc6" font-size="12">${escapeHtml(c.name)}</text>`;
  g.addEventListener("pointerdown", (e) => dragPoint(e, c.id));
  overlay.appendChild(g);
}

function dragPoint(e, id) {
  e.preventDefault(); e.stopPropagation();
  const rect = view.getBoundingClientRect();
  const move = (ev) => {
    const [pw, ph] = pointFrame();
    const [hx, hy] = fromScreen(ev.clientX - rect.left, ev.clientY - rect.top);
    const x = +(hx / pw).toFixed(6), y = +(hy / ph).toFixed(6);
    const c = controlById(id);
    c.value = [x, y];
    widgets.get(id).update(c);
    drawOverlay();
    setControl(id, x + "," + y);
  };
  const up = () => { window.removeEventListener("pointermove", move); window.removeEventListener("pointerup", up); };
  window.addEventListener("pointermove", move);
  window.addEventListener("pointerup", up);
}

function dragSplit(e) {
  e.preventDefault(); e.stopPropagation();
  const rect = view.getBoundingClientRect();
  const move = (ev) => { look.split = Math.min(1, Math.max(0, (ev.clientX - rect.left) / rect.width)); draw(); };
  const up = () => { window.removeEventListener("pointermove", move); window.removeEventListener("pointerup", up); };
  window.addEventListener("pointermove", move);
  window.addEventListener("pointerup", up);
}

// Panning at 1:1, and the pixel readout.
const stage = $("stage");
stage.addEventListener("pointerdown", (e) => {
  if (look.zoom !== "one") return;
  const start = [e.clientX - look.panX, e.clientY - look.panY];
  stage.classList.add("panning");
  const move = (ev) => { look.panX = ev.clientX - start[0]; look.panY = ev.clientY - start[1]; draw(); };
  const up = () => { stage.classList.remove("panning"); window.removeEventListener("pointermove", move); window.removeEventListener("pointerup", up); };
  window.addEventListener("pointermove", move);
  window.addEventListener("pointerup", up);
});

let readoutBusy = false, readoutNext = null;
stage.addEventListener("pointermove", (e) => {
  const rect = view.getBoundingClientRect();
  readoutNext = [e.clientX - rect.left, e.clientY - rect.top];
  if (!readoutBusy) readout();
});
async function readout() {
  if (!readoutNext || !qrvx.session) return;
  const [sx, sy] = readoutNext;
  readoutNext = null;
  const which = look.show === "input" || (look.show === "split" && sx > look.split * view.width) ? "input" : "output";
  const [hx, hy] = fromScreen(sx, sy);
  const x = Math.floor(hx), y = Math.floor(hy);
  readoutBusy = true;
  try {
    const p = await api(`/api/pixel?s=${qrvx.session}&which=${which}&x=${x}&y=${y}`);
    const el = $("readout");
    if (!p.inside) el.textContent = `${which}  x ${x}  y ${y}  (outside)`;
    else {
      const f = (v) => p.float ? v.toPrecision(6) : String(v);
      el.textContent = `${which}  x ${x}  y ${y}   R ${f(p.values[0])}  G ${f(p.values[1])}  B ${f(p.values[2])}  A ${f(p.values[3])}`;
    }
    el.dataset.x = x; el.dataset.y = y;
  } catch (err) { /* the next move asks again */ }
  readoutBusy = false;
  if (readoutNext) readout();
}

window.addEventListener("resize", draw);
document.querySelectorAll("input[name=show]").forEach((r) => r.addEventListener("change", () => {
  look.show = r.value; if (look.show !== "output") fetchInput(); draw();
}));
document.querySelectorAll("input[name=zoom]").forEach((r) => r.addEventListener("change", () => {
  look.zoom = r.value; look.panX = look.panY = 0; draw();
}));
// The view transform of float pictures, as the picture requests name it: raw, the
// display and view picked from the OpenColorIO config that $OCIO names, else sRGB.
function transform() {
  if ($("raw").checked) return "view=raw";
  if (!qrvx.ocio) return "view=srgb";
  return `view=ocio&display=${encodeURIComponent($("display").value)}&ocioView=${encodeURIComponent($("ocioView").value)}`;
}
$("raw").addEventListener("change", () => { refetchPictures(); });

// The config's displays in one list and the picked display's views in the other, each
// at the config's default.
function showOcio(ocio) {
  qrvx.ocio = ocio;
  $("ocioRow").hidden = false;
  $("rawLabel").title = "Float pictures: show the values 0..1 straight instead of through the display and view";
  $("ocioRow").title = `Float pictures (taken as ${ocio.input}) through a display and view of ${ocio.config}`;
  for (const d of ocio.displays) $("display").appendChild(el("option", { value: d.name, text: d.name }));
  $("display").value = ocio.display;
  showViews(ocio.view);
}
function showViews(view) {
  const d = qrvx.ocio.displays.find((d) => d.name === $("display").value);
  $("ocioView").replaceChildren(...d.views.map((v) => el("option", { value: v, text: v })));
  $("ocioView").value = view || d.defaultView;
}
$("display").addEventListener("change", () => { showViews(); refetchPictures(); });
$("ocioView").addEventListener("change", () => { refetchPictures(); });

async function readPicture(res) {
  const buf = await res.arrayBuffer();
  return {
    width: +res.headers.get("X-Width"), height: +res.headers.get("X-Height"),
    isFloat: res.headers.get("X-Float") === "1", pixels: new Uint8ClampedArray(buf),
  };
}

// ---- rendering: the newest state wins -------------------------------------------------
// Each change asks for its render at once; the server drops a render overtaken by a newer
// change before it started, and the page never draws a picture older than the one shown.
let inputKey = "";
async function render(change) {
  const session = qrvx.session;
  let res;
  const view = transform();
  try {
    res = await api(`/api/render?s=${session}&change=${change}&${view}`);
  } catch (err) {
    if (session !== qrvx.session) return;
    if (err.status === 409) { qrvx.dropped++; return; }
    if (qrvx.state && change < qrvx.state.change) { qrvx.dropped++; return; }
    qrvx.failed++;
    status("render failed: " + err.message, true);
    return;
  }
  if (session !== qrvx.session) return;
  const pic = await readPicture(res);
  pic.change = +res.headers.get("X-Change");
  pic.view = view;
  if (qrvx.shown && qrvx.shown.change >= pic.change) { qrvx.dropped++; return; }
  qrvx.shown = pic;
  qrvx.rendered++;
  putPicture(outCanvas, pic);
  $("raw").disabled = $("display").disabled = $("ocioView").disabled = !pic.isFloat;
  draw();
  const made = qrvx.changedAt.get(pic.change);
  if (made !== undefined) qrvx.timings.push(performance.now() - made);
  for (const k of qrvx.changedAt.keys()) if (k <= pic.change) qrvx.changedAt.delete(k);
  if (qrvx.state && pic.change === qrvx.state.change) {
    qrvx.error = "";
    status(`${pic.width} × ${pic.height} ${pic.isFloat ? "float" : "16-bit"}, ${(+res.headers.get("X-Render-Ms")).toFixed(0)} ms`);
  }
  // The view was changed while this render was on its way: show it through the new one.
  if (view !== transform()) refetchPictures();
  const key = JSON.stringify([inputPath(), qrvx.state && qrvx.state.frame]);
  if (key !== inputKey || !qrvx.input) { inputKey = key; fetchInput(); }
}

async function fetchInput() {
  if (!qrvx.session || !qrvx.shown) return;
  try {
    const res = await api(`/api/picture?s=${qrvx.session}&which=input&${transform()}`);
    qrvx.input = await readPicture(res);
    putPicture(inCanvas, qrvx.input);
    draw();
  } catch (err) { /* shown again with the next render */ }
}

async function refetchPictures() {
  if (!qrvx.session || !qrvx.shown) return;
  try {
    const view = transform();
    const res = await api(`/api/picture?s=${qrvx.session}&which=output&${view}`);
    const pic = await readPicture(res);
    pic.change = qrvx.shown.change;
    pic.view = view;
    qrvx.shown = pic;
    putPicture(outCanvas, pic);
  } catch (err) { /* keep what is shown */ }
  await fetchInput();
  draw();
}

// ---- changes ----------------------------------------------------------------------------
// Changes are sent one at a time in the order made; while one is on its way, newer values
// of the same control replace the waiting one.
const pending = new Map();
let sending = false;
function setControl(id, value) {
  pending.delete(id);
  pending.set(id, value);
  if (!sending) sendChanges();
}
qrvx.set = setControl;
async function sendChanges() {
  sending = qrvx.sending = true;
  while (pending.size) {
    const [id, value] = pending.entries().next().value;
    pending.delete(id);
    const made = performance.now();
    try {
      const state = await api("/api/set", { s: qrvx.session, id, value: String(value) });
      qrvx.changedAt.set(state.change, made);
      applyState(state);
      render(state.change);
    } catch (err) {
      status(err.message, true);
      if (qrvx.state) applyState(qrvx.state, true);
    }
  }
  sending = qrvx.sending = false;
}

async function post(path, body) {
  try {
    const state = await api(path, Object.assign({ s: qrvx.session }, body));
    applyState(state);
    render(state.change);
  } catch (err) { status(err.message, true); }
}

// ---- controls from the declarations ----------------------------------------------------
const widgets = new Map(); // control ID -> {row, update(c)}
let currentTab = null;

function controlById(id) { return qrvx.state && qrvx.state.controls.find((c) => c.id === id); }
function escapeHtml(t) { return String(t).replace(/[&<>"]/g, (ch) => ({ "&": "&amp;", "<": "&lt;", ">": "&gt;", '"': "&quot;" })[ch]); }
function el(tag, attrs, ...kids) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs || {})) {
    if (k === "text") e.textContent = v; else if (k in e && k !== "list") e[k] = v; else e.setAttribute(k, v);
  }
  e.append(...kids);
  return e;
}
function fmt(v) { return String(+(+v).toPrecision(12)); }
function inputPath() { const c = controlById("Input"); return c ? c.path : ""; }

function numberBox(c, index) {
  const box = el("input", { type: "number", step: "any", title: c.description });
  box.dataset.id = c.id;
  if (c.allowedLow !== null && c.dataType !== "Point") box.min = c.allowedLow;
  if (c.allowedHigh !== null && c.dataType !== "Point") box.max = c.allowedHigh;
  box.addEventListener("change", () => {
    if (box.value === "") return;
    if (c.dataType === "Point") {
      const v = controlById(c.id).value.slice();
      v[index] = +box.value;
      activate(c.id);
      setControl(c.id, v[0] + "," + v[1]);
    } else setControl(c.id, box.value);
  });
  return box;
}

function sliderRow(c) {
  const lo = c.shownLow ?? c.allowedLow ?? 0, hi = c.shownHigh ?? c.allowedHigh ?? 1;
  const slider = el("input", { type: "range", min: lo, max: hi, step: c.wholeNumbers ? 1 : (hi - lo) / 1000 || "any", title: c.description });
  slider.dataset.id = c.id;
  const box = numberBox(c);
  slider.addEventListener("input", () => { box.value = fmt(slider.value); setControl(c.id, slider.value); });
  const row = el("div", { className: "control", title: c.description }, el("span", { text: c.name }), slider, box);
  return { row, update: (c) => { if (document.activeElement !== box) box.value = fmt(c.value); if (document.activeElement !== slider) slider.value = c.value; } };
}

function checkboxRow(c) {
  const box = el("input", { type: "checkbox", title: c.description });
  box.dataset.id = c.id;
  box.addEventListener("change", () => setControl(c.id, box.checked ? "1" : "0"));
  const row = el("div", { className: "control", title: c.description }, el("span", { text: c.name }), el("label", {}, box));
  return { row, update: (c) => { box.checked = c.value > 0; } };
}

function comboRow(c) {
  const select = el("select", { title: c.description });
  select.dataset.id = c.id;
  c.comboEntries.forEach((name, i) => select.appendChild(el("option", { value: i, text: name })));
  select.addEventListener("change", () => setControl(c.id, select.value));
  const row = el("div", { className: "control", title: c.description }, el("span", { text: c.name }), select);
  return { row, update: (c) => { select.value = Math.trunc(c.value); } };
}

function pointRow(c) {
  const x = numberBox(c, 0), y = numberBox(c, 1);
  x.dataset.axis = "x"; y.dataset.axis = "y";
  const show = el("button", { text: "◎", title: "Show its crosshair on the picture (drag it there)" });
  show.addEventListener("click", () => activate(c.id));
  const row = el("div", { className: "control point", title: c.description },
    el("span", { text: c.name }), el("div", { className: "boxes" }, x, y), show);
  row.dataset.id = c.id;
  return { row, update: (c) => {
    if (document.activeElement !== x) x.value = fmt(c.value[0]);
    if (document.activeElement !== y) y.value = fmt(c.value[1]);
    row.classList.toggle("active", activePoint === c.id);
  } };
}

function activate(id) {
  activePoint = id;
  for (const [cid, w] of widgets) if (w.row.classList.contains("point")) w.row.classList.toggle("active", cid === id);
  drawOverlay();
}

// Colour channels that share a group: one box with the group's label and a swatch, which
// also sets red, green and blue at once.
function colourGroup(members) {
  const label = members[0].colorGroup || members[0].name;
  const swatch = el("input", { type: "color", className: "swatch", title: label });
  const box = el("fieldset", { className: "colour" }, el("legend", {}, el("span", { text: label }), swatch));
  const byPlace = () => members.map((m) => controlById(m.id));
  swatch.addEventListener("input", () => {
    const hex = swatch.value;
    byPlace().slice(0, 3).forEach((m, i) => setControl(m.id, fmt(parseInt(hex.substr(1 + 2 * i, 2), 16) / 255)));
  });
  const rows = members.map((m) => sliderRow(m));
  rows.forEach((r) => box.appendChild(r.row));
  const updateSwatch = () => {
    const v = byPlace().slice(0, 3).map((m) => Math.round(Math.min(1, Math.max(0, m.value)) * 255));
    swatch.value = "#" + v.map((n) => n.toString(16).padStart(2, "0")).join("");
  };
  members.forEach((m, i) => widgets.set(m.id, { row: rows[i].row, update: (c) => { rows[i].update(c); updateSwatch(); } }));
  return box;
}

function buildControls(state) {
  widgets.clear();
  const tabs = $("tabs"), controls = $("controls"), images = $("imageRows");
  tabs.replaceChildren(); controls.replaceChildren(); images.replaceChildren();
  const pages = new Map();
  const done = new Set();
  for (const c of state.controls) {
    if (c.dataType === "Image") { images.appendChild(imageRow(c)); continue; }
    if (done.has(c.id)) continue;
    const page = c.page || "Controls";
    if (!pages.has(page)) pages.set(page, el("div", { className: "page" }));
    const holder = pages.get(page);
    if (c.kind === "ColorControl" && c.group !== null) {
      const members = state.controls.filter((m) => m.kind === "ColorControl" && m.group === c.group && (m.page || "Controls") === page)
        .sort((a, b) => (a.groupPlace ?? 0) - (b.groupPlace ?? 0));
      members.forEach((m) => done.add(m.id));
      holder.appendChild(colourGroup(members));
      continue;
    }
    let w;
    if (c.dataType === "Point") w = pointRow(c);
    else if (c.kind === "CheckboxControl") w = checkboxRow(c);
    else if (c.kind === "ComboControl") w = comboRow(c);
    else w = sliderRow(c);
    w.row.dataset.id = c.id;
    widgets.set(c.id, w);
    holder.appendChild(w.row);
  }
  const names = [...pages.keys()];
  if (!names.includes(currentTab)) currentTab = names[0] || null;
  for (const name of names) {
    const b = el("button", { text: name });
    b.dataset.page = name;
    b.addEventListener("click", () => { currentTab = name; showTab(); });
    tabs.appendChild(b);
    pages.get(name).dataset.page = name;
    controls.appendChild(pages.get(name));
  }
  tabs.hidden = names.length < 2;
  showTab();
  const firstPoint = state.controls.find((c) => c.dataType === "Point" && c.visible);
  activePoint = firstPoint ? firstPoint.id : null;
}

function showTab() {
  for (const b of $("tabs").children) b.classList.toggle("on", b.dataset.page === currentTab);
  for (const p of $("controls").children) p.hidden = p.dataset.page !== currentTab;
}

function imageRow(c) {
  const path = el("code", { text: c.path || "—" });
  const choose = el("button", { text: "Choose…", title: "Pick an image file or # sequence under the root folder" });
  choose.dataset.id = c.id;
  choose.addEventListener("click", () => openPicker(c.id));
  const row = el("div", { className: "imagerow", title: c.description },
    el("span", { text: c.name + (c.required ? " *" : "") }), path, choose);
  row.dataset.id = c.id;
  widgets.set(c.id, { row, update: (c) => {
    path.textContent = c.path || (c.id === "Input" ? "— (the test card)" : "—");
    path.title = c.path;
  } });
  return row;
}

// Puts a state from the server into the widgets: values, visibility (the tool's change
// notification decides it), the frame slider and the command line.
function applyState(state, force) {
  const rebuild = !qrvx.state || qrvx.state.id !== state.id || force === "rebuild";
  if (qrvx.state && !force && state.change < qrvx.state.change) return;
  qrvx.state = state;
  if (rebuild) buildControls(state);
  for (const c of state.controls) {
    const w = widgets.get(c.id);
    if (!w) continue;
    w.update(c);
    w.row.hidden = !c.visible;
  }
  if (activePoint && !controlById(activePoint).visible) {
    const p = state.controls.find((c) => c.dataType === "Point" && c.visible);
    activate(p ? p.id : null);
  }
  const frames = [...new Set(state.controls.flatMap((c) => c.frames || []))].sort((a, b) => a - b);
  $("frameRow").hidden = !state.sequence;
  if (state.sequence && frames.length) {
    const f = $("frame"), box = $("frameBox");
    f.min = box.min = frames[0]; f.max = box.max = frames[frames.length - 1];
    if (document.activeElement !== f) f.value = state.frame;
    if (document.activeElement !== box) box.value = state.frame;
  }
  $("help").textContent = state.help;
  $("command").textContent = state.command;
  $("tool").value = state.tool;
  drawOverlay();
}

function sendFrame(v) {
  if (frameBusy) { frameNext = v; return; }
  frameBusy = true;
  api("/api/frame", { s: qrvx.session, frame: Math.trunc(+v) })
    .then((state) => { applyState(state); render(state.change); })
    .catch((err) => status(err.message, true))
    .finally(() => { frameBusy = false; if (frameNext !== null) { const n = frameNext; frameNext = null; sendFrame(n); } });
}
let frameBusy = false, frameNext = null;
$("frame").addEventListener("input", () => { $("frameBox").value = $("frame").value; sendFrame($("frame").value); });
$("frameBox").addEventListener("change", () => sendFrame($("frameBox").value));

// ---- the file picker -------------------------------------------------------------------
let pickingFor = null;
async function openPicker(id, folder) {
  pickingFor = id;
  $("pickerTitle").textContent = `Image for "${id}"`;
  const list = $("pickerList");
  list.replaceChildren(); // nothing of the last folder stays clickable while this one loads
  let data;
  try { data = await api(`/api/files?dir=${encodeURIComponent(folder || "")}`); }
  catch (err) { status(err.message, true); return; }
  $("pickerFolder").textContent = (qrvx.root || "") + (data.folder ? "/" + data.folder : "");
  list.replaceChildren();
  const join = (name) => (data.folder ? data.folder + "/" : "") + name;
  if (data.folder) {
    const up = data.folder.split("/").slice(0, -1).join("/");
    const li = el("li", { className: "folder", text: ".." });
    li.addEventListener("click", () => openPicker(id, up));
    list.appendChild(li);
  }
  for (const f of data.folders) {
    const li = el("li", { className: "folder", text: f });
    li.addEventListener("click", () => openPicker(id, join(f)));
    list.appendChild(li);
  }
  for (const s of data.sequences) {
    const li = el("li", { className: "sequence", text: s.name });
    li.dataset.frames = `frames ${s.frames[0]}–${s.frames[s.frames.length - 1]} (${s.frames.length})`;
    li.dataset.path = join(s.name);
    li.addEventListener("click", () => pick(join(s.name)));
    list.appendChild(li);
  }
  for (const f of data.files) {
    const li = el("li", { className: "file", text: f });
    li.dataset.path = join(f);
    li.addEventListener("click", () => pick(join(f)));
    list.appendChild(li);
  }
  $("picker").hidden = false;
}
function pick(path) {
  $("picker").hidden = true;
  post("/api/connect", { id: pickingFor, path });
}
$("pickerNone").addEventListener("click", () => pick(""));
$("pickerClose").addEventListener("click", () => { $("picker").hidden = true; });

// ---- saving ------------------------------------------------------------------------------
$("saveButton").addEventListener("click", async () => {
  const path = $("savePath").value;
  try {
    const r = await api("/api/save", { s: qrvx.session, path });
    $("saved").textContent = `Saved ${r.saved}; render it with: qrvx render "${qrvx.state.tool}" --settings ${r.saved} ...`;
    $("saved").className = "";
  } catch (err) {
    $("saved").textContent = err.message;
    $("saved").className = "error";
    status(err.message, true);
  }
});

// ---- opening a tool ---------------------------------------------------------------------
async function open(tool, inputs, controls, frame) {
  const state = await api("/api/session", { tool, inputs: inputs || {}, controls: controls || {}, frame: frame || 0 });
  qrvx.session = state.session;
  qrvx.shown = null; qrvx.input = null; inputKey = "";
  pending.clear();
  applyState(state, "rebuild");
  if (state.errors && state.errors.length) status(state.errors.join("; "), true); else status("rendering…");
  render(state.change);
}

$("tool").addEventListener("change", () => {
  const path = inputPath();
  open($("tool").value, path ? { Input: path } : {}, {}, qrvx.state ? qrvx.state.frame : 0)
    .catch((err) => status(err.message, true));
});

(async () => {
  try {
    const [tools, start] = await Promise.all([api("/api/tools"), api("/api/start")]);
    for (const t of tools) $("tool").appendChild(el("option", { value: t.name, text: t.name, title: t.help }));
    qrvx.root = start.root;
    if (start.ocio) showOcio(start.ocio);
    if (start.ocioError) $("rawLabel").title += " (" + start.ocioError + ")";
    $("rootNote").textContent = ` (run in ${start.root})`;
    await open(start.tool, start.inputs, start.controls, 0);
  } catch (err) { status(err.message, true); }
})();
})();

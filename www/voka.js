// The live page of voka-host: the site's state from /api/v1/state every few
// seconds, and per power system a plot of the DC voltage and the total
// rectifier current over the last 24 hours from /api/v1/history. Data are
// put into the page as text only, never as markup.
"use strict";

const STATE_EVERY_MS = 3000;
const PLOT_EVERY_MS = 60000;
const DAY_MS = 24 * 3600 * 1000;
const HISTORY_LIMIT = 2000;
const AC = 5188, DC = 5189, RECTIFIER = 5190;
const VOLTS_COLOUR = "rgb(31, 119, 180)", AMPERES_COLOUR = "rgb(214, 39, 40)";

const cards = new Map();  // system name -> {section, live, canvas, chart, plottedAt}

function el(tag, props, ...children) {
  const e = document.createElement(tag);
  Object.assign(e, props || {});
  for (const c of children) e.append(c);
  return e;
}

function number(v, digits) {
  return v === null || v === undefined || Number.isNaN(Number(v)) ? "—" : Number(v).toFixed(digits);
}
const volts = (v) => `${number(v, 1)} V`;
const amperes = (v) => `${number(v, 1)} A`;
const when = (iso) => (iso ? new Date(iso).toLocaleString() : "never");

function table(head, rows) {
  return el("div", { className: "scroll" },
    el("table", {}, el("thead", {}, el("tr", {}, ...head.map((h) => el("th", { textContent: h })))),
      el("tbody", {}, ...rows)));
}

function acDevice(d) {
  const f = d.fields;
  const channels = (f.channels || []).map((c, i) =>
    el("tr", {}, el("td", { textContent: `channel ${i + 1}` }), el("td", { textContent: volts(c.a) }),
      el("td", { textContent: volts(c.b) }), el("td", { textContent: volts(c.c) }),
      el("td", { textContent: `${number(c.f, 2)} Hz` })));
  return [
    el("h3", { textContent: `AC ${d.data_id}` }),
    table(["", "A", "B", "C", "f"], channels),
    el("p", { className: "meta", textContent: `currents A ${amperes(f.ia)}, B ${amperes(f.ib)}, C ${amperes(f.ic)}` }),
  ];
}

function dcDevice(d) {
  const f = d.fields;
  const batteries = (f.battery_currents || []).map((a, i) => `battery ${i + 1} ${amperes(a)}`).join(", ");
  return [
    el("h3", { textContent: `DC ${d.data_id}` }),
    el("p", { className: "dc", textContent: `${volts(f.v)}, load ${amperes(f.i)}${batteries ? `; ${batteries}` : ""}` }),
  ];
}

function rectifierDevice(d) {
  const f = d.fields;
  const modules = (f.modules || []).map((m, i) =>
    el("tr", {}, el("td", { textContent: `module ${i + 1}` }), el("td", { textContent: amperes(m.current) }),
      el("td", { textContent: m.fault === 1 ? "fault" : "ok", className: m.fault === 1 ? "fault" : "" })));
  return [
    el("h3", { textContent: `Rectifiers ${d.data_id}: output ${volts(f.output_voltage)}` }),
    table(["", "current", ""], modules),
  ];
}

function alarms(list) {
  if (!list.length) return [el("h3", { textContent: "Active alarms" }), el("p", { className: "meta", textContent: "none" })];
  return [
    el("h3", { textContent: `Active alarms (${list.length})` }),
    el("ul", { className: "alarms" }, ...list.map((a) =>
      el("li", {}, `${a.text} (${a.rule_id} ${a.data_id}, grade ${a.grade}) `,
        el("span", { className: "when", textContent: `since ${when(a.started)}` })))),
  ];
}

function liveContent(s) {
  const parts = [
    el("h2", {}, `${s.name} `, el("span", { className: `state ${s.state}`, textContent: s.state })),
    el("p", { className: "why", textContent: s.state_why || "" }),
    el("p", { className: "meta",
      textContent: `round ${s.rounds}, last ${when(s.last_round)}` +
        (s.round_duration_ms === null || s.round_duration_ms === undefined ? "" : ` (${number(s.round_duration_ms, 0)} ms)`) }),
  ];
  const byKind = (type) => (s.devices || []).filter((d) => d.record_type === type && d.fields && !d.fields.error);
  for (const d of byKind(AC)) parts.push(...acDevice(d));
  for (const d of byKind(DC)) parts.push(...dcDevice(d));
  for (const d of byKind(RECTIFIER)) parts.push(...rectifierDevice(d));
  parts.push(...alarms(s.alarms || []));
  return parts;
}

function card(name) {
  let c = cards.get(name);
  if (c) return c;
  const live = el("div");
  const canvas = el("canvas", { ariaLabel: `DC voltage and rectifier current of ${name}, last 24 h` });
  const section = el("section", { className: "system" }, live, el("h3", { textContent: "Last 24 hours" }),
    el("div", { className: "plot" }, canvas));
  document.getElementById("systems").append(section);
  c = { section, live, canvas, chart: null, plottedAt: 0 };
  cards.set(name, c);
  return c;
}

function hhmm(ms) {
  const d = new Date(ms);
  return `${String(d.getHours()).padStart(2, "0")}:${String(d.getMinutes()).padStart(2, "0")}`;
}

function makeChart(canvas) {
  return new Chart(canvas, {
    type: "line",
    data: { datasets: [
      { label: "DC voltage (V)", data: [], yAxisID: "v", borderColor: VOLTS_COLOUR, backgroundColor: VOLTS_COLOUR },
      { label: "rectifier current (A)", data: [], yAxisID: "i", borderColor: AMPERES_COLOUR,
        backgroundColor: AMPERES_COLOUR },
    ] },
    options: {
      animation: false, responsive: true, maintainAspectRatio: false, parsing: false, spanGaps: false,
      elements: { point: { radius: 2 }, line: { borderWidth: 2 } },
      scales: {
        x: { type: "linear", ticks: { callback: hhmm, stepSize: 3 * 3600 * 1000 } },
        v: { type: "linear", position: "left", title: { display: true, text: "V" } },
        i: { type: "linear", position: "right", title: { display: true, text: "A" }, grid: { drawOnChartArea: false } },
      },
      plugins: { tooltip: { callbacks: { title: (items) => items.length ? new Date(items[0].parsed.x).toLocaleString() : "" } } },
    },
  });
}

async function getJson(url) {
  const r = await fetch(url, { cache: "no-store" });
  if (!r.ok) throw new Error(`${url}: HTTP ${r.status}`);
  return r.json();
}

async function history(dataId, type, value) {
  const url = `/api/v1/history?data_id=${dataId}&since=24h&limit=${HISTORY_LIMIT}`;
  const answer = await getJson(url);
  return (answer.records || []).filter((r) => r.record_type === type)
    .map((r) => ({ x: Date.parse(r.time), y: value(r.fields) }))
    .filter((p) => Number.isFinite(p.x) && p.y !== null && Number.isFinite(p.y))
    .sort((a, b) => a.x - b.x);
}

function totalCurrent(fields) {
  const currents = (fields.modules || []).map((m) => m.current).filter((a) => a !== null && a !== undefined);
  return currents.length ? currents.reduce((a, b) => a + b, 0) : null;
}

async function plot(s, c) {
  if (typeof Chart === "undefined") return;  // the chart library did not load: the rest still shows
  const now = Date.now();
  const dc = (s.devices || []).find((d) => d.record_type === DC);
  const [v, i] = await Promise.all([
    dc ? history(dc.data_id, DC, (f) => f.v) : [],
    history(s.data_id, RECTIFIER, totalCurrent),
  ]);
  if (!c.chart) c.chart = makeChart(c.canvas);
  c.chart.data.datasets[0].data = v;
  c.chart.data.datasets[1].data = i;
  c.chart.options.scales.x.min = now - DAY_MS;
  c.chart.options.scales.x.max = now;
  const many = v.length + i.length > 200;
  c.chart.options.elements.point.radius = many ? 0 : 2;
  c.chart.update();
  c.plottedAt = now;
}

function setStatus(text, down) {
  const status = document.getElementById("status");
  status.textContent = text;
  status.classList.toggle("down", down);
}

async function refresh() {
  try {
    const state = await getJson("/api/v1/state");
    document.getElementById("site").textContent = state.site || "voka site";
    document.title = `${state.site || "voka"} – voka`;
    const seen = new Set();
    for (const s of state.systems || []) {
      seen.add(s.name);
      const c = card(s.name);
      c.live.replaceChildren(...liveContent(s));
      if (Date.now() - c.plottedAt >= PLOT_EVERY_MS)
        plot(s, c).catch((e) => setStatus(`plot of ${s.name}: ${e.message}`, true));
    }
    for (const [name, c] of cards)
      if (!seen.has(name)) {  // gone from the site (a reload)
        if (c.chart) c.chart.destroy();
        c.section.remove();
        cards.delete(name);
      }
    setStatus(`updated ${new Date().toLocaleTimeString()} (data of ${when(state.generated)})`, false);
  } catch (e) {
    setStatus(`no answer from voka-host: ${e.message}; retrying`, true);
  }
  setTimeout(refresh, STATE_EVERY_MS);
}

refresh();

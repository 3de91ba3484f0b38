// The live page of voka-host: the site's state from /api/v1/state every few
// seconds (an overview line per power system, then a card per system with
// its values, active alarms, line health and plots), and the alarms that came
// and went from /api/v1/alarms. Plots ask /api/v1/history for a range reduced
// by the server to at most PLOT_POINTS buckets of min/max/mean, drawn as the
// mean with a band from min to max, so a short dip stays visible. Data are
// put into the page as text only, never as markup.
"use strict";

const STATE_EVERY_MS = 3000;
const MOST_RETRY_MS = 60000;  // the longest wait between attempts while the server is lost
const PLOT_EVERY_MS = 60000;
const ALARM_LOG_EVERY_MS = 15000;
const ALARM_LOG_LIMIT = 200;
const PLOT_POINTS = 1000;
const RANGES = [["1h", "1 h", 3600e3], ["24h", "24 h", 86400e3], ["7d", "7 d", 7 * 86400e3]];
const AC = 5188, DC = 5189, RECTIFIER = 5190;
const COLOURS = ["rgb(31, 119, 180)", "rgb(214, 39, 40)", "rgb(44, 160, 44)", "rgb(148, 103, 189)",
  "rgb(255, 127, 14)", "rgb(140, 86, 75)", "rgb(23, 190, 207)", "rgb(127, 127, 127)", "rgb(188, 189, 34)"];

const cards = new Map();  // system name -> card
let failures = 0;          // state fetches failed in a row
let lostSince = null;
let serverSkewMs = 0;       // server clock minus ours, so ages are the server's
let alarmLog = [];
let alarmLogAt = 0, alarmSignature = "";
let systemsByDevice = new Map();  // data id -> system name

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
const serverNow = () => Date.now() + serverSkewMs;

function span(seconds) {
  const s = Math.max(0, Math.round(seconds));
  if (s < 60) return `${s} s`;
  if (s < 3600) return `${Math.floor(s / 60)} min`;
  if (s < 86400) return `${Math.floor(s / 3600)} h ${Math.floor((s % 3600) / 60)} min`;
  return `${Math.floor(s / 86400)} d ${Math.floor((s % 86400) / 3600)} h`;
}
const ago = (iso) => (iso ? `${span((serverNow() - Date.parse(iso)) / 1000)} ago` : "never");

// A table whose rows stack into label-value lines on a narrow window.
function table(head, rows, className) {
  return el("table", { className: `stacks ${className || ""}` },
    el("thead", {}, el("tr", {}, ...head.map((h) => el("th", { textContent: h })))),
    el("tbody", {}, ...rows.map((cells) => el("tr", {}, ...cells.map((c, i) => {
      const td = typeof c === "object" && c !== null && c.nodeType ? c : el("td", { textContent: String(c) });
      td.dataset.label = head[i];
      return td;
    })))));
}

// A value of a stale system says how old it is.
function shown(text, device, stale) { return stale ? `${text}, ${ago(device.time)}` : text; }

function acDevice(d, stale) {
  const f = d.fields;
  const rows = (f.channels || []).map((c, i) => [`channel ${i + 1}`, shown(volts(c.a), d, stale),
    shown(volts(c.b), d, stale), shown(volts(c.c), d, stale), shown(`${number(c.f, 2)} Hz`, d, stale)]);
  return [
    el("h3", { textContent: `AC ${d.data_id}` }),
    table(["", "A", "B", "C", "f"], rows),
    el("p", { className: "meta value",
      textContent: shown(`currents A ${amperes(f.ia)}, B ${amperes(f.ib)}, C ${amperes(f.ic)}`, d, stale) }),
  ];
}

function dcDevice(d, stale) {
  const f = d.fields;
  const batteries = (f.battery_currents || []).map((a, i) => `battery ${i + 1} ${amperes(a)}`).join(", ");
  return [
    el("h3", { textContent: `DC ${d.data_id}` }),
    el("p", { className: "dc value",
      textContent: shown(`${volts(f.v)}, load ${amperes(f.i)}${batteries ? `; ${batteries}` : ""}`, d, stale) }),
  ];
}

function rectifierDevice(d, stale) {
  const f = d.fields;
  const rows = (f.modules || []).map((m, i) => [`module ${i + 1}`, shown(amperes(m.current), d, stale),
    el("td", { textContent: m.fault === 1 ? "fault" : "ok", className: m.fault === 1 ? "fault" : "" })]);
  return [
    el("h3", { className: "value", textContent: shown(`Rectifiers ${d.data_id}: output ${volts(f.output_voltage)}`, d, stale) }),
    table(["", "current", "state"], rows),
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

// The line's counters over the last hour and since start, the last failed
// attempt in words, and the reopenings of the port.
function lineHealth(s) {
  const all = s.counters || {}, hour = s.last_hour || {};
  const pick = (c, path) => path.reduce((v, k) => (v && v[k] !== undefined ? v[k] : undefined), c);
  const row = (label, path) => [label, number(pick(hour, path) ?? 0, 0), number(pick(all, path) ?? 0, 0)];
  const rows = [
    row("commands sent", ["sent"]), row("answered", ["answered"]), row("retries", ["retried"]),
    row("time-outs", ["exchanges", "timed_out"]), row("reopenings", ["reopenings"]),
  ];
  for (const reason of Object.keys(all.rejected || {}))
    if ((all.rejected[reason] || 0) > 0) rows.push(row(`rejected: ${reason.replaceAll("_", " ")}`, ["rejected", reason]));
  return [
    el("h3", { textContent: "Line health" }),
    el("p", { className: "meta", textContent: `state ${s.state}, ${s.rounds} rounds` +
      (hour.since ? `; last hour counted since ${new Date(hour.since).toLocaleTimeString()}` : "") }),
    table(["", "last hour", "since start"], rows, "health"),
    el("p", { className: "meta last-failure", textContent: s.last_failure
      ? `last failure ${ago(s.last_failure_time)}: ${s.last_failure}` : "no failed command so far" }),
  ];
}

function liveContent(s) {
  const stale = s.state !== "ok";
  const parts = [
    el("h2", {}, `${s.name} `, el("span", { className: `state ${s.state}`, textContent: s.state })),
    el("p", { className: "why", textContent: s.state_why || "" }),
    el("p", { className: "meta",
      textContent: `round ${s.rounds}, last ${s.last_round ? ago(s.last_round) : "never"}` +
        (s.round_duration_ms === null || s.round_duration_ms === undefined ? "" : ` (${number(s.round_duration_ms, 0)} ms)`) }),
  ];
  const byKind = (type) => (s.devices || []).filter((d) => d.record_type === type && d.fields && !d.fields.error);
  const values = el("div", { className: stale ? "values stale-values" : "values" });
  for (const d of byKind(AC)) values.append(...acDevice(d, stale));
  for (const d of byKind(DC)) values.append(...dcDevice(d, stale));
  for (const d of byKind(RECTIFIER)) values.append(...rectifierDevice(d, stale));
  parts.push(values, ...alarms(s.alarms || []), ...lineHealth(s));
  return parts;
}

// One line per system: name (a link to its card), state, age of the last
// complete round, active alarms by grade.
function overviewLine(s, c) {
  const grades = new Map();
  for (const a of s.alarms || []) grades.set(a.grade, (grades.get(a.grade) || 0) + 1);
  const counted = [...grades.entries()].sort((a, b) => a[0] - b[0]);
  return el("div", { className: "overview-line" },
    el("a", { href: `#${c.section.id}`, textContent: s.name }),
    el("span", { className: `state ${s.state}`, textContent: s.state }),
    el("span", { className: "meta", textContent: s.last_round ? `last round ${ago(s.last_round)}` : "no round yet" }),
    el("span", { className: "grades meta" }, ...(counted.length
      ? counted.map(([g, n]) => el("span", { textContent: `${n} alarm${n > 1 ? "s" : ""} of grade ${g}` }))
      : [el("span", { textContent: "no active alarm" })])));
}

let nextCardId = 0;
function card(name) {
  let c = cards.get(name);
  if (c) return c;
  const live = el("div");
  const ranges = el("div", { className: "ranges" }, el("span", { className: "meta", textContent: "plots of the last" }));
  const plots = el("div", { className: "plots" });
  const section = el("section", { className: "system", id: `system-${++nextCardId}` }, live, ranges, plots);
  section.dataset.system = name;
  document.getElementById("systems").append(section);
  c = { section, live, plots, ranges, charts: new Map(), range: "24h", plottedAt: 0, plotting: false, system: null };
  for (const [key, label] of RANGES) {
    const b = el("button", { type: "button", textContent: label });
    b.dataset.range = key;
    b.setAttribute("aria-pressed", String(key === c.range));
    b.addEventListener("click", () => {
      c.range = key;
      for (const x of ranges.querySelectorAll("button")) x.setAttribute("aria-pressed", String(x.dataset.range === key));
      if (c.system) plotAll(c.system, c);
    });
    ranges.append(b);
  }
  cards.set(name, c);
  return c;
}

function tickText(ms, rangeMs) {
  const d = new Date(ms);
  const hm = `${String(d.getHours()).padStart(2, "0")}:${String(d.getMinutes()).padStart(2, "0")}`;
  return rangeMs > 86400e3 ? `${d.getDate()}/${d.getMonth() + 1} ${hm}` : hm;
}

function makeChart(canvas, axes) {
  const scales = { x: { type: "linear", ticks: { maxTicksLimit: 6 } } };
  axes.forEach((unit, i) => {
    scales[unit] = { type: "linear", position: i === 0 ? "left" : "right", title: { display: true, text: unit },
      grid: { drawOnChartArea: i === 0 } };
  });
  return new Chart(canvas, {
    type: "line",
    data: { datasets: [] },
    options: {
      animation: false, responsive: true, maintainAspectRatio: false, parsing: false, spanGaps: false,
      normalized: true, elements: { point: { radius: 0 }, line: { borderWidth: 1.5 } },
      scales,
      plugins: {
        legend: { labels: { boxWidth: 12, filter: (item, data) => !data.datasets[item.datasetIndex].band } },
        tooltip: { callbacks: { title: (items) => items.length ? new Date(items[0].parsed.x).toLocaleString() : "" } },
      },
    },
  });
}

// A plot's three datasets per series: the mean, and a band from min to max.
function datasets(answer, label) {
  const times = (answer.times || []).map((t) => Date.parse(t));
  const out = [];
  (answer.series || []).forEach((s, k) => {
    const colour = COLOURS[k % COLOURS.length];
    const points = (ys) => times.map((x, i) => ({ x, y: ys[i] === null || ys[i] === undefined ? null : ys[i] }));
    const axis = s.unit || "value";
    out.push({ label: label(s), data: points(s.mean), yAxisID: axis, borderColor: colour, backgroundColor: colour });
    out.push({ band: true, data: points(s.min), yAxisID: axis, borderWidth: 0, borderColor: colour, pointRadius: 0 });
    out.push({ band: true, data: points(s.max), yAxisID: axis, borderWidth: 0, borderColor: colour, pointRadius: 0,
      fill: "-1", backgroundColor: colour.replace("rgb", "rgba").replace(")", ", 0.18)") });
  });
  return out;
}

// The plots a system has: DC voltage and load, each AC device's phase
// voltages, the module currents.
function systemPlots(s) {
  const plots = [];
  for (const d of (s.devices || []).filter((x) => x.record_type === DC))
    plots.push({ key: `dc-${d.data_id}`, title: `DC ${d.data_id}: voltage and load`, dataId: d.data_id, values: "v,i",
      axes: ["V", "A"], label: (x) => (x.name === "v" ? "voltage (V)" : x.name === "i" ? "load (A)" : x.name) });
  for (const d of (s.devices || []).filter((x) => x.record_type === AC))
    plots.push({ key: `ac-${d.data_id}`, title: `AC ${d.data_id}: phase voltages`, dataId: d.data_id, values: "a,b,c",
      axes: ["V"], label: (x) => x.name.replace(/^channel_(\d+)_(\w)$/, (m, c, p) => `ch ${Number(c) + 1} ${p.toUpperCase()}`) });
  if ((s.devices || []).some((x) => x.record_type === RECTIFIER))
    plots.push({ key: `rc-${s.data_id}`, title: "Module currents", dataId: s.data_id, values: "current", axes: ["A"],
      label: (x) => x.name.replace(/^module_(\d+)_current$/, (m, n) => `module ${Number(n) + 1}`) });
  return plots;
}

function plotBox(c, plot) {
  let p = c.charts.get(plot.key);
  if (p) return p;
  const canvas = el("canvas", { ariaLabel: plot.title });
  const csv = el("a", { className: "csv", textContent: "CSV" });
  const box = el("div", { className: "plot-box" }, el("h3", {}, `${plot.title} `, csv), el("div", { className: "plot" }, canvas));
  box.dataset.plot = plot.key;
  c.plots.append(box);
  p = { box, canvas, csv, chart: null };
  c.charts.set(plot.key, p);
  return p;
}

async function getJson(url) {
  const r = await fetch(url, { cache: "no-store" });
  if (!r.ok) throw new Error(`${url}: HTTP ${r.status}`);
  return r.json();
}

async function plotAll(s, c) {
  if (typeof Chart === "undefined" || c.plotting) return;  // no chart library: the rest still shows
  c.plotting = true;
  const range = c.range, rangeMs = RANGES.find((r) => r[0] === range)[2];
  try {
    const plots = systemPlots(s);
    const answers = await Promise.all(plots.map((plot) => getJson(
      `/api/v1/history?data_id=${plot.dataId}&since=${range}&points=${PLOT_POINTS}&values=${plot.values}`)));
    plots.forEach((plot, i) => {
      const p = plotBox(c, plot);
      p.csv.href = `/api/v1/history?data_id=${plot.dataId}&since=${range}&limit=10000&format=csv`;
      p.csv.title = `the records of the last ${range} as CSV`;
      if (!p.chart) p.chart = makeChart(p.canvas, plot.axes);
      p.chart.data.datasets = datasets(answers[i], plot.label);
      const x = p.chart.options.scales.x;
      x.min = Date.parse(answers[i].since);
      x.max = Date.parse(answers[i].until);
      x.ticks.callback = (v) => tickText(v, rangeMs);
      p.chart.update();
    });
    c.plottedAt = Date.now();
    c.section.dataset.plotted = range;
  } finally {
    c.plotting = false;
  }
}

function setStatus(text, down) {
  const status = document.getElementById("status");
  status.textContent = text;
  status.classList.toggle("down", down);
  document.querySelector("header").classList.toggle("down", down);
}

function renderAlarmLog() {
  const filter = document.getElementById("grade-filter");
  const grades = [...new Set(alarmLog.map((a) => a.grade))].sort((a, b) => a - b);
  const have = [...filter.options].map((o) => o.value);
  for (const g of grades) if (!have.includes(String(g))) filter.append(el("option", { value: String(g), textContent: `grade ${g}` }));
  const shownAlarms = alarmLog.filter((a) => filter.value === "" || String(a.grade) === filter.value);
  const rows = shownAlarms.map((a) => [when(a.start), a.end ? when(a.end) : "active", span(a.duration_s),
    `${a.text}${systemsByDevice.has(a.data_id) ? ` (${systemsByDevice.get(a.data_id)})` : ""}`, a.grade,
    a.active ? "" : a.end_reason || "cleared"]);
  document.getElementById("alarm-log-table").replaceChildren(rows.length
    ? table(["start", "end", "duration", "text", "grade", "end reason"], rows, "alarm-log")
    : el("p", { className: "meta", textContent: "no alarm in the last 7 days" }));
}

async function refreshAlarmLog() {
  const status = document.getElementById("alarm-log-status");
  try {
    const answer = await getJson(`/api/v1/alarms?since=7d&limit=${ALARM_LOG_LIMIT}`);
    alarmLog = answer.alarms || [];
    status.textContent = `last 7 days, newest first (at most ${ALARM_LOG_LIMIT})`;
    renderAlarmLog();
  } catch (e) {
    status.textContent = `cannot read the alarm log: ${e.message}`;
  }
}

function showState(state) {
  serverSkewMs = Date.parse(state.generated) - Date.now();
  document.getElementById("site").textContent = state.site || "voka site";
  document.title = `${state.site || "voka"} – voka`;
  const seen = new Set(), overview = [];
  systemsByDevice = new Map();
  let signature = "";
  for (const s of state.systems || []) {
    seen.add(s.name);
    const c = card(s.name);
    c.system = s;
    c.section.classList.toggle("is-stale", s.state !== "ok");
    c.live.replaceChildren(...liveContent(s));
    overview.push(overviewLine(s, c));
    for (const d of s.devices || []) systemsByDevice.set(d.data_id, s.name);
    signature += (s.alarms || []).map((a) => `${a.data_id}/${a.rule_id}/${a.text}`).join(",") + ";";
    if (Date.now() - c.plottedAt >= PLOT_EVERY_MS)
      plotAll(s, c).catch((e) => { c.plottedAt = Date.now(); c.ranges.title = `plot: ${e.message}`; });
  }
  document.getElementById("overview-list").replaceChildren(...overview);
  for (const [name, c] of cards)
    if (!seen.has(name)) {  // gone from the site (a reload)
      for (const p of c.charts.values()) if (p.chart) p.chart.destroy();
      c.section.remove();
      cards.delete(name);
    }
  // The log is read again when the active alarms change, else now and then.
  if (signature !== alarmSignature || Date.now() - alarmLogAt >= ALARM_LOG_EVERY_MS) {
    alarmSignature = signature;
    alarmLogAt = Date.now();
    refreshAlarmLog();
  }
}

async function refresh() {
  let wait = STATE_EVERY_MS;
  try {
    showState(await getJson("/api/v1/state"));
    failures = 0;
    lostSince = null;
    setStatus(`updated ${new Date().toLocaleTimeString()}`, false);
  } catch (e) {
    // Lost the server: say so, and try again less and less often.
    failures += 1;
    lostSince = lostSince || new Date();
    wait = Math.min(MOST_RETRY_MS, STATE_EVERY_MS * 2 ** Math.min(failures, 10));
    setStatus(`lost voka-host since ${lostSince.toLocaleTimeString()} (${e.message}); ` +
      `values below are as they were; retrying in ${Math.round(wait / 1000)} s`, true);
  }
  setTimeout(refresh, wait);
}

document.getElementById("grade-filter").addEventListener("change", renderAlarmLog);
refresh();

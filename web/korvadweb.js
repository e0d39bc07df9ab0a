// korvadweb: the page. Every text from the air or the station reaches the page
// through textContent only; nothing here builds HTML from text.
"use strict";

(function () {
  const PAGE_ROWS = 500;           // messages kept in the page
  const BUCKET_SECONDS = 600;      // the chart's bars
  const BUCKETS = 144;             // 24 hours of them
  const RETRY_MS = 5000;           // a refused or closed event stream, again after
  const ALERTS_KEY = "korvadweb.alerts";
  const KEY_PATTERN = /^[A-Za-z0-9._-]+$/;  // what the station can be asked for

  const $ = (id) => document.getElementById(id);

  const state = {
    servedSince: null,   // korvadweb's start; its ids begin again when it changes
    lastId: 0,
    rows: [],            // {message, row}, newest first
    received: 0, uplinks: 0, downlinks: 0, alertsMatched: 0,
    counts: [],          // {start, count} oldest first
    events: null,
    chartPending: false,
    stationDown: null,   // the station's reason, or null when connected
    webDown: false,      // the event stream of korvadweb itself is broken
    alerts: loadAlerts(),
  };

  function text(el, value) {
    el.textContent = value === null || value === undefined ? "" : String(value);
    return el;
  }

  function make(tag, className, value) {
    const el = document.createElement(tag);
    if (className) el.className = className;
    if (value !== undefined) text(el, value);
    return el;
  }

  async function getJson(path) {
    const response = await fetch(path, { cache: "no-store" });
    const body = await response.json().catch(() => ({}));
    return { ok: response.ok, status: response.status, body };
  }

  // --- station and link -------------------------------------------------

  function showStation(station, link) {
    text($("station-host"), link ? link.host + " port " + link.port : "");
    if (!station) return;
    text($("station-program"), [station.program, station.version].join(" ").trim() || "-");
    text($("station-frequency"), station.frequency || "-");
    text($("station-databases"), station.flights + " flights, " + station.airlines +
      " airlines, " + station.types + " types, " + station.airports + " airports");
    text($("station-collection"), station.collection_entries + " contacts");
    const allows = [];
    if (station.reports) allows.push("reports");
    if (station.corrections) allows.push("corrections");
    if (station.mailing) allows.push("daily mails");
    if (station.valid_only === true) allows.push("valid checksums only");
    text($("station-allows"), allows.length ? allows.join(", ") : "nothing more");
  }

  function showLink(object) {
    if (state.servedSince !== null && object.served_since !== state.servedSince) {
      restart();  // another korvadweb now: its ids mean other messages
      return;
    }
    state.servedSince = object.served_since;
    showStation(object.station, object.link);
    state.stationDown = object.link.connected ? null : (object.link.reason || "not connected");
    showBanner();
  }

  function showStationCounters(c) {
    text($("station-counters"), c ? "Station: " + c.good + " good, " + c.uplinks +
      " uplinks, errors: " + c.parity_errors + " parity, " + c.block_errors + " block, " +
      c.crc_errors + " CRC" : "");
  }

  function showBanner() {
    const banner = $("banner");
    if (state.webDown) {
      text(banner, "korvadweb is unreachable; trying again.");
    } else if (state.stationDown !== null) {
      text(banner, "The station is unreachable (" + state.stationDown + "); trying again.");
    }
    banner.hidden = !state.webDown && state.stationDown === null;
  }

  // --- messages ---------------------------------------------------------

  function keyCell(value, onClick) {
    const cell = make("td");
    if (value && KEY_PATTERN.test(value)) {
      const b = make("button", "key", value);
      b.type = "button";
      b.addEventListener("click", () => onClick(value));
      cell.appendChild(b);
    } else {
      cell.appendChild(make("span", "key", value));
    }
    return cell;
  }

  function messageRow(m) {
    const row = make("tr", m.direction === "uplink" ? "uplink" : "");
    row.dataset.id = String(m.id);
    row.appendChild(make("td", "time", m.time_text));
    const reg = keyCell(m.registration, showAircraft);
    reg.className = "registration";
    row.appendChild(reg);
    const flight = keyCell(m.flight.trim(), showFlight);
    flight.className = "flight";
    row.appendChild(flight);
    row.appendChild(make("td", "label", m.label));
    row.appendChild(make("td", "block", m.block_id));
    row.appendChild(make("td", "text", m.text === "-" ? "" : m.text));
    return row;
  }

  function addMessage(m, live) {
    if (m.id <= state.lastId) return;  // already here (a stream that came back)
    state.lastId = m.id;
    const row = messageRow(m);
    const entry = { message: m, row };
    state.rows.unshift(entry);
    $("message-rows").prepend(row);
    while (state.rows.length > PAGE_ROWS) state.rows.pop().row.remove();
    row.hidden = !passesFilters(m);
    if (matchesAlert(m)) {
      row.classList.add("alert");
      state.alertsMatched++;
      if (live) notify(m);
    }
    if (live) {
      state.received++;
      if (m.direction === "uplink") state.uplinks++; else state.downlinks++;
      countInChart(m.received);
      redrawChartSoon();
    }
  }

  function redrawChartSoon() {
    if (state.chartPending) return;
    state.chartPending = true;
    setTimeout(() => {
      state.chartPending = false;
      drawChart();
    }, 1000);
  }

  function showCounters() {
    text($("count-received"), state.received);
    text($("count-uplinks"), state.uplinks);
    text($("count-downlinks"), state.downlinks);
    text($("count-page"), state.rows.length);
    text($("count-shown"), state.rows.filter((e) => !e.row.hidden).length);
    text($("count-alerts"), state.alertsMatched);
  }

  // --- filters ----------------------------------------------------------

  function filters() {
    return {
      label: $("filter-label").value.trim().toUpperCase(),
      registration: $("filter-registration").value.trim().toUpperCase(),
      flight: $("filter-flight").value.trim().toUpperCase(),
      text: $("filter-text").value.trim().toUpperCase(),
    };
  }

  function passesFilters(m, f = filters()) {
    return (!f.label || m.label.toUpperCase() === f.label) &&
      (!f.registration || m.registration.toUpperCase().includes(f.registration)) &&
      (!f.flight || m.flight.toUpperCase().includes(f.flight)) &&
      (!f.text || m.text.toUpperCase().includes(f.text));
  }

  function applyFilters() {
    const f = filters();
    for (const e of state.rows) e.row.hidden = !passesFilters(e.message, f);
    showCounters();
  }

  // --- alerts -----------------------------------------------------------

  function loadAlerts() {
    try {
      const list = JSON.parse(localStorage.getItem(ALERTS_KEY) || "[]");
      return Array.isArray(list) ? list.filter((a) => a && typeof a.value === "string" &&
        ["registration", "flight", "word"].includes(a.kind)) : [];
    } catch (e) {
      return [];
    }
  }

  function saveAlerts() {
    localStorage.setItem(ALERTS_KEY, JSON.stringify(state.alerts));
  }

  function matchesAlert(m) {
    return state.alerts.some((a) => {
      const v = a.value.toUpperCase();
      if (a.kind === "registration") return m.registration.toUpperCase() === v;
      if (a.kind === "flight") return m.flight.trim().toUpperCase() === v;
      return m.text.toUpperCase().includes(v);
    });
  }

  function showAlerts() {
    const list = $("alert-list");
    list.replaceChildren();
    state.alerts.forEach((a, i) => {
      const item = make("li", "", a.kind + ": " + a.value + " ");
      const remove = make("button", "", "\u00d7");
      remove.type = "button";
      remove.title = "Stop watching";
      remove.addEventListener("click", () => {
        state.alerts.splice(i, 1);
        saveAlerts();
        showAlerts();
        markAlerts();
      });
      item.appendChild(remove);
      list.appendChild(item);
    });
  }

  function markAlerts() {
    state.alertsMatched = 0;
    for (const e of state.rows) {
      const hit = matchesAlert(e.message);
      e.row.classList.toggle("alert", hit);
      if (hit) state.alertsMatched++;
    }
    showCounters();
  }

  function notify(m) {
    if (!("Notification" in window) || Notification.permission !== "granted") return;
    new Notification("korvad: " + m.registration + " " + m.flight.trim(), {
      body: m.label + " " + m.text.slice(0, 200),
    });
  }

  // --- contacts of an aircraft or a flight --------------------------------

  function when(seconds) {
    return new Date(seconds * 1000).toLocaleString();
  }

  async function showContacts(kind, key) {
    const box = $("details");
    box.hidden = false;
    const aircraft = kind === "aircraft";
    text($("details-title"), aircraft ? "Contacts of " + key : "Aircraft of flight " + key);
    text($("details-note"), "Asking the station\u2026");
    const head = $("details-head");
    head.replaceChildren(make("th", "", "Time"),
      make("th", "", aircraft ? "Flight" : "Registration"),
      make("th", "", aircraft ? "Route" : "Type"));
    const body = $("details-body");
    body.replaceChildren();
    const path = "/api/" + (aircraft ? "aircraft/" : "flight/") + encodeURIComponent(key);
    let answer;
    try {
      answer = await getJson(path);
    } catch (e) {
      text($("details-note"), "korvadweb is unreachable.");
      return;
    }
    const a = answer.body;
    if (!answer.ok && !Array.isArray(a.contacts)) {
      text($("details-note"), a.error || "No answer (" + answer.status + ").");
      return;
    }
    let note = a.found ? a.count + (a.count === 1 ? " contact" : " contacts") :
      "The station has no contacts of " + key + ".";
    if (!a.complete) note += " The answer is incomplete.";
    text($("details-note"), note);
    for (const c of a.contacts) {
      const row = make("tr");
      row.appendChild(make("td", "", when(c.time)));
      row.appendChild(make("td", "", aircraft ? c.flight : c.registration));
      row.appendChild(make("td", "", aircraft ? c.route : c.aircraft_type));
      body.appendChild(row);
    }
  }

  function showAircraft(registration) { showContacts("aircraft", registration); }
  function showFlight(flight) { showContacts("flight", flight); }

  // --- the chart ----------------------------------------------------------

  function countInChart(received) {
    const start = Math.floor(received / BUCKET_SECONDS) * BUCKET_SECONDS;
    const last = state.counts[state.counts.length - 1];
    if (last && last.start === start) {
      last.count++;
    } else if (!last || start > last.start) {
      state.counts.push({ start, count: 1 });
      while (state.counts.length > BUCKETS) state.counts.shift();
    }
  }

  function svg(tag, attributes) {
    const el = document.createElementNS("http://www.w3.org/2000/svg", tag);
    for (const [k, v] of Object.entries(attributes)) el.setAttribute(k, String(v));
    return el;
  }

  function drawChart() {
    const chart = $("chart");
    chart.replaceChildren();
    const width = 720, height = 110, left = 20, top = 8;
    const now = Math.floor(Date.now() / 1000 / BUCKET_SECONDS) * BUCKET_SECONDS;
    const byStart = new Map(state.counts.map((b) => [b.start, b.count]));
    const bars = [];
    for (let i = 0; i < BUCKETS; i++) {
      const start = now - (BUCKETS - 1 - i) * BUCKET_SECONDS;
      bars.push({ start, count: byStart.get(start) || 0 });
    }
    const most = Math.max(1, ...bars.map((b) => b.count));
    const step = width / BUCKETS;
    chart.appendChild(svg("line", { class: "axis", x1: left, y1: top + height, x2: left + width,
      y2: top + height }));
    bars.forEach((b, i) => {
      const h = (b.count / most) * height;
      const bar = svg("rect", { class: "bar", x: left + i * step, y: top + height - h,
        width: Math.max(1, step - 1), height: h });
      const tip = svg("title", {});
      text(tip, new Date(b.start * 1000).toLocaleTimeString([], { hour: "2-digit",
        minute: "2-digit" }) + ": " + b.count);
      bar.appendChild(tip);
      chart.appendChild(bar);
      if (i % 24 === 0) {
        const label = svg("text", { x: left + i * step, y: top + height + 14 });
        text(label, new Date(b.start * 1000).toLocaleTimeString([], { hour: "2-digit",
          minute: "2-digit" }));
        chart.appendChild(label);
      }
    });
    const peak = svg("text", { x: 0, y: top + 8 });
    text(peak, most);
    chart.appendChild(peak);
  }

  async function loadCounts() {
    try {
      const answer = await getJson("/api/counts");
      if (answer.ok) state.counts = answer.body.buckets.filter((b) => b.count > 0);
    } catch (e) {
      // the chart keeps what it has; the banner tells of korvadweb being away
    }
    drawChart();
  }

  // --- filling the page and staying live -----------------------------------

  function openEvents() {
    if (state.events) state.events.close();
    const events = new EventSource("/events?since=" + state.lastId);
    state.events = events;
    events.addEventListener("open", () => {
      state.webDown = false;
      showBanner();
    });
    events.addEventListener("link", (e) => showLink(JSON.parse(e.data)));
    events.addEventListener("counters", (e) => showStationCounters(JSON.parse(e.data)));
    events.addEventListener("message", (e) => {
      addMessage(JSON.parse(e.data), true);
      showCounters();
    });
    events.addEventListener("error", () => {
      state.webDown = events.readyState !== EventSource.OPEN;
      showBanner();
      // A refused stream (too many readers, korvadweb gone) is not retried
      // by the browser itself.
      if (events.readyState === EventSource.CLOSED && state.events === events) {
        setTimeout(() => { if (state.events === events) start(); }, RETRY_MS);
      }
    });
  }

  async function start() {
    try {
      const info = await getJson("/api/info");
      if (!info.ok) throw new Error("info");
      if (state.servedSince !== null && info.body.served_since !== state.servedSince) {
        clearMessages();
      }
      showLink(info.body);
      showStationCounters(info.body.counters);
      const m = info.body.messages;
      if (state.rows.length === 0) {
        state.received = m.received;
        state.uplinks = m.uplinks;
        state.downlinks = m.downlinks;
      }
      const list = await getJson("/api/messages?since=" + state.lastId + "&limit=" + PAGE_ROWS);
      if (list.ok) for (const message of list.body.messages) addMessage(message, false);
      showCounters();
      loadCounts();
    } catch (e) {
      state.webDown = true;
      showBanner();
      setTimeout(start, RETRY_MS);
      return;
    }
    openEvents();
  }

  function clearMessages() {
    state.rows = [];
    state.lastId = 0;
    state.alertsMatched = 0;
    state.servedSince = null;
    $("message-rows").replaceChildren();
  }

  function restart() {
    if (state.events) state.events.close();
    state.events = null;
    clearMessages();
    start();
  }

  function wire() {
    for (const id of ["filter-label", "filter-registration", "filter-flight", "filter-text"]) {
      $(id).addEventListener("input", applyFilters);
    }
    $("filter-clear").addEventListener("click", () => {
      $("filters").reset();
      applyFilters();
    });
    $("filters").addEventListener("submit", (e) => e.preventDefault());
    $("alert-form").addEventListener("submit", (e) => {
      e.preventDefault();
      const value = $("alert-value").value.trim();
      if (!value) return;
      state.alerts.push({ kind: $("alert-kind").value, value });
      saveAlerts();
      $("alert-value").value = "";
      showAlerts();
      markAlerts();
    });
    const allow = $("notify-allow");
    if (!("Notification" in window)) allow.hidden = true;
    allow.addEventListener("click", () => {
      Notification.requestPermission().then((p) => { allow.hidden = p === "granted"; });
    });
    $("details-close").addEventListener("click", () => { $("details").hidden = true; });
    setInterval(loadCounts, BUCKET_SECONDS * 1000);
    setInterval(drawChart, 60 * 1000);
  }

  document.addEventListener("DOMContentLoaded", () => {
    wire();
    showAlerts();
    showCounters();
    drawChart();
    start();
  });

  // A page the browser keeps aside when the user goes elsewhere (the back
  // and forward cache) would keep its event stream, and its place among the
  // station's readers, for as long as it is kept: it gives the stream up and
  // takes it again, from the last message it has, when it is shown again.
  window.addEventListener("pagehide", () => {
    if (state.events) state.events.close();
    state.events = null;
  });
  window.addEventListener("pageshow", (e) => {
    if (e.persisted && !state.events) openEvents();
  });

  // For the page's tests: what the page holds, read-only.
  window.korvadweb = {
    rows: () => state.rows.map((e) => e.message.id),
    lastId: () => state.lastId,
  };
})();

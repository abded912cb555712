// The operator page: the unit's state from GET /v1/unit, the sale from
// /v1/sales, and everything that happens from the events WebSocket, which
// resumes after a disconnection from the last sequence number seen.
"use strict";

const $ = (id) => document.getElementById(id);
let token = "";
let saleId = null;
let lastSeq = null;
let boot = null;

function takeToken() {
  const m = location.hash.match(/token=([0-9a-fA-F]+)/);
  if (m) {
    sessionStorage.setItem("tavod-token", m[1]);
    history.replaceState(null, "", location.pathname);  // out of the bar
  }
  return sessionStorage.getItem("tavod-token") || "";
}

async function api(method, path, body) {
  const headers = { Authorization: `Bearer ${token}` };
  if (body !== undefined) headers["Content-Type"] = "application/json";
  const r = await fetch(path, {
    method, headers, body: body === undefined ? undefined : JSON.stringify(body),
  });
  const data = await r.json().catch(() => ({}));
  if (r.status === 401 || r.status === 403) showLogin();
  if (!r.ok) {
    const code = data.code ? ` (${data.code}: ${data.code_text})` : "";
    throw new Error(`${data.title || r.status}: ${data.detail || ""}${code}`);
  }
  return data;
}

function say(text) { $("message").textContent = text || ""; }

function showLogin() {
  $("login").hidden = false;
  $("app").hidden = true;
}

function showUnit(u) {
  const c = $("connection");
  c.textContent = u.connected ? "connected" : "not connected";
  c.className = "badge " + (u.connected ? "ok" : "down");
  $("virtual").hidden = !u.virtual;
  $("insert-card").hidden = !u.virtual;
  for (const d of ["10", "50", "100", "500", "1000"]) {
    $(`stock-${d}`).textContent = u.stock[d];
  }
  $("coin-flags").textContent = u.coin_unit.flags.join(", ") || "-";
  $("note-flags").textContent = u.note_unit.flags.join(", ") || "-";
  if (u.sale !== null && saleId === null) {
    saleId = u.sale;
    refreshSale();
  }
}

const FINISHED = new Set(["done", "cancelled", "failed"]);

function showSale(s) {
  saleId = s.id;
  $("sale-state").textContent = s.state;
  $("sale-price").textContent = s.price;
  $("sale-inserted").textContent = s.inserted;
  $("sale-paid").textContent = s.paid;
  $("credit").textContent = s.credit;
  $("sale-detail").textContent =
    s.last_failure ? `${s.last_failure.code}: ${s.last_failure.code_text}` :
    s.detail || "-";
  const running = !FINISHED.has(s.state);
  $("start-sale").disabled = running;
  $("cancel-sale").disabled = !running || s.charged > 0;
}

async function refreshUnit() {
  try { showUnit(await api("GET", "/v1/unit")); } catch (e) { say(e.message); }
}

async function refreshSale() {
  if (saleId === null) return;
  try { showSale(await api("GET", `/v1/sales/${saleId}`)); } catch (e) { say(e.message); }
}

function logEvent(e) {
  const li = document.createElement("li");
  const d = e.data || {};
  const what = e.type === "sale" ? `sale ${d.id}: ${d.state}` :
    e.type === "credit" ? `credit ${d.credit} of ${d.price}` :
    e.type === "fault" ? `${d.export}: ${d.code} ${d.code_text}` :
    e.type.endsWith("_inserted") ? `${d.count} x ${d.value}` :
    JSON.stringify(d);
  li.textContent = `#${e.seq} ${new Date(e.time_ms).toLocaleTimeString()} ` +
    `${e.type} ${what}`;
  li.dataset.type = e.type;
  $("events").prepend(li);
  while ($("events").children.length > 50) $("events").lastChild.remove();
}

function connectEvents() {
  const scheme = location.protocol === "https:" ? "wss" : "ws";
  const since = lastSeq === null ? "" : `?since=${lastSeq}`;
  const ws = new WebSocket(`${scheme}://${location.host}/v1/events${since}`,
                           ["tavod.v1", `bearer.${token}`]);
  ws.onmessage = (m) => {
    const e = JSON.parse(m.data);
    if (e.type === "hello") {
      if (boot !== null && e.boot !== boot) lastSeq = null;  // restarted
      boot = e.boot;
      return;
    }
    if (e.type === "gap") {
      logEvent({ seq: "-", time_ms: Date.now(), type: "gap", data: e.data });
      return;
    }
    lastSeq = e.seq;
    logEvent(e);
    if (e.type === "sale") {
      if (e.data.id === saleId || saleId === null) showSale(e.data);
      refreshUnit();
    } else if (e.type === "credit" && e.data.sale === saleId) {
      $("credit").textContent = e.data.credit;
      $("sale-inserted").textContent = e.data.inserted;
    } else if (e.type === "unit" || e.type.endsWith("_inserted") ||
               e.type === "payout") {
      refreshUnit();
      refreshSale();
    }
  };
  ws.onclose = () => setTimeout(connectEvents, 1000);
}

async function start() {
  token = takeToken();
  if (!token) { showLogin(); return; }
  $("login").hidden = true;
  $("app").hidden = false;
  await refreshUnit();
  connectEvents();
  setInterval(refreshUnit, 3000);
}

$("login").addEventListener("submit", (ev) => {
  ev.preventDefault();
  sessionStorage.setItem("tavod-token", $("token").value.trim());
  start();
});

$("sale-form").addEventListener("submit", async (ev) => {
  ev.preventDefault();
  say("");
  try {
    showSale(await api("POST", "/v1/sales", { price: Number($("price").value) }));
  } catch (e) { say(e.message); }
});

$("cancel-sale").addEventListener("click", async () => {
  try { showSale(await api("POST", `/v1/sales/${saleId}/cancel`)); } catch (e) { say(e.message); }
});

for (const b of document.querySelectorAll("[data-coin], [data-note]")) {
  b.addEventListener("click", async () => {
    const note = b.dataset.note !== undefined;
    try {
      await api("POST", note ? "/v1/virtual/notes" : "/v1/virtual/coins",
                { value: Number(note ? b.dataset.note : b.dataset.coin) });
      say("");
    } catch (e) { say(e.message); }
  });
}

start();

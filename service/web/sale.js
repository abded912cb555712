// The sale under way: the unit's state from GET /v1/unit, the sale from
// /v1/sales/{id}, the credit and the money as the events tell them, and the
// virtual unit's customer buttons.
import { $, api } from "./api.js";
import { on, dataOf } from "./events.js";

let saleId = null;
const FINISHED = new Set(["done", "cancelled", "failed"]);

function say(text) { $("message").textContent = text || ""; }

export let unit = null;  // the last GET /v1/unit

function showUnit(u) {
  unit = u;
  const c = $("connection");
  c.textContent = u.connected ? "connected" : "not connected";
  c.className = "badge " + (u.connected ? "ok" : "down");
  $("virtual").hidden = !u.virtual;
  $("insert-card").hidden = !u.virtual;
  for (const e of document.querySelectorAll(".virtual-only")) e.hidden = !u.virtual;
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

export async function refreshUnit() {
  try { showUnit(await api("GET", "/v1/unit")); } catch (e) { say(e.message); }
}

async function refreshSale() {
  if (saleId === null) return;
  try { showSale(await api("GET", `/v1/sales/${saleId}`)); } catch (e) { say(e.message); }
}

function logEvent(e) {
  const li = document.createElement("li");
  const d = dataOf(e);
  const what = e.type === "sale" ? `sale ${d.id}: ${d.state}` :
    e.type === "credit" ? `credit ${d.credit} of ${d.price}` :
    e.type === "fault" ? `${d.export}: ${d.code} ${d.code_text}` :
    e.type.endsWith("_inserted") ? `${d.count} x ${d.value}` :
    e.type === "refill" ? `refill ${d.id}: ${d.state}, ${d.amount}` :
    e.type === "stock" ? `${d.value}: ${d.previous} -> ${d.level} (${d.count})` :
    e.type === "operation" ? `${d.kind} ${d.id}: ${d.state}` :
    JSON.stringify(d);
  li.textContent = `#${e.seq} ${new Date(e.time_ms).toLocaleTimeString()} ` +
    `${e.type} ${what}`;
  li.dataset.type = e.type;
  $("events").prepend(li);
  while ($("events").children.length > 50) $("events").lastChild.remove();
}

export function setUpSale() {
  on("*", logEvent);
  on("sale", (e) => {
    if (e.data.id === saleId || saleId === null) showSale(e.data);
    refreshUnit();
  });
  on("credit", (e) => {
    if (e.data.sale !== saleId) return;
    $("credit").textContent = e.data.credit;
    $("sale-inserted").textContent = e.data.inserted;
  });
  for (const type of ["unit", "coin_inserted", "note_inserted", "payout"]) {
    on(type, () => { refreshUnit(); refreshSale(); });
  }

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

  // The virtual unit's money, for a customer on the Sale view and for the
  // operator refilling on the Stock view.
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
}

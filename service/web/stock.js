// The Stock view: the count of each denomination against its low and full
// marks, the largest change the stock pays exactly now (the service works
// it out by the library's own change rule), a refill counted live, and a
// collection down to a float, previewed before it is paid.
import { $, api, el, fill, yen, sayIn, DENOMINATIONS } from "./api.js";
import { on, dataOf } from "./events.js";

const say = (text, ok) => sayIn("stock-message", text, ok);
let refill = null;      // the refill open on the page
let collection = null;  // the collection paid, until its operation ends
let preview = null;     // the last preview, for the confirm

const name = (v) => v === 1000 ? "1000 note" : String(v);

function bar(d) {
  // The scale leaves room above the full mark so that a full tube's bar
  // still shows where the mark is.
  const top = Math.max(d.full * 1.25, d.count, 1);
  const pct = (n) => `${Math.min(100, (100 * n) / top)}%`;
  const fillBar = el("div", { class: `fill ${d.level}` });
  fillBar.style.width = pct(d.count);
  const low = el("div", { class: "mark", title: `low mark ${d.low}` });
  low.style.left = pct(d.low);
  const full = el("div", { class: "mark", title: `full mark ${d.full}` });
  full.style.left = pct(d.full);
  return el("div", { class: "stock-row", dataset: { value: d.value, level: d.level } },
    el("span", { class: "denomination" }, name(d.value)),
    el("div", { class: "track" }, fillBar, low, full),
    el("span", { class: "count", id: `bar-count-${d.value}` }, d.count),
    el("span", { class: `level ${d.level}` }, d.level),
    el("span", { class: "marks" }, `low ${d.low} · full ${d.full}`));
}

export async function refreshStock() {
  try {
    const s = await api("GET", "/v1/stock");
    fill($("stock-bars"), s.denominations.map(bar));
    // The float to keep starts at the low marks until the operator edits it.
    for (const d of s.denominations) {
      const input = $(`keep-${d.value}`);
      if (input && !input.dataset.edited) input.value = d.low;
    }
    $("largest-change").textContent = yen(s.largest_change);
    $("stock-total").textContent = yen(s.total);
  } catch (e) { say(e.message); }
}

function showRefill(r) {
  refill = r;
  $("refill-panel").hidden = false;
  $("refill-id").textContent = r.id;
  $("refill-state").textContent = r.state;
  for (const v of DENOMINATIONS) {
    $(`refill-${v}`).textContent = r.counted?.[String(v)] ?? 0;
  }
  $("refill-amount").textContent = yen(r.amount);
  const counting = r.state === "counting";
  $("refill-close").disabled = !counting;
  $("refill-open").disabled = counting || r.state === "closing";
  for (const b of document.querySelectorAll("#refill-panel [data-coin], #refill-panel [data-note]")) {
    b.disabled = !counting;
  }
  if (r.state === "done" || r.state === "failed") {
    say(r.state === "done" ? `Refill ${r.id} kept ${yen(r.amount)} in the stock.` :
      `Refill ${r.id} failed: see Incidents.`, r.state === "done");
    refreshStock();
  }
}

async function openRefill() {
  say("");
  try { showRefill(await api("POST", "/v1/refills", {})); } catch (e) { say(e.message); }
}

async function closeRefill() {
  if (!refill) return;
  try { showRefill(await api("POST", `/v1/refills/${refill.id}/close`, {})); } catch (e) { say(e.message); }
}

// A refill left counting (the page reloaded, or opened elsewhere) is shown
// again so that it can be closed.
async function findRefill() {
  try {
    const { operations } = await api("GET", "/v1/operations");
    const open = operations.find((o) => o.kind === "refill" &&
      !["done", "failed"].includes(o.state));
    if (open && (!refill || refill.id !== open.id)) {
      showRefill(await api("GET", `/v1/refills/${open.id}`));
    }
  } catch (e) { say(e.message); }
}

function keepOf() {
  const keep = {};
  for (const v of DENOMINATIONS) keep[String(v)] = Number($(`keep-${v}`).value) || 0;
  return keep;
}

function showPreview(p) {
  preview = p;
  const rows = DENOMINATIONS.map((v) => {
    const k = String(v);
    const out = v === 1000 ? p.split.notes : p.split.coins[k];
    return el("tr", { dataset: { value: v } },
      el("td", {}, name(v)), el("td", {}, p.stock[k]), el("td", {}, p.keep[k]),
      el("td", {}, p.above[k]), el("td", { class: "paid-out" }, out ?? 0));
  });
  fill($("collect-preview-body"), rows);
  $("collect-amount").textContent = yen(p.amount);
  $("collect-payable").textContent = yen(p.payable);
  $("collect-short").textContent = yen(p.short);
  $("collect-note").textContent = p.note || "";
  $("collect-result").hidden = false;
  $("collect-confirm").disabled = !(p.payable > 0);
}

async function previewCollection(ev) {
  ev.preventDefault();
  say("");
  try {
    showPreview(await api("POST", "/v1/collections", { keep: keepOf(), confirm: false }));
  } catch (e) { say(e.message); }
}

async function confirmCollection() {
  if (!preview) return;
  $("collect-confirm").disabled = true;
  try {
    const paid = await api("POST", "/v1/collections",
                           { keep: preview.keep, confirm: true });
    // The payout may be over before the answer comes (its event then came
    // before the page knew the id): the answer's state says.
    if (paid.state === "running") {
      collection = paid;
      say(`Collection ${paid.id}: paying…`, true);
    } else {
      collectionEnded(paid);
    }
  } catch (e) { say(e.message); }
}

function collectionEnded(op) {
  say(op.state === "done" ? `Collection ${op.id} paid out ${yen(op.paid)}.` :
    `Collection ${op.id} ${op.state}: paid out ${yen(op.paid)} only; see Incidents.`,
    op.state === "done");
  $("collect-result").hidden = true;
  collection = preview = null;
  refreshStock();
}

export function setUpStock() {
  $("refill-open").addEventListener("click", openRefill);
  $("refill-close").addEventListener("click", closeRefill);
  $("collect-form").addEventListener("submit", previewCollection);
  $("collect-confirm").addEventListener("click", confirmCollection);
  for (const input of document.querySelectorAll("#collect-form input")) {
    input.addEventListener("input", () => {
      input.dataset.edited = "1";
      $("collect-result").hidden = true;  // the preview was of other figures
    });
  }
  on("refill", (e) => {
    const d = dataOf(e);
    if (!refill || d.id === refill.id) showRefill({ ...refill, ...d });
  });
  on("operation", (e) => {
    const d = dataOf(e);
    if (collection && d.id === collection.id && d.state !== "running") collectionEnded(d);
  });
  let pending = null;  // the stock read once per burst of events
  const later = () => {
    if (!$("view-stock").hidden && !pending) {
      pending = setTimeout(() => { pending = null; refreshStock(); }, 150);
    }
  };
  for (const t of ["stock", "unit", "sale", "payout", "operation"]) on(t, later);
}

export function showStock() {
  refreshStock();
  findRefill();
}

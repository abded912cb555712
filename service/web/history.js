// The History view: the journal's sales, newest first, filtered by state,
// day and amount and paged by the id of the last one shown; a sale opens
// with its every step as the journal recorded it.
import { $, api, el, fill, yen, sayIn, timeOf, dateTimeOf } from "./api.js";

const say = (text) => sayIn("history-message", text);
let pages = [null];  // the cursor ("before") of each page shown so far
let next = null;     // the cursor of the page after this one

const pageSize = () => Number($("history-size").value);

function query(before) {
  const q = new URLSearchParams({ limit: pageSize() });
  const put = (k, id) => { const v = $(id).value.trim(); if (v) q.set(k, v); };
  put("state", "filter-state");
  put("from", "filter-from");
  put("to", "filter-to");
  put("min", "filter-min");
  put("max", "filter-max");
  if (before !== null) q.set("before", before);
  return q;
}

async function loadPage() {
  say("");
  try {
    const r = await api("GET", `/v1/sales?${query(pages.at(-1))}`);
    next = r.next ?? null;
    fill($("history-rows"), r.sales.map((s) =>
      el("tr", { class: `sale-row ${s.state}`, dataset: { id: s.id }, onclick: (ev) => { if (!ev.target.closest("a")) openSale(s.id); } },
        el("td", {}, el("a", { href: `#sale/${s.id}` }, s.id)),
        el("td", {}, dateTimeOf(s.created_ms)), el("td", {}, s.state),
        el("td", {}, yen(s.price)), el("td", {}, yen(s.inserted)),
        el("td", {}, yen(s.charged)), el("td", {}, yen(s.paid)))));
    if (r.sales.length === 0) {
      fill($("history-rows"), el("tr", {}, el("td", { colspan: 7 }, "No sale matches.")));
    }
    $("history-page").textContent = `page ${pages.length}`;
    $("history-newer").disabled = pages.length === 1;
    $("history-older").disabled = next === null || r.sales.length < pageSize();
  } catch (e) { say(e.message); }
}

export async function openSale(id) {
  say("");
  try {
    const [sale, steps] = await Promise.all([
      api("GET", `/v1/sales/${id}`), api("GET", `/v1/sales/${id}/steps`)]);
    const list = Array.isArray(steps) ? steps : steps.steps;
    $("steps-card").hidden = false;
    $("steps-title").textContent = `Sale ${sale.id}: ${sale.state}, price ${yen(sale.price)}, ` +
      `inserted ${yen(sale.inserted)}, charged ${yen(sale.charged)}, paid ${yen(sale.paid)}`;
    fill($("steps-rows"), list.map((s) =>
      el("tr", { class: s.code ? "failure" : "" },
        el("td", {}, timeOf(s.at_ms)), el("td", {}, s.state), el("td", {}, s.step || ""),
        el("td", {}, s.credit), el("td", {}, s.code ? `0x${s.code.toString(16).toUpperCase().padStart(4, "0")}` : ""), el("td", {}, s.detail || ""))));
    $("steps-card").scrollIntoView({ block: "nearest" });
  } catch (e) { say(e.message); }
}

export function setUpHistory() {
  $("history-form").addEventListener("submit", (ev) => {
    ev.preventDefault();
    pages = [null];
    loadPage();
  });
  $("history-size").addEventListener("change", () => { pages = [null]; loadPage(); });
  $("history-older").addEventListener("click", () => { pages.push(next); loadPage(); });
  $("history-newer").addEventListener("click", () => { pages.pop(); loadPage(); });
}

export function showHistory() { loadPage(); }

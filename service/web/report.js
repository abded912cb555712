// The Day report: the kiosk's day from GET /v1/reports/day, its tables, the
// reconciliation of each denomination (start + in - out against the end),
// every difference linked to that day's sales and incidents, sales per
// hour as a chart, printable (the print style keeps this view only).
import { $, api, apiText, el, fill, yen, sayIn, today } from "./api.js";
import { hourChart } from "./chart.js";

const say = (text) => sayIn("report-message", text);
let shown = null;  // the report on the page

const name = (v) => v === 1000 ? "1000 note" : String(v);
const saleLink = (id) => el("a", { href: `#sale/${id}`, class: "sale-link" }, `sale ${id}`);
// Operations (refills, collections, payouts) have no view of their own:
// GET /v1/operations lists them.
const operationName = (id) => el("span", { class: "operation" }, `operation ${id}`);
const incidentLink = (id) => el("a", { href: `#incident/${id}`, class: "incident-link" }, `incident ${id}`);

function row(label, value, id) {
  return [el("dt", {}, label), el("dd", { id }, value)];
}

function showReport(r) {
  shown = r;
  $("report-title").textContent = `Day report ${r.date}`;
  const badge = $("report-balanced");
  badge.textContent = r.balanced ? "balanced" : "differences";
  badge.className = "badge " + (r.balanced ? "ok" : "down");
  fill($("report-summary"),
    row("Sales done", r.sales.done, "report-done"),
    row("Cancelled", r.sales.cancelled, "report-cancelled"),
    row("Failed", r.sales.failed, "report-failed"),
    r.sales.unfinished ? row("Unfinished", r.sales.unfinished, "report-unfinished") : [],
    row("Charged", yen(r.sales.charged), "report-charged"),
    row("Refills", `${r.refills.count} · ${yen(r.refills.amount)}`, "report-refills"),
    row("Collections", `${r.collections.count} · ${yen(r.collections.amount)}`, "report-collections"),
    row("Operator payouts", `${r.payouts.count} · ${yen(r.payouts.amount)}`, "report-payouts"),
    row("Incidents", `${r.incidents.opened} opened · ${r.incidents.resolved} resolved · ` +
      `${r.incidents.open_at_end} open at the end`, "report-incidents"));
  fill($("report-chart"), hourChart(r.per_hour));
  fill($("report-denominations"), r.denominations.map((d) =>
    el("tr", { class: d.difference ? "difference" : "", dataset: { value: d.value } },
      el("td", {}, name(d.value)), el("td", {}, d.start), el("td", {}, `+${d.in}`),
      el("td", {}, `−${d.out}`), el("td", {}, d.expected), el("td", {}, d.end),
      el("td", { class: "diff" }, d.difference > 0 ? `+${d.difference}` : d.difference))));
  fill($("report-differences"), r.differences.length === 0
    ? [el("li", {}, "Every denomination adds up: start + in − out is the end.")]
    : r.differences.map((d) => el("li", { class: "difference", dataset: { value: d.value } },
        `${name(d.value)}: ${d.difference > 0 ? "+" : ""}${d.difference} — `,
        ...join([...d.sales.map(saleLink), ...(d.operations || []).map(operationName),
                 ...d.incidents.map(incidentLink)]),
        d.sales.length + (d.operations || []).length + d.incidents.length === 0
          ? "nothing of the day explains it" : "")));
  $("report-body").hidden = false;
}

// Links separated by commas.
function join(nodes) {
  return nodes.flatMap((n, i) => (i ? [", ", n] : [n]));
}

export async function loadReport() {
  say("");
  const date = $("report-date").value || today();
  try {
    showReport(await api("GET", `/v1/reports/day?date=${encodeURIComponent(date)}`));
  } catch (e) {
    $("report-body").hidden = true;
    say(e.message);
  }
}

// The CSV of the shown day, saved by the browser (the API needs the bearer
// token, so a plain link would not do).
async function saveCsv() {
  if (!shown) return;
  try {
    const text = await apiText(`/v1/reports/day?date=${shown.date}&format=csv`);
    const a = el("a", {
      href: URL.createObjectURL(new Blob([text], { type: "text/csv" })),
      download: `tavod-day-${shown.date}.csv`,
    });
    a.click();
    setTimeout(() => URL.revokeObjectURL(a.href), 1000);
  } catch (e) { say(e.message); }
}

export function setUpReport() {
  $("report-date").value = today();
  $("report-form").addEventListener("submit", (ev) => { ev.preventDefault(); loadReport(); });
  $("report-print").addEventListener("click", () => window.print());
  $("report-csv").addEventListener("click", saveCsv);
}

export function showReportView() {
  if (!shown || shown.date !== $("report-date").value) loadReport();
}

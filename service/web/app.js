// The operator page: plain ES modules, no build step. This one signs in,
// switches between the views (the sale under way, the stock, the day
// report, the history of sales, the incidents) and starts the events
// WebSocket that the views follow. A view reads the API when it is shown,
// so a page left on the Sale view asks nothing of the rest.
import { $, takeToken, setToken, whenRefused } from "./api.js";
import { connectEvents } from "./events.js";
import { setUpSale, refreshUnit } from "./sale.js";
import { setUpStock, showStock } from "./stock.js";
import { setUpReport, showReportView } from "./report.js";
import { setUpHistory, showHistory, openSale } from "./history.js";
import { setUpIncidents, showIncidents, pointAt, loadIncidents } from "./incidents.js";

const VIEWS = {
  sale: () => refreshUnit(),
  stock: showStock,
  report: showReportView,
  history: showHistory,
  incidents: showIncidents,
};

function showView(name) {
  for (const v of Object.keys(VIEWS)) {
    $(`view-${v}`).hidden = v !== name;
    const tab = $(`tab-${v}`);
    tab.classList.toggle("current", v === name);
    tab.setAttribute("aria-selected", String(v === name));
  }
  VIEWS[name]();
}

// Links within the page: #stock, #report, ... a view; #sale/17 a sale of
// the history with its steps; #incident/3 an incident.
function follow() {
  const [view, id] = location.hash.slice(1).split("/");
  // The address then names the view, so that the same link works again.
  if (view === "sale" && id) {
    history.replaceState(null, "", "#history");
    showView("history");
    openSale(Number(id));
  } else if (view === "incident" && id) {
    history.replaceState(null, "", "#incidents");
    pointAt(Number(id));
    showView("incidents");
  } else if (VIEWS[view]) {
    showView(view);
  }
}

function showLogin() {
  $("login").hidden = false;
  $("app").hidden = true;
}

let started = false;

async function start() {
  if (!takeToken()) { showLogin(); return; }
  $("login").hidden = true;
  $("app").hidden = false;
  if (started) { refreshUnit(); return; }
  started = true;
  await refreshUnit();
  loadIncidents();  // the count on the tab
  connectEvents();
  setInterval(refreshUnit, 3000);
}

whenRefused(showLogin);
$("login").addEventListener("submit", (ev) => {
  ev.preventDefault();
  setToken($("token").value.trim());
  start();
});
for (const b of document.querySelectorAll("#tabs [data-view]")) {
  b.addEventListener("click", () => {
    history.replaceState(null, "", `#${b.dataset.view}`);
    showView(b.dataset.view);
  });
}
window.addEventListener("hashchange", follow);

setUpSale();
setUpStock();
setUpReport();
setUpHistory();
setUpIncidents();
start();

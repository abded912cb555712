// The operator page in a real browser: headless Chromium (Debian's) driven
// by puppeteer-core. A sale is started from the page, money inserted with the
// page's buttons on the virtual unit (in its own process), and the credit
// and the change must show on the page. Then the operator's day on the same
// unit: more sales (one cancelled, one failed with an incident), a refill
// counted live, a collection previewed and paid, the incident resolved, the
// history paged, and the day report, whose every figure must match the
// unit's own counts. A screenshot of each view is kept as an artifact.
//
// usage: node page.test.mjs BUILD_DIR [ARTIFACT_DIR]
import { spawn } from "node:child_process";
import { mkdtempSync, mkdirSync, readFileSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import path from "node:path";
import assert from "node:assert/strict";
import puppeteer from "puppeteer-core";

const build = path.resolve(process.argv[2] || "build/ci");
const artifacts = path.resolve(process.argv[3] || path.join(build, "artifacts"));
const browserPath = process.env.CHROMIUM || "/usr/bin/chromium";
const folder = mkdtempSync(path.join(tmpdir(), "tavod-page-"));
const children = [];

function start(cmd, args) {
  const child = spawn(cmd, args, { stdio: ["ignore", "pipe", "inherit"] });
  children.push(child);
  return child;
}

function firstLine(child) {
  return new Promise((resolve, reject) => {
    let text = "";
    child.stdout.on("data", (d) => {
      text += d;
      if (text.includes("\n")) resolve(text.split("\n")[0]);
    });
    child.on("exit", (code) => reject(new Error(`exited with ${code}`)));
  });
}

// The API as a client of the service (Node sends no Origin header).
function client(base, token) {
  return async (method, p, body) => {
    const headers = { Authorization: `Bearer ${token}` };
    if (body !== undefined) headers["Content-Type"] = "application/json";
    const r = await fetch(base + p, {
      method, headers, body: body === undefined ? undefined : JSON.stringify(body) });
    return { status: r.status, data: await r.json().catch(() => ({})) };
  };
}

async function until(what, f, timeout = 20000) {
  const end = Date.now() + timeout;
  for (;;) {
    const v = await f();
    if (v) return v;
    if (Date.now() > end) throw new Error(`timed out waiting for ${what}`);
    await new Promise((r) => setTimeout(r, 50));
  }
}

const yen = (v) => `¥${Number(v).toLocaleString("en-US")}`;
const DENOMINATIONS = [10, 50, 100, 500, 1000];
// "+12", "−30" (a minus sign) as the day report's table writes them.
const int = (t) => Number(t.trim().replace("−", "-").replace("+", ""));

function localDate(d = new Date()) {
  const p = (n) => String(n).padStart(2, "0");
  return `${d.getFullYear()}-${p(d.getMonth() + 1)}-${p(d.getDate())}`;
}

// A sale from the API with the money given on the virtual unit: a kiosk
// application's customer, for the day the operator looks at.
async function sell(app, price, coins, notes = 0, end = "done") {
  const { data: sale } = await app("POST", "/v1/sales", { price });
  await until(`sale ${sale.id} accepting`, async () =>
    (await app("GET", `/v1/sales/${sale.id}`)).data.state === "accepting");
  for (let i = 0; i < notes; i++) await app("POST", "/v1/virtual/notes", { value: 1000 });
  for (const c of coins) await app("POST", "/v1/virtual/coins", { value: c });
  if (end === "cancelled") {
    const paid = coins.reduce((a, b) => a + b, 0);
    await until("the credit", async () =>
      (await app("GET", `/v1/sales/${sale.id}`)).data.credit === paid);
    await app("POST", `/v1/sales/${sale.id}/cancel`);
  }
  return until(`sale ${sale.id} ${end}`, async () => {
    const s = (await app("GET", `/v1/sales/${sale.id}`)).data;
    return s.state === end && s;
  });
}

// The unit's stock as GET /v1/unit reports it, by denomination.
async function unitStock(app) {
  const { data } = await app("GET", "/v1/unit");
  return Object.fromEntries(DENOMINATIONS.map((v) => [v, data.stock[String(v)]]));
}

async function operatorsDay({ browser, base, token, state, page, errors, unitAtStart }) {
  const app = client(base, token);
  const operatorToken = readFileSync(path.join(state, "operator-token"), "utf8").trim();
  const shoot = async (p, name, selector) => {
    const file = path.join(artifacts, name);
    if (selector) await (await p.$(selector)).screenshot({ path: file });
    else await p.screenshot({ path: file, fullPage: true });
  };
  const waitText = (p, sel, want) => p.waitForFunction(
    (s, w) => document.querySelector(s)?.textContent === w,
    { timeout: 15000 }, sel, want);
  const waitIncludes = (p, sel, want) => p.waitForFunction(
    (s, w) => document.querySelector(s)?.textContent.includes(w),
    { timeout: 15000 }, sel, want);
  const setValue = (p, sel, v) => p.$eval(sel, (e, v) => {
    e.value = v;
    e.dispatchEvent(new Event("input", { bubbles: true }));
    e.dispatchEvent(new Event("change", { bubbles: true }));
  }, String(v));

  // More of the day's sales: a note with change, three of exact money, one
  // cancelled with its coin paid back.
  const noteSale = await sell(app, 880, [], 1);
  assert.equal(noteSale.paid, 120);
  for (let i = 0; i < 3; i++) await sell(app, 100, [100]);
  await sell(app, 500, [100], 0, "cancelled");

  // With the application's token an operator action says what it needs,
  // and the page stays (a 403 must not throw the operator out to the login).
  await page.click("#tab-stock");
  await page.waitForSelector("#stock-bars .stock-row");
  const logged = errors.length;
  await page.click("#refill-open");
  await waitIncludes(page, "#stock-message", "operator token");
  // The browser logs the refused request itself; that one is expected.
  assert.deepEqual(errors.splice(logged),
                   ["Failed to load resource: the server responded with a status of 403 (Forbidden)"]);
  assert.equal(await page.$eval("#app", (e) => e.hidden), false);
  assert.equal(await page.$eval("#login", (e) => e.hidden), true);

  // The operator's page, opened with the operator token.
  const op = await browser.newPage();
  op.on("pageerror", (e) => errors.push(e.message));
  op.on("console", (m) => { if (m.type() === "error") errors.push(m.text()); });
  await op.setViewport({ width: 1100, height: 900 });
  await op.goto(`${base}/#token=${operatorToken}`, { waitUntil: "load" });
  await waitText(op, "#connection", "connected");

  // Stock: each bar's count is the unit's, its colour the level its count
  // has against the marks, the largest change the service's.
  await op.click("#tab-stock");
  await op.waitForFunction(() =>
    document.querySelectorAll("#stock-bars .stock-row").length === 5);
  const { data: stock } = await app("GET", "/v1/stock");
  const counts = await unitStock(app);
  const bars = await op.$$eval("#stock-bars .stock-row", (rows) => rows.map((r) => ({
    value: Number(r.dataset.value),
    count: Number(r.querySelector(".count").textContent),
    fill: r.querySelector(".fill").className,
  })));
  for (const d of stock.denominations) {
    const b = bars.find((x) => x.value === d.value);
    assert.equal(b.count, counts[d.value], `the bar of ${d.value}`);
    const level = b.count < d.low ? "low" : b.count >= d.full ? "full" : "ok";
    assert.equal(b.fill, `fill ${level}`, `the colour of ${d.value}`);
  }
  assert.equal(await op.$eval("#largest-change", (e) => e.textContent),
               yen(stock.largest_change));

  // A refill: three coins of 100, one of 500 and a note, counted live on
  // the page from the events, kept in the stock when closed, no sale.
  const salesBefore = (await app("GET", "/v1/sales")).data.sales.length;
  await op.click("#refill-open");
  await waitText(op, "#refill-state", "counting");
  for (let i = 1; i <= 3; i++) {
    await op.click("#refill-panel [data-coin='100']");
    await waitText(op, "#refill-100", String(i));
  }
  await op.click("#refill-panel [data-coin='500']");
  await op.click("#refill-panel [data-note='1000']");
  await waitText(op, "#refill-amount", yen(1800));
  assert.deepEqual(await op.$$eval("#refill-panel tbody td", (l) => l.map((e) => e.textContent)),
                   ["0", "0", "3", "1", "1", yen(1800)]);
  await shoot(op, "refill.png");
  await op.click("#refill-close");
  await waitText(op, "#refill-state", "done");
  const afterRefill = await until("the refill in the stock", async () => {
    const s = await unitStock(app);
    return s[1000] === counts[1000] + 1 && s;
  });
  assert.deepEqual(afterRefill, { ...counts, 100: counts[100] + 3,
                                  500: counts[500] + 1, 1000: counts[1000] + 1 });
  assert.equal((await app("GET", "/v1/sales")).data.sales.length, salesBefore);
  await op.waitForFunction((n) =>
    document.querySelector("#bar-count-1000")?.textContent === String(n),
  { timeout: 15000 }, afterRefill[1000]);
  await shoot(op, "stock.png", "#view-stock");

  // A collection down to a float of all but four coins of 500 and one
  // note: the preview's split adds up to what it says it pays, and the
  // unit pays exactly that split out of the stock.
  for (const v of DENOMINATIONS) {
    const keep = v === 500 ? afterRefill[v] - 4 : v === 1000 ? afterRefill[v] - 1 : afterRefill[v];
    await setValue(op, `#keep-${v}`, keep);
  }
  await op.click("#collect-preview");
  await op.waitForSelector("#collect-result:not([hidden])");
  assert.equal(await op.$eval("#collect-amount", (e) => e.textContent), yen(3000));
  const split = Object.fromEntries(await op.$$eval("#collect-preview-body tr", (rows) =>
    rows.map((r) => [Number(r.dataset.value), Number(r.querySelector(".paid-out").textContent)])));
  const payable = DENOMINATIONS.reduce((n, v) => n + v * split[v], 0);
  assert.ok(payable > 0 && payable <= 3000, `payable ${payable}`);
  assert.equal(await op.$eval("#collect-payable", (e) => e.textContent), yen(payable));
  await shoot(op, "collection.png", "#collect-card");
  const moneyBefore = (await app("GET", "/v1/virtual/money")).data;
  await op.click("#collect-confirm");
  await waitIncludes(op, "#stock-message", `paid out ${yen(payable)}`);
  const moneyAfter = (await app("GET", "/v1/virtual/money")).data;
  assert.equal(moneyAfter.value_out - moneyBefore.value_out, payable);
  const afterCollection = await unitStock(app);
  for (const v of DENOMINATIONS) {
    assert.equal(afterCollection[v], afterRefill[v] - split[v], `collected ${v}`);
  }

  // The day's last sale: the unit goes silent with 100 inserted, the sale
  // fails, and an incident owes the customer 100 (which the unit keeps, and
  // takes no sale, until the incident is resolved).
  const { data: lost } = await app("POST", "/v1/sales", { price: 1000 });
  await until("accepting", async () =>
    (await app("GET", `/v1/sales/${lost.id}`)).data.state === "accepting");
  await app("POST", "/v1/virtual/coins", { value: 100 });
  await until("the credit", async () =>
    (await app("GET", `/v1/sales/${lost.id}`)).data.credit === 100);
  await app("POST", "/v1/virtual/faults", { kind: "silence", on: true });
  await until("the sale failed", async () =>
    (await app("GET", `/v1/sales/${lost.id}`)).data.state === "failed", 30000);
  await app("POST", "/v1/virtual/faults", { kind: "silence", on: false });
  await until("the unit back", async () => (await app("GET", "/v1/unit")).data.connected, 30000);

  // The incident: open with what is owed, resolved with a note.
  await op.click("#tab-incidents");
  await op.waitForSelector("#incidents-open li.incident");
  const open = await op.$$eval("#incidents-open li.incident", (l) =>
    l.map((e) => [Number(e.dataset.id), e.querySelector(".owed").textContent]));
  const { data: { incidents } } = await app("GET", "/v1/incidents");
  const incident = incidents.find((i) => i.sale === lost.id);
  assert.deepEqual(open, [[incident.id, yen(100)]]);
  await shoot(op, "incidents.png", "#view-incidents");
  await op.type("#incidents-open .resolve-note", "paid the customer 100 by hand");
  await op.click("#incidents-open .resolve");
  await waitIncludes(op, "#incidents-message", "resolved");
  await op.waitForFunction(() => !document.querySelector("#incidents-open li.incident"));
  const resolved = (await app("GET", "/v1/incidents")).data.incidents
    .find((i) => i.id === incident.id);
  assert.equal(resolved.open, false);
  // Resolving gives the money the failed sale left to the attendant.
  await until("the unit settled", async () => {
    const u = (await app("GET", "/v1/unit")).data;
    const m = (await app("GET", "/v1/virtual/money")).data;
    return u.ready !== false && m.value_out === moneyAfter.value_out + 100;
  });

  // History: seven sales, five a page, the two pages all of them once;
  // the failed sale filtered and opened with its steps.
  const allIds = (await app("GET", "/v1/sales")).data.sales.map((s) => s.id);
  assert.equal(allIds.length, 7);
  const ids = () => op.$$eval("#history-rows tr.sale-row", (l) => l.map((e) => Number(e.dataset.id)));
  await op.click("#tab-history");
  await setValue(op, "#history-size", "5");
  await op.waitForFunction(() => document.querySelectorAll("#history-rows tr.sale-row").length === 5);
  const first = await ids();
  await op.click("#history-older");
  await waitText(op, "#history-page", "page 2");
  await op.waitForFunction(() => document.querySelectorAll("#history-rows tr.sale-row").length === 2);
  const second = await ids();
  assert.deepEqual([...first, ...second], [...allIds].sort((a, b) => b - a));
  assert.equal(await op.$eval("#history-older", (e) => e.disabled), true);
  await op.click("#history-newer");
  await waitText(op, "#history-page", "page 1");
  await op.select("#filter-state", "failed");
  await op.click("#history-form button[type=submit]");
  await op.waitForFunction((id) => {
    const rows = document.querySelectorAll("#history-rows tr.sale-row");
    return rows.length === 1 && rows[0].dataset.id === String(id);
  }, { timeout: 15000 }, lost.id);
  await op.click("#history-rows tr.sale-row");
  await op.waitForSelector("#steps-card:not([hidden]) #steps-rows tr");
  const steps = await op.$$eval("#steps-rows tr", (l) => l.map((r) => r.children[1].textContent));
  assert.ok(steps.includes("accepting") && steps.at(-1) === "failed", steps.join(","));
  await shoot(op, "history.png", "#view-history");
  await op.select("#filter-state", "");
  await setValue(op, "#filter-min", 800);
  await setValue(op, "#filter-max", 900);
  await op.click("#history-form button[type=submit]");
  await op.waitForFunction((id) => {
    const rows = document.querySelectorAll("#history-rows tr.sale-row");
    return rows.length === 1 && rows[0].dataset.id === String(id);
  }, { timeout: 15000 }, noteSale.id);

  // The day report, on the page, against the unit: each denomination's
  // start is the stock the unit began with, its end the stock it has now,
  // start + in - out the end; the money in and out of all of them is what
  // the virtual unit counted going in and out; the sales, the refill, the
  // collection and the incident as the day had them.
  await op.click("#tab-report");
  await op.waitForFunction(() =>
    document.querySelectorAll("#report-denominations tr").length === 5);
  const report = (await app("GET", `/v1/reports/day?date=${localDate()}`)).data;
  const end = await unitStock(app);
  const money = (await app("GET", "/v1/virtual/money")).data;
  const table = await op.$$eval("#report-denominations tr", (rows) => rows.map((r) =>
    [Number(r.dataset.value), ...[...r.children].slice(1).map((c) => c.textContent)]));
  let moneyIn = 0, moneyOut = 0;
  for (const [v, ...cells] of table) {
    const [start, into, minusOut, expected, last, difference] = cells.map(int);
    const out = -minusOut;  // written "−30"
    assert.equal(start, unitAtStart.stock[String(v)], `start of ${v}`);
    assert.equal(last, end[v], `end of ${v}`);
    assert.equal(start + into - out, expected, `expected ${v}`);
    assert.equal(expected, last, `reconciled ${v}`);
    assert.equal(difference, 0);
    moneyIn += v * into;
    moneyOut += v * out;
  }
  assert.deepEqual([moneyIn, moneyOut], [money.value_in, money.value_out]);
  const dd = (id) => op.$eval(id, (e) => e.textContent);
  assert.equal(await dd("#report-balanced"), "balanced");
  assert.deepEqual([await dd("#report-done"), await dd("#report-cancelled"),
                    await dd("#report-failed"), await dd("#report-charged")],
                   ["5", "1", "1", yen(1200 + 880 + 300)]);
  assert.equal(await dd("#report-refills"), `1 · ${yen(1800)}`);
  assert.equal(await dd("#report-collections"), `1 · ${yen(payable)}`);
  assert.match(await dd("#report-incidents"), /^1 opened · 1 resolved · 0 open/);
  // The chart: a bar an hour, each as the report counts it, this hour's
  // holding the day's sales.
  const chart = await op.$$eval("#report-chart rect.bar", (l) =>
    l.map((r) => [Number(r.dataset.hour), Number(r.dataset.sales)]));
  assert.deepEqual(chart, report.per_hour.map((h) => [h.hour, h.sales]));
  assert.ok(chart[new Date().getHours()][1] > 0);
  await shoot(op, "report.png", "#view-report");
  await op.emulateMediaType("print");
  await shoot(op, "report-print.png");
  assert.equal(await op.$eval("#tabs", (e) => getComputedStyle(e).display), "none");
  await op.emulateMediaType(null);
}

async function main() {
  const socket = path.join(folder, "vu.sock");
  const unit = start(path.join(build, "tavovu-server"), ["--socket", socket]);
  await firstLine(unit);
  const state = path.join(folder, "state");
  const service = start(path.join(build, "tavod"), [
    "--virtual-server", socket, "--port", "0", "--state-dir", state,
    "--poll-ms", "50"]);
  const port = (await firstLine(service)).match(/:(\d+)\//)[1];
  const token = readFileSync(path.join(state, "token"), "utf8").trim();
  const base = `http://127.0.0.1:${port}`;

  const browser = await puppeteer.launch({
    executablePath: browserPath,
    headless: true,
    args: ["--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage"],
  });
  try {
    const page = await browser.newPage();
    const errors = [];
    page.on("pageerror", (e) => errors.push(e.message));
    page.on("console", (m) => { if (m.type() === "error") errors.push(m.text()); });
    await page.setViewport({ width: 1100, height: 900 });
    await page.goto(`${base}/#token=${token}`, { waitUntil: "load" });
    const text = (id) => page.$eval(id, (e) => e.textContent);
    const waitText = (id, want) => page.waitForFunction(
      (sel, w) => document.querySelector(sel)?.textContent === w,
      { timeout: 10000 }, id, want);

    await waitText("#connection", "connected");
    assert.equal(await text("#stock-500"), "20");
    const unitAtStart = await (await fetch(`${base}/v1/unit`, {
      headers: { Authorization: `Bearer ${token}` } })).json();
    assert.equal(await page.$eval("#insert-card", (e) => e.hidden), false);

    // A sale of 1200 from the page, paid with three coins of 500.
    await page.$eval("#price", (e) => { e.value = "1200"; });
    await page.click("#start-sale");
    await waitText("#sale-state", "accepting");
    await page.click("#coin-500");
    await waitText("#credit", "500");
    await page.click("#coin-500");
    await waitText("#credit", "1000");
    await page.click("#coin-500");
    await waitText("#sale-state", "done");
    assert.equal(await text("#sale-inserted"), "1500");
    assert.equal(await text("#sale-paid"), "300");  // the change
    assert.equal(await text("#credit"), "0");
    // Three coins of 500 went into the tube, and the change came out of
    // the stock; the page shows the stock as the unit reports it.
    const unit500 = await (await fetch(`${base}/v1/unit`, {
      headers: { Authorization: `Bearer ${token}` } })).json();
    await waitText("#stock-500", String(unit500.stock["500"]));
    const events = await page.$$eval("#events li", (l) => l.map((e) => e.textContent));
    assert.ok(events.some((e) => e.includes("coin_inserted")), events.join("\n"));
    assert.ok(events.some((e) => e.includes(": done")), events.join("\n"));

    // The unit's money: 1500 in, 300 out.
    const money = await (await fetch(`${base}/v1/virtual/money`, {
      headers: { Authorization: `Bearer ${token}` } })).json();
    assert.deepEqual([money.balanced, money.value_in, money.value_out],
                     [true, 1500, 300]);

    mkdirSync(artifacts, { recursive: true });
    const shot = path.join(artifacts, "operator-page.png");
    await page.screenshot({ path: shot, fullPage: true });

    await operatorsDay({ browser, base, token, state, page, errors, unitAtStart });
    assert.deepEqual(errors, []);
    console.log(`browser test passed; screenshots in ${artifacts}`);
  } finally {
    await browser.close();
  }
}

main().then(() => 0, (e) => { console.error(e); return 1; }).then((code) => {
  for (const c of children) c.kill("SIGTERM");
  rmSync(folder, { recursive: true, force: true });
  process.exitCode = code;
});

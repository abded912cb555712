// The operator page in a real browser: headless Chromium (Debian's) driven
// by puppeteer-core. A sale is started from the page, money inserted with the
// page's buttons on the virtual unit (in its own process), and the credit
// and the change must show on the page. A screenshot is kept as an artifact.
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
    assert.deepEqual(errors, []);
    console.log(`browser test passed; screenshot ${shot}`);
  } finally {
    await browser.close();
  }
}

main().then(() => 0, (e) => { console.error(e); return 1; }).then((code) => {
  for (const c of children) c.kill("SIGTERM");
  rmSync(folder, { recursive: true, force: true });
  process.exitCode = code;
});

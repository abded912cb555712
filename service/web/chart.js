// Sales per hour as an inline SVG bar chart, built here rather than with a
// chart library: it is 24 bars and an axis, a few dozen lines; a library
// would be a vendored file of thousands of lines to check, keep up to date
// and allow in the page's Content-Security-Policy, for one chart. SVG
// scales to any width, prints sharp, and its bars are elements a test can
// count and read (each has its hour and figures in data attributes and a
// title).
const NS = "http://www.w3.org/2000/svg";

function svg(tag, attrs = {}, text) {
  const e = document.createElementNS(NS, tag);
  for (const [k, v] of Object.entries(attrs)) e.setAttribute(k, v);
  if (text !== undefined) e.textContent = text;
  return e;
}

// per_hour: [{hour, sales, charged}] for the 24 hours of the day.
export function hourChart(perHour, { width = 720, height = 200 } = {}) {
  const left = 36, bottom = 22, top = 14;
  const plotH = height - bottom - top;
  const step = (width - left) / 24;
  const most = Math.max(1, ...perHour.map((h) => h.sales));
  const root = svg("svg", {
    viewBox: `0 0 ${width} ${height}`, class: "hour-chart", role: "img",
    "aria-label": "Sales per hour",
  });
  // The axis: 0 and the busiest hour's count, a line under the bars.
  root.append(svg("line", { x1: left, x2: width, y1: top + plotH, y2: top + plotH, class: "axis" }));
  root.append(svg("text", { x: left - 6, y: top + plotH, class: "tick", "text-anchor": "end" }, "0"));
  root.append(svg("text", { x: left - 6, y: top + 8, class: "tick", "text-anchor": "end" }, String(most)));
  for (const h of perHour) {
    const x = left + h.hour * step;
    const barH = (plotH * h.sales) / most;
    const rect = svg("rect", {
      x: x + step * 0.15, y: top + plotH - barH, width: step * 0.7, height: barH,
      class: "bar", "data-hour": h.hour, "data-sales": h.sales, "data-charged": h.charged,
    });
    rect.append(svg("title", {}, `${String(h.hour).padStart(2, "0")}:00 ${h.sales} sales, ¥${h.charged}`));
    root.append(rect);
    if (h.sales > 0) {
      root.append(svg("text", { x: x + step / 2, y: top + plotH - barH - 3, class: "value", "text-anchor": "middle" }, String(h.sales)));
    }
    if (h.hour % 3 === 0) {
      root.append(svg("text", { x: x + step / 2, y: height - 6, class: "tick", "text-anchor": "middle" }, String(h.hour).padStart(2, "0")));
    }
  }
  return root;
}

// What every view of the page shares: the bearer token, the API call, a
// few small DOM helpers and the yen as the page writes it.

export const $ = (id) => document.getElementById(id);
export const DENOMINATIONS = [10, 50, 100, 500, 1000];

let token = "";

// The token comes in the address (#token=..., taken out of the bar at
// once) or from the login form, and lives in the tab's session storage.
// The operator token is a token like the application's: the page opened
// with it may also do what needs it (refills, collections, resolving).
export function takeToken() {
  const m = location.hash.match(/token=([0-9a-fA-F]+)/);
  if (m) {
    sessionStorage.setItem("tavod-token", m[1]);
    history.replaceState(null, "", location.pathname);  // out of the bar
  }
  token = sessionStorage.getItem("tavod-token") || "";
  return token;
}

export function setToken(t) {
  sessionStorage.setItem("tavod-token", t);
  token = t;
}

export function bearer() { return token; }

let onRefused = () => {};
// Called when the token is missing or wrong (not when it is only not the
// operator's: the page stays, the action says what it needs).
export function whenRefused(f) { onRefused = f; }

export class ApiError extends Error {
  constructor(message, status, data) {
    super(message);
    this.status = status;
    this.data = data;
  }
}

export async function api(method, path, body) {
  const headers = { Authorization: `Bearer ${token}` };
  if (body !== undefined) headers["Content-Type"] = "application/json";
  const r = await fetch(path, {
    method, headers, body: body === undefined ? undefined : JSON.stringify(body),
  });
  const data = await r.json().catch(() => ({}));
  const needsOperator = r.status === 403 &&
    /operator token/i.test(`${data.title} ${data.detail}`);
  if (needsOperator) {
    throw new ApiError("This needs the operator token: open the page as " +
      "/#token=OPERATOR-TOKEN (the file operator-token in the service's " +
      "state folder).", 403, data);
  }
  if (r.status === 401 || r.status === 403) onRefused();
  if (!r.ok) {
    const code = data.code ? ` (${data.code}: ${data.code_text})` : "";
    throw new ApiError(`${data.title || r.status}: ${data.detail || ""}${code}`,
                       r.status, data);
  }
  return data;
}

// The API's text answers (the day report as CSV).
export async function apiText(path) {
  const r = await fetch(path, { headers: { Authorization: `Bearer ${token}` } });
  if (!r.ok) throw new ApiError(`${r.status}`, r.status, {});
  return r.text();
}

// el("td", {class: "x", dataset: {id: 3}}, "text", child...)
export function el(tag, attrs = {}, ...children) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs)) {
    if (v === undefined || v === null || v === false) continue;
    if (k === "class") e.className = v;
    else if (k === "dataset") Object.assign(e.dataset, v);
    else if (k.startsWith("on")) e.addEventListener(k.slice(2), v);
    else if (v === true) e.setAttribute(k, "");
    else e.setAttribute(k, v);
  }
  for (const c of children.flat()) {
    if (c === null || c === undefined || c === false) continue;
    e.append(c instanceof Node ? c : String(c));
  }
  return e;
}

export function fill(parent, ...children) {
  parent.replaceChildren();
  for (const c of children.flat()) if (c) parent.append(c);
}

export const yen = (v) => (v === null || v === undefined) ? "-" :
  `¥${Number(v).toLocaleString("en-US")}`;

export const timeOf = (ms) => ms ? new Date(ms).toLocaleTimeString() : "-";
export const dateTimeOf = (ms) => ms ? new Date(ms).toLocaleString() : "-";

// The kiosk's day as YYYY-MM-DD in the browser's time zone (the page runs
// on the kiosk, beside the service).
export function today() {
  const d = new Date();
  const p = (n) => String(n).padStart(2, "0");
  return `${d.getFullYear()}-${p(d.getMonth() + 1)}-${p(d.getDate())}`;
}

// A message line of a view: red for failures, plain for news.
export function sayIn(id, text, ok = false) {
  const e = $(id);
  if (!e) return;
  e.textContent = text || "";
  e.classList.toggle("ok", ok);
}

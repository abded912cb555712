// The Incidents view: what the unit owes a customer or could not settle,
// with the amount; the operator pays it by hand, then resolves the
// incident here with a note of what was done (the operator token).
import { $, api, el, fill, yen, sayIn, dateTimeOf } from "./api.js";
import { on } from "./events.js";

const say = (text, ok) => sayIn("incidents-message", text, ok);
let highlight = null;  // the incident a link pointed at

function card(i) {
  const note = el("input", { type: "text", class: "resolve-note", size: 40,
    placeholder: "what was done (paid the customer ¥…)", "aria-label": "note" });
  const resolve = el("button", { type: "submit", class: "resolve" }, "Resolve");
  const form = el("form", { class: "resolve-form", onsubmit: async (ev) => {
    ev.preventDefault();
    if (!note.value.trim()) { say("Write a note of what was done first."); return; }
    resolve.disabled = true;
    try {
      await api("POST", `/v1/incidents/${i.id}/resolve`, { note: note.value.trim() });
      say(`Incident ${i.id} resolved.`, true);
      loadIncidents();
    } catch (e) { say(e.message); resolve.disabled = false; }
  } }, note, resolve);
  return el("li", { class: `incident${highlight === i.id ? " pointed" : ""}`, id: `incident-${i.id}`, dataset: { id: i.id } },
    el("div", { class: "incident-head" },
      el("strong", {}, `Incident ${i.id}`), " · ",
      i.sale ? el("a", { href: `#sale/${i.sale}` }, `sale ${i.sale}`) : "no sale", " · ",
      dateTimeOf(i.created_ms), " · owed ",
      el("strong", { class: "owed" }, yen(i.amount))),
    el("p", { class: "detail" }, i.detail || "", i.code ? ` (${i.code}: ${i.code_text})` : ""),
    i.open ? form : el("p", { class: "resolved" }, `resolved${i.note ? `: ${i.note}` : ""}`));
}

export async function loadIncidents() {
  try {
    // All of them, the open ones first: the filter's spelling aside, the
    // resolved ones are worth a look when a customer comes back.
    const { incidents } = await api("GET", "/v1/incidents");
    const open = incidents.filter((i) => i.open);
    $("open-count").textContent = open.length ? String(open.length) : "";
    const closed = incidents.filter((i) => !i.open).slice(0, 10);
    $("incidents-owed").textContent = yen(open.reduce((n, i) => n + (i.amount || 0), 0));
    // A note being written survives the list drawn again on an event.
    const typed = new Map([...document.querySelectorAll("#incidents-open li.incident")]
      .map((li) => [li.dataset.id, li.querySelector(".resolve-note")?.value]));
    fill($("incidents-open"), open.length ? open.map(card) : el("li", {}, "No open incident."));
    for (const li of document.querySelectorAll("#incidents-open li.incident")) {
      const note = li.querySelector(".resolve-note");
      if (note && typed.get(li.dataset.id)) note.value = typed.get(li.dataset.id);
    }
    fill($("incidents-closed"), closed.map(card));
    if (highlight !== null) $(`incident-${highlight}`)?.scrollIntoView({ block: "nearest" });
  } catch (e) { say(e.message); }
}

export function pointAt(id) { highlight = id; }

// The tab shows how many are open whatever view is shown; a new incident
// or a resolved one is an event.
export function setUpIncidents() {
  on("incident", loadIncidents);
}

export function showIncidents() { loadIncidents(); }

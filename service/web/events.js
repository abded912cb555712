// The events WebSocket: every view subscribes to the types it shows. After
// a disconnection it resumes from the last sequence number seen (the
// service keeps the last thousand), unless the service restarted.
import { bearer } from "./api.js";

const handlers = new Map();  // type -> [f(event)], "*" for every event
let lastSeq = null;
let boot = null;

export function on(type, f) {
  if (!handlers.has(type)) handlers.set(type, []);
  handlers.get(type).push(f);
}

function dispatch(e) {
  for (const f of [...(handlers.get(e.type) || []), ...(handlers.get("*") || [])]) {
    try { f(e); } catch (err) { console.warn(err); }
  }
}

export function connectEvents() {
  const scheme = location.protocol === "https:" ? "wss" : "ws";
  const since = lastSeq === null ? "" : `?since=${lastSeq}`;
  const ws = new WebSocket(`${scheme}://${location.host}/v1/events${since}`,
                           ["tavod.v1", `bearer.${bearer()}`]);
  ws.onmessage = (m) => {
    const e = JSON.parse(m.data);
    if (e.type === "hello") {
      if (boot !== null && e.boot !== boot) lastSeq = null;  // restarted
      boot = e.boot;
      return;
    }
    if (e.type === "gap") {
      dispatch({ seq: "-", time_ms: Date.now(), type: "gap", data: e.data });
      return;
    }
    lastSeq = e.seq;
    dispatch(e);
  };
  ws.onclose = () => setTimeout(connectEvents, 1000);
}

// An event's fields: under "data" as the service sends them.
export const dataOf = (e) => e.data || {};

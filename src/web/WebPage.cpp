#include "web/WebPage.h"

#include <string>

#include "web/WebServer.h"

namespace pm::web {

namespace {

// Everything is drawn with textContent, never innerHTML: nicknames and
// status lines come from the game's players.
constexpr const char* kPage = R"PAGE(<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Paddock Marshal</title>
<style>
:root { color-scheme: dark; --bg:#12161b; --card:#1c232b; --line:#2c3540; --text:#e6e9ed; --dim:#93a0ad; --ok:#2ea043; --warn:#d29922; --bad:#da3633; }
* { box-sizing: border-box; }
body { margin:0; font:15px/1.4 system-ui, sans-serif; background:var(--bg); color:var(--text); }
header { display:flex; flex-wrap:wrap; gap:.5rem 1rem; align-items:center; padding:.7rem 1rem; border-bottom:1px solid var(--line); }
header h1 { font-size:1.1rem; margin:0; flex:1 1 auto; }
#access, #live { color:var(--dim); font-size:.9rem; }
button { font:inherit; color:var(--text); background:#2b3542; border:1px solid #3b4756; border-radius:6px; padding:.25rem .7rem; cursor:pointer; }
button:disabled { opacity:.45; cursor:not-allowed; }
main { display:grid; gap:1rem; padding:1rem; grid-template-columns:repeat(auto-fill, minmax(min(100%, 22rem), 1fr)); }
.card { background:var(--card); border:1px solid var(--line); border-radius:10px; padding:.8rem 1rem; min-width:0; }
.card h2 { font-size:1.05rem; margin:0 0 .2rem; display:flex; gap:.5rem; align-items:center; justify-content:space-between; }
.badge { font-size:.8rem; padding:.1rem .55rem; border-radius:999px; background:#444c56; white-space:nowrap; }
.badge[data-phase=connected] { background:var(--ok); }
.badge[data-phase=silent], .badge[data-phase=connecting], .badge[data-phase=retrying] { background:var(--warn); color:#111; }
.badge[data-phase=stopped] { background:var(--bad); }
.meta, .note { color:var(--dim); font-size:.85rem; margin:0 0 .4rem; overflow-wrap:anywhere; }
.error { color:#ff8a80; font-size:.85rem; margin:.2rem 0; }
h3 { font-size:.85rem; text-transform:uppercase; letter-spacing:.04em; color:var(--dim); margin:.8rem 0 .3rem; }
.rules { display:flex; flex-wrap:wrap; gap:.4rem .9rem; align-items:center; }
.rules label { display:flex; gap:.3rem; align-items:center; }
.rules input[type=number] { width:4rem; font:inherit; background:#0f1318; color:var(--text); border:1px solid var(--line); border-radius:4px; padding:.1rem .3rem; }
ol, ul { margin:0; padding-left:0; list-style:none; }
li { display:flex; gap:.5rem; align-items:center; padding:.15rem .3rem; border-radius:4px; }
li:nth-child(odd) { background:#202831; }
li .pos { color:var(--dim); min-width:1.6rem; text-align:right; font-variant-numeric:tabular-nums; }
li .user { color:var(--dim); font-size:.8rem; margin-left:auto; overflow-wrap:anywhere; }
li.away { opacity:.55; }
.grid li[draggable=true] { cursor:grab; }
.grid li.dragging { outline:1px dashed var(--dim); }
.grid li button { padding:0 .35rem; font-size:.8rem; }
.lines { max-height:12rem; overflow:auto; font:12px/1.35 ui-monospace, monospace; background:#0f1318; border-radius:6px; padding:.4rem; white-space:pre-wrap; overflow-wrap:anywhere; }
.counters { color:var(--dim); font-size:.85rem; }
.empty { color:var(--dim); font-style:italic; }
.c0 { color:#000; text-shadow:0 0 2px #fff; } .c1 { color:#ff4d4d; } .c2 { color:#7dff6b; } .c3 { color:#ffe94d; }
.c4 { color:#5c8dff; } .c5 { color:#e36bff; } .c6 { color:#5cf0ff; } .c7 { color:#fff; }
</style>
</head>
<body>
<header>
  <h1>Paddock Marshal</h1>
  <span id="live">connecting…</span>
  <span id="access"></span>
  <button id="unlock" hidden>Unlock changes</button>
  <button id="lock" hidden>Forget token</button>
</header>
<main id="cards"><p class="empty" id="none">No servers yet.</p></main>
<script>
"use strict";
const TOKEN_KEY = "paddock-marshal-token";
const STATUS_LINES = @STATUS_LINES@;
const state = { changes: false, authorized: false, servers: new Map() };
const $ = (sel, root = document) => root.querySelector(sel);
function el(tag, props = {}, ...children) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(props)) {
    if (k === "class") e.className = v; else if (k === "text") e.textContent = v;
    else if (k.startsWith("data-")) e.setAttribute(k, v); else e[k] = v;
  }
  for (const c of children) if (c != null) e.append(c);
  return e;
}
function token() { return sessionStorage.getItem(TOKEN_KEY) || ""; }
function headers(extra = {}) {
  const h = Object.assign({}, extra);
  if (token()) h["Authorization"] = "Bearer " + token();
  return h;
}

// LFS colour codes ^0..^9 become spans; ^8 and ^9 go back to the default.
// The other escapes stand for characters the game cannot send plainly.
const ESCAPES = { v:"|", a:"*", c:":", d:"\\", s:"/", q:"?", t:"\"", l:"<", r:">", h:"#", "^":"^" };
function nickname(text) {
  const out = el("span", { class: "nick" });
  let colour = null, run = "";
  const flush = () => { if (run) { out.append(colour ? el("span", { class: "c" + colour, text: run }) : document.createTextNode(run)); run = ""; } };
  for (let i = 0; i < text.length; i++) {
    const c = text[i], n = text[i + 1];
    if (c === "^" && n !== undefined) {
      if (n >= "0" && n <= "9") { flush(); colour = n <= "7" ? n : null; i++; continue; }
      if (ESCAPES[n] !== undefined) { run += ESCAPES[n]; i++; continue; }
    }
    run += c;
  }
  flush();
  return out;
}
function person(p, pos) {
  const li = el("li", {}, pos != null ? el("span", { class: "pos", text: String(pos) }) : null,
                nickname(p.nickname || p.user), el("span", { class: "user", text: p.user }));
  li.dataset.user = p.user;
  return li;
}
function list(cls, items, make, emptyText) {
  const l = el("ol", { class: cls });
  if (!items.length) l.append(el("li", { class: "empty", text: emptyText }));
  for (const item of items) l.append(make(item));
  return l;
}

async function send(index, what, body) {
  const res = await fetch("/api/servers/" + index + "/" + what, {
    method: "PUT", headers: headers({ "Content-Type": "application/json" }), body: JSON.stringify(body) });
  const data = await res.json().catch(() => ({}));
  if (res.status === 401) { sessionStorage.removeItem(TOKEN_KEY); await checkAccess(); }
  if (!res.ok) { alert(data.error || ("refused: " + res.status)); return; }
  render(mergeLines(data, false));
}

function rulesBox(s) {
  const can = state.authorized;
  const box = (label, cls, value, onChange) => {
    const input = el("input", { type: "checkbox", className: cls, disabled: !can });
    input.checked = value === 1; input.indeterminate = value === 2;
    input.addEventListener("change", () => onChange(input.checked ? 1 : 0));
    return el("label", {}, input, label);
  };
  const count = el("input", { type: "number", min: 0, max: 999, className: "rule-count", disabled: !can, value: s.rules.reverseCount });
  count.setAttribute("aria-label", "Reverse Top count");
  count.addEventListener("change", () => send(s.index, "rules", { reverseCount: count.value }));
  return el("div", { class: "rules" },
    box("Last Race", "rule-lastrace", s.rules.lastRace, v => send(s.index, "rules", { lastRace: v })),
    box("Reverse Top", "rule-reverse", s.rules.reverseTop, v => send(s.index, "rules", { reverseTop: v })),
    count,
    box("Custom", "rule-custom", s.rules.custom, v => send(s.index, "rules", { custom: v })));
}

function gridList(s) {
  const can = state.authorized;
  const places = s.nextGrid.places;
  const users = places.map(p => p.user);
  const move = (from, to) => {
    if (to < 0 || to >= users.length || from === to) return;
    const order = users.slice(); const [u] = order.splice(from, 1); order.splice(to, 0, u);
    send(s.index, "grid", { users: order });
  };
  const l = list("grid", places, p => {
    const li = person(p, p.place);
    if (!p.onTrack) li.classList.add("away");
    if (can) {
      const i = p.place - 1;
      li.draggable = true;
      li.addEventListener("dragstart", e => { li.classList.add("dragging"); e.dataTransfer.setData("text/plain", String(i)); });
      li.addEventListener("dragend", () => li.classList.remove("dragging"));
      li.addEventListener("dragover", e => e.preventDefault());
      li.addEventListener("drop", e => { e.preventDefault(); move(Number(e.dataTransfer.getData("text/plain")), i); });
      // Touch screens have no drag and drop: a step up or down instead.
      li.append(el("button", { text: "▲", title: "up", onclick: () => move(i, i - 1) }),
                el("button", { text: "▼", title: "down", onclick: () => move(i, i + 1) }));
    }
    return li;
  }, "nobody: a vote sends no grid");
  return l;
}

// A server's status lines are counted by how many the program has kept of
// it (statusLinesKept). After its first message a stream sends only the new
// ones (newStatusLines); an answer from the API may come late, after a
// stream message that is newer. Neither may add a line twice or take one
// back. The stream's whole messages are its own, in order, and count as
// they come.
function mergeLines(s, fromStream) {
  const had = state.servers.get(s.index);
  const hadKept = had ? had.statusLinesKept : 0;
  const hadLines = had ? had.statusLines : [];
  if (s.newStatusLines) {
    const fresh = Math.max(0, Math.min(s.newStatusLines.length, s.statusLinesKept - hadKept));
    s.statusLines = hadLines.concat(s.newStatusLines.slice(s.newStatusLines.length - fresh)).slice(-STATUS_LINES);
    delete s.newStatusLines;
  } else if (!fromStream && had && s.statusLinesKept < hadKept) {
    s.statusLines = hadLines;
    s.statusLinesKept = hadKept;
  }
  return s;
}

function render(s) {
  state.servers.set(s.index, s);
  let card = document.getElementById("server-" + s.index);
  // A card being dragged in or typed in is left alone until that is done.
  if (card && (card.querySelector(".dragging") || card.contains(document.activeElement) && document.activeElement.type === "number")) return;
  const fresh = el("section", { class: "card", id: "server-" + s.index });
  const st = s.state;
  const transport = s.generation ? "InSim " + s.generation + " over " + s.transport.toUpperCase() : (s.transport || "").toUpperCase();
  fresh.append(...[
    el("h2", {}, el("span", { text: s.name }), el("span", { class: "badge", "data-phase": st.phase, text: st.badge })),
    el("p", { class: "meta", text: [transport, s.release ? "LFS " + s.release : "", s.host + ":" + (s.insimPort ?? "?")].filter(Boolean).join(" · ") }),
    s.lastError ? el("p", { class: "error", text: s.lastError }) : null,
    el("h3", { text: "Rules" }), rulesBox(s),
    el("h3", { text: "Next grid · " + s.nextGrid.ruleName }),
    s.nextGrid.note ? el("p", { class: "note", text: s.nextGrid.note }) : null,
    gridList(s),
    el("h3", { text: "Finishing order" }),
    list("finish", s.finishingOrder, p => person(p, p.place), "no results yet"),
    el("h3", { text: "Connections (" + s.connections.length + ")" }),
    list("connections", s.connections, p => person(p, null), "nobody connected"),
    s.lastGrid ? el("p", { class: "note last-grid", text: "Last grid (" + s.lastGrid.ruleName + "): " + (s.lastGrid.outcomeText || s.lastGrid.outcome) }) : null,
    el("p", { class: "counters", text: "votes " + s.counters.votesAnswered + " · grids sent " + s.counters.gridsSent +
      " · confirmed " + s.counters.gridsConfirmed + " · differed " + s.counters.gridsDiffered }),
    el("details", {}, el("summary", { text: "Status lines" }), el("div", { class: "lines", text: s.statusLines.slice().reverse().join("\n") }))
  ].filter(c => c != null));
  if (card) { fresh.querySelector("details").open = card.querySelector("details").open; card.replaceWith(fresh); }
  else {
    const cards = $("#cards");
    const after = [...cards.querySelectorAll(".card")].find(c => Number(c.id.slice(7)) > s.index);
    cards.insertBefore(fresh, after || null);
  }
  $("#none").hidden = true;
}
function keepOnly(indices) {
  for (const card of document.querySelectorAll(".card")) {
    const index = Number(card.id.slice(7));
    if (!indices.includes(index)) { card.remove(); state.servers.delete(index); }
  }
  $("#none").hidden = indices.length > 0;
}
function redrawAll() { for (const s of state.servers.values()) { document.getElementById("server-" + s.index)?.remove(); render(s); } }

async function checkAccess() {
  const res = await fetch("/api/access", { headers: headers() });
  if (res.status === 429) {
    // Too many wrong tokens from here: the program looks at none for a
    // while. The token kept is not known to be wrong, and stays.
    state.authorized = false;
    $("#access").textContent = "too many wrong tokens: try again in " + res.headers.get("Retry-After") + " s";
    return false;
  }
  const a = await res.json();
  state.changes = a.changes; state.authorized = a.authorized;
  $("#access").textContent = !a.changes ? "read-only" : a.authorized ? "changes allowed" : "read-only until unlocked";
  $("#unlock").hidden = !a.changes || a.authorized;
  $("#lock").hidden = !a.authorized;
  redrawAll();
  return true;
}
$("#unlock").addEventListener("click", async () => {
  const t = prompt("Token (from the file --web-token-file names):");
  if (!t) return;
  sessionStorage.setItem(TOKEN_KEY, t.trim());
  const answered = await checkAccess();
  if (answered && !state.authorized) { sessionStorage.removeItem(TOKEN_KEY); $("#access").textContent = "wrong token"; }
});
$("#lock").addEventListener("click", () => { sessionStorage.removeItem(TOKEN_KEY); checkAccess(); });

let polling = null;
function poll() {
  fetch("/api/servers").then(r => r.json()).then(d => { d.servers.forEach(s => render(mergeLines(s, false))); keepOnly(d.servers.map(s => s.index)); }).catch(() => {});
}
function listen() {
  const events = new EventSource("/api/events");
  events.addEventListener("open", () => { $("#live").textContent = "live"; if (polling) { clearInterval(polling); polling = null; } });
  events.addEventListener("status", e => {
    const d = JSON.parse(e.data);
    d.servers.forEach(s => render(mergeLines(s, true)));
    keepOnly(d.indices);
  });
  events.addEventListener("error", () => {
    $("#live").textContent = "reconnecting…";
    if (!polling) { poll(); polling = setInterval(poll, 5000); }
    // A browser gives a stream up for good after an answer such as 503
    // (every stream taken): ask again later, polling meanwhile.
    if (events.readyState === EventSource.CLOSED) { setTimeout(listen, 10000); }
  });
}
checkAccess().finally(listen);
</script>
</body>
</html>
)PAGE";

} // namespace

const std::string& pageHtml() {
    static const std::string page = [] {
        std::string text(kPage);
        const std::string mark = "@STATUS_LINES@";
        text.replace(text.find(mark), mark.size(), std::to_string(WebServer::kStatusLines));
        return text;
    }();
    return page;
}

} // namespace pm::web

// The page over serve's JSON API. Every name and value from a catalog is put on the page as text
// (textContent, setAttribute), never as markup: catalogs come from strangers.
"use strict";

const state = { token: "", catalogs: [], page: 50 };
const view = () => document.getElementById("view");

function make(tag, attributes, text) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attributes || {})) e.setAttribute(k, String(v));
  if (text !== undefined && text !== null) e.textContent = String(text);
  return e;
}

function showError(message) {
  const box = document.querySelector('[data-role="error"]');
  box.textContent = message || "";
  box.hidden = !message;
}

async function api(path, body) {
  const init = body === undefined ? {} : {
    method: "POST",
    headers: { "Content-Type": "application/json", "X-Vdcatalog-Token": state.token },
    body: JSON.stringify(body),
  };
  const response = await fetch(path, init);
  let data;
  try {
    data = await response.json();
  } catch (e) {
    throw new Error(`the server answered ${response.status} without a reason`);
  }
  if (!response.ok) throw new Error(data.error || `the server answered ${response.status}`);
  return data;
}

function query(parameters) {
  return new URLSearchParams(parameters).toString();
}

function link(hash, text) {
  const a = make("a", { href: hash }, text);
  return a;
}

function familyHash(catalog, family) {
  return `#/family/${catalog}/${encodeURIComponent(family)}`;
}
// `asked`, when given, is the alias or spelling a search found the pattern by.
function patternHash(catalog, family, name, asked) {
  const tail = asked ? `/${encodeURIComponent(asked)}` : "";
  return `#/pattern/${catalog}/${encodeURIComponent(family)}/${encodeURIComponent(name)}${tail}`;
}

async function loadCatalogs() {
  state.catalogs = await api("/api/catalogs");
  const list = document.querySelector('[data-role="family-list"]');
  list.replaceChildren();
  for (const c of state.catalogs) {
    list.appendChild(make("li", { class: "catalog", title: c.path }, c.catalog + (c.read_only ? " (read-only)" : "")));
    for (const f of c.families) {
      const li = make("li", { "data-family": f.family });
      li.appendChild(link(familyHash(c.index, f.family), f.family));
      const units = f.columns.filter((x) => x.unit).map((x) => `${x.name} ${x.unit}`).join(", ");
      const source = sourceText(f.provenance);
      li.appendChild(make("span", { class: "count", title: [units, source].filter((x) => x).join("\n") },
                          ` ${f.code} · ${f.patterns === null ? "unreadable" : f.patterns}`));
      list.appendChild(li);
    }
  }
}

// A family's sources as its Standard column gives them, or "" when it has none.
function sourceText(provenance) {
  if (!provenance || !provenance.values.length) return "";
  return `${provenance.column}: ${provenance.values.join("; ")}${provenance.more ? "; and others" : ""}`;
}

function isNumber(type) {
  return type === "integer" || type === "real";
}

async function showFamily(catalog, family, options) {
  const o = Object.assign({ offset: 0, sort: "", order: "asc", where: "" }, options);
  const data = await api("/api/rows?" + query({ catalog, family, offset: o.offset, limit: state.page, sort: o.sort,
                                                order: o.order, where: o.where }));
  const root = make("section");
  root.appendChild(make("h2", {}, family));
  const known = state.catalogs.find((x) => x.index === Number(catalog))?.families.find((f) => f.family === family);
  const source = sourceText(known?.provenance);
  if (source) root.appendChild(make("p", { class: "note", "data-role": "family-provenance" }, source));
  const filter = make("form", { class: "pager" });
  const where = make("input", { type: "text", "data-role": "where", placeholder: "condition, e.g. h > 200",
                                size: 40 });
  where.value = o.where;
  filter.append(where, make("button", { type: "submit" }, "Filter"));
  filter.addEventListener("submit", (e) => {
    e.preventDefault();
    run(() => showFamily(catalog, family, Object.assign({}, o, { offset: 0, where: where.value })));
  });
  root.appendChild(filter);

  const pager = make("div", { class: "pager" });
  const last = Math.min(data.total, o.offset + data.rows.length);
  pager.appendChild(make("span", { "data-role": "range" }, `${data.total ? o.offset + 1 : 0}–${last} of ${data.total}`));
  const previous = make("button", { type: "button", "data-role": "previous" }, "◀ Previous");
  const next = make("button", { type: "button", "data-role": "next" }, "Next ▶");
  previous.disabled = o.offset === 0;
  next.disabled = last >= data.total;
  previous.addEventListener("click", () =>
    run(() => showFamily(catalog, family, Object.assign({}, o, { offset: Math.max(0, o.offset - state.page) }))));
  next.addEventListener("click", () =>
    run(() => showFamily(catalog, family, Object.assign({}, o, { offset: o.offset + state.page }))));
  pager.append(previous, next);
  if (!catalogReadOnly(catalog)) {
    const name = make("input", { type: "text", "data-role": "new-name", placeholder: "new pattern name" });
    const add = make("button", { type: "button", "data-role": "add" }, "Add");
    add.addEventListener("click", () => run(async () => {
      await api("/api/add", { catalog, family, name: name.value, values: {} });
      await loadCatalogs();
      location.hash = patternHash(catalog, family, name.value);
    }));
    pager.append(name, add);
  }
  root.appendChild(pager);

  const table = make("table", { "data-role": "family-table" });
  const head = make("tr");
  for (const c of data.columns) {
    const th = make("th");
    const button = make("button", { type: "button", "data-sort": c.name },
                        c.name + (c.unit ? ` [${c.unit}]` : "") + (o.sort === c.name ? (o.order === "asc" ? " ▲" : " ▼") : ""));
    button.addEventListener("click", () => run(() => showFamily(catalog, family, Object.assign({}, o, {
      offset: 0, sort: c.name, order: o.sort === c.name && o.order === "asc" ? "desc" : "asc" }))));
    th.appendChild(button);
    head.appendChild(th);
  }
  table.appendChild(make("thead")).appendChild(head);
  const body = table.appendChild(make("tbody"));
  for (const row of data.rows) {
    const tr = make("tr");
    for (const c of data.columns) {
      const value = row[c.name];
      const td = make("td", isNumber(c.type) ? { class: "number" } : {});
      if (c.name.toLowerCase() === "name" && value !== null)
        td.appendChild(link(patternHash(catalog, family, value), value));
      else
        td.textContent = value === null ? "" : String(value);
      tr.appendChild(td);
    }
    body.appendChild(tr);
  }
  root.appendChild(table);
  view().replaceChildren(root);
}

function catalogReadOnly(index) {
  const c = state.catalogs.find((x) => x.index === Number(index));
  return !c || c.read_only;
}

// `given`, when a search brought it, is the pattern's page in catalog units: it is shown without asking again.
async function showPattern(catalog, family, name, asked, metrics, given) {
  metrics = metrics || "catalog";
  const data = given || await api("/api/pattern?" + query({ catalog, family, name, metrics, asked: asked || "" }));
  const root = make("section");
  // The real name, and the alias or spelling the search was given when that differs.
  const title = make("h2");
  title.appendChild(make("span", { "data-role": "pattern-name" }, data.name));
  const via = data.names.via;
  if (via) title.append(" ", make("span", { "data-role": "found-as", class: "note" },
                                  `(${via === "alias" ? "alias" : "spelt"} ${data.names.asked})`));
  root.appendChild(title);
  if (data.names.aliases.length)
    root.appendChild(make("p", { "data-role": "aliases", class: "note" }, "Also known as " + data.names.aliases.join(", ")));
  const where = make("p", { class: "note" });
  where.append("Family ", link(familyHash(catalog, data.family), data.family), ` (${data.code}) in ${data.catalog}`);
  root.appendChild(where);

  // Catalog units, SI units, or a host's units given as how many make a metre (1000: millimetres).
  const host = metrics !== "catalog" && metrics !== "si";
  const choice = make("select", { "data-role": "metrics" });
  for (const [value, label] of [["catalog", "catalog units"], ["si", "SI units"], ["host", "host units"]])
    choice.appendChild(make("option", { value }, label));
  choice.value = host ? "host" : metrics;
  const perMetre = make("input", { type: "text", "data-role": "host-metrics", size: 8, title: "host units per metre",
                                   "aria-label": "host units per metre" });
  perMetre.value = host ? metrics : "1000";
  perMetre.disabled = !host;
  const chosen = () => choice.value === "host" ? perMetre.value.trim() : choice.value;
  for (const control of [choice, perMetre])
    control.addEventListener("change", () => run(() => showPattern(catalog, family, name, asked, chosen())));
  const units = make("p", { class: "metrics" });
  units.append(choice, " ", perMetre, " per metre");
  root.appendChild(units);

  const box = make("div", { class: "pattern" });
  const table = make("table", { "data-role": "pattern-params" });
  table.appendChild(make("tr")).append(make("th", {}, "Parameter"), make("th", {}, "Value"), make("th", {}, "Unit"),
                                       make("th", {}, "Type"));
  const editable = !data.read_only && metrics === "catalog";
  const inputs = [];
  for (const p of data.parameters) {
    const tr = make("tr");
    const input = make("input", { "data-role": `param-${p.name}`, name: p.name });
    input.value = p.value === null ? "" : String(p.value);
    input.readOnly = !editable;
    input.dataset.original = input.value;
    inputs.push(input);
    const cell = make("td");
    cell.appendChild(input);
    tr.append(make("th", {}, p.name), cell, make("td", {}, metrics === "catalog" || !p.unit ? p.unit : metrics === "si" ? "SI" : `host (${metrics}/m)`),
              make("td", {}, p.type));
    table.appendChild(tr);
  }
  const left = make("div");
  left.appendChild(table);
  if (editable) {
    const actions = make("div", { class: "actions" });
    const save = make("button", { type: "button", "data-role": "save" }, "Save");
    save.addEventListener("click", () => run(async () => {
      const values = {};
      for (const i of inputs) if (i.value !== i.dataset.original) values[i.name] = i.value;
      await api("/api/set", { catalog: Number(catalog), family: data.family, name: data.name, values });
      await showPattern(catalog, family, name, asked, metrics);
    }));
    const remove = make("button", { type: "button", "data-role": "remove" }, "Remove");
    remove.addEventListener("click", () => run(async () => {
      if (!confirm(`Remove ${data.name}?`)) return;
      await api("/api/remove", { catalog: Number(catalog), family: data.family, name: data.name });
      await loadCatalogs();
      location.hash = familyHash(catalog, data.family);
    }));
    actions.append(save, remove);
    left.appendChild(actions);
  } else if (!data.read_only) {
    left.appendChild(make("p", { class: "note" }, "Values are edited in catalog units."));
  }
  // Under the values and the drawing, across the page: a change lists every column it touched.
  const history = historyBox(data);
  if (data.history_later) {
    // A search's answer leaves the history out, to draw the section at once; it is read now.
    api("/api/history?" + query({ catalog, family: data.family, name: data.name }))
      .then((h) => history.replaceWith(historyBox(h) || ""))
      .catch((e) => history.replaceWith(historyBox({ history_error: e.message })));
  }
  left.appendChild(findingsBox(data));
  box.appendChild(left);
  const drawing = make("div", { class: "drawing" });
  // The drawing is always made from the values as stored, whatever units the table shows.
  const stored = metrics === "catalog" ? data : await api("/api/pattern?" + query({ catalog, family, name }));
  drawing.appendChild(window.VdDrawing.draw(data.family, data.code, stored.parameters));
  box.appendChild(drawing);
  root.appendChild(box);
  if (history) root.appendChild(history);
  view().replaceChildren(root);
}

// A history value as a reader takes it in: NULL spelt out, an empty text quoted, dates, bytes and reals JSON has
// no literal for by their text.
function historyValue(v) {
  if (v === null) return "NULL";
  if (typeof v === "object") return String(v.date ?? v.bytes ?? v.real);
  if (v === "" || v === "NULL") return `"${v}"`;
  return String(v);
}

// The row's newest changes, when its catalog keeps a history: who changed what, from which value to which.
function historyBox(data) {
  if (!data.history && !data.history_error && !data.history_later) return null;
  const box = make("div", { "data-role": "history", class: "history" });
  box.appendChild(make("h3", {}, "History"));
  if (!data.history && !data.history_error) {
    box.appendChild(make("p", { class: "note" }, "Reading the history…"));
    return box;
  }
  if (data.history_error) {
    box.appendChild(make("p", { class: "note" }, data.history_error));
    return box;
  }
  if (!data.history.length) {
    box.appendChild(make("p", { class: "note" }, "No change of this pattern is on record."));
    return box;
  }
  const table = make("table");
  table.appendChild(make("tr")).append(make("th", {}, "Change"), make("th", {}, "When"), make("th", {}, "Who"),
                                       make("th", {}, "Kind"), make("th", {}, "Values"));
  for (const e of data.history) {
    const changes = make("td", { class: "changes" });
    changes.textContent = e.columns.map((c) => `${c.column}: ${historyValue(c.before)} → ${historyValue(c.after)}`)
      .join("\n");
    table.appendChild(make("tr", { "data-change": e.id })).append(
      make("td", { class: "number" }, e.id), make("td", {}, e.when.replace("T", " ").replace("Z", " UTC")),
      make("td", {}, e.who), make("td", {}, e.kind), changes);
  }
  box.appendChild(table);
  if (data.history_more)
    box.appendChild(make("p", { class: "note" }, "Older changes: vdcatalog history CATALOG NAME lists them all."));
  return box;
}

// Where the row comes from, and what verify says of its stored properties (in catalog units, 1 % tolerance).
function findingsBox(data) {
  const box = make("div", { "data-role": "findings", class: "findings" });
  const provenance = data.provenance || {};
  const origin = Object.entries(provenance).map(([k, v]) => `${k}: ${v}`).join("; ");
  if (origin) box.appendChild(make("p", { class: "note", "data-role": "provenance" }, origin));
  const findings = data.findings || [];
  if (!provenance.Shape) return box;
  if (!findings.length) {
    box.appendChild(make("p", { class: "note" }, "The stored properties agree with the dimensions."));
    return box;
  }
  const list = make("ul");
  for (const f of findings) {
    const values = "stored" in f ? ` stored ${f.stored}, computed ${Number(f.computed.toPrecision(6))} ` +
      `(${f.difference_pct >= 0 ? "+" : ""}${f.difference_pct.toFixed(2)} %)` : "";
    list.appendChild(make("li", { class: "finding" }, `${f.property}:${values}${f.cause ? ": " + f.cause : ""}`));
  }
  box.appendChild(list);
  return box;
}

// One request: the answer carries the pattern's page, which is shown at once. The address still changes (without
// a hashchange, which would read the page again), so that back and reload work as for any other pattern.
async function search(text) {
  const found = await api("/api/search?" + query({ q: text }));
  const asked = found.via ? found.asked : "";
  const hash = patternHash(found.catalog, found.family, found.name, asked);
  if (!found.pattern) {
    location.hash = hash;
    return;
  }
  if (location.hash !== hash) history.pushState(null, "", hash);
  await showPattern(String(found.catalog), found.family, found.name, asked, "catalog", found.pattern);
}

function showHome() {
  view().replaceChildren(make("p", { class: "note" }, "Choose a family, or find a pattern by name."));
}

async function run(action) {
  try {
    showError("");
    await action();
  } catch (e) {
    showError(e.message);
  }
}

function route() {
  const parts = location.hash.replace(/^#\/?/, "").split("/").map(decodeURIComponent);
  if (parts[0] === "family" && parts.length === 3) return run(() => showFamily(parts[1], parts[2]));
  if (parts[0] === "pattern" && (parts.length === 4 || parts.length === 5))
    return run(() => showPattern(parts[1], parts[2], parts[3], parts[4]));
  showHome();
}

document.addEventListener("DOMContentLoaded", () => run(async () => {
  const session = await api("/api/session");
  state.token = session.token;
  document.getElementById("search-form").addEventListener("submit", (e) => {
    e.preventDefault();
    run(() => search(document.querySelector('[data-role="search"]').value));
  });
  window.addEventListener("hashchange", route);
  await loadCatalogs();
  route();
  document.body.dataset.ready = "true";
}));

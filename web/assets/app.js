"use strict";
// The dashboard: polls the JSON endpoints every second and redraws from their answers.
// Text from recorders is only ever set as textContent.
(function () {
  const kPeriodMs = 1000;
  const kLogLinesKept = 500;
  const kMissedVehiclesShown = 20;  // lists asked for per tick at most
  let token = sessionStorage.getItem("zel-token") || "";
  let lastSeq = 0;

  // A token handed over in the address (#token=... or #recordings?...&token=...) never
  // reaches the server's log. Only the token leaves the address: the view it names stays.
  const fromHash = /(?:^#|[?&])token=([^&]*)/.exec(location.hash);
  if (fromHash) {
    token = decodeURIComponent(fromHash[1]);
    sessionStorage.setItem("zel-token", token);
    const rest = location.hash.replace(/([#?&])token=[^&]*&?/, "$1").replace(/[?&]$/, "");
    history.replaceState(null, "", location.pathname + (rest === "#" ? "" : rest));
  }

  const $ = (id) => document.getElementById(id);

  function el(tag, cls, text) {
    const node = document.createElement(tag);
    if (cls) node.className = cls;
    if (text !== undefined) node.textContent = text;
    return node;
  }

  // Server times are wall-clock seconds: local time counted as if it were UTC.
  function timeText(t) {
    if (!t) return "never";
    return new Date(t * 1000).toISOString().replace("T", " ").slice(0, 19);
  }

  // A window's two ends; the end's date only when it differs from the start's.
  function spanText(tFrom, tTo) {
    const from = timeText(tFrom), to = timeText(tTo);
    return from + " – " + (to.slice(0, 10) === from.slice(0, 10) ? to.slice(11) : to);
  }

  function bytesText(n) {
    if (n === null || n === undefined) return "unknown";
    const units = ["B", "KiB", "MiB", "GiB", "TiB"];
    let i = 0;
    while (n >= 1024 && i + 1 < units.length) { n /= 1024; i++; }
    return (i === 0 ? n : n.toFixed(1)) + " " + units[i];
  }

  // A wait in seconds as a person reads it: "45 s", "12 min", "3 h 5 min", "2 d 4 h".
  function ageText(n) {
    if (n < 60) return n + " s";
    if (n < 3600) return Math.floor(n / 60) + " min";
    if (n < 86400) return Math.floor(n / 3600) + " h " + Math.floor(n % 3600 / 60) + " min";
    return Math.floor(n / 86400) + " d " + Math.floor(n % 86400 / 3600) + " h";
  }

  // The shared database counts an unknown pending count as -1, this depot's answer as null.
  function pendingText(n) {
    return n === null || n === undefined || n < 0 ? "unknown" : n;
  }

  function speedText(kbps) {
    return kbps >= 1024 ? (kbps / 1024).toFixed(1) + " Mbit/s" : kbps + " kbit/s";
  }

  // The counts of a fleet row's missed recordings, "" when there are none.
  function missedText(r) {
    const parts = [];
    if (r.unfetchable) parts.push(r.unfetchable + " unfetchable");
    if (r.left_behind) parts.push(r.left_behind + " left behind");
    if (r.missed_dropped) parts.push(r.missed_dropped + " not listed");
    return parts.join(", ");
  }

  class Unauthorized extends Error {}
  class Forbidden extends Error {}

  // Every call carries the token in its header, writes too: a page elsewhere cannot
  // make the browser send it.
  async function call(method, path, body) {
    const headers = token ? { Authorization: "Bearer " + token } : {};
    const init = { method, headers, cache: "no-store" };
    if (body !== undefined) {
      headers["Content-Type"] = "application/json";
      init.body = JSON.stringify(body);
    }
    const res = await fetch(path, init);
    if (res.status === 401) throw new Unauthorized();
    if (res.status === 403) throw new Forbidden();
    if (!res.ok) {
      let text = path + ": " + res.status;
      try { text = (await res.json()).error || text; } catch (e) { /* not JSON */ }
      throw new Error(text);
    }
    return res.status === 204 ? null : res.json();
  }

  const get = (path) => call("GET", path);

  function showStatus(s) {
    $("s-state").textContent = s.running ? "running" : "stopped";
    $("s-since").textContent = "since " + timeText(s.started_at) + " · version " + s.version;
    $("s-online").textContent = s.online;
    $("s-port").textContent = "control port UDP " + s.control_port;
    $("s-transfers").textContent = s.transfers_active + " active";
    $("s-queued").textContent = s.transfers_queued + " waiting for a slot";
    $("s-disk").textContent = bytesText(s.disk_free_bytes);
    $("s-dir").textContent = s.download_dir;
    showCentral(s.central);
  }

  // How this depot's sending to the shared fleet database stands; the card only
  // when one is configured.
  function showCentral(c) {
    $("central").hidden = !c;
    $("fleet-scope").hidden = !c;
    if (!c) return;
    $("c-depot").textContent = c.depot;
    const link = $("c-link");
    link.textContent = c.connected ? "connected" : "not connected" + (c.last_error ? ": " + c.last_error : "");
    link.className = "sub " + (c.connected ? "good" : "bad");
    const outbox = $("c-outbox");
    if (c.outbox_rows < 0) outbox.textContent = "outbox unreadable";
    else if (c.outbox_rows === 0) outbox.textContent = "outbox 0 rows";
    else outbox.textContent = "outbox " + c.outbox_rows + " rows, oldest waiting " + ageText(c.outbox_oldest_seconds);
    $("c-sent").textContent = c.rows_sent + " rows sent · " + c.rows_rejected + " refused";
  }

  function showVehicles(list) {
    const body = $("vehicles").tBodies[0];
    const rows = list.map((v) => {
      const tr = el("tr", "vehicle");
      tr.dataset.name = v.name;
      tr.dataset.progress = v.progress;
      tr.append(el("td", "", v.name), el("td", "", v.address), el("td", "num", v.channels));
      const bar = el("div", "bar");
      const fill = el("div", "fill");
      fill.style.width = Math.max(0, Math.min(100, v.progress)) + "%";
      bar.append(fill, el("span", "text", v.progress + "%"));
      const cell = el("td");
      cell.append(bar);
      const state = el("td");
      state.append(el("span", "state " + v.state, v.state));
      tr.append(cell, el("td", "num", speedText(v.speed_kbps)), state);
      return tr;
    });
    body.replaceChildren(...rows);
    $("vehicles-empty").hidden = list.length > 0;
  }

  function showFleet(list) {
    const body = $("fleet").tBodies[0];
    let marked = 0;
    const rows = list.map((r) => {
      const tr = el("tr", r.attention.length ? "attention" : "");
      if (r.attention.length) {
        marked++;
        tr.title = r.attention.join("\n");
      }
      tr.dataset.name = r.name;
      const failure = r.last_failure ? timeText(r.last_failure_time) + " " + r.last_failure : "";
      tr.append(
        el("td", "", r.name + (r.online ? " (online)" : "")),
        el("td", "", timeText(r.last_seen)),
        el("td", "num", r.visits),
        el("td", "num", r.files_total),
        el("td", "num", bytesText(r.bytes_total)),
        el("td", "num", r.files_today + " / " + bytesText(r.bytes_today)),
        el("td", "", timeText(r.last_complete_offload)),
        el("td", "num", r.pending === null ? "unknown" : r.pending),
        el("td", "num", missedText(r)),
        el("td", "", failure));
      return tr;
    });
    body.replaceChildren(...rows);
    $("fleet-empty").hidden = list.length > 0;
    $("fleet-marked").textContent = marked ? "· " + marked + " need attention" : "";
  }

  // --- Fleet of all depots -----------------------------------------------------------
  // Read from the shared database: asked for when the mode is chosen, then now and then
  // rather than every tick, as each answer is a query there.
  const kAllDepotsPeriodMs = 5000;
  let fleetScope = "depot";
  let allDepotsAt = 0;
  const opened = new Set();  // vehicles whose depots are shown

  function allDepotsCells(tr, r, first, second) {
    tr.append(
      first, second,
      el("td", "", timeText(r.last_seen)),
      el("td", "num", r.visits),
      el("td", "num", r.files_total),
      el("td", "num", bytesText(r.bytes_total)),
      el("td", "", timeText(r.last_complete_offload)),
      el("td", "num", pendingText(r.pending)));
    return tr;
  }

  function showAllDepots(list) {
    const rows = [];
    for (const v of list) {
      const open = opened.has(v.name);
      const tr = el("tr", "vehicle-all" + (open ? " open" : ""));
      tr.dataset.name = v.name;
      tr.tabIndex = 0;
      tr.title = v.depots.length + (v.depots.length === 1 ? " depot" : " depots") + ": click for each one's figures";
      const toggle = () => {
        if (opened.has(v.name)) opened.delete(v.name); else opened.add(v.name);
        showAllDepots(list);
      };
      tr.addEventListener("click", toggle);
      tr.addEventListener("keydown", (event) => {
        if (event.key === "Enter" || event.key === " ") { event.preventDefault(); toggle(); }
      });
      rows.push(allDepotsCells(tr, v, el("td", "", v.name), el("td", "", v.last_depot)));
      for (const d of v.depots) {
        const sub = el("tr", "depot");
        sub.dataset.name = v.name;
        sub.dataset.depot = d.depot;
        sub.hidden = !open;
        rows.push(allDepotsCells(sub, d, el("td"), el("td", "", d.depot)));
      }
    }
    $("fleet-all").tBodies[0].replaceChildren(...rows);
    $("fleet-all").hidden = false;
    $("fleet-all-error").hidden = true;
    $("fleet-all-empty").hidden = list.length > 0;
  }

  // An answer that cannot be had says why in place of the table.
  function showAllDepotsError(text) {
    $("fleet-all").tBodies[0].replaceChildren();
    $("fleet-all").hidden = true;
    $("fleet-all-empty").hidden = true;
    $("fleet-all-error").textContent = text;
    $("fleet-all-error").hidden = false;
  }

  // The fleet section in the mode chosen, the other one hidden. This depot's own
  // fleet whenever no shared database is configured.
  async function showFleetScope(central) {
    const all = Boolean(central) && fleetScope === "all";
    $("fleet-depot").hidden = all;
    $("fleet-all-depots").hidden = !all;
    $("fleet-marked").hidden = all;
    if (!all || Date.now() - allDepotsAt < kAllDepotsPeriodMs) return;
    allDepotsAt = Date.now();
    try {
      showAllDepots(await get("api/v1/fleet?scope=all"));
    } catch (err) {
      if (err instanceof Unauthorized) throw err;
      showAllDepotsError(err instanceof Forbidden ? "The fleet of all depots is not open to this token." : err.message);
    }
  }

  $("fleet-scope").addEventListener("change", () => {
    fleetScope = $("fleet-scope").value;
    allDepotsAt = 0;
    // The address keeps the mode, so that a reload or a link shows it again.
    history.replaceState(null, "", fleetScope === "all" ? "#status?fleet=all" : "#status");
    showFleetScope(!$("fleet-scope").hidden).catch(() => {});
  });

  // The unfetchable and left-behind recordings of the vehicles that have any, each
  // vehicle's list asked for by the address the fleet answer gives.
  async function showMissed(fleet) {
    const marked = fleet.filter((r) => r.unfetchable || r.left_behind);
    const shown = marked.slice(0, kMissedVehiclesShown);
    // A list that cannot be had leaves only its vehicle's rows out.
    const lists = await Promise.all(shown.map((r) => get(r.missed_url.replace(/^\//, "")).catch((err) => {
      if (err instanceof Unauthorized) throw err;
      return [];
    })));
    const rows = [];
    shown.forEach((r, i) => {
      for (const m of lists[i]) {
        if (m.state === "retrying") continue;
        const tr = el("tr", m.state);
        tr.dataset.name = r.name;
        tr.append(
          el("td", "", r.name),
          el("td", "num", m.channel),
          el("td", "", m.file_name),
          el("td", "", timeText(m.start) + " – " + timeText(m.end).slice(11)),
          el("td", "", m.state === "unfetchable" ? "unfetchable" : "left behind"),
          el("td", "num", m.visits),
          el("td", "", timeText(m.last_missed)),
          el("td", "", m.reason));
        rows.push(tr);
      }
    });
    $("missed").tBodies[0].replaceChildren(...rows);
    $("missed-empty").hidden = rows.length > 0;
    const more = marked.length - shown.length;
    $("missed-more").textContent = more > 0 ? "· " + more + " more vehicles not shown" : "";
  }

  function showLog(lines) {
    const log = $("log");
    const atEnd = log.scrollTop + log.clientHeight >= log.scrollHeight - 4;
    for (const line of lines) {
      const item = el("li");
      item.append(el("time", "", timeText(line.time)), line.vehicle ? line.vehicle + ": " + line.text : line.text);
      log.append(item);
      lastSeq = line.seq;
    }
    while (log.children.length > kLogLinesKept) log.firstChild.remove();
    if (atEnd) log.scrollTop = log.scrollHeight;
  }

  function setLink(text, cls) {
    const link = $("link");
    link.textContent = text;
    link.className = "link " + cls;
  }

  async function tick() {
    try {
      const [status, vehicles, fleet] = await Promise.all(
        [get("api/v1/status"), get("api/v1/vehicles"), get("api/v1/fleet")]);
      showStatus(status);
      showVehicles(vehicles);
      showFleet(fleet);
      await showFleetScope(status.central);
      await showMissed(fleet);
      // The log comes 500 lines at a time: catch up within the tick.
      for (let i = 0; i < 5; i++) {
        const lines = await get("api/v1/log?after=" + lastSeq);
        showLog(lines);
        if (lines.length < 500) break;
      }
      $("login").hidden = true;
      setLink("live · updated " + new Date().toLocaleTimeString(), "live");
    } catch (err) {
      if (err instanceof Unauthorized) {
        $("login").hidden = false;
        setLink(token ? "the token was refused" : "a token is needed", "down");
      } else {
        setLink("server unreachable", "down");
      }
    }
    setTimeout(tick, kPeriodMs);
  }

  // A datetime-local field's value read as server time (wall clock counted as UTC).
  function fieldTime(id) {
    const value = $(id).value;
    if (!value) return 0;
    const t = Date.parse(value + "Z");
    return Number.isNaN(t) ? 0 : Math.floor(t / 1000);
  }

  function showDenied(id, err) {
    if (err instanceof Unauthorized) $("login").hidden = false;
    $(id).hidden = !(err instanceof Forbidden || err instanceof Unauthorized);
  }

  // --- Recordings -------------------------------------------------------------------
  let recNext = "";
  let chosen = null;  // the recording in the player

  function recordingQuery(after) {
    const q = new URLSearchParams();
    if ($("rec-vehicle").value.trim()) q.set("vehicle", $("rec-vehicle").value.trim());
    if ($("rec-channel").value) q.set("channel", $("rec-channel").value);
    if (fieldTime("rec-from")) q.set("from", fieldTime("rec-from"));
    if (fieldTime("rec-to")) q.set("to", fieldTime("rec-to"));
    q.set("limit", "50");
    if (after) q.set("after", after);
    return "api/v1/recordings?" + q.toString();
  }

  function recordingRow(r) {
    const tr = el("tr", r.deleted_at ? "deleted" : "");
    tr.dataset.id = r.id;
    tr.append(
      el("td", "", r.vehicle),
      el("td", "num", r.channel),
      el("td", "", timeText(r.start) + " – " + timeText(r.end).slice(11)),
      el("td", "num", bytesText(r.size)),
      el("td", "", r.deleted_at ? "deleted " + timeText(r.deleted_at) : timeText(r.stored_at)),
      el("td", "hash", r.sha256 ? r.sha256.slice(0, 16) + "…" : "hashing…"));
    if (!r.deleted_at) tr.addEventListener("click", () => play(r, tr));
    return tr;
  }

  async function searchRecordings(more) {
    try {
      const page = await get(recordingQuery(more ? recNext : ""));
      const rows = page.recordings.map(recordingRow);
      const body = $("recordings").tBodies[0];
      if (more) body.append(...rows); else body.replaceChildren(...rows);
      recNext = page.next || "";
      $("rec-more").hidden = !recNext;
      $("rec-empty").hidden = body.rows.length > 0;
      $("rec-denied").hidden = true;
    } catch (err) {
      showDenied("rec-denied", err);
    }
  }

  function play(r, tr) {
    for (const row of $("recordings").tBodies[0].rows) row.classList.remove("chosen");
    tr.classList.add("chosen");
    chosen = r;
    $("player-panel").hidden = false;
    $("player-title").textContent = r.vehicle + " · channel " + r.channel + " · " + timeText(r.start);
    $("player").src = r.content_url;
    $("player-download").href = r.content_url;
    $("player-hash").textContent = r.sha256 || "not hashed yet";
    $("player-verdict").textContent = "";
    $("player-verdict").className = "verdict";
  }

  $("player").addEventListener("loadedmetadata", () => {
    $("player").dataset.duration = String($("player").duration);
  });

  $("player-verify").addEventListener("click", async () => {
    if (!chosen) return;
    const verdict = $("player-verdict");
    verdict.textContent = "verifying…";
    try {
      const v = await call("POST", "api/v1/recordings/" + chosen.id + "/verify");
      verdict.textContent = v.match ? "matches its hash" : "DOES NOT MATCH its hash (" + (v.actual || "missing") + ")";
      verdict.className = "verdict " + (v.match ? "match" : "mismatch");
    } catch (err) {
      verdict.textContent = err instanceof Forbidden ? "verifying needs the footage token" : String(err.message);
    }
  });

  $("rec-filter").addEventListener("submit", (event) => {
    event.preventDefault();
    searchRecordings(false);
  });
  $("rec-more").addEventListener("click", () => searchRecordings(true));

  // --- Requests ---------------------------------------------------------------------
  function requestRow(r) {
    const tr = el("tr");
    tr.dataset.id = r.id;
    const state = el("td");
    state.append(el("span", "state " + r.state, r.state));
    if (r.reasons && r.reasons.length) state.title = r.reasons.join("\n");
    const links = el("td");
    if (r.manifest_url) links.append(Object.assign(el("a", "button", "Manifest"), { href: r.manifest_url }), " ");
    if (r.export_url && r.recording_count)
      links.append(Object.assign(el("a", "button", "Export"), { href: r.export_url }), " ");
    if (r.state === "waiting" || r.state === "fetching" || r.state === "partial") {
      const cancel = el("button", "", "Cancel");
      cancel.type = "button";
      cancel.addEventListener("click", async () => {
        try { await call("DELETE", "api/v1/requests/" + r.id); } catch (err) { $("req-message").textContent = err.message; }
        loadRequests();
      });
      links.append(cancel);
    }
    tr.append(
      el("td", "num", r.id),
      el("td", "", r.vehicle),
      el("td", "", r.channels.length ? r.channels.join(", ") : "all"),
      el("td", "", spanText(r.from, r.to)),
      el("td", "wrap", r.reason),
      el("td", "wrap", r.requested_by + " · " + timeText(r.created_at)),
      state,
      el("td", "num", r.recording_count),
      links);
    return tr;
  }

  async function loadRequests() {
    try {
      const page = await get("api/v1/requests");
      $("requests").tBodies[0].replaceChildren(...page.requests.map(requestRow));
      $("req-empty").hidden = page.requests.length > 0;
      $("req-denied").hidden = true;
    } catch (err) {
      showDenied("req-denied", err);
    }
  }

  $("req-form").addEventListener("submit", async (event) => {
    event.preventDefault();
    const channels = $("req-channels").value.split(/[ ,]+/).filter(Boolean).map(Number);
    try {
      const made = await call("POST", "api/v1/requests", {
        vehicle: $("req-vehicle").value.trim(), channels,
        from: fieldTime("req-from"), to: fieldTime("req-to"), reason: $("req-reason").value });
      $("req-message").textContent = "Request " + made.id + " made.";
      loadRequests();
    } catch (err) {
      showDenied("req-denied", err);
      $("req-message").textContent = err instanceof Forbidden ? "" : err.message;
    }
  });

  // --- Audit ------------------------------------------------------------------------
  let auditNext = "";

  async function loadAudit(more) {
    try {
      const page = await get("api/v1/audit?limit=100" + (more && auditNext ? "&after=" + encodeURIComponent(auditNext) : ""));
      const rows = page.audit.map((a) => {
        const tr = el("tr");
        tr.append(el("td", "", timeText(a.time)), el("td", "", a.client), el("td", "", a.role),
                  el("td", "", a.action), el("td", "", a.object), el("td", "", a.detail));
        return tr;
      });
      const body = $("audit").tBodies[0];
      if (more) body.append(...rows); else body.replaceChildren(...rows);
      auditNext = page.next || "";
      $("audit-more").hidden = !auditNext;
      $("audit-empty").hidden = body.rows.length > 0;
      $("audit-denied").hidden = true;
    } catch (err) {
      showDenied("audit-denied", err);
    }
  }
  $("audit-more").addEventListener("click", () => loadAudit(true));

  // --- Views ------------------------------------------------------------------------
  // The view named in the address (#recordings?vehicle=BUS-1 presets the filter).
  function showView() {
    const [name, query] = (location.hash.replace(/^#/, "") || "status").split("?");
    const view = ["status", "recordings", "requests", "audit"].includes(name) ? name : "status";
    for (const node of document.querySelectorAll(".view")) node.hidden = node.id !== "view-" + view;
    for (const a of document.querySelectorAll("#views a")) a.classList.toggle("current", a.dataset.view === view);
    const preset = new URLSearchParams(query || "");
    if (view === "recordings") {
      if (preset.has("vehicle")) $("rec-vehicle").value = preset.get("vehicle");
      if (preset.has("channel")) $("rec-channel").value = preset.get("channel");
      // play=first opens the first match in the player, so a link can show a clip.
      searchRecordings(false).then(() => {
        const first = $("recordings").tBodies[0].rows[0];
        if (preset.get("play") === "first" && first) first.click();
      });
    } else if (view === "status") {
      // fleet=all opens the fleet of all depots; open=NAME,... shows those vehicles' depots.
      fleetScope = preset.get("fleet") === "all" ? "all" : "depot";
      $("fleet-scope").value = fleetScope;
      allDepotsAt = 0;
      for (const name of (preset.get("open") || "").split(",").filter(Boolean)) opened.add(name);
    } else if (view === "requests") {
      loadRequests();
    } else if (view === "audit") {
      loadAudit(false);
    }
  }
  window.addEventListener("hashchange", showView);
  setInterval(() => { if (!$("view-requests").hidden) loadRequests(); }, 2000);

  $("login").addEventListener("submit", (event) => {
    event.preventDefault();
    token = $("token").value;
    sessionStorage.setItem("zel-token", token);
    $("token").value = "";
    showView();
  });

  showView();
  tick();
})();

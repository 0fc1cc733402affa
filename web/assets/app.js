"use strict";
// The dashboard: polls the JSON endpoints every second and redraws from their answers.
// Text from recorders is only ever set as textContent.
(function () {
  const kPeriodMs = 1000;
  const kLogLinesKept = 500;
  const kMissedVehiclesShown = 20;  // lists asked for per tick at most
  let token = sessionStorage.getItem("zel-token") || "";
  let lastSeq = 0;

  // A token handed over in the address (#token=...) never reaches the server's log.
  const fromHash = /(?:^#|&)token=([^&]*)/.exec(location.hash);
  if (fromHash) {
    token = decodeURIComponent(fromHash[1]);
    sessionStorage.setItem("zel-token", token);
    history.replaceState(null, "", location.pathname);
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

  function bytesText(n) {
    if (n === null || n === undefined) return "unknown";
    const units = ["B", "KiB", "MiB", "GiB", "TiB"];
    let i = 0;
    while (n >= 1024 && i + 1 < units.length) { n /= 1024; i++; }
    return (i === 0 ? n : n.toFixed(1)) + " " + units[i];
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

  async function get(path) {
    const headers = token ? { Authorization: "Bearer " + token } : {};
    const res = await fetch(path, { headers, cache: "no-store" });
    if (res.status === 401) throw new Unauthorized();
    if (!res.ok) throw new Error(path + ": " + res.status);
    return res.json();
  }

  function showStatus(s) {
    $("s-state").textContent = s.running ? "running" : "stopped";
    $("s-since").textContent = "since " + timeText(s.started_at) + " · version " + s.version;
    $("s-online").textContent = s.online;
    $("s-port").textContent = "control port UDP " + s.control_port;
    $("s-transfers").textContent = s.transfers_active + " active";
    $("s-queued").textContent = s.transfers_queued + " waiting for a slot";
    $("s-disk").textContent = bytesText(s.disk_free_bytes);
    $("s-dir").textContent = s.download_dir;
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

  $("login").addEventListener("submit", (event) => {
    event.preventDefault();
    token = $("token").value;
    sessionStorage.setItem("zel-token", token);
    $("token").value = "";
  });

  tick();
})();

// The dexhand dashboard: one card per hand, fed by the server's event stream.
// Every request carries the access token from the page's URL; commands are
// POSTs with the token in a header.
"use strict";

const token = new URLSearchParams(location.search).get("token") || "";
const cards = new Map();  // ip -> card
const HISTORY = 100;      // chart points per joint (10 s at the default poll rate)

function notice(text) {
  const box = document.getElementById("notice");
  box.textContent = text;
  box.hidden = !text;
}

async function api(method, path, body) {
  const options = { method, headers: { "X-Dexhand-Token": token } };
  if (body !== undefined) {
    options.headers["Content-Type"] = "application/json";
    options.body = typeof body === "string" ? body : JSON.stringify(body);
  }
  const response = await fetch(path, options);
  let data = {};
  try { data = await response.json(); } catch (e) { data = { error: response.statusText }; }
  return { status: response.status, ok: response.ok, data };
}

function say(card, reply) {
  const text = reply.ok ? (reply.data.result || "done") : (reply.data.error || ("HTTP " + reply.status));
  card.message.textContent = text;
  card.message.className = "message " + (reply.ok ? "ok" : "error");
  card.message.dataset.status = String(reply.status);
}

// Dark blue through green to yellow: light cells are pressed ones.
const RAMP = [[68, 1, 84], [59, 82, 139], [33, 145, 140], [94, 201, 98], [253, 231, 37]];
function colour(value) {
  const x = Math.max(0, Math.min(255, value)) / 255 * (RAMP.length - 1);
  const i = Math.min(RAMP.length - 2, Math.floor(x));
  const f = x - i;
  return RAMP[i].map((c, k) => Math.round(c + (RAMP[i + 1][k] - c) * f));
}

function drawScale(canvas) {
  const context = canvas.getContext("2d");
  for (let x = 0; x < canvas.width; ++x) {
    const [r, g, b] = colour(x / (canvas.width - 1) * 255);
    context.fillStyle = `rgb(${r},${g},${b})`;
    context.fillRect(x, 0, 1, canvas.height);
  }
}

// A hand's rows of 96 cells are drawn as two lines of 48, as the tool's
// tactile grid does, so that the cells stay large enough to see.
const LINE = 48;
function drawHeatmap(canvas, matrix) {
  const lines = [];
  matrix.forEach((row) => {
    if (row.length > LINE && row.length % LINE === 0) {
      for (let at = 0; at < row.length; at += LINE) lines.push(row.slice(at, at + LINE));
    } else {
      lines.push(row);
    }
  });
  const rows = lines.length;
  const columns = rows ? Math.max(...lines.map((line) => line.length)) : 0;
  if (!rows || !columns) return;
  if (canvas.width !== columns || canvas.height !== rows) {
    canvas.width = columns;
    canvas.height = rows;
    canvas.style.aspectRatio = `${columns} / ${rows * 1.5}`;
  }
  const context = canvas.getContext("2d");
  const image = context.createImageData(columns, rows);
  lines.forEach((line, y) => line.forEach((value, x) => {
    const [r, g, b] = colour(value);
    const at = (y * columns + x) * 4;
    image.data[at] = r; image.data[at + 1] = g; image.data[at + 2] = b; image.data[at + 3] = 255;
  }));
  context.putImageData(image, 0, 0);
}

function format(value) {
  return value === null || value === undefined ? "-" : Number(value).toFixed(3);
}

function makeCard(hand) {
  const node = document.getElementById("hand-card").content.firstElementChild.cloneNode(true);
  node.dataset.ip = hand.ip;
  node.querySelector(".ip").textContent = hand.ip;
  node.querySelector(".identity").textContent = hand.name + (hand.type ? " · " + hand.type : "");
  node.querySelector(".versions").textContent =
      "driver " + (hand.driver_version || "-") + " · hardware " + (hand.hardware_version || "-");
  const card = { hand, node, message: node.querySelector(".message"), rows: [], chart: null, seeded: false };
  const pvc = hand.operations.includes("pvc");
  node.querySelectorAll("th.pvc").forEach((cell) => { cell.hidden = !pvc; });
  const body = node.querySelector("tbody");
  for (let j = 0; j < hand.joints; ++j) {
    const tr = document.createElement("tr");
    tr.innerHTML = `<td>${j}</td><td class="value" data-joint="${j}">-</td><td class="bar"><div></div></td>` +
        `<td class="velocity" ${pvc ? "" : "hidden"}>-</td><td class="current" ${pvc ? "" : "hidden"}>-</td>` +
        `<td><input class="slider" type="range" min="${hand.low}" max="${hand.high}" step="any"` +
        ` value="${hand.low}" data-joint="${j}"> <span class="target-value"></span></td>` +
        `<td><input class="hold" type="checkbox" data-joint="${j}" title="leave this joint where it is (-1)"></td>`;
    const row = {
      value: tr.querySelector(".value"), bar: tr.querySelector(".bar div"),
      velocity: tr.querySelector(".velocity"), current: tr.querySelector(".current"),
      slider: tr.querySelector(".slider"), shown: tr.querySelector(".target-value"), hold: tr.querySelector(".hold"),
    };
    const show = () => { row.shown.textContent = Number(row.slider.value).toFixed(3); };
    row.slider.addEventListener("input", show);
    // Releasing a slider moves that joint alone; the others hold.
    row.slider.addEventListener("change", () => {
      show();
      const positions = card.rows.map((other, k) => (k === j ? Number(row.slider.value) : -1));
      move(card, positions);
    });
    card.rows.push(row);
    body.appendChild(tr);
    show();
  }
  node.querySelector(".go").addEventListener("click", () => {
    move(card, card.rows.map((row) => (row.hold.checked ? -1 : Number(row.slider.value))));
  });
  node.querySelectorAll("button.op").forEach((button) => {
    const op = button.dataset.op;
    button.hidden = !hand.operations.includes(op);
    button.addEventListener("click", async () => {
      if (op === "reboot" && !confirm("Reboot " + hand.ip + "?")) return;
      say(card, await api("POST", `api/hands/${hand.ip}/${op}`, {}));
    });
  });
  node.querySelector(".state-heading").hidden =
      !["enable", "disable", "reboot", "calibrate"].some((op) => hand.operations.includes(op));
  node.querySelector(".config-read").addEventListener("click", () => readConfig(card));
  node.querySelector(".config-write").addEventListener("click", async () => {
    say(card, await api("POST", `api/hands/${hand.ip}/config`, node.querySelector(".config").value));
  });
  if (hand.operations.includes("tactile")) {
    node.querySelector(".tactile").hidden = false;
    drawScale(node.querySelector(".scale-bar"));
  }
  if (window.Chart) {
    card.chart = new Chart(node.querySelector(".chart"), {
      type: "line",
      data: {
        labels: [],
        datasets: card.rows.map((row, j) => ({
          label: String(j), data: [], borderWidth: 1.5, pointRadius: 0,
          borderColor: `hsl(${(j * 360) / hand.joints}, 70%, 45%)`,
        })),
      },
      options: {
        animation: false, responsive: true, maintainAspectRatio: false,
        scales: { x: { display: false }, y: { suggestedMin: hand.low, suggestedMax: hand.high } },
        plugins: { legend: { display: hand.joints <= 6, position: "right", labels: { boxWidth: 10 } } },
      },
    });
  }
  document.getElementById("hands").appendChild(node);
  cards.set(hand.ip, card);
  readConfig(card);
}

async function move(card, positions) {
  const fast = card.node.querySelector(".fast").checked;
  say(card, await api("POST", `api/hands/${card.hand.ip}/move`, { positions, fast }));
}

async function readConfig(card) {
  const reply = await api("GET", `api/hands/${card.hand.ip}/config`);
  if (!reply.ok) { say(card, reply); return; }
  let text = reply.data.config;
  try { text = JSON.stringify(JSON.parse(text), null, 2); } catch (e) { /* not JSON: shown as it came */ }
  card.node.querySelector(".config").value = text;
}

function update(card, state) {
  const { hand, node } = card;
  node.classList.toggle("silent", !state.answering);
  node.dataset.polls = String(state.polls);
  const status = node.querySelector(".status");
  if (state.answering) {
    status.textContent = "answering";
  } else if (state.since_answer === null) {
    status.textContent = "no answer yet";
  } else {
    status.textContent = `no answer for ${state.since_answer.toFixed(1)} s`;
  }
  const span = hand.high - hand.low;
  state.positions.forEach((value, j) => {
    const row = card.rows[j];
    if (!row) return;
    row.value.textContent = format(value);
    row.bar.style.width = `${Math.max(0, Math.min(100, ((value - hand.low) / span) * 100))}%`;
    if (state.velocities) row.velocity.textContent = format(state.velocities[j]);
    if (state.currents) row.current.textContent = format(state.currents[j]);
  });
  // The sliders start where the joints are.
  if (!card.seeded && state.positions.length === card.rows.length) {
    card.seeded = true;
    card.rows.forEach((row, j) => {
      row.slider.value = String(state.positions[j]);
      row.slider.dispatchEvent(new Event("input"));
    });
  }
  if (card.chart && state.answering && state.positions.length) {
    const data = card.chart.data;
    data.labels.push("");
    data.datasets.forEach((set, j) => set.data.push(state.positions[j]));
    if (data.labels.length > HISTORY) {
      data.labels.shift();
      data.datasets.forEach((set) => set.data.shift());
    }
    card.chart.update("none");
  }
  if (state.matrix) drawHeatmap(node.querySelector(".heatmap"), state.matrix);
  if (state.errors) {
    const errors = node.querySelector(".errors");
    const bad = state.errors.some((code) => code !== 0);
    errors.textContent = bad ? state.errors.map((code) => "0x" + (code >>> 0).toString(16)).join(" ")
                             : `none (${state.errors.length} codes, all 0)`;
    errors.classList.toggle("bad", bad);
  }
  if (state.calibration) {
    const c = state.calibration;
    node.querySelector(".calibration").textContent =
        c.state === "running" ? `calibrating… ${c.seconds.toFixed(1)} s` : `calibration: ${c.state} after ${c.seconds.toFixed(1)} s`;
  }
}

async function start() {
  if (!token) {
    notice("This page needs the access token: open the URL that dexhand serve printed (it ends in ?token=...).");
    return;
  }
  const reply = await api("GET", "api/hands");
  if (!reply.ok) {
    notice(reply.data.error || "the dashboard refused this page");
    return;
  }
  reply.data.hands.forEach(makeCard);
  const connection = document.getElementById("connection");
  const events = new EventSource("events?token=" + encodeURIComponent(token));
  events.onopen = () => { connection.textContent = "live"; };
  events.onerror = () => { connection.textContent = "reconnecting…"; };
  events.onmessage = (event) => {
    const data = JSON.parse(event.data);
    data.hands.forEach((state) => {
      const card = cards.get(state.ip);
      if (card) update(card, state);
    });
  };
  // A closed tab ends its stream at once instead of at the server's next write.
  window.addEventListener("pagehide", () => events.close());
}

start();

// The dexhand dashboard: one card per hand, fed by the server's event stream.
// The page never holds the access token: the server swapped the printed URL's
// token for an HttpOnly cookie, which every same-origin request carries.
// Controls stay disabled until a hand's first live state, and while it is
// silent or the stream is down; sliders follow the hand until touched.
"use strict";

const cards = new Map();  // ip -> card
const HISTORY = 100;      // chart points per joint (10 s at the default poll rate)
const RELEASE_MS = 500;   // a slider sends once it has been left alone this long
let live = false;         // the event stream delivers

function notice(text) {
  const box = document.getElementById("notice");
  box.textContent = text;
  box.hidden = !text;
}

async function api(method, path, body) {
  const options = { method, headers: {}, credentials: "same-origin" };
  if (body !== undefined) {
    options.headers["Content-Type"] = "application/json";
    options.body = typeof body === "string" ? body : JSON.stringify(body);
  }
  try {
    const response = await fetch(path, options);
    let data = {};
    try { data = await response.json(); } catch (e) { data = { error: response.statusText }; }
    return { status: response.status, ok: response.ok, data };
  } catch (e) {
    return { status: 0, ok: false, data: { error: "the dashboard did not answer (stopped?)" } };
  }
}

function say(element, reply, success) {
  const text = reply.ok ? (success || reply.data.result || "done") : (reply.data.error || ("HTTP " + reply.status));
  element.textContent = text;
  element.className = element.className.replace(/ (ok|error)$/, "") + (reply.ok ? " ok" : " error");
  element.dataset.status = String(reply.status);
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

function format(value, digits) {
  return value === null || value === undefined ? "-" : Number(value).toFixed(digits === undefined ? 3 : digits);
}

// What the library reports, read as far as its documentation decodes it.
function errorText(hand, code) {
  if (code === 0) return null;
  if (hand.name === "qmhv2" && code === 4294967295) return "calibrating";
  if (hand.name === "qmhv1") {
    const group = Math.floor(code / 256), low = code % 256;
    return `group ${group} flags 0x${low.toString(16)}`;
  }
  return "0x" + (code >>> 0).toString(16);
}

// Configuration writes that change where the hand is reached.
const ADDRESS_KEYS = ["ip", "address", "netmask", "mask", "gateway", "port", "mac", "dhcp"];
function changesAddress(text) {
  try {
    const config = JSON.parse(text);
    return Object.keys(config).some((key) => ADDRESS_KEYS.some((word) => key.toLowerCase().includes(word)));
  } catch (e) { return false; }
}

const CONFIRM = {
  calibrate: (ip) => `Calibrate ${ip}? Its joints travel their full range for some seconds.`,
  disable: (ip) => `Disable the motors of ${ip}? The joints go limp.`,
  reboot: (ip) => `Reboot ${ip}? It stops answering for a while.`,
};

function setEnabled(card) {
  const usable = live && card.answering && !card.calibrating;
  card.node.querySelectorAll(".control").forEach((control) => { control.disabled = !usable; });
  card.rows.forEach((row) => { row.slider.disabled = !usable; row.hold.disabled = !usable; });
  document.getElementById("stop").disabled = !live;
}

function untouch(card) {
  card.rows.forEach((row) => { row.touched = false; row.tr.classList.remove("touched"); });
}

function makeCard(hand) {
  const node = document.getElementById("hand-card").content.firstElementChild.cloneNode(true);
  const serves = (op) => hand.operations.includes(op);
  node.dataset.ip = hand.ip;
  node.querySelector(".ip").textContent = hand.ip;
  node.querySelector(".identity").textContent = hand.name + (hand.type ? " · " + hand.type : "");
  node.querySelector(".versions").textContent = "driver " + (hand.driver_version || "-") + " · hardware " +
      (hand.hardware_version || "-") + (hand.serial_number ? " · serial " + hand.serial_number : "");
  node.querySelector(".position-head").textContent = `position (${hand.unit})`;
  const card = { hand, node, rows: [], chart: null, answering: false, calibrating: false, timer: null };
  const pvc = serves("read_velocities");
  node.querySelectorAll("th.pvc").forEach((cell) => { cell.hidden = !pvc; });
  node.querySelector(".fast-label").hidden = !serves("fast_set_positions");
  const moveResult = node.querySelector(".move-result");
  const body = node.querySelector("tbody");
  const digits = hand.unit === "degree" ? 1 : 3;
  for (let j = 0; j < hand.joints; ++j) {
    const tr = document.createElement("tr");
    tr.innerHTML = `<td title="${hand.joint_names[j] || ""}">${j}</td><td class="value">-</td><td class="bar"><div></div></td>` +
        `<td class="velocity" ${pvc ? "" : "hidden"}>-</td><td class="current" ${pvc ? "" : "hidden"}>-</td>` +
        `<td><input class="slider" type="range" min="${hand.low}" max="${hand.high}" step="any"` +
        ` value="${hand.low}" data-joint="${j}" disabled aria-label="target of joint ${j}">` +
        ` <span class="target-value"></span></td>` +
        `<td><input class="hold" type="checkbox" data-joint="${j}" disabled title="leave this joint where it is (${hand.hold})"></td>`;
    const row = {
      tr, value: tr.querySelector(".value"), bar: tr.querySelector(".bar div"),
      velocity: tr.querySelector(".velocity"), current: tr.querySelector(".current"),
      slider: tr.querySelector(".slider"), shown: tr.querySelector(".target-value"), hold: tr.querySelector(".hold"),
      touched: false,
    };
    row.show = () => { row.shown.textContent = format(row.slider.value, digits); };
    row.slider.addEventListener("input", () => {
      row.touched = true;
      tr.classList.add("touched");
      row.show();
      clearTimeout(card.timer);  // still moving: nothing is sent yet
    });
    // Released (mouse) or a key press (keyboard): one command once the
    // person has let the slider be for a moment, for that joint alone.
    row.slider.addEventListener("change", () => {
      clearTimeout(card.timer);
      card.timer = setTimeout(() => {
        const positions = card.rows.map((other, k) => (k === j ? Number(row.slider.value) : hand.hold));
        move(card, positions);
      }, RELEASE_MS);
    });
    card.rows.push(row);
    body.appendChild(tr);
    row.show();
  }
  // "go" sends what the sliders show: touched targets; untouched sliders show
  // where the joint is, and hold it there.
  node.querySelector(".go").addEventListener("click", () => {
    move(card, card.rows.map((row) => (row.hold.checked || !row.touched ? hand.hold : Number(row.slider.value))));
  });
  node.querySelector(".follow").addEventListener("click", () => untouch(card));
  node.querySelectorAll("button.op").forEach((button) => {
    const op = button.dataset.op;
    const operation = op === "clear-errors" ? "clear_error_codes" : op;
    button.hidden = !serves(operation);
    const result = op === "clear-errors" ? node.querySelector(".errors-result") : node.querySelector(".state-result");
    button.addEventListener("click", async () => {
      if (CONFIRM[op] && !confirm(CONFIRM[op](hand.ip))) return;
      result.textContent = "…";
      const reply = await api("POST", `api/hands/${hand.ip}/${op}`, {});
      say(result, reply);
      if (op === "calibrate" && reply.ok) untouch(card);
    });
  });
  node.querySelector(".state-heading").hidden = !["enable", "disable", "reboot", "calibrate"].some(serves);
  const configResult = node.querySelector(".config-result");
  node.querySelector(".config-read").addEventListener("click", () => readConfig(card));
  node.querySelector(".config-write").addEventListener("click", async () => {
    const text = node.querySelector(".config").value;
    if (changesAddress(text) &&
        !confirm(`This configuration changes how ${hand.ip} is reached; the dashboard may lose it. Write it?`)) return;
    say(configResult, await api("POST", `api/hands/${hand.ip}/config`, text));
  });
  node.querySelector(".config-read").hidden = !serves("read_config");
  node.querySelector(".config-write").hidden = !serves("write_config");
  if (serves("read_tactile")) {
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
        scales: { x: { display: false }, y: { suggestedMin: hand.low, suggestedMax: hand.high,
                                               title: { display: true, text: hand.unit } } },
        plugins: { legend: { display: hand.joints <= 6, position: "right", labels: { boxWidth: 10 } } },
      },
    });
  }
  document.getElementById("hands").appendChild(node);
  cards.set(hand.ip, card);
  setEnabled(card);
}

async function move(card, positions) {
  const fast = card.node.querySelector(".fast").checked;
  const result = card.node.querySelector(".move-result");
  result.textContent = "…";
  const reply = await api("POST", `api/hands/${card.hand.ip}/move`, { positions, fast });
  say(result, reply);
  if (reply.ok) untouch(card);  // the hand moves: the sliders follow it again
}

async function readConfig(card) {
  const result = card.node.querySelector(".config-result");
  const reply = await api("GET", `api/hands/${card.hand.ip}/config`);
  if (!reply.ok) { say(result, reply); return; }
  let text = reply.data.config;
  try { text = JSON.stringify(JSON.parse(text), null, 2); } catch (e) { /* not JSON: shown as it came */ }
  card.node.querySelector(".config").value = text;
  say(result, reply, "read");
}

function update(card, state) {
  const { hand, node } = card;
  const first = !card.answering && state.answering && !card.seen;
  card.seen = card.seen || state.answering;
  card.answering = state.answering;
  node.classList.toggle("waiting", !card.seen);
  node.classList.toggle("silent", card.seen && !state.answering);
  node.dataset.polls = String(state.polls);
  const status = node.querySelector(".status");
  if (state.answering) {
    status.textContent = "answering";
  } else if (state.since_answer === null) {
    status.textContent = "no answer yet";
  } else {
    status.textContent = `no answer for ${state.since_answer.toFixed(1)} s`;
  }
  const motors = node.querySelector(".motors");
  motors.textContent = "motors: " + state.motors;
  motors.className = "motors " + state.motors;
  const span = hand.high - hand.low;
  state.positions.forEach((value, j) => {
    const row = card.rows[j];
    if (!row) return;
    row.value.textContent = format(value, hand.unit === "degree" ? 1 : 3) + (hand.unit === "degree" ? "°" : "");
    row.bar.style.width = `${Math.max(0, Math.min(100, ((value - hand.low) / span) * 100))}%`;
    if (state.velocities) row.velocity.textContent = format(state.velocities[j]);
    if (state.currents) row.current.textContent = format(state.currents[j]);
    // Untouched sliders show where the joint is.
    if (!row.touched && state.answering) {
      row.slider.value = String(value);
      row.show();
    }
  });
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
    const texts = state.errors.map((code) => errorText(hand, code)).filter((text) => text !== null);
    errors.textContent = texts.length ? texts.join(", ") : `none (${state.errors.length} codes, all 0)`;
    errors.title = "raw codes: " + state.errors.join(" ");
    errors.classList.toggle("bad", texts.length > 0);
  }
  const calibrating = state.calibration && state.calibration.state === "running";
  if (card.calibrating && !calibrating) untouch(card);  // calibration moved the joints
  card.calibrating = Boolean(calibrating);
  if (state.calibration) {
    const c = state.calibration;
    node.querySelector(".calibration").textContent =
        c.state === "running" ? `calibrating… ${c.seconds.toFixed(1)} s` : `calibration: ${c.state} after ${c.seconds.toFixed(1)} s`;
  }
  if (first || card.usable !== (live && card.answering && !card.calibrating)) {
    card.usable = live && card.answering && !card.calibrating;
    setEnabled(card);
  }
}

function setLive(value, text) {
  live = value;
  const connection = document.getElementById("connection");
  connection.textContent = text;
  connection.classList.toggle("down", !value);
  cards.forEach((card) => { card.usable = undefined; setEnabled(card); });
}

// The stream reconnects with back-off, also when every stream place was
// taken (the server then answers 503 and the browser gives up by itself).
function connect(delay) {
  const events = new EventSource("events");
  let opened = false;
  events.onopen = () => { opened = true; setLive(true, "live"); };
  events.onerror = () => {
    events.close();
    const next = opened ? 1000 : Math.min(30000, delay * 2);
    setLive(false, `disconnected; trying again in ${Math.round(next / 1000)} s`);
    setTimeout(() => connect(next), next);
  };
  events.onmessage = (event) => {
    const data = JSON.parse(event.data);
    data.hands.forEach((state) => {
      const card = cards.get(state.ip);
      if (card) update(card, state);
    });
  };
  // A closed tab ends its stream at once instead of at the server's next write.
  window.addEventListener("pagehide", () => events.close(), { once: true });
}

async function stopAll() {
  const result = document.getElementById("stop-result");
  result.textContent = "…";
  const reply = await api("POST", "api/stop", {});
  const missed = (reply.data.not_reached || []).map((hand) => `${hand.ip} (${hand.reason})`);
  if (reply.ok) {
    say(result, reply, `every hand holds (${reply.data.held.length})`);
  } else {
    say(result, reply, "");
    result.textContent = missed.length ? "could not hold: " + missed.join("; ") : (reply.data.error || "stop failed");
  }
  cards.forEach(untouch);
}

async function start() {
  document.getElementById("stop").addEventListener("click", stopAll);
  const reply = await api("GET", "api/hands");
  if (!reply.ok) {
    notice(reply.status === 401 ? "This page needs the access token: open the URL that dexhand serve printed."
                                : (reply.data.error || "the dashboard refused this page"));
    setLive(false, "not connected");
    return;
  }
  reply.data.hands.forEach(makeCard);
  if (reply.data.skipped && reply.data.skipped.length) {
    const box = document.getElementById("skipped");
    box.textContent = "Left out: " + reply.data.skipped.map((d) => `${d.ip} (${d.name} ${d.type}): ${d.reason}`).join("; ");
    box.hidden = false;
  }
  connect(1000);
}

start();

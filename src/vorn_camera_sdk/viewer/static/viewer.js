// The viewer page: the picture (a multipart JPEG stream), an overlay polled
// from /status, the camera's facts, and either the controls panel (a live
// camera) or this page's own playback of a recording: timeline, pause, frame
// steps, speed and loop.
"use strict";

const $ = (id) => document.getElementById(id);
const widgets = {};  // control name -> {input, readback, row, control}

async function request(path, body) {
  const options = body === undefined ? {} : {
    method: "POST", headers: {"Content-Type": "application/json"}, body: JSON.stringify(body),
  };
  const answer = await fetch(path, options);
  const payload = await answer.json();
  if (!answer.ok) throw new Error(payload.error || answer.statusText);
  return payload;
}

function say(text) { $("message").textContent = text || ""; }

function row(table, name, value) {
  const tr = table.insertRow();
  const th = document.createElement("th");
  th.textContent = name;
  tr.appendChild(th);
  tr.insertCell().textContent = value;
}

function showCamera(camera) {
  $("title").textContent = `${camera.model_name || "VORN camera"} ${camera.serial}`;
  const facts = $("facts");
  row(facts, "Serial", camera.serial);
  row(facts, "Model", camera.model_name);
  row(facts, "SKU", camera.sku);
  row(facts, "Mode", `${camera.mode}${camera.stereo ? " stereo" : ""}`);
  if (camera.baseline_mm !== null) row(facts, "Baseline", `${camera.baseline_mm.toFixed(2)} mm`);
  const cal = $("calibration");
  if (camera.views.length) {
    const head = cal.createTHead().insertRow();
    for (const title of ["view", "fx", "fy", "cx", "cy", "size"]) {
      const th = document.createElement("th");
      th.textContent = title;
      head.appendChild(th);
    }
    for (const v of camera.views) {
      const tr = cal.insertRow();
      tr.className = "view-" + v.role;
      for (const cell of [v.role, v.fx.toFixed(2), v.fy.toFixed(2), v.cx.toFixed(2), v.cy.toFixed(2),
                          `${v.width}x${v.height}`]) {
        tr.insertCell().textContent = cell;
      }
    }
  }
  const lens = $("lens");
  for (const v of camera.views) {
    const terms = ["k1", "k2", "p1", "p2", "k3", "k4", "k5", "k6"].map((k) => `${k} ${v[k].toPrecision(4)}`);
    row(lens, `${v.role} distortion`, terms.join("  "));
    const rotation = v.rotation.map((r) => r.map((x) => x.toFixed(5)).join(" ")).join(" | ");
    row(lens, `${v.role} pose`, `R ${rotation}  t ${v.translation.map((x) => x.toFixed(4)).join(" ")} m`);
  }
  stereo = camera.stereo;
  $("label-left").hidden = $("label-right").hidden = !camera.stereo;
}

// Views: the camera's picture side by side, the rectified pair with guide
// lines, or depth with its legend and the distance under the pointer (a
// click keeps reading at that point; another click lets go).
let view = "picture";
let stereo = false;
let kept = null;       // {x, y} fractions of the picture: the point a click keeps reading
let pointed = null;    // the pointer's last point on the picture
let asking = false;    // a reading on its way

function streamUrl() {
  const query = [];
  if (player) query.push(`player=${player}`);
  if (view !== "picture") query.push(`view=${view}`);
  return "/stream.mjpg" + (query.length ? "?" + query.join("&") : "");
}

function setUpViews(views) {
  if (views.length < 2) return;
  const names = {picture: "side by side", rectified: "rectified", depth: "depth"};
  const pick = $("view");
  for (const name of views) {
    const option = document.createElement("option");
    option.value = name;
    option.textContent = names[name] || name;
    pick.appendChild(option);
  }
  $("view-pick").hidden = false;
  pick.addEventListener("change", () => setView(pick.value));
}

function setView(name) {
  view = name;
  kept = null;
  $("depth-legend").hidden = name !== "depth";
  $("stream").classList.toggle("depth", name === "depth");
  $("label-left").hidden = $("label-right").hidden = !stereo || name === "depth";
  $("stream").src = streamUrl();
}

function pointOf(event) {
  const img = $("stream");
  if (!img.naturalWidth) return null;
  const box = img.getBoundingClientRect();
  const scale = Math.min(box.width / img.naturalWidth, box.height / img.naturalHeight);
  const width = img.naturalWidth * scale, height = img.naturalHeight * scale;
  const x = (event.clientX - box.left - (box.width - width) / 2) / width;
  const y = (event.clientY - box.top - (box.height - height) / 2) / height;
  return x >= 0 && x <= 1 && y >= 0 && y <= 1 ? {x, y} : null;
}

async function readDepth(point) {
  if (asking || !point || view !== "depth") return;
  asking = true;
  try {
    const r = await request(`/depth?x=${point.x.toFixed(4)}&y=${point.y.toFixed(4)}` + (player ? `&player=${player}` : ""));
    $("legend-near").textContent = `${r.near.toFixed(2)} m`;
    $("legend-far").textContent = `${r.far.toFixed(2)} m`;
    $("legend-bar").style.background = `linear-gradient(to right, ${r.stops.map((s) => s[1]).join(", ")})`;
    const where = kept ? " (kept: click to let go)" : "";
    $("reading").textContent = (r.distance === null ? "no depth here" : `${r.distance.toFixed(3)} m`) + where;
    document.body.dataset.distance = r.distance === null ? "" : String(r.distance);
  } catch (err) {
    $("reading").textContent = err.message;
  } finally {
    asking = false;
  }
}

$("stream").addEventListener("mousemove", (event) => {
  pointed = pointOf(event);
  if (!kept) readDepth(pointed);
});
$("stream").addEventListener("click", (event) => {
  if (view !== "depth") return;
  kept = kept ? null : pointOf(event);
  readDepth(kept || pointOf(event));
});
// The scene moves under a still pointer: read again now and then.
setInterval(() => readDepth(kept || pointed || {x: 0.5, y: 0.5}), 700);

// The picture is letterboxed in its pane: the view labels and the overlay
// follow the picture itself, not the pane.
function placeLabels() {
  const img = $("stream");
  if (!img.naturalWidth) return;
  const scale = Math.min(img.clientWidth / img.naturalWidth, img.clientHeight / img.naturalHeight);
  const width = img.naturalWidth * scale, height = img.naturalHeight * scale;
  const left = img.offsetLeft + (img.clientWidth - width) / 2, top = img.offsetTop + (img.clientHeight - height) / 2;
  $("label-left").style.left = `${left + 6}px`;
  $("label-right").style.left = `${left + width / 2 + 6}px`;
  for (const id of ["label-left", "label-right"]) $(id).style.top = `${top + 6}px`;
  $("overlay").style.right = `${img.clientWidth - (left - img.offsetLeft) - width + 6}px`;
  $("overlay").style.bottom = `${img.clientHeight - (top - img.offsetTop) - height + 6}px`;
}

function controlWidget(control) {
  const rowDiv = document.createElement("div");
  rowDiv.className = "control";
  rowDiv.id = "control-" + control.name;
  const label = document.createElement("label");
  label.textContent = control.label + (control.unit ? ` (${control.unit})` : "");
  label.htmlFor = "input-" + control.name;
  let input;
  if (control.kind === "enum") {
    input = document.createElement("select");
    for (const [value, text] of control.options) {
      const option = document.createElement("option");
      option.value = value;
      option.textContent = text;
      input.appendChild(option);
    }
  } else {
    input = document.createElement("input");
    if (control.kind === "boolean") {
      input.type = "checkbox";
    } else {
      input.type = "range";
      input.min = control.min;
      input.max = control.max;
      input.step = control.step;
    }
  }
  input.id = "input-" + control.name;
  input.name = control.name;
  const readback = document.createElement("span");
  readback.className = "readback";
  readback.id = "value-" + control.name;
  input.addEventListener("change", () => {
    const value = input.type === "checkbox" ? (input.checked ? 1 : 0) : Number(input.value);
    change(control.name, value);
  });
  rowDiv.append(label, input, readback);
  widgets[control.name] = {input, readback, row: rowDiv, control};
  return rowDiv;
}

function showControls(state) {
  for (const [name, w] of Object.entries(widgets)) {
    const value = state.values[name];
    const unit = w.control.unit ? " " + w.control.unit : "";
    if (value === null || value === undefined) {
      w.readback.textContent = "n/a";
    } else {
      if (w.input.type === "checkbox") w.input.checked = value !== 0;
      else w.input.value = value;
      const option = w.control.options.find(([v]) => v === value);
      w.readback.textContent = option ? option[1] : value + unit;
    }
    w.input.disabled = !!state.disabled[name];
    w.row.classList.toggle("disabled", w.input.disabled);
    w.input.title = w.input.disabled ? `set by ${w.control.auto_companion}` : "";
  }
}

async function change(name, value) {
  try {
    const state = await request("/controls", {name, value});
    showControls(state);
    say(state.ok ? "" : `the camera refused ${name} = ${value}`);
  } catch (err) {
    say(err.message);
  }
}

async function setUpControls(controls) {
  if (!controls.length) return;
  $("controls-pane").hidden = false;
  const form = $("controls");
  for (const control of controls) form.appendChild(controlWidget(control));
  showControls(await request("/controls"));
  $("reset").addEventListener("click", async () => {
    const state = await request("/controls/reset", {});
    showControls(state);
    say(state.ok ? "controls reset" : `not reset: ${state.refused.join(", ")}`);
  });
}

let player = null;      // this page's playback of a recording (its own position, pause, speed)
let dragging = false;   // the timeline is being dragged: its knob is the user's, not the status's
let seeking = null;     // a seek on its way, and the next one to send
let nextSeek = null;

function clock(seconds) {
  if (seconds === null || seconds === undefined) return "–";
  const minutes = Math.floor(seconds / 60);
  return `${minutes}:${(seconds - minutes * 60).toFixed(3).padStart(6, "0")}`;
}

async function newPlayer() {
  const s = await request("/players", {});
  player = s.player;
  $("timeline").max = s.duration;
  $("duration").textContent = clock(s.duration);
  $("stream").src = streamUrl();
  return s;
}

async function play(action, value) {
  try {
    showStatus(await request("/playback", {player, action, value}));
  } catch (err) {
    say(err.message);
  }
}

function seek(seconds) {
  // One seek on its way at a time; while dragging, only the newest position is sent next.
  nextSeek = seconds;
  if (seeking) return;
  seeking = (async () => {
    while (nextSeek !== null) {
      const at = nextSeek;
      nextSeek = null;
      await play("seek", at);
    }
    seeking = null;
  })();
}

function setUpPlayback(speeds) {
  $("playback").hidden = false;
  for (const speed of speeds) {
    const option = document.createElement("option");
    option.value = speed;
    option.textContent = `${speed}×`;
    option.selected = speed === 1;
    $("speed").appendChild(option);
  }
  $("pause").addEventListener("click", () => play($("pause").dataset.paused === "1" ? "play" : "pause"));
  $("restart").addEventListener("click", () => play("restart"));
  $("step-back").addEventListener("click", () => play("step", -1));
  $("step-forward").addEventListener("click", () => play("step", 1));
  $("speed").addEventListener("change", () => play("speed", Number($("speed").value)));
  $("loop").addEventListener("change", () => play("loop", $("loop").checked));
  const timeline = $("timeline");
  timeline.addEventListener("pointerdown", () => { dragging = true; });
  timeline.addEventListener("input", () => {
    $("position").textContent = clock(Number(timeline.value));
    seek(Number(timeline.value));
  });
  timeline.addEventListener("change", () => { dragging = false; seek(Number(timeline.value)); });
  timeline.addEventListener("pointerup", () => { dragging = false; });
}

const AWAY = {
  waiting: "waiting for the camera's first frame…",
  reconnecting: "camera disconnected – reconnecting…",
  stalled: "the camera sends no frames",
  disconnected: "camera disconnected",
};

function showStatus(s) {
  $("fps").textContent = `${s.fps.toFixed(1)} fps`;
  $("age").textContent = s.age_ms === null ? (s.time === null ? "" : `t=${s.time.toFixed(2)} s`)
                                           : `age ${s.age_ms.toFixed(0)} ms`;
  $("lost").textContent = `${s.lost} lost`;
  $("state").textContent = s.error ? "error: " + s.error : s.paused ? "paused" : s.ended ? "ended" : "";
  const away = AWAY[s.state];
  $("banner").hidden = !away;
  $("banner").textContent = away ? away + (s.state === "disconnected" && s.error ? `: ${s.error}` : "") : "";
  document.body.dataset.state = s.state || "";
  if (player) {
    $("pause").dataset.paused = s.paused ? "1" : "0";
    $("pause").textContent = s.paused ? "Play" : "Pause";
    $("loop").checked = s.loop;
    $("speed").value = String(s.speed);
    if (!dragging && s.time !== null) {
      $("timeline").value = s.time;
      $("position").textContent = clock(s.time);
    }
    document.body.dataset.time = s.time === null ? "" : s.time;
  }
  document.body.dataset.frames = s.frames;
  placeLabels();
}

async function poll() {
  try {
    showStatus(await request(player ? `/status?player=${player}` : "/status"));
  } catch (err) {
    if (player && /no such player/.test(err.message)) {
      await newPlayer().catch((e) => say(e.message));  // the page slept past its player: a new one
    } else {
      say(err.message);
    }
  }
  setTimeout(poll, 300);
}

async function main() {
  addEventListener("resize", placeLabels);
  if (new URLSearchParams(location.search).has("token")) {
    // The token now lives in the viewer's cookie: out of the address bar and the history.
    history.replaceState(null, "", location.pathname);
  }
  const info = await request("/info");
  $("kind").textContent = info.kind === "live" ? "live camera" : "recording";
  showCamera(info.camera);
  setUpViews(info.views);
  await setUpControls(info.controls);
  $("snapshot").addEventListener("click", () => {
    const link = document.createElement("a");
    link.href = player ? `/snapshot.zip?player=${player}` : "/snapshot.zip";
    link.download = "";
    link.click();
  });
  if (info.kind === "recording") {
    setUpPlayback(info.speeds);
    showStatus(await newPlayer());
  } else {
    $("stream").src = streamUrl();
  }
  document.body.dataset.ready = "1";
  poll();
}

main().catch((err) => say(err.message));

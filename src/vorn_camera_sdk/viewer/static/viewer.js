// The viewer page: the picture (a multipart JPEG stream), an overlay polled
// from /status, the camera's facts, and either the controls panel (a live
// camera) or the playback buttons (a recording).
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
  $("label-left").hidden = $("label-right").hidden = !camera.stereo;
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

function setUpPlayback() {
  $("playback").hidden = false;
  $("pause").addEventListener("click", async () => {
    const paused = $("pause").dataset.paused === "1";
    showStatus(await request("/playback", {action: paused ? "play" : "pause"}));
  });
  $("restart").addEventListener("click", async () => {
    showStatus(await request("/playback", {action: "restart"}));
  });
}

function showStatus(s) {
  $("fps").textContent = `${s.fps.toFixed(1)} fps`;
  $("age").textContent = s.age_ms === null ? (s.time === null ? "" : `t=${s.time.toFixed(2)} s`)
                                           : `age ${s.age_ms.toFixed(0)} ms`;
  $("lost").textContent = `${s.lost} lost`;
  $("state").textContent = s.error ? "error: " + s.error : s.paused ? "paused" : s.ended ? "ended" : "";
  $("pause").dataset.paused = s.paused ? "1" : "0";
  $("pause").textContent = s.paused ? "Play" : "Pause";
  document.body.dataset.frames = s.frames;
}

async function poll() {
  try {
    showStatus(await request("/status"));
  } catch (err) {
    say(err.message);
  }
  setTimeout(poll, 500);
}

async function main() {
  const info = await request("/info");
  $("kind").textContent = info.kind === "live" ? "live camera" : "recording";
  showCamera(info.camera);
  if (info.kind === "recording") setUpPlayback();
  await setUpControls(info.controls);
  $("snapshot").addEventListener("click", () => {
    const link = document.createElement("a");
    link.href = "/snapshot.zip";
    link.download = "snapshot.zip";
    link.click();
  });
  $("stream").src = "/stream.mjpg";
  document.body.dataset.ready = "1";
  poll();
}

main().catch((err) => say(err.message));

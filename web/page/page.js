// The page: only the form, the progress and the messages. The library runs in
// the worker (varnock-worker.js defines varnockWorkerMain), started from a
// blob: URL so that it also starts on a page opened from disk.
"use strict";

// Making needs both inputs, the source's index and the patch in the module's
// memory, which WebAssembly caps at 4 GiB: source and target together stay
// under this (bench/README.md gives the measured peak).
const kMakeLimit = 768 * 1024 * 1024;

const kStageWords = {
  reading: "Preparing the files",
  checksum: "Checking the old file",
  writing: "Writing",
  verifying: "Checking the result",
  indexing: "Reading the old file",
  matching: "Comparing the files",
};

// Each library code in plain words, with what to do.
const kProblemWords = {
  SOURCE_CHECKSUM:
    "This patch was made for another version of the old file. Choose the exact file the patch was made from " +
    "(the same version, unchanged), then try again.",
  TARGET_CHECKSUM:
    "The new file came out different from the one the patch describes, so it was not kept. The patch is " +
    "probably damaged: get it again, then try again.",
  NOT_A_PATCH: "The file chosen as the patch is not a Varnock patch. Check that you chose the patch file.",
  NO_HEADER: "The file chosen as the patch is not a Varnock patch, or it is empty. Check that you chose the patch file.",
  HEADER_CORRUPTED: "The patch file is damaged. Get the patch again (download it once more), then try again.",
  UNSUPPORTED_VERSION: "This patch needs a newer version of Varnock than this page. Ask for a page or patch that match.",
  UNEXPECTED_END: "The patch file is incomplete (it ends too early). Get the patch again, then try again.",
  UNEXPECTED_STOP: "The patch file is damaged. Get the patch again, then try again.",
  STOP_CHECK: "The patch file is damaged. Get the patch again, then try again.",
  SEEK_BEYOND_SOURCE: "The patch file is damaged, or it was made for another old file. Check both, then try again.",
  RANGE: "The patch file is damaged. Get the patch again, then try again.",
  "64BIT_LENGTH": "This patch describes a file larger than Varnock handles. It cannot be applied.",
  OUT_OF_MEMORY:
    "The browser did not have enough memory for this. Close other tabs and try again, or use the varnock program.",
  WRITE:
    "The result could not be saved: the browser's storage may be full. Free some disk space, then try again.",
  TOO_LARGE: "These files are too large to make a patch of here. Use the varnock-diff program.",
  CANCELLED: "Cancelled. Nothing was saved.",
};
const kUnknownProblem = "Something went wrong. Reload the page and try again; if it happens again, use the varnock program.";

const $ = (id) => document.getElementById(id);
const form = $("task-form");
let worker = null;
let workerReady = null;
let running = false;
let resultUrl = null;
let startedAt = 0;

function startWorker() {
  const source = `(${varnockWorkerMain.toString()})();`;
  const url = URL.createObjectURL(new Blob([source], { type: "text/javascript" }));
  worker = new Worker(url);
  workerReady = new Promise((resolve) => {
    worker.onmessage = (event) => {
      if (event.data.type !== "ready") return;
      $("pick-row").hidden = !(canPick() && event.data.privateStorage);
      resolve();
    };
  });
  URL.revokeObjectURL(url);
}

// Where the File System Access API is missing (most browsers but Chromium's),
// or the worker has no private file system to stage the result in (a page
// opened from disk), the result is offered as a download.
function canPick() {
  return typeof window.showSaveFilePicker === "function" && window.isSecureContext;
}

function task() {
  return form.elements.task.value;
}

function showTask() {
  const make = task() === "make";
  $("second-label").textContent = make ? "New file" : "Patch";
  $("start").textContent = make ? "Make the patch" : "Apply the patch";
  $("compressible-row").hidden = !make;
  $("make-limit").hidden = !make;
  $("make-limit").textContent = `Making a patch here works for an old and a new file of up to ${formatSize(
    kMakeLimit,
  )} together; for larger files use the varnock-diff program.`;
}

function formatSize(bytes) {
  const units = ["bytes", "KiB", "MiB", "GiB"];
  let value = bytes;
  let unit = 0;
  while (value >= 1024 && unit < units.length - 1) {
    value /= 1024;
    unit += 1;
  }
  const shown = unit === 0 ? String(value) : value.toFixed(1);
  return unit === 0 ? `${shown} bytes` : `${shown} ${units[unit]} (${bytes.toLocaleString("en")} bytes)`;
}

function splitName(name) {
  const dot = name.lastIndexOf(".");
  return dot > 0 ? [name.slice(0, dot), name.slice(dot)] : [name, ""];
}

// A name that says what the file is: the old file's name marked as patched,
// or "<old>-to-<new>.patch".
function resultName(source, second) {
  const [stem, extension] = splitName(source.name || "file");
  if (task() === "apply") return `${stem}.patched${extension}`;
  return `${stem}-to-${splitName(second.name || "new")[0]}.patch`;
}

function setRunning(on) {
  running = on;
  $("start").disabled = on;
  $("cancel").disabled = !on;
  for (const input of form.querySelectorAll("input")) input.disabled = on;
}

function clearOutcome() {
  $("result").hidden = true;
  $("error").hidden = true;
  if (resultUrl) URL.revokeObjectURL(resultUrl);
  resultUrl = null;
}

function showProblem(code, message) {
  $("progress").hidden = true;
  $("progress-text").textContent = "";
  $("error-text").textContent = kProblemWords[code] || kUnknownProblem;
  $("error-detail").textContent = message ? `Details: ${message}` : "";
  $("error").hidden = false;
}

function progressReporter() {
  let stage = null;
  let stageStart = 0;
  return ({ stage: name, done, total }) => {
    const now = performance.now();
    if (name !== stage) {
      stage = name;
      stageStart = now;
    }
    const seconds = (now - stageStart) / 1000;
    const speed = seconds > 0.2 ? ` at ${formatSize(done / seconds).split(" (")[0]}/s` : "";
    $("progress").value = total > 0 ? done / total : 1;
    $("progress-text").textContent = `${kStageWords[name] || name}: ${Math.floor(
      total > 0 ? (100 * done) / total : 100,
    )}%${speed}`;
  };
}

async function start(event) {
  event.preventDefault();
  if (running) return;
  clearOutcome();
  const source = $("source").files[0];
  const second = $("second").files[0];
  if (!source || !second) {
    showProblem(null, "");
    $("error-text").textContent = `Choose the old file and the ${
      task() === "make" ? "new file" : "patch"
    } first (or drop them on their boxes).`;
    return;
  }
  if (task() === "make" && source.size + second.size > kMakeLimit) {
    showProblem(null, "");
    $("error-text").textContent = `These files are too large to make a patch of here: together they are ${formatSize(
      source.size + second.size,
    )}, and this page makes patches for up to ${formatSize(kMakeLimit)}. Use the varnock-diff program.`;
    return;
  }
  const name = resultName(source, second);
  // Asked first, while the click still allows the browser's file picker.
  let saveTo = null;
  if (canPick() && $("pick").checked) {
    try {
      saveTo = await window.showSaveFilePicker({ suggestedName: name });
    } catch (error) {
      if (error.name === "AbortError") return;
      throw error;
    }
  }
  setRunning(true);
  $("progress").hidden = false;
  $("progress").value = 0;
  $("progress-text").textContent = "Starting";
  await workerReady;
  const report = progressReporter();
  startedAt = performance.now();
  worker.onmessage = (reply) => {
    const message = reply.data;
    if (message.type === "progress") report(message);
    else if (message.type === "done") finish(message, name);
    else if (message.type === "error") {
      setRunning(false);
      showProblem(message.code, message.message);
    }
  };
  const request = task() === "apply"
    ? { task: "apply", source, patch: second, saveTo }
    : { task: "make", source, target: second, compressible: $("compressible").checked, saveTo };
  worker.postMessage(request);
}

// `storage` says where the worker put the result ("private": the origin's
// private file system; "memory": Blobs; "picked": the file the user chose),
// kept on the result for the tests.
function finish({ file, size, crc32, storage }, name) {
  setRunning(false);
  $("progress").value = 1;
  const elapsed = performance.now() - startedAt;
  $("progress-text").textContent = `Done in ${(elapsed / 1000).toFixed(1)} s.`;
  const picked = storage === "picked";
  $("download-row").hidden = picked;
  $("saved-row").hidden = !picked;
  const link = $("download");
  if (!picked) {
    resultUrl = URL.createObjectURL(file);
    link.href = resultUrl;
    link.download = name;
    link.textContent = `Save ${name}`;
  }
  $("result-name").textContent = name;
  $("result-size").textContent = formatSize(size);
  $("result-crc").textContent = crc32.toString(16).toUpperCase().padStart(8, "0");
  $("result").dataset.storage = storage;
  $("result").dataset.elapsedMs = elapsed.toFixed(1);
  $("result").hidden = false;
  (picked ? $("saved-row") : link).focus();
}

// The library's call cannot be interrupted from outside its thread: the
// worker is stopped and a fresh one started, which leaves the page usable.
function cancel() {
  if (!running) return;
  worker.terminate();
  startWorker();
  setRunning(false);
  showProblem("CANCELLED", "");
}

function enableDrop(zone) {
  const input = zone.querySelector("input[type=file]");
  zone.addEventListener("dragover", (event) => {
    event.preventDefault();
    zone.classList.add("over");
  });
  zone.addEventListener("dragleave", () => zone.classList.remove("over"));
  zone.addEventListener("drop", (event) => {
    event.preventDefault();
    zone.classList.remove("over");
    if (!running && event.dataTransfer.files.length) input.files = event.dataTransfer.files;
  });
}

form.addEventListener("submit", start);
form.addEventListener("change", (event) => {
  if (event.target.name === "task") showTask();
});
$("cancel").addEventListener("click", cancel);
document.querySelectorAll(".drop").forEach(enableDrop);
// Files dropped outside a box would make the browser open them, leaving the page.
window.addEventListener("dragover", (event) => event.preventDefault());
window.addEventListener("drop", (event) => event.preventDefault());
showTask();
startWorker();

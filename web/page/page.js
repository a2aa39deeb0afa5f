// The page: only the form, the progress and the messages. The library runs in
// the worker (varnock-worker.js defines varnockWorkerMain), started from a
// blob: URL so that it also starts on a page opened from disk.
"use strict";

// Making holds both inputs, the source's index and the patch in the tab:
// measured, its renderer peaked at 4.5 times the two files' size (628 MiB for
// a 139 MB pair, bench/README.md). Up to this, that is about 2 GiB, within
// what a tab is given on most computers and well within WebAssembly's 4 GiB;
// compressing the patch adds the patch and its streams (539 MiB on a 224 +
// 224 MiB pair whose new file is half new, README.md).
const kMakeLimit = 448 * 1024 * 1024;

// A job's worker silent this long is taken for dead. Applying, it speaks many
// times a second (the library reports progress about every MiB, saving every
// 32 MiB): its longest silence is the module's start, a second or two. Making
// has steps over whole inputs that say nothing until they end (the checksums,
// the suffix sort, the container's compression): they are given 1 MiB/s of
// the inputs, where the whole make of a 224 + 224 MiB pair took 24 s in the
// module (bench/README.md).
const kQuietLimit = 30 * 1000;
const kQuietMakeBytesPerMs = 1024;

// Opened from disk the page has no private file system: the result is held
// as Blobs, which the browser keeps in its own memory. Above this, the page
// says before starting that hosting it, or the program, does better.
const kFromDiskComfort = 256 * 1024 * 1024;

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
  WORKER:
    "The part of this page that does the work stopped answering, so the job was stopped and nothing was saved. " +
    "Try again; if it happens again, close other tabs to free memory, or use the varnock program.",
};
const kUnknownProblem = "Something went wrong. Reload the page and try again; if it happens again, use the varnock program.";

const $ = (id) => document.getElementById(id);
const form = $("task-form");
const fromDisk = location.protocol === "file:";
let worker = null;
let running = false;
// Counts the jobs started; a cancel counts too, so a job still getting ready
// when cancelled knows to stop there.
let jobs = 0;
let resultUrl = null;
let nameEdited = false;
// Ends the watch on the task worker's silence during a job.
let stopWatch = () => {};
// The name of the private file holding the result offered, and what lets go of it.
let offeredFile = null;
let letGoOffered = () => {};

// The task worker removes what earlier ones left (waiting for the files of
// one just stopped, `stopped`), and says whether the origin's private file
// system takes the results (`privateStorage`).
function startWorker(stopped = []) {
  const launched = launchWorker();
  launched.privateStorage = launched.ready.then(() => launched.inquire({ task: "tidy", stopped }))
    .then((answer) => Boolean(answer && answer.privateStorage));
  launched.onFailure = (words) => {
    if (launched === worker) replaceDeadWorker(`the page's worker failed: ${words}`);
  };
  worker = launched;
}

// A worker found dead, or silent far past its progress's cadence, is stopped
// and a fresh one started, whose tidy removes the files of the job it had:
// a job it had ends, said in plain words, and the page is ready for another.
function replaceDeadWorker(detail) {
  const hadJob = running;
  jobs += 1;
  stopWatch();
  worker.stop();
  startWorker(worker.held);
  if (!hadJob) return;
  setRunning(false);
  showProblem("WORKER", detail);
}

// A result offered from the private file system is held under the lock of
// its file's name, as the worker that made it holds it (worker.js), for as
// long as it is offered: no tidy, by this tab's next worker or another tab's,
// removes it meanwhile, not even once that worker is gone.
function holdOffered(name) {
  offeredFile = name;
  if (!navigator.locks) return;
  let released = false;
  let release = null;
  navigator.locks.request(name, { mode: "shared" }, () => (released ? undefined : new Promise((resolve) => {
    release = resolve;
  }))).catch(() => {});
  letGoOffered = () => {
    released = true;
    if (release) release();
  };
}

// The offered result is no longer wanted: the worker removes its file.
function dropOffered() {
  if (!offeredFile) return;
  offeredFile = null;
  letGoOffered();
  letGoOffered = () => {};
  worker.inquire({ task: "drop" });
}

// Where the File System Access API is missing (most browsers but Chromium's),
// the result is offered as a download.
function canPick() {
  return typeof window.showSaveFilePicker === "function" && window.isSecureContext;
}

function task() {
  return form.elements.task.value;
}

const chosen = () => [$("source").files[0], $("second").files[0]];

function showTask() {
  const make = task() === "make";
  $("second-label").textContent = make ? "New file" : "Patch";
  $("start").textContent = make ? "Make the patch" : "Apply the patch";
  $("name-label").textContent = make ? "Name of the patch" : "Name of the new file";
  $("container-row").hidden = !make;
  // A compressed patch is always made for its compressor.
  $("compressible-row").hidden = !make || $("container").checked;
  $("make-limit").hidden = !make;
  $("make-limit").textContent = `Making a patch here works for an old and a new file of up to ${formatSize(
    kMakeLimit,
  )} together; for larger files use the varnock-diff program.`;
  $("pick-row").hidden = !canPick();
}

function splitName(name) {
  const dot = name.lastIndexOf(".");
  return dot > 0 ? [name.slice(0, dot), name.slice(dot)] : [name, ""];
}

// Patch names that say the versions, "game-1.0-to-1.1.patch" or
// "game_v1_to_v2.patch": the name, the old version and the new one.
const kVersionsInName = /^(.*?)[-_ ]v?(\d[\w.]*?)[-_ ]to[-_ ]v?(\d[\w.]*)$/i;

// A name that says what the file is. Applying: the new version's name where
// the patch's name says it (the old file's version swapped for the new one,
// or the patch's own name with the new version and the old file's
// extension), else the old file's name marked as new. Making:
// "<old>-to-<new>.patch".
function proposedName(source, second) {
  const [stem, extension] = splitName(source.name || "file");
  if (task() === "make") return `${stem}-to-${splitName(second.name || "new")[0]}.patch`;
  const versions = kVersionsInName.exec(splitName(second.name || "")[0]);
  if (!versions) return `${stem}-new${extension}`;
  const [, name, from, to] = versions;
  if (stem.includes(from)) return `${stem.replace(from, to)}${extension}`;
  return `${name}-${to}${extension}`;
}

function setRunning(on) {
  running = on;
  $("start").disabled = on;
  $("cancel").disabled = !on;
  for (const input of form.querySelectorAll("input")) input.disabled = on;
  // Focus never drops to the page's body when a focused button disables itself.
  (on ? $("cancel") : $("start")).focus({ preventScroll: true });
}

// What the user must see next, brought into view (a phone shows the form first).
function reveal(element) {
  element.scrollIntoView({ block: "nearest", behavior: "instant" });
}

// The previous task's outcome goes as soon as anything it was made from changes.
function clearOutcome() {
  $("result").hidden = true;
  $("error").hidden = true;
  $("cancelled").hidden = true;
  $("working").hidden = true;
  if (resultUrl) URL.revokeObjectURL(resultUrl);
  resultUrl = null;
  $("download").removeAttribute("href");
  dropOffered();
}

function showProblem(code, message, words) {
  $("working").hidden = true;
  $("error-text").textContent = words || kProblemWords[code] || kUnknownProblem;
  $("error-detail").textContent = message ? `Details: ${message}` : "";
  $("error").hidden = false;
  reveal($("error"));
}

// The stages a job goes through, with the bytes each is expected to handle
// before the library says.
function plannedStages(source, second, saving) {
  if (task() === "make") return [["indexing", source.size], ["matching", second.size], ["writing", second.size / 4]];
  const stages = [["checksum", source.size], ["writing", source.size], ["verifying", source.size]];
  return saving ? [...stages, ["saving", source.size]] : stages;
}

// Whether the origin's storage has room for the output (it is written to
// the private file system first); the browser's estimate, so a generous margin.
async function storageRoomFor(bytes) {
  if (!(await worker.privateStorage) || !navigator.storage || !navigator.storage.estimate) return true;
  const { quota, usage } = await navigator.storage.estimate();
  if (quota === undefined) return true;
  return quota - usage >= bytes * 1.1 + (16 << 20);
}

function quietLimit(source, second) {
  return task() === "make" ? kQuietLimit + (source.size + second.size) / kQuietMakeBytesPerMs : kQuietLimit;
}

function refuse(words) {
  clearOutcome();
  showProblem(null, "", words);
}

async function start(event) {
  event.preventDefault();
  if (running) return;
  clearOutcome();
  // The apply checks the old file itself: a check still under way is dropped.
  if ($("check").dataset.state === "checking") hideCheck();
  const [source, second] = chosen();
  if (!source || !second) {
    refuse(`Choose the old file and the ${task() === "make" ? "new file" : "patch"} first (or drop them on the page).`);
    return;
  }
  if (task() === "make" && source.size + second.size > kMakeLimit) {
    refuse(`These files are too large to make a patch of here: together they are ${formatSize(
      source.size + second.size,
    )}, and this page makes patches for up to ${formatSize(kMakeLimit)}. Use the varnock-diff program.`);
    return;
  }
  // Running from the press on: the waits below (the picker, a worker still
  // loading, the storage estimate) must not let a second press start a second job.
  setRunning(true);
  const job = ++jobs;
  const current = () => job === jobs;
  const name = $("name").value.trim() || proposedName(source, second);
  // Asked first, while the click still allows the browser's file picker.
  let saveTo = null;
  if (canPick() && $("pick").checked) {
    try {
      saveTo = await window.showSaveFilePicker({ suggestedName: name });
    } catch (error) {
      if (error.name === "AbortError") {
        if (current()) setRunning(false);
        return;
      }
      // Refused (a policy, a page without the right): offered as a download instead.
      saveTo = null;
    }
  }
  const quiet = quietLimit(source, second);
  stopWatch = worker.watch(quiet, () =>
    replaceDeadWorker(`the page's worker said nothing for ${Math.round(quiet / 1000)} s`));
  await worker.ready;
  const expected = task() === "make" ? second.size : source.size;
  const roomy = await storageRoomFor(expected);
  if (!current()) return;
  if (!roomy) {
    stopWatch();
    setRunning(false);
    refuse(`There is not enough room in this browser's storage for the result (about ${shortSize(expected)}). ` +
      "Free some disk space, or close other sites' tabs that store data, then try again.");
    return;
  }
  $("working").hidden = false;
  $("progress").value = 0;
  $("progress-text").textContent = "Starting";
  reveal($("working"));
  const report = progressModel(plannedStages(source, second, Boolean(saveTo)));
  const startedAt = performance.now();
  worker.onTask = (message) => {
    if (message.type === "progress") {
      report(message);
      return;
    }
    stopWatch();
    if (message.type === "done") finish(message, name, performance.now() - startedAt);
    else if (message.type === "error") {
      setRunning(false);
      showProblem(message.code, message.message);
    }
  };
  // The old file's CRC-32, when the check took it of this very file, is not taken twice.
  const request = task() === "apply"
    ? { task: "apply", source, patch: second, saveTo, sourceCrc32: checkedCrc32(source) }
    : { task: "make", source, target: second, compressible: $("container").checked || $("compressible").checked,
      container: $("container").checked, saveTo };
  worker.run(request);
}

// `storage` says where the worker put the result ("private": the origin's
// private file system; "memory": Blobs; "picked": the file the user chose),
// kept on the result for the tests.
function finish({ file, size, crc32, storage }, name, elapsed) {
  setRunning(false);
  $("working").hidden = true;
  $("progress-done").textContent = `Done in ${(elapsed / 1000).toFixed(1)} s.`;
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
  if (storage === "private") holdOffered(file.name);
  $("result").dataset.storage = storage;
  $("result").dataset.elapsedMs = elapsed.toFixed(1);
  $("result").hidden = false;
  reveal($("result"));
}

// The library's call cannot be interrupted from outside its thread: the
// worker is stopped and a fresh one started, which removes what the stopped
// one left and leaves the page usable.
function cancel() {
  if (!running) return;
  jobs += 1;
  stopWatch();
  worker.stop();
  startWorker(worker.held);
  setRunning(false);
  $("working").hidden = true;
  $("cancelled").hidden = false;
  reveal($("cancelled"));
}

// Opened from disk, the result waits in the browser's memory: said before
// starting, for a file large enough to matter.
function showNotice() {
  const [source, second] = chosen();
  const large = source && second && Math.max(source.size, second.size) > kFromDiskComfort;
  $("notice").hidden = !(fromDisk && large);
  $("notice").textContent = fromDisk && large
    ? "This page was opened from a file on this computer, so the browser keeps the result in its memory " +
      `(about ${shortSize(Math.max(source.size, second.size))} here). For files this large, open the page from a web ` +
      "server instead (any will do; it still sends nothing), or use the varnock program."
    : "";
}

function filesChanged() {
  clearOutcome();
  const [source, second] = chosen();
  if (source && second && !nameEdited) $("name").value = proposedName(source, second);
  showNotice();
  if (source && second && task() === "apply") checkFiles(source, second);
  else hideCheck();
}

function swapFiles() {
  const [source, second] = chosen();
  setFile($("source"), second);
  setFile($("second"), source);
  filesChanged();
  $("source").focus();
}

function setFile(input, file) {
  const transfer = new DataTransfer();
  transfer.items.add(file);
  input.files = transfer.files;
}

// Two files dropped anywhere go to their boxes: the patch is the one the
// library recognises as a patch (when making, the first dropped is taken as
// the old file). One file dropped on a box goes to that box.
async function dropFiles(files, zoneInput) {
  if (running || !files.length) return;
  if (files.length === 1) {
    setFile(zoneInput || (chosen()[0] ? $("second") : $("source")), files[0]);
  } else {
    const [first, second] = files;
    const swap = task() === "apply" && (await isPatch(first)) && !(await isPatch(second));
    setFile($("source"), swap ? second : first);
    setFile($("second"), swap ? first : second);
  }
  filesChanged();
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
    event.stopPropagation();
    zone.classList.remove("over");
    const files = [...event.dataTransfer.files];
    dropFiles(files, files.length === 1 ? input : null);
  });
}

form.addEventListener("submit", start);
form.addEventListener("change", (event) => {
  if (event.target.name === "task") {
    showTask();
    clearOutcome();
    nameEdited = false;
    filesChanged();
  } else if (event.target.type === "file") {
    filesChanged();
  } else if (event.target.id === "container" || event.target.id === "compressible") {
    showTask();
    clearOutcome();
  }
});
$("name").addEventListener("input", () => {
  nameEdited = $("name").value.trim() !== "";
});
$("cancel").addEventListener("click", cancel);
$("swap").addEventListener("click", swapFiles);
document.querySelectorAll(".drop").forEach(enableDrop);
// Files dropped outside a box are sorted into the boxes; the browser would
// otherwise open them, leaving the page.
window.addEventListener("dragover", (event) => event.preventDefault());
window.addEventListener("drop", (event) => {
  event.preventDefault();
  dropFiles([...event.dataTransfer.files], null);
});
showTask();
startWorker();
if ("serviceWorker" in navigator && !fromDisk) navigator.serviceWorker.register("service-worker.js").catch(() => {});

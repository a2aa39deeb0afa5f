// What can be told of the chosen files before applying, told as soon as both
// are chosen: whether the patch is one, whether the files were swapped,
// whether the patch was made for this old file (its length at once, then its
// CRC-32 with progress), and whether it is damaged. The patch is read by the
// library's patch-info call; the old file's CRC-32 by the library's own
// function, in a worker of its own that is stopped when no longer wanted.
"use strict";

const kKindWords = {
  raw: "a Varnock patch",
  container: "a compressed Varnock patch",
  xz: "a Varnock patch compressed with xz",
  zstd: "a Varnock patch compressed with zstd",
};

// A patch refused by the patch-info call, in plain words.
const kRefusalWords = {
  UNEXPECTED_END: "The patch file is incomplete (it ends too early). Get the patch again, then try again.",
  UNSUPPORTED_VERSION: "This patch needs a newer version of Varnock than this page. Ask for a page or patch that match.",
  TOO_LARGE: "This patch is larger than Varnock handles here. Use the varnock program.",
};
const kDamagedWords = "The patch file is damaged. Get the patch again (download it once more), then try again.";
// A file that is no patch at all mostly fails as a corrupted header: its first
// bytes, read as a header's length, point at no patch magic.
const kNotAPatch = new Set(["NOT_A_PATCH", "NO_HEADER", "HEADER_CORRUPTED"]);

const crcText = (crc) => crc.toString(16).toUpperCase().padStart(8, "0");

let checker = null;
let checkRun = 0;
// The last CRC-32 the check took: of which file, as it was then.
let summedLast = null;

// The CRC-32 the check took of `file`, if it took one of this very file (the
// same File, its size and time of change the same): the apply is handed it
// rather than read the whole file again for it.
function checkedCrc32(file) {
  const summed = summedLast;
  if (!summed || summed.file !== file || summed.size !== file.size || summed.lastModified !== file.lastModified) {
    return undefined;
  }
  return summed.crc32;
}

// Stops a check under way (new files, another task, a job started).
function stopCheck() {
  checkRun += 1;
  if (checker) checker.stop();
  checker = null;
  document.getElementById("check-progress").hidden = true;
}

function showCheck(state, words, facts = []) {
  const box = document.getElementById("check");
  box.hidden = false;
  box.className = state;
  box.dataset.state = state;
  document.getElementById("check-text").textContent = words;
  const list = document.getElementById("check-facts");
  list.replaceChildren(...facts.map((fact) => {
    const item = document.createElement("li");
    item.textContent = fact;
    return item;
  }));
  document.getElementById("swap").hidden = state !== "swapped";
  // What comes next brought into view: the Apply button once the files fit,
  // else what is wrong with them.
  const next = state === "good" ? document.querySelector(".actions") : box;
  next.scrollIntoView({ block: "nearest", behavior: "instant" });
}

function hideCheck() {
  stopCheck();
  document.getElementById("check").hidden = true;
}

// What the patch says of the old file it was made for, as facts.
function expectedFacts(info) {
  const size = info.sourceSize !== undefined ? `${formatSize(info.sourceSize)}, ` : "";
  return `The patch was made for an old file of ${size}CRC-32 ${crcText(info.sourceCrc32)}.`;
}

const chosenFacts = (file, crc) =>
  `The old file chosen, ${file.name}, is ${formatSize(file.size)}${crc === undefined ? "" : `, CRC-32 ${crcText(crc)}`}.`;

// Checks the chosen old file and patch; shows what it finds in #check.
async function checkFiles(source, patch) {
  stopCheck();
  const run = checkRun;
  checker = launchWorker();
  const current = () => run === checkRun;
  showCheck("checking", "Checking the files…");
  const inspected = await checker.inquire({ task: "inspect", patch, scan: true });
  if (!current() || !inspected) return;
  if (inspected.type === "failed") {
    stopCheck();
    showCheck("unknown", "The files could not be checked here; applying the patch checks them too.",
      [inspected.message]);
    return;
  }
  if (inspected.type === "refused") {
    await explainRefusal(inspected, source, patch, current);
    return;
  }
  const { info } = inspected;
  const about = [`${patch.name} is ${kKindWords[info.kind] || "a patch"}.`];
  if (info.targetSize !== undefined) {
    about.push(`It makes a new file of ${formatSize(info.targetSize)}, CRC-32 ${crcText(info.targetCrc32)}.`);
  }
  const tooShort = info.sourceReach !== undefined && source.size < info.sourceReach;
  if ((info.sourceSize !== undefined && info.sourceSize !== source.size) || tooShort) {
    const needs = info.sourceSize !== undefined ? expectedFacts(info)
      : `The patch was made for an old file of at least ${formatSize(info.sourceReach)}, CRC-32 ${crcText(
        info.sourceCrc32)}.`;
    showCheck("wrong-source", "This patch was made for another file: the old file chosen does not have the length " +
      "it expects. Choose the exact file the patch was made from.", [needs, chosenFacts(source), ...about]);
    return;
  }
  const bar = document.getElementById("check-progress");
  bar.hidden = false;
  bar.value = 0;
  showCheck("checking", "Checking that the old file is the one the patch was made for…", about);
  const summed = await checker.inquire({ task: "crc32", file: source }, ({ done, total }) => {
    if (current()) bar.value = total ? done / total : 1;
  });
  if (!current() || !summed) return;
  stopCheck();
  if (summed.type === "crc32") {
    summedLast = { file: source, size: source.size, lastModified: source.lastModified, crc32: summed.crc32 };
  }
  if (summed.type !== "crc32") {
    showCheck("unknown", "The old file could not be read. Choose it again.", [summed.message]);
  } else if (summed.crc32 === info.sourceCrc32) {
    showCheck("good", "The patch fits this old file: ready to apply.", about);
  } else if (summed.crc32 === info.targetCrc32) {
    showCheck("already-new", "The old file chosen is already the new version this patch makes: nothing to do.",
      [chosenFacts(source, summed.crc32), ...about]);
  } else {
    showCheck("wrong-source", "This patch was made for another version of the old file. Choose the exact file " +
      "the patch was made from (the same version, unchanged).", [expectedFacts(info), chosenFacts(source, summed.crc32),
      ...about]);
  }
}

async function explainRefusal(refusal, source, patch, current) {
  const details = `Details: ${refusal.message}`;
  if (!kNotAPatch.has(refusal.code)) {
    showCheck("damaged", kRefusalWords[refusal.code] || kDamagedWords, [details]);
    return;
  }
  // Not a patch: perhaps the two files were chosen the other way round.
  const reversed = await checker.inquire({ task: "inspect", patch: source });
  if (!current() || !reversed) return;
  stopCheck();
  if (reversed.type === "inspected") {
    showCheck("swapped", `The files seem swapped: ${source.name}, chosen as the old file, is the patch, and ` +
      `${patch.name} is not a patch.`);
  } else {
    showCheck("not-a-patch", `${patch.name}, chosen as the patch, is not a Varnock patch (or its start is ` +
      "damaged). Choose the patch file: the one you were given to update the old file with.", [details]);
  }
}

// Whether the library takes the file for a patch (for sorting dropped files).
async function isPatch(file) {
  const worker = launchWorker();
  const answer = await worker.inquire({ task: "inspect", patch: file });
  worker.stop();
  return Boolean(answer && answer.type === "inspected");
}

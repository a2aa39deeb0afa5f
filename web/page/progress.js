// The words and numbers the page shows: sizes, and one progress bar for a
// whole job.
"use strict";

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

const shortSize = (bytes) => formatSize(bytes).split(" (")[0];

const kStageWords = {
  checksum: "Checking the old file",
  writing: "Writing the new file",
  verifying: "Checking the result",
  saving: "Saving to the file you chose",
  indexing: "Reading the old file",
  matching: "Comparing the files",
};

// The share of the whole job each stage's byte costs, relative to reading
// the old file once: applying reads the source once to check it and mostly
// again to copy from it while writing the target; the result's check is
// taken as it is written; saving copies it once more. Estimates from the
// stages' shape, not yet timed stage by stage: the bar may run faster in
// one stage than another, but never backwards.
const kStageCost = { checksum: 1, writing: 1.4, verifying: 0.05, saving: 0.9, indexing: 2, matching: 2 };

// One bar for the whole job: each stage's bytes weighted by their measured
// cost. A stage's total, once the library reports it, replaces the estimate;
// the bar never moves back.
function progressModel(stages) {
  const plan = new Map(stages.map(([stage, bytes]) => [stage, bytes]));
  const finished = new Set();
  const startedAt = performance.now();
  let current = null;
  let currentStart = 0;
  let shown = 0;
  const weight = (stage) => kStageCost[stage] ?? 1;
  const total = () => [...plan].reduce((sum, [stage, bytes]) => sum + weight(stage) * bytes, 0);
  return ({ stage, done, total: stageTotal }) => {
    const now = performance.now();
    if (stage !== current) {
      if (current) finished.add(current);
      current = stage;
      currentStart = now;
    }
    if (!plan.has(stage) || plan.get(stage) !== stageTotal) plan.set(stage, stageTotal);
    let completed = weight(stage) * done;
    for (const name of finished) completed += weight(name) * plan.get(name);
    const whole = total();
    shown = Math.max(shown, whole > 0 ? Math.min(1, completed / whole) : 0);
    const seconds = (now - startedAt) / 1000;
    const stageSeconds = (now - currentStart) / 1000;
    const parts = [`${kStageWords[stage] || stage}`, `${Math.floor(100 * shown)}%`];
    if (stageSeconds > 0.5 && done > 0) parts.push(`${shortSize(done / stageSeconds)}/s`);
    if (seconds > 1.5 && shown > 0.02) {
      const left = Math.max(1, Math.round((seconds * (1 - shown)) / shown));
      parts.push(left < 60 ? `about ${left} s left` : `about ${Math.round(left / 60)} min left`);
    }
    document.getElementById("progress").value = shown;
    document.getElementById("progress-text").textContent = parts.join(" · ");
  };
}


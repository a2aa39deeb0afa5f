// The page's workers. Each runs the library (varnock-worker.js defines
// varnockWorkerMain), started from a blob: URL so that it also starts on a
// page opened from disk. One runs the tasks; another checks chosen files, so
// that a check never holds up a task and is simply stopped when it is no
// longer wanted.
"use strict";

// A worker and what it answers: a task's messages go to `onTask`, and each
// inquiry (a file inspected, a checksum) resolves with its answer, or with
// null when the worker is stopped first. A worker found dead (it threw where
// nothing caught it, or sent what cannot be read) is told to `onFailure`,
// with the browser's words; its inquiries resolve as failed. `held` names the
// files of ours it said it holds.
function launchWorker() {
  const source = `(${varnockWorkerMain.toString()})();`;
  const url = URL.createObjectURL(new Blob([source], { type: "text/javascript" }));
  const worker = new Worker(url);
  URL.revokeObjectURL(url);
  const inquiries = new Map();
  let lastInquiry = 0;
  let heardAt = performance.now();
  const settle = (answer) => {
    for (const { resolve } of inquiries.values()) resolve(answer);
    inquiries.clear();
  };
  const client = {
    held: [],
    onTask: null,
    onFailure: null,
    ready: null,
    inquire(request, onProgress = () => {}) {
      lastInquiry += 1;
      const inquiry = lastInquiry;
      return new Promise((resolve) => {
        inquiries.set(inquiry, { resolve, onProgress });
        worker.postMessage({ ...request, inquiry });
      });
    },
    run(request) {
      worker.postMessage(request);
    },
    stop() {
      worker.terminate();
      settle(null);
    },
    // Calls `onSilent` once, when the worker has said nothing for `limit` ms
    // of the page's own waking time; returns what ends the watch. A tick
    // that comes far later than asked means the page itself was asleep or
    // frozen (a closed lid, a tab in the background), and the worker with
    // it: the count starts again rather than blame the worker.
    watch(limit, onSilent) {
      const kTick = 1000;
      heardAt = performance.now();
      let tickedAt = heardAt;
      const timer = setInterval(() => {
        const now = performance.now();
        if (now - tickedAt > 5 * kTick) heardAt = now;
        tickedAt = now;
        if (now - heardAt <= limit) return;
        clearInterval(timer);
        onSilent();
      }, kTick);
      return () => clearInterval(timer);
    },
  };
  const fail = (words) => {
    settle({ type: "failed", message: words });
    if (client.onFailure) client.onFailure(words);
  };
  worker.addEventListener("error", (event) => {
    event.preventDefault();
    fail(event.message || "the worker stopped with an error");
  });
  worker.addEventListener("messageerror", () => fail("a message from the worker could not be read"));
  client.ready = new Promise((resolve) => {
    worker.onmessage = ({ data: message }) => {
      heardAt = performance.now();
      if (message.type === "holding") {
        client.held.push(message.name);
      } else if (message.type === "ready") {
        resolve();
      } else if (message.inquiry) {
        const inquiry = inquiries.get(message.inquiry);
        if (!inquiry) return;
        if (message.type === "progress") {
          inquiry.onProgress(message);
        } else {
          inquiries.delete(message.inquiry);
          inquiry.resolve(message);
        }
      } else if (client.onTask) {
        client.onTask(message);
      }
    };
  });
  return client;
}

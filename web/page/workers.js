// The page's workers. Each runs the library (varnock-worker.js defines
// varnockWorkerMain), started from a blob: URL so that it also starts on a
// page opened from disk. One runs the tasks; another checks chosen files, so
// that a check never holds up a task and is simply stopped when it is no
// longer wanted.
"use strict";

// A worker and what it answers: a task's messages go to `onTask`, and each
// inquiry (a file inspected, a checksum) resolves with its answer, or with
// null when the worker is stopped first. `held` names the files of ours it
// said it holds.
function launchWorker() {
  const source = `(${varnockWorkerMain.toString()})();`;
  const url = URL.createObjectURL(new Blob([source], { type: "text/javascript" }));
  const worker = new Worker(url);
  URL.revokeObjectURL(url);
  const inquiries = new Map();
  let lastInquiry = 0;
  const client = {
    held: [],
    onTask: null,
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
      for (const { resolve } of inquiries.values()) resolve(null);
      inquiries.clear();
    },
  };
  client.ready = new Promise((resolve) => {
    worker.onmessage = ({ data: message }) => {
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

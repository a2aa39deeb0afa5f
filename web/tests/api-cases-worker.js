// Runs one case of api-cases.js in a dedicated worker, where the module has
// FileReaderSync and the private file system's sync access handles.
import * as api from "/npm/index.js";
import { cases } from "/tests/api-cases.js";

self.onmessage = async ({ data: index }) => {
  try {
    await cases[index].run(api);
    self.postMessage("ok");
  } catch (error) {
    self.postMessage(String((error && error.stack) || error));
  }
};

// The module's bytes: read from disk under Node (whose glue here is the web's,
// so it is handed them), fetched beside this file elsewhere. Emscripten's glue
// would print a failed load to the console: it is told to print nothing, and
// the failure is each call's rejection, with the file named. A failed load is
// not kept, so that a call after a passing fault (a network's) loads it anew.
async function loadCore() {
  const url = new URL("./varnock-core.wasm", import.meta.url);
  let wasmBinary;
  if (url.protocol === "file:") {
    const { readFile } = await import("node:fs/promises");
    wasmBinary = await readFile(url);
  } else {
    const response = await fetch(url);
    if (!response.ok) throw new Error(`${url}: ${response.status} ${response.statusText}`);
    wasmBinary = await response.arrayBuffer();
  }
  const silent = () => {};
  try {
    return await createVarnockCore({ wasmBinary, print: silent, printErr: silent });
  } catch (error) {
    // "Aborted(CompileError: …). Build with …": the cause alone.
    const cause = String((error && error.message) || error).replace(/^Aborted\((.*)\)(\. Build with .*)?$/s, "$1");
    throw new Error(`varnock-core.wasm cannot be loaded from ${url}: ${cause}`, { cause: error });
  }
}

const api = varnockApi(loadCore);
export const { applyPatch, applyPatchTo, makePatch, makePatchTo, inspectPatch, version, VarnockError } = api;

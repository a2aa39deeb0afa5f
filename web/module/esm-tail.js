// The module's bytes: read from disk under Node (whose glue here is the web's,
// so it is handed them), fetched beside this file elsewhere.
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
  return createVarnockCore({ wasmBinary });
}

const api = varnockApi(loadCore);
export const { applyPatch, applyPatchTo, makePatch, makePatchTo, inspectPatch, version, VarnockError } = api;

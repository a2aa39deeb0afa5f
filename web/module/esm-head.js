// varnock: apply and make binary patches, in browsers, workers and Node.
// The library is WebAssembly (varnock-core.wasm, beside this file).
import createVarnockCore from "./varnock-core.mjs";


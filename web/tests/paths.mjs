// Where the tests find what they test: the wasm build (VARNOCK_WEB_BUILD) and
// the native programs (VARNOCK_NATIVE_BUILD), by default the presets' directories.
import path from "node:path";
import { fileURLToPath } from "node:url";

export const projectRoot = path.resolve(path.dirname(fileURLToPath(import.meta.url)), "..", "..");
export const webBuild = path.resolve(process.env.VARNOCK_WEB_BUILD || path.join(projectRoot, "build", "wasm"));
export const nativeBuild = path.resolve(process.env.VARNOCK_NATIVE_BUILD || path.join(projectRoot, "build", "release"));
export const varnock = path.join(nativeBuild, "programs", "varnock", "varnock");
export const varnockDiff = path.join(nativeBuild, "programs", "varnock-diff", "varnock-diff");

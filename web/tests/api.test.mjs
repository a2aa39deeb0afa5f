// The module's API table (api-cases.js) under Node, against the npm
// package's directory as built (VARNOCK_WEB_BUILD, default build/wasm).
import { test } from "node:test";
import path from "node:path";
import { pathToFileURL } from "node:url";
import { cases } from "./api-cases.js";
import { webBuild } from "./paths.mjs";

const api = await import(pathToFileURL(path.join(webBuild, "npm", "index.js")).href);

for (const { name, run } of cases) test(name, () => run(api));

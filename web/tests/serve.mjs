// A static server on 127.0.0.1 for the browser tests: each URL prefix maps to
// a directory; every request it answers is recorded.
import http from "node:http";
import fs from "node:fs";
import path from "node:path";

const kTypes = {
  ".html": "text/html; charset=utf-8",
  ".js": "text/javascript; charset=utf-8",
  ".mjs": "text/javascript; charset=utf-8",
  ".css": "text/css; charset=utf-8",
  ".wasm": "application/wasm",
  ".json": "application/json",
  ".webmanifest": "application/manifest+json",
  ".svg": "image/svg+xml",
};

export async function startServer(roots) {
  const requests = [];
  const server = http.createServer((request, response) => {
    requests.push(request.url);
    const url = new URL(request.url, "http://127.0.0.1");
    const prefix = Object.keys(roots).find((candidate) => url.pathname.startsWith(candidate));
    const file = prefix && path.join(roots[prefix], decodeURIComponent(url.pathname.slice(prefix.length)) || "index.html");
    if (!file || !file.startsWith(roots[prefix]) || !fs.existsSync(file) || !fs.statSync(file).isFile()) {
      response.writeHead(404).end();
      return;
    }
    response.writeHead(200, { "Content-Type": kTypes[path.extname(file)] || "application/octet-stream" });
    fs.createReadStream(file).pipe(response);
  });
  await new Promise((resolve) => server.listen(0, "127.0.0.1", resolve));
  return {
    origin: `http://127.0.0.1:${server.address().port}`,
    requests,
    close: () => new Promise((resolve) => server.close(resolve)),
  };
}

// Keeps the page's own files, so that it opens with no network. The network
// is asked first, so a page updated on its server is seen at once; the kept
// copy answers when there is none. Nothing but this origin's files is kept or
// asked for.
"use strict";

const kCache = "varnock-page";
const kFiles = ["./", "index.html", "page.css", "varnock-worker.js", "workers.js", "progress.js", "checks.js", "page.js",
  "manifest.webmanifest", "icon.svg"];

self.addEventListener("install", (event) => {
  event.waitUntil(caches.open(kCache).then((cache) => cache.addAll(kFiles)).then(() => self.skipWaiting()));
});

self.addEventListener("activate", (event) => event.waitUntil(self.clients.claim()));

self.addEventListener("fetch", (event) => {
  const { request } = event;
  if (request.method !== "GET" || new URL(request.url).origin !== self.location.origin) return;
  event.respondWith((async () => {
    const cache = await caches.open(kCache);
    try {
      const response = await fetch(request);
      if (response.ok) await cache.put(request, response.clone());
      return response;
    } catch (error) {
      const kept = await cache.match(request, { ignoreSearch: true });
      if (kept) return kept;
      throw error;
    }
  })());
});

// Built from web/: the page starts this function as its worker (page.js).
function varnockWorkerMain() {

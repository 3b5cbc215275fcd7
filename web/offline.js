// Working offline: the service worker keeps the page's files once loaded.
// A page opened from a file (no service workers there) works as long as it is open.
export function keepOffline() {
  if (!('serviceWorker' in navigator) || location.protocol === 'file:') return;
  navigator.serviceWorker.register('./sw.js').catch(() => {});
}

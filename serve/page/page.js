'use strict';

const TOKEN_KEY = 'corvameter-token';
const $ = (id) => document.getElementById(id);

const display = $('display');
const ctx = display.getContext('2d');
const frame = $('frame');
const screenBox = $('screen');
const overlay = $('overlay');
const noticeBox = $('notice');
const phone = matchMedia('(max-width: 600px)');
const narrow = matchMedia('(max-width: 1000px)');

let token = null;
let tokenBad = false;
let socket = null;
let socketUp = false;
let retryDelay = 1000;
let attached = false;
let pictureName = 'corvameter.png';
let messageShown = null;
let messageSeen = null;

// ---- token: taken from the address once, then kept for this tab only ----

function takeToken() {
  const m = /(?:^#|&)token=([^&]*)/.exec(location.hash);
  if (m) {
    let t = m[1];
    try { t = decodeURIComponent(t); } catch (e) { /* keep it raw */ }
    if (t) sessionStorage.setItem(TOKEN_KEY, t);
    history.replaceState(history.state, '', location.pathname + location.search);
  }
  return sessionStorage.getItem(TOKEN_KEY);
}

function notice(text, isError = false) {
  noticeBox.textContent = text;
  noticeBox.classList.toggle('error', isError && text !== '');
}

function rejectToken() {
  tokenBad = true;
  sessionStorage.removeItem(TOKEN_KEY);
  if (socket) socket.close();
  notice('The token is wrong (the server answered 401). Open the address that corvactl serve printed; it ends in #token=…', true);
  showOverlay();
}

// ---- scale: a whole number of device pixels per instrument pixel ----

function fit() {
  const dpr = window.devicePixelRatio || 1;
  const w = screenBox.clientWidth * dpr / 320;
  // Narrow layouts stack, so the cell's height follows the display; bound it by the window.
  const h = phone.matches ? Infinity
    : (narrow.matches ? window.innerHeight - 140 : screenBox.clientHeight) * dpr / 240;
  const scale = Math.max(1, Math.floor(Math.min(w, h)));
  frame.style.width = (320 * scale / dpr) + 'px';
  frame.style.height = (240 * scale / dpr) + 'px';
  frame.dataset.scale = String(scale);
}

// ---- readouts ----

function showOverlay() {
  let text = '';
  if (!token) text = 'no token';
  else if (tokenBad) text = 'wrong token';
  else if (!socketUp) text = 'connecting…';
  else if (!attached) text = 'instrument lost';
  overlay.textContent = text;
  overlay.hidden = text === '';
  frame.classList.toggle('dim', text !== '');
  const conn = $('conn');
  conn.textContent = tokenBad ? 'not connected' : socketUp ? 'live' : 'connecting…';
  conn.classList.toggle('up', socketUp);
}

function setText(el, text) {
  if (el.textContent === text) return false;
  el.textContent = text;
  return true;
}

function showBox(el, text) {
  if (setText(el, text)) el.scrollTop = el.scrollHeight;
}

function applyStatus(s) {
  if (!s || typeof s !== 'object') return;
  const has = (k) => Object.prototype.hasOwnProperty.call(s, k);
  // First, as the message box takes room from the text boxes below it.
  if (has('message')) showMessage(s.message);
  if (has('serial')) {
    setText($('serial'), s.serial || '—');
    baseTitle = s.serial ? 'Corvameter ' + s.serial : 'Corvameter';
  }
  if (has('alarms')) showAlarms(s.alarms);
  retitle();
  if (has('driver')) setText($('driver'), s.driver || '—');
  if (has('attached')) attached = !!s.attached;
  setText($('attached'), attached ? 'attached' : 'not attached');
  if (has('fps')) setText($('fps'), (Number(s.fps) || 0).toFixed(1));
  if (has('viewers')) setText($('viewers'), String(s.viewers));
  if (has('frames')) setText($('frames'), String(s.frames));
  if (has('displayMode')) setText($('mode'), s.displayMode == null ? '—' : String(s.displayMode));
  if (has('status') && typeof s.status === 'string') showBox($('status'), s.status);
  if (has('log') && typeof s.log === 'string') showBox($('log'), s.log);
  if (has('pictureName') && s.pictureName) pictureName = s.pictureName;
  if (has('busy')) {
    setText($('busy'), s.busy ? 'busy: ' + s.busy : '');
    for (const b of document.querySelectorAll('button.inst')) {
      b.classList.toggle('running', !!s.busy && b.textContent === s.busy);
    }
  }
  if (has('continuous')) $('cmdContinuous').classList.toggle('on', !!s.continuous);
  if (has('canControl')) {
    const canControl = s.canControl !== false;
    for (const b of document.querySelectorAll('button.inst')) b.disabled = !canControl;
    $('viewOnly').hidden = canControl;
  }
  showOverlay();
}

// The alarms the server holds: the active ones in the banner, the latest
// transitions beside it, and the tab's title marked while one is active.
let baseTitle = 'Corvameter';
let activeAlarms = [];

function clock(iso) {
  const d = new Date(iso);
  return isNaN(d) ? '?' : d.toLocaleTimeString([], { hour12: false });
}

function alarmName(a) {
  return String(a.name) + (a.bar ? ' bar ' + a.bar : '');
}

function showAlarms(al) {
  activeAlarms = Array.isArray(al && al.active) ? al.active : [];
  const recent = Array.isArray(al && al.recent) ? al.recent : [];
  const banner = $('alarmBanner');
  banner.hidden = activeAlarms.length === 0;
  setText(banner, activeAlarms.length
    ? 'Alarm: ' + activeAlarms.map((a) => alarmName(a) + ' since ' + clock(a.since)).join(' · ') : '');
  setText($('alarmRecent'), recent.length
    ? 'Latest: ' + recent.slice(0, 3).map((r) => alarmName(r) + ' ' + clock(r.set) + ' to '
      + (r.cleared ? clock(r.cleared) : 'now')).join(' · ') : '');
}

function retitle() {
  const t = activeAlarms.length ? '⚠ ' + activeAlarms.map(alarmName).join(', ') + ' — ' + baseTitle : baseTitle;
  if (document.title !== t) document.title = t;
}

function showMessage(m) {
  const key = m ? JSON.stringify(m) : null;
  const box = $('message');
  if (!m) { box.hidden = true; return; }
  if (key === messageSeen) return;
  messageShown = key;
  $('messageTitle').textContent = m.title || '';
  $('messageText').textContent = m.text || '';
  box.hidden = false;
}

// ---- live picture: only the newest waiting frame is decoded ----

let pendingFrame = null;
let decoding = false;
let framesDrawn = 0;

function onFrame(blob) {
  pendingFrame = blob;
  if (!decoding) drawFrames();
}

async function drawFrames() {
  decoding = true;
  while (pendingFrame) {
    const blob = pendingFrame;
    pendingFrame = null;
    try {
      const bmp = await createImageBitmap(blob, { premultiplyAlpha: 'none', colorSpaceConversion: 'none' });
      ctx.globalCompositeOperation = 'copy';
      ctx.imageSmoothingEnabled = false;
      ctx.drawImage(bmp, 0, 0);
      bmp.close();
      framesDrawn += 1;
      display.dataset.frames = String(framesDrawn);
    } catch (e) {
      // A frame that does not decode is skipped; the next one replaces it.
    }
  }
  decoding = false;
}

function connect() {
  if (tokenBad) return;
  const ws = new WebSocket((location.protocol === 'https:' ? 'wss:' : 'ws:') + '//' + location.host +
    '/api/v1/live?token=' + encodeURIComponent(token));
  socket = ws;
  ws.binaryType = 'blob';
  ws.onopen = () => { socketUp = true; showOverlay(); };
  ws.onmessage = (e) => {
    retryDelay = 1000;
    if (e.data instanceof Blob) { onFrame(e.data); return; }
    let msg;
    try { msg = JSON.parse(e.data); } catch (err) { return; }
    if (msg.type === 'state') {
      applyStatus(msg.status && typeof msg.status === 'object' ? msg.status : msg);
    } else if (msg.type === 'lost') {
      attached = false;
      applyStatus({});
    }
  };
  ws.onclose = async () => {
    if (socket !== ws) return;
    socket = null;
    socketUp = false;
    showOverlay();
    // A refused upgrade looks like any other close: ask once whether the token is at fault.
    await refreshStatus(true);
    if (tokenBad) return;
    setTimeout(connect, retryDelay);
    retryDelay = Math.min(retryDelay * 2, 10000);
  };
}

// ---- requests ----

async function api(method, path, quiet = false) {
  let r;
  try {
    r = await fetch(path, { method, headers: { Authorization: 'Bearer ' + token }, cache: 'no-store' });
  } catch (e) {
    if (!quiet) notice('server not reachable', true);
    return null;
  }
  if (r.status === 401) { rejectToken(); return null; }
  if (!r.ok) {
    if (!quiet) notice(await errorText(r), true);
    return null;
  }
  return r;
}

async function errorText(r) {
  let j = null;
  try { j = await r.json(); } catch (e) { /* not JSON */ }
  if (!j) return 'The server answered ' + r.status + ' ' + r.statusText;
  const lines = [j.error || 'The server answered ' + r.status];
  if (j.reason) lines.push(j.reason);
  if (Array.isArray(j.failed) && j.failed.length) lines.push('Failed: ' + j.failed.join(', '));
  if (j.status) lines.push('Status: ' + j.status);
  if (j.cause) lines.push('Cause: ' + j.cause);
  if (j.fix) lines.push('Fix: ' + j.fix);
  return lines.join('\n');
}

async function refreshStatus(quiet) {
  const r = await api('GET', '/api/v1/status', quiet);
  if (r) applyStatus(await r.json().catch(() => null));
}

async function postForStatus(path) {
  notice('');
  const r = await api('POST', path);
  if (r && (r.headers.get('Content-Type') || '').includes('json')) {
    applyStatus(await r.json().catch(() => null));
  }
  return r;
}

function busyWhile(button, work) {
  button.addEventListener('click', async () => {
    if (button.getAttribute('aria-busy') === 'true') return;
    button.setAttribute('aria-busy', 'true');
    try { await work(); } finally { button.removeAttribute('aria-busy'); }
  });
}

busyWhile($('cmdDownLoad'), async () => {
  notice('');
  await api('POST', '/api/v1/frame'); // the picture comes over the live socket too
});
busyWhile($('cmdContinuous'), () => postForStatus('/api/v1/continuous'));
busyWhile($('cmdStop'), () => postForStatus('/api/v1/stop'));

busyWhile($('cmdGetLog'), async () => {
  notice('');
  const r = await api('GET', '/api/v1/log');
  if (r) showBox($('log'), await r.text());
});

const eraseDialog = $('eraseDialog');
$('cmdEraseLog').addEventListener('click', () => eraseDialog.showModal());
$('eraseCancel').addEventListener('click', () => eraseDialog.close());
$('eraseConfirm').addEventListener('click', () => {
  eraseDialog.close();
  postForStatus('/api/v1/log/erase');
});

busyWhile($('savePicture'), async () => {
  notice('');
  const r = await api('GET', '/api/v1/frame.png');
  if (!r) return;
  const blob = await r.blob();
  const url = URL.createObjectURL(blob);
  const a = document.createElement('a');
  a.href = url;
  a.download = pictureName;
  document.body.appendChild(a);
  a.click();
  a.remove();
  setTimeout(() => URL.revokeObjectURL(url), 10000);
});

busyWhile($('copyPicture'), async () => {
  notice('');
  if (!window.isSecureContext || !navigator.clipboard || !navigator.clipboard.write || !window.ClipboardItem) {
    notice('Copy Picture needs HTTPS or this machine\'s own address; use Save Picture', true);
    return;
  }
  // The blob is handed over as a promise so the click still counts as the user's gesture.
  const png = new Promise((resolve, reject) =>
    display.toBlob((b) => (b ? resolve(b) : reject(new Error('no picture'))), 'image/png'));
  try {
    await navigator.clipboard.write([new ClipboardItem({ 'image/png': png })]);
    notice('Picture copied to the clipboard');
  } catch (e) {
    notice('Copy Picture failed: ' + (e && e.message ? e.message : e), true);
  }
});

$('messageOk').addEventListener('click', () => {
  messageSeen = messageShown;
  $('message').hidden = true;
});

// ---- start ----

display.dataset.frames = '0';
new ResizeObserver(fit).observe(screenBox);
window.addEventListener('resize', fit);
narrow.addEventListener('change', fit);
fit();

token = takeToken();
if (!token) {
  tokenBad = true;
  notice('Open the address that corvactl serve printed; it ends in #token=…', true);
  for (const b of document.querySelectorAll('button')) b.disabled = true;
  showOverlay();
} else {
  showOverlay();
  refreshStatus(false).then(connect);
}

// The page side of the bridge: one WebSocket to the client, commands out, calls in.
//
//   import { velmora } from './bridge/bridge.js';
//   const version = await velmora.call('get_version');
//
// The client calls the page's global functions (window[fn]) with one argument and waits for
// the value; a missing function or one that throws answers null, so the client never hangs.
//
// On the main page the bridge also forwards the window's input to the client: F1..F12 that the
// page did not handle itself (event.preventDefault() keeps a key for the page), files dropped
// on the document (uploaded first: a page never learns a file's path) and velmora.requestClose().

const role = document.documentElement.dataset.velmoraRole === 'other' ? 'other' : 'main';
const pending = new Map();
const outbox = [];
const callListeners = new Set();
const statusListeners = new Set();
let nextId = 1;
let socket = null;
let status = 'connecting';

function setStatus(next) {
  status = next;
  for (const listener of statusListeners) {
    listener(next);
  }
}

function send(message) {
  const text = JSON.stringify(message);
  if (socket && socket.readyState === WebSocket.OPEN) {
    socket.send(text);
  } else {
    outbox.push(text);
  }
}

// Replies wait for the end of the frame they answer and go out together, as the client's calls
// come in: a tick's thousands of events are answered in a few frames, not one frame each. A
// batch stops growing past this many characters, far below the client's limit on a frame.
const kMostBatchedReplyChars = 1 << 20;
let replies = [];
let replyChars = 0;
let flushQueued = false;
let readingFrame = false;

function flushReplies() {
  flushQueued = false;
  if (replies.length === 0) {
    return;
  }
  const texts = replies;
  replies = [];
  replyChars = 0;
  if (socket && socket.readyState === WebSocket.OPEN) {
    socket.send(texts.length === 1 ? texts[0] : `{"t":"batch","m":[${texts.join(',')}]}`);
  }
}

// After the calls' own awaits: a frame's replies are all queued by the time it runs.
function queueFlush() {
  if (!flushQueued) {
    flushQueued = true;
    queueMicrotask(flushReplies);
  }
}

// A value that JSON cannot carry (a cycle, a BigInt) answers null rather than nothing.
function sendReply(id, value) {
  let text;
  try {
    text = JSON.stringify({ t: 'reply', id, value: value === undefined ? null : value });
  } catch {
    text = JSON.stringify({ t: 'reply', id, value: null });
  }
  if (replyChars + text.length > kMostBatchedReplyChars) {
    flushReplies();
  }
  replies.push(text);
  replyChars += text.length;
  if (!readingFrame) {
    queueFlush();
  }
}

async function answerCall({ id, fn, arg }) {
  for (const listener of callListeners) {
    try {
      listener(fn, arg);
    } catch (error) {
      console.error('velmora: call listener failed', error);
    }
  }
  const target = typeof fn === 'string' ? window[fn] : undefined;
  if (typeof target !== 'function') {
    sendReply(id, null);
    return;
  }
  try {
    sendReply(id, await target(arg));
  } catch (error) {
    console.error(`velmora: page function ${fn} failed`, error);
    sendReply(id, null);
  }
}

function settle(id, settleWith) {
  const entry = pending.get(id);
  if (entry) {
    pending.delete(id);
    settleWith(entry);
  }
}

// The client sends what queued up behind a frame as one batch, in order.
function onMessage(event) {
  let message;
  try {
    message = JSON.parse(event.data);
  } catch {
    console.error('velmora: the client sent a message that is not JSON');
    return;
  }
  readingFrame = true;
  try {
    if (message?.t === 'batch' && Array.isArray(message.m)) {
      for (const each of message.m) {
        take(each);
      }
    } else {
      take(message);
    }
  } finally {
    readingFrame = false;
    queueFlush();
  }
}

function take(message) {
  if (message === null || typeof message !== 'object') {
    return;
  }
  if (message.t === 'call') {
    answerCall(message);
  } else if (message.t === 'ret') {
    settle(message.id, ({ name, resolve, reject }) =>
      message.handled ? resolve(message.value) : reject(new Error(`command not handled: ${name}`)),
    );
  } else if (message.t === 'window') {
    runWindowOp(message.op, message.url);
  } else if (message.t === 'error') {
    if (message.id !== undefined) {
      settle(message.id, ({ reject }) => reject(new Error(message.message)));
    } else {
      console.error('velmora: the client refused a message:', message.message);
    }
  }
}

// A browser page cannot maximise its window; full screen is the nearest it gets, and the
// browser may refuse it (it wants a recent user gesture).
function runWindowOp(op, url) {
  if (op === 'open' && typeof url === 'string' && url.startsWith('/app/')) {
    window.open(url, '_blank', 'popup');
    return;
  }
  if (op !== 'toggle_maximized') {
    return;
  }
  const change = document.fullscreenElement
    ? document.exitFullscreen()
    : document.documentElement.requestFullscreen?.();
  change?.catch?.((error) => console.warn('velmora: full screen refused:', error.message));
}

// One dropped file to the client; resolves with the name to drop it by, or null.
async function uploadFile(file) {
  try {
    const response = await fetch(`/drop?name=${encodeURIComponent(file.name)}`, {
      method: 'POST',
      body: file,
      credentials: 'same-origin',
    });
    if (!response.ok) {
      console.error(`velmora: the client refused the dropped file ${file.name}:`, response.status);
      return null;
    }
    const { file: name } = await response.json();
    return typeof name === 'string' ? name : null;
  } catch (error) {
    console.error(`velmora: the dropped file ${file.name} could not be sent`, error);
    return null;
  }
}

// One after another, so that the client sees them in drop order and no more than one file's
// bytes are in flight.
async function dropFiles(files) {
  const names = [];
  for (const file of files) {
    const name = await uploadFile(file);
    if (name !== null) {
      names.push(name);
    }
  }
  if (names.length > 0 && status !== 'closed') {
    send({ t: 'drop', files: names });
  }
  return names;
}

function functionKeyNumber(event) {
  if (event.repeat || event.ctrlKey || event.altKey || event.metaKey) {
    return 0;
  }
  const match = /^F([1-9]|1[0-2])$/.exec(event.key);
  return match ? Number(match[1]) : 0;
}

// Listeners on window run after the page's own ones on its elements and document.
function forwardWindowInput() {
  window.addEventListener('keydown', (event) => {
    const number = event.defaultPrevented ? 0 : functionKeyNumber(event);
    if (number !== 0) {
      event.preventDefault();
      send({ t: 'key', key: number });
    }
  });
  window.addEventListener('dragover', (event) => {
    if (!event.defaultPrevented && Array.from(event.dataTransfer?.types ?? []).includes('Files')) {
      event.preventDefault();  // without it the browser would not let the files be dropped
      event.dataTransfer.dropEffect = 'copy';
    }
  });
  window.addEventListener('drop', (event) => {
    const files = event.dataTransfer ? Array.from(event.dataTransfer.files) : [];
    if (event.defaultPrevented || files.length === 0) {
      return;
    }
    event.preventDefault();  // the browser would open the file in place of the page
    dropFiles(files);
  });
}

function connect() {
  // the token comes from the page URL the first time, from the cookie after that
  const token = new URLSearchParams(location.search).get('token');
  const query = `role=${role}&batch=1` + (token ? `&token=${encodeURIComponent(token)}` : '');
  socket = new WebSocket(`ws://${location.host}/ws?${query}`);
  socket.addEventListener('open', () => {
    while (outbox.length > 0) {
      socket.send(outbox.shift());
    }
    // the cookie carries the token from now on: keep it out of the address bar and history
    if (token) {
      history.replaceState(history.state, '', location.pathname + location.hash);
    }
    setStatus('open');
  });
  socket.addEventListener('message', onMessage);
  socket.addEventListener('close', () => {
    for (const { reject } of pending.values()) {
      reject(new Error('the client is gone'));
    }
    pending.clear();
    outbox.length = 0;
    setStatus('closed');
  });
}

export const velmora = {
  // Runs a client command; resolves with its value, rejects when nothing handles it.
  call(name, ...args) {
    if (status === 'closed') {
      return Promise.reject(new Error('the client is gone'));
    }
    return new Promise((resolve, reject) => {
      const id = nextId++;
      pending.set(id, { name, resolve, reject });
      send({ t: 'cmd', id, name, args });
    });
  },
  // listener(fn, arg) sees every call from the client before the page function runs.
  onCall(listener) {
    callListeners.add(listener);
    return () => callListeners.delete(listener);
  },
  // listener('open' | 'closed') follows the connection; it is told the current state at once.
  onStatus(listener) {
    statusListeners.add(listener);
    listener(status);
    return () => statusListeners.delete(listener);
  },
  get status() {
    return status;
  },
  // The user asks to close the window (a close button, a menu item): the client decides and
  // asks the page to confirm. Not sent on unload, which a reload fires as well.
  requestClose() {
    if (role === 'main' && status !== 'closed') {
      send({ t: 'close' });
    }
  },
  // Hands files to the client as if they were dropped on the window (a page's own drop zone
  // or file input); resolves with the names the client stored them by, in order.
  dropFiles(files) {
    return role === 'main' ? dropFiles(Array.from(files)) : Promise.resolve([]);
  },
};

window.velmora = velmora;
if (role === 'main') {
  forwardWindowInput();
}
connect();

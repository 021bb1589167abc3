// The page side of the bridge: one WebSocket to the client, commands out, calls in.
//
//   import { velmora } from './bridge/bridge.js';
//   const version = await velmora.call('get_version');
//
// The client calls the page's global functions (window[fn]) with one argument and waits for
// the value; a missing function or one that throws answers null, so the client never hangs.

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

// A value that JSON cannot carry (a cycle, a BigInt) answers null rather than nothing.
function sendReply(id, value) {
  let text;
  try {
    text = JSON.stringify({ t: 'reply', id, value: value === undefined ? null : value });
  } catch {
    text = JSON.stringify({ t: 'reply', id, value: null });
  }
  if (socket && socket.readyState === WebSocket.OPEN) {
    socket.send(text);
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

function onMessage(event) {
  let message;
  try {
    message = JSON.parse(event.data);
  } catch {
    console.error('velmora: the client sent a message that is not JSON');
    return;
  }
  if (message.t === 'call') {
    answerCall(message);
  } else if (message.t === 'ret') {
    settle(message.id, ({ name, resolve, reject }) =>
      message.handled ? resolve(message.value) : reject(new Error(`command not handled: ${name}`)),
    );
  } else if (message.t === 'error') {
    if (message.id !== undefined) {
      settle(message.id, ({ reject }) => reject(new Error(message.message)));
    } else {
      console.error('velmora: the client refused a message:', message.message);
    }
  }
}

function connect() {
  // the token comes from the page URL the first time, from the cookie after that
  const token = new URLSearchParams(location.search).get('token');
  const query = `role=${role}` + (token ? `&token=${encodeURIComponent(token)}` : '');
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
};

window.velmora = velmora;
connect();

// The first page: version, a command console and the live list of calls from the client.
import { velmora } from './bridge/bridge.js';

const kMaxEvents = 200;

const $ = (id) => document.getElementById(id);

function showConnection(state) {
  const element = $('connection');
  element.dataset.state = state;
  element.textContent = state;
}

function addEvent(fn, arg) {
  const list = $('events');
  const item = document.createElement('li');
  const name = document.createElement('span');
  name.className = 'fn';
  name.textContent = fn;
  const value = document.createElement('span');
  value.className = 'arg';
  value.textContent = JSON.stringify(arg);
  item.append(name, value);
  list.prepend(item);
  while (list.children.length > kMaxEvents) {
    list.lastElementChild.remove();
  }
  $('event-count').textContent = `(${list.children.length})`;
}

async function showVersion() {
  try {
    const version = await velmora.call('get_version');
    $('build-number').textContent = version[0];
    $('version-text').textContent = version[12].trim();
  } catch (error) {
    $('build-number').textContent = '?';
    console.error('velmora: get_version failed', error);
  }
}

async function runCommand(event) {
  event.preventDefault();
  const result = $('command-result');
  result.classList.remove('failed');
  try {
    const args = JSON.parse($('command-args').value || '[]');
    if (!Array.isArray(args)) {
      throw new Error('the arguments must be a JSON array');
    }
    const value = await velmora.call($('command-name').value.trim(), ...args);
    const compact = JSON.stringify(value) ?? 'null';
    result.textContent = compact.length <= 100 ? compact : JSON.stringify(value, null, 2);
  } catch (error) {
    result.classList.add('failed');
    result.textContent = error.message;
  }
}

// The client asks for the page's saved settings at start; none are kept yet.
window.get_resume_data = async () => {
  try {
    await velmora.call('set_resumed_settings', []);
  } catch (error) {
    console.error('velmora: set_resumed_settings failed', error);
  }
  return 0;
};

// This page keeps no torrent list yet: every torrent is new, and a torrent file starts at
// once with what it brings.
window.IndexFromHash = () => -1;
window.pre_add_torrent = (torrent) => [
  1, false, true, 0, '', torrent.trackers ?? [], torrent.save_path ?? '', false,
];
window.show_magnet_options = async () => {
  const folder = await velmora.call('get_user_download_folder');
  return [1, false, true, 0, '', [], folder, false];
};
window.get_files_prioraty = () => [];
window.do_exit = () => 1;

velmora.onStatus(showConnection);
velmora.onCall(addEvent);
$('console').addEventListener('submit', runCommand);
$('quit').addEventListener('click', () => velmora.requestClose());
showVersion();

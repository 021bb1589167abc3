#!/usr/bin/python3
"""Loopback transfer benchmark: the client downloads a 2 GiB torrent from a foreign seeder, beside
the "floor", a bare session of the engine's Python binding with the client's own settings.

Usage: bench/transfer_bench.py (RUNS, VELMORA_BENCH_DIR and VELMORA_BIN from the environment).

The seeder listens on 127.0.0.2 and seeds the same data as two torrents, one with the engine's
automatic piece size and one with 4 MiB pieces. Each run starts a fresh downloader (the client on
its console page, with each of the engine's two disk back ends, or the floor), has it dial the
seeder and times it from the add until the seeder sees it hold every piece. Rows of medians go to
stdout; progress and the single runs go to stderr.

The same file is also the seeder (`seed`) and the floor (`floor`) that the benchmark starts, so
that the downloaders' own processes can be measured from /proc.
"""
import json
import os
import queue
import re
import shutil
import signal
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path

import libtorrent as lt

from loopback_filter import loopback_filter

ROOT = Path(__file__).resolve().parent.parent
SEEDER_HOST = '127.0.0.2'
DATA_SIZE = 2 << 30
MIB = 1 << 20
GIB = 1 << 30
# The client's settings file in every run's home: the loopback rules of the benchmarks, like
# the tests' loopback_client_settings(). The floor takes the same values.
LOOPBACK_SETTINGS = {
    'use_dht': False,
    'use_lsd': False,
    'use_upnp': False,
    'use_natpmp': False,
    'enable_incoming_utp': False,
    'enable_outgoing_utp': False,
    'port_type': 2,  # ports of the system's choosing
    'allow_multiple_connections_per_ip': True,
    'respect_sleep': True,  # a benchmark never holds the machine awake
}
# What the engine needs besides the settings to take peers from loopback only.
NETWORK_OFF = {
    'enable_dht': False,
    'enable_lsd': False,
    'enable_upnp': False,
    'enable_natpmp': False,
    'enable_incoming_utp': False,
    'enable_outgoing_utp': False,
    'dht_bootstrap_nodes': '',
}


def log(*words):
    print(*words, file=sys.stderr, flush=True)


# --- the client's engine settings, read from its sources so that the floor follows them ---

def client_defaults():
    """The defaults of ClientSettings: flags, integers and texts by member name."""
    text = (ROOT / 'src/config/client_settings.h').read_text()
    body = text[text.index('struct ClientSettings {'):]
    values = {}
    for kind, name, value in re.findall(r'^\s*(bool|std::int32_t)\s+(\w+)\s*=\s*(-?\w+);', body,
                                        re.M):
        values[name] = value == 'true' if kind == 'bool' else int(value)
    for name in re.findall(r'^\s*std::string\s+(\w+)[;{]', body, re.M):
        values.setdefault(name, '')
    return values


def client_engine_pack(listen_interfaces):
    """The settings pack the client's session gets (settings_pack_for() with loopback only)."""
    source = (ROOT / 'src/engine/session_settings.cpp').read_text()

    def names(table):
        block = re.search(r'%s\[\] = \{(.*?)\};' % table, source, re.S).group(1)
        return re.findall(r'"(\w+)"', block)

    def constant(name):
        return int(re.search(r'%s = (\w+);' % name, source).group(1), 0)

    settings = client_defaults()
    settings.update(LOOPBACK_SETTINGS)
    known = lt.default_settings()
    pack = {}
    for name in names('kPackedFlags') + names('kPackedNumbers') + names('kPackedTexts'):
        if name in settings and name in known:
            pack[name] = settings[name]
    # The binding looks settings up by name, and the engine's name table has these two swapped
    # against its own keys; the client sets them by key.
    pack['announce_to_all_tiers'], pack['announce_to_all_trackers'] = (
        settings['announce_to_all_trackers'], settings['announce_to_all_tiers'])
    pack.update(NETWORK_OFF)
    pack.update({
        'alert_mask': constant('kBaseAlertMask'),
        'alert_queue_size': constant('kBaseAlertQueue'),
        'use_dht_as_fallback': False,
        'user_agent': 'Velmora',
        'peer_fingerprint': lt.generate_fingerprint('VL', 2, 9, 6, 0),
        'listen_interfaces': listen_interfaces,
        'outgoing_interfaces': '',
        'apply_ip_filter_to_trackers': True,
    })
    return pack


def started_params(info, save_path):
    """Add parameters of a torrent that runs at once, as the client's add dialog starts it."""
    cleared = (lt.torrent_flags.paused | lt.torrent_flags.auto_managed
               | lt.torrent_flags.duplicate_is_error | lt.torrent_flags.stop_when_ready)
    return {'ti': info, 'save_path': str(save_path),
            'flags': lt.torrent_flags.default_flags & ~cleared}


# --- /proc figures of a downloader ---

CLOCK_TICKS = os.sysconf('SC_CLK_TCK')


def cpu_seconds(pid):
    """utime + stime of the process itself, in seconds."""
    with open('/proc/%d/stat' % pid) as stat:
        fields = stat.read().rsplit(')', 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS


def rss_anon_kib(pid):
    with open('/proc/%d/status' % pid) as status:
        for line in status:
            if line.startswith('RssAnon:'):
                return int(line.split()[1])
    return 0


def maps_file(pid, path):
    with open('/proc/%d/maps' % pid) as maps:
        return any(line.rstrip().endswith(str(path)) for line in maps)


class Sampler:
    """Peak RssAnon every 100 ms, and whether the download file is ever memory-mapped."""

    def __init__(self, pid, download):
        self.pid, self.download = pid, download
        self.peak_kib, self.mapped = 0, False
        self.stopped = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        while True:
            try:
                self.peak_kib = max(self.peak_kib, rss_anon_kib(self.pid))
                self.mapped = self.mapped or maps_file(self.pid, self.download)
            except OSError:
                return
            if self.stopped.wait(0.1):
                return

    def stop(self):
        self.stopped.set()
        self.thread.join()


def reader(stream, lines):
    for line in stream:
        lines.put(line)
    lines.put(None)


# --- the seeder ---

def seed_main(save_path, *torrent_files):
    """Seeds the torrents on 127.0.0.2 and reports on stdin's orders:
    `watch HASH` prints `connected HASH` once a peer of that torrent stands, and `done HASH TIME`
    (time.monotonic()) once that peer holds every piece."""
    session = lt.session(dict(NETWORK_OFF, **{
        'listen_interfaces': SEEDER_HOST + ':0',
        'allow_multiple_connections_per_ip': True,
        'alert_mask': lt.alert.category_t.error_notification,
    }))
    handles = {}
    for file in torrent_files:
        info = lt.torrent_info(file)
        params = started_params(info, save_path)
        params['flags'] |= lt.torrent_flags.seed_mode  # the data is the one it was made from
        handles[str(info.info_hashes().v1)] = session.add_torrent(params)
    while not all(h.status().is_seeding for h in handles.values()):
        time.sleep(0.05)
    print('seeding', session.listen_port(), flush=True)
    orders = queue.Queue()
    threading.Thread(target=reader, args=(sys.stdin, orders), daemon=True).start()
    watched = None
    while True:
        try:
            order = orders.get(timeout=0.005 if watched else None)
            if order is None:
                return
            words = order.split()
            if len(words) == 2 and words[0] == 'watch':
                handle = handles[words[1]]
                watched = [words[1], handle, handle.status().total_payload_upload, False,
                           handle.torrent_file().total_size()]
        except queue.Empty:
            pass
        if watched:
            hash_, handle, sent_before, connected, size = watched
            peers = [p for p in handle.get_peer_info()
                     if not p.flags & (lt.peer_info.connecting | lt.peer_info.handshake)]
            if peers and not connected:
                watched[3] = True
                print('connected', hash_, flush=True)
            sent = handle.status().total_payload_upload - sent_before
            # a peer that completes closes the connection at once, maybe before its last
            # piece's have message is seen here
            if any(p.flags & lt.peer_info.seed for p in peers) or (
                    connected and not peers and sent >= size):
                print('done', hash_, repr(time.monotonic()), sent, flush=True)
                watched = None


class Seeder:
    def __init__(self, data_file, torrents):
        self.process = subprocess.Popen(
            ['/usr/bin/python3', __file__, 'seed', str(data_file.parent)]
            + [str(t) for t in torrents],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.lines = queue.Queue()
        threading.Thread(target=reader, args=(self.process.stdout, self.lines),
                         daemon=True).start()
        words = self.expect('seeding', 120)
        self.port = int(words[1])

    def expect(self, word, timeout):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            try:
                line = self.lines.get(timeout=max(0.0, end - time.monotonic()))
            except queue.Empty:
                break
            if line is None:
                raise RuntimeError('the seeder ended')
            words = line.split()
            if words and words[0] == word:
                return words
        return None

    def watch(self, hash_):
        self.process.stdin.write('watch %s\n' % hash_)
        self.process.stdin.flush()

    def close(self):
        self.process.stdin.close()
        self.process.wait(30)


# --- the floor ---

def floor_main(pack_file, torrent_file, save_path):
    """A bare session with the client's settings. Orders on stdin: `go` adds the torrent,
    `dial PORT` connects it to the seeder; prints `finished TIME` at its finished alert."""
    with open(pack_file) as pack:
        session = lt.session(json.load(pack))
    session.set_ip_filter(loopback_filter())
    info = lt.torrent_info(torrent_file)
    print('ready', flush=True)
    orders = queue.Queue()
    threading.Thread(target=reader, args=(sys.stdin, orders), daemon=True).start()
    handle = None
    finished = False
    while True:
        try:
            order = orders.get(timeout=0 if handle and not finished else None)
        except queue.Empty:
            order = ''
        if order is None:
            return
        words = order.split()
        if words == ['go']:
            handle = session.add_torrent(started_params(info, save_path))
        elif len(words) == 2 and words[0] == 'dial':
            handle.connect_peer((SEEDER_HOST, int(words[1])))
        if handle and not finished:
            # the client's tick takes its alerts in the same way, all at once
            session.wait_for_alert(50)
            for alert in session.pop_alerts():
                if isinstance(alert, lt.torrent_finished_alert):
                    finished = True
                    print('finished', repr(time.monotonic()), flush=True)


class Floor:
    name = 'floor'

    def __init__(self, pack_file, torrent, downloads):
        self.process = subprocess.Popen(
            ['/usr/bin/python3', __file__, 'floor', str(pack_file), str(torrent), str(downloads)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.lines = queue.Queue()
        threading.Thread(target=reader, args=(self.process.stdout, self.lines),
                         daemon=True).start()
        if self.lines.get(timeout=60) != 'ready\n':
            raise RuntimeError('the floor did not start')
        self.pid = self.process.pid

    def order(self, line):
        self.process.stdin.write(line + '\n')
        self.process.stdin.flush()

    def add(self, _torrent, _hash):
        self.order('go')

    def dial(self, port, _hash):
        self.order('dial %d' % port)

    def close(self):
        self.process.stdin.close()
        self.process.wait(60)


# --- the client on its console page ---

def write_client_settings(file):
    """An advanced settings file with only the loopback values; the rest keeps its defaults."""
    elements = ''.join('<%s>%d</%s>\n' % (name, int(value), name)
                       for name, value in LOOPBACK_SETTINGS.items())
    file.write_text('<?xml version="1.0" encoding="utf-8"?>\n<root>\n%s</root>\n' % elements)


def resumed_settings(downloads):
    """What the page hands back at start-up: the download folder and the run options."""
    saved = [0, 0, '', str(downloads), '', False, 0, False, False, False, 3, 0, 0, 750, 450]
    return [saved + [True] * 10]


class Client:
    def __init__(self, binary, disk_io, home, downloads):
        self.name = 'client ' + disk_io
        self.downloads = downloads
        home.mkdir(parents=True)
        write_client_settings(home / 'advanced-client-settings.xml')
        env = dict(os.environ, VELMORA_LOOPBACK_ONLY='1', VELMORA_POWER_PROGRAM='/bin/true',
                   VELMORA_DISK_IO=disk_io)
        self.stderr = open(home / 'stderr.txt', 'wb')
        self.process = subprocess.Popen([binary, '--ui', 'console', '--home', str(home)],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=self.stderr, env=env)
        self.pid = self.process.pid
        self.write_lock = threading.Lock()
        self.changed = threading.Condition()
        self.calls = []  # the page calls seen: (name, time.monotonic())
        self.results = {}
        self.next_id = 1000
        threading.Thread(target=self.serve, daemon=True).start()
        self.command('start_timer')
        # the page has handed over its settings (the download folder) once the client asks
        # for the torrents to restore
        if not self.wait(lambda: self.seen('get_torrents_to_restore'), 60):
            raise RuntimeError('the client did not start; see ' + str(home / 'stderr.txt'))

    def send(self, message):
        with self.write_lock:
            self.process.stdin.write((json.dumps(message) + '\n').encode())
            self.process.stdin.flush()

    def command(self, name, args=()):
        with self.changed:
            id_ = self.next_id
            self.next_id += 1
        self.send({'t': 'cmd', 'id': id_, 'name': name, 'args': list(args)})
        return id_

    def answer(self, fn):
        if fn == 'IndexFromHash':
            return -1
        if fn == 'get_resume_data':
            self.command('set_resumed_settings', resumed_settings(self.downloads))
            return 0
        if fn == 'pre_add_torrent':  # apply, started, into the download folder
            return [1, False, True, 0, '', [], str(self.downloads), False]
        if fn in ('get_files_prioraty', 'get_torrents_to_restore'):
            return []
        if fn == 'do_exit':
            return 1
        return None

    def serve(self):
        for line in self.process.stdout:
            try:
                message = json.loads(line)
            except ValueError:
                continue
            if not isinstance(message, dict):
                continue
            if message.get('t') == 'call':
                fn = message.get('fn', '')
                value = self.answer(fn)
                self.send({'t': 'reply', 'id': message.get('id'), 'value': value})
                with self.changed:
                    self.calls.append((fn, time.monotonic()))
                    self.changed.notify_all()
            elif message.get('t') == 'ret':
                with self.changed:
                    self.results[message.get('id')] = message.get('value')
                    self.changed.notify_all()
        with self.changed:
            self.calls.append(('', time.monotonic()))  # the end of the page
            self.changed.notify_all()

    def seen(self, fn):
        return any(name == fn for name, _ in self.calls)

    def wait(self, condition, timeout):
        with self.changed:
            return self.changed.wait_for(condition, timeout)

    def result(self, name, args, timeout=20):
        id_ = self.command(name, args)
        self.wait(lambda: id_ in self.results, timeout)
        return self.results.get(id_)

    def add(self, torrent, hash_):
        self.command('add_torrent_to_session', [str(torrent), 0])
        # peers can be given to it once it is in the session; resuming a running torrent
        # changes nothing and answers whether it was found
        end = time.monotonic() + 30
        while not self.result('do_resume_torrent', [hash_]) and time.monotonic() < end:
            time.sleep(0.005)

    def dial(self, port, hash_):
        self.command('do_add_peer_to_torrent', [SEEDER_HOST, 0, port, hash_])

    def close(self):
        # SIGTERM saves the session and ends the client
        self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(60)
        except subprocess.TimeoutExpired:
            log('the client did not end; killed')
            self.process.kill()
            self.process.wait()
        self.stderr.close()


# --- the benchmark ---

def prepare_data(data):
    """The 2 GiB of random data (shared with run-benchmarks.sh) and its two torrents."""
    data.mkdir(parents=True, exist_ok=True)
    big = data / 'random-2GiB.bin'
    if not big.exists() or big.stat().st_size != DATA_SIZE:
        log('writing', big)
        part = big.with_suffix('.part')
        with open(part, 'wb') as out:
            for _ in range(DATA_SIZE // (16 * MIB)):
                out.write(os.urandom(16 * MIB))
        part.rename(big)
    torrents = []
    for tag, piece_size in (('auto', 0), ('4MiB', 4 * MIB)):
        file = data / ('transfer-%s.torrent' % tag)
        if not file.exists() or file.stat().st_mtime < big.stat().st_mtime:
            log('hashing', file)
            storage = lt.file_storage()
            lt.add_files(storage, str(big))
            creator = lt.create_torrent(storage, piece_size, lt.create_torrent.v1_only)
            lt.set_piece_hashes(creator, str(data))
            part = file.with_suffix('.part')
            part.write_bytes(lt.bencode(creator.generate()))
            part.rename(file)
        torrents.append(file)
    with open(big, 'rb') as cached:  # the seeder's file in the page cache, for everyone alike
        while cached.read(16 * MIB):
            pass
    return big, torrents


def clear(*folders):
    for folder in folders:
        shutil.rmtree(folder, ignore_errors=True)
    os.sync()


def one_run(make, seeder, torrent, hash_, scratch):
    downloads = scratch / 'downloads'
    clear(scratch)
    downloads.mkdir(parents=True)
    downloader = make(scratch, downloads)
    try:
        seeder.watch(hash_)
        sampler = Sampler(downloader.pid, downloads / 'random-2GiB.bin')
        cpu_before = cpu_seconds(downloader.pid)
        start = time.monotonic()
        downloader.add(torrent, hash_)
        dials = 0
        while dials < 10:
            downloader.dial(seeder.port, hash_)
            dials += 1
            # a torrent that was just added may still be checking and turn the peer away
            if seeder.expect('connected', 2):
                break
        connected = time.monotonic()
        done = seeder.expect('done', 600)
        if done is None:
            raise RuntimeError('%s: no complete download' % downloader.name)
        end = float(done[2])
        cpu = cpu_seconds(downloader.pid) - cpu_before
        sampler.stop()
    finally:
        downloader.close()
    seconds = end - start
    figures = {
        'seconds': seconds,
        'mib_s': DATA_SIZE / MIB / seconds,
        'cpu_s_gib': cpu / (DATA_SIZE / GIB),
        'peak_mib': sampler.peak_kib / 1024,
    }
    log('  %-12s %6.2f s (dialled %.3f s after the add, %d dial%s) %7.1f MiB/s  CPU %5.2f s/GiB'
        '  peak RssAnon %6.1f MiB  file mapped: %s'
        % (downloader.name, seconds, connected - start, dials, '' if dials == 1 else 's',
           figures['mib_s'], figures['cpu_s_gib'], figures['peak_mib'],
           'yes' if sampler.mapped else 'no'))
    figures['mapped'] = sampler.mapped
    clear(scratch)
    return figures


def bench_main():
    runs = int(os.environ.get('RUNS', '3'))
    data = Path(os.environ.get('VELMORA_BENCH_DIR', '/tmp/velmora-bench'))
    binary = os.environ.get('VELMORA_BIN', str(ROOT / 'build/release/src/host/velmora'))
    if not os.access(binary, os.X_OK):
        log('no client binary at %s (set VELMORA_BIN)' % binary)
        return 1
    big, torrents = prepare_data(data)
    scratch = data / 'transfer-run'
    pack_file = data / 'transfer-floor-settings.json'
    pack_file.write_text(json.dumps(client_engine_pack('127.0.0.1:0,[::1]:0,127.0.0.1:0s,[::1]:0s')))
    seeder = Seeder(big, torrents)
    contenders = {
        'mmap': lambda t: lambda dir_, dl: Client(binary, 'mmap', dir_ / 'home', dl),
        'posix': lambda t: lambda dir_, dl: Client(binary, 'posix', dir_ / 'home', dl),
        'floor': lambda t: lambda dir_, dl: Floor(pack_file, t, dl),
    }
    results = {}
    try:
        for run in range(runs):
            for torrent in torrents:
                info = lt.torrent_info(str(torrent))
                hash_ = str(info.info_hashes().v1)
                log('run %d of %d, %s (%d KiB pieces)'
                    % (run + 1, runs, torrent.name, info.piece_length() // 1024))
                for name, make in contenders.items():
                    figures = one_run(make(torrent), seeder, torrent, hash_, scratch)
                    results.setdefault((torrent, name), []).append(figures)
    finally:
        seeder.close()

    def median(torrent, name, key):
        return statistics.median(f[key] for f in results[(torrent, name)])

    floor_mapped = all(f['mapped'] for (_, name), runs_ in results.items() if name == 'floor'
                       for f in runs_)
    floor_io = 'its default: mmap' if floor_mapped else 'its default'
    reference = 'python3-libtorrent session, same settings (%s)' % floor_io
    for torrent in torrents:
        pieces = lt.torrent_info(str(torrent)).piece_length() // 1024
        label = ('%d KiB pieces (auto)' % pieces if 'auto' in torrent.name
                 else '%d MiB pieces' % (pieces // 1024))
        for io in ('mmap', 'posix'):
            for key, what, unit, target in (
                    ('mib_s', 'transfer', 'MiB/s, higher', '>= 100%'),
                    ('cpu_s_gib', 'transfer CPU', 'CPU s/GiB, lower', '<= 100%'),
                    ('peak_mib', 'transfer peak RssAnon', 'MiB, lower', '-')):
                print('ROW\t%s, 2 GiB, %s, %s (%s)\t%.2f\t%.2f\t%s\t%s' % (
                    what, label, io, unit, median(torrent, io, key),
                    median(torrent, 'floor', key), target, reference), flush=True)
    log('machine: %d cores, load %s; medians of %d runs'
        % (os.cpu_count(), ' '.join(open('/proc/loadavg').read().split()[:3]), runs))
    return 0


def main():
    if len(sys.argv) > 1 and sys.argv[1] == 'seed':
        return seed_main(*sys.argv[2:])
    if len(sys.argv) > 1 and sys.argv[1] == 'floor':
        return floor_main(*sys.argv[2:])
    # every session of the benchmark runs in a network namespace of its own with only loopback,
    # where the machine allows it
    if os.environ.get('VELMORA_TRANSFER_BENCH_INSIDE') != '1':
        env = dict(os.environ, VELMORA_TRANSFER_BENCH_INSIDE='1')
        os.execve('/bin/sh', ['/bin/sh', str(ROOT / 'tools/netns-run'), '/usr/bin/python3',
                              str(Path(__file__).resolve())] + sys.argv[1:], env)
    return bench_main()


if __name__ == '__main__':
    sys.exit(main())

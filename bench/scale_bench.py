#!/usr/bin/python3
"""The client at scale, beside a bare engine session (bench/scale_floor.py) with the same engine
settings: the tick with 1,000 and 10,000 seeding torrents, start-up (restore of every record)
and exit (every record saved) with 10,000 and 50,000, and the memory each torrent costs.

Rows go to stdout as bench/run-benchmarks.sh prints them; everything else to stderr.
Environment: VELMORA_BENCH_DIR (data, kept), VELMORA_BIN (the client), VELMORA_SCALE_SETUP
(bench/scale_setup beside the client's build), RUNS (default 3), SCALE_SIZES (e.g. "1000":
every part at these sizes only), SCALE_LARGE_RUNS (runs at 50,000, default 1).
Run it under tools/netns-run: the client and the floor listen on loopback only.

The exit figures depend on the file system under VELMORA_BENCH_DIR. The client replaces each
record by a new file renamed over it, the floor rewrites each in place. Ext4 without a journal
passes over the inodes freed in the last minute or so each time it allocates one, so there the
client's 10,000 new files, made a minute after the last run freed 10,000, cost seconds that a
journalled ext4 does not charge.
"""
import hashlib
import json
import os
import random
import select
import shutil
import statistics
import subprocess
import sys
import time

import libtorrent as lt

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BENCH_DIR = os.environ.get("VELMORA_BENCH_DIR", "/tmp/velmora-bench")
BIN = os.environ.get("VELMORA_BIN", os.path.join(ROOT, "build/release/src/host/velmora"))
SETUP = os.environ.get("VELMORA_SCALE_SETUP",
                       os.path.join(os.path.dirname(BIN), "..", "..", "bench", "scale_setup"))
FLOOR = os.path.join(ROOT, "bench", "scale_floor.py")
RUNS = int(os.environ.get("RUNS", "3"))
LARGE = 50000
LARGE_RUNS = int(os.environ.get("SCALE_LARGE_RUNS", "1"))
PIECE = 16384
IDLE_TICKS = 20
# Updates further apart than this belong to different ticks.
BURST_GAP = 0.3


def log(*parts):
    print("scale:", *parts, file=sys.stderr, flush=True)


def row(name, ours, ref, target, ref_name):
    def text(v):
        return v if isinstance(v, str) else "%.6g" % v
    print("ROW\t%s\t%s\t%s\t%s\t%s" % (name, text(ours), text(ref), target, ref_name), flush=True)


def sizes():
    given = os.environ.get("SCALE_SIZES")
    if given:
        chosen = [int(s) for s in given.replace(",", " ").split()]
        return chosen, chosen
    return [1000, 10000], [10000, LARGE]


# ---------------------------------------------------------------------------------------------
# Data: one small file per torrent, the torrents seeded once by a bare session, whose resume data
# (with the info dictionary, as the client saves it) become the records of a client home.

def fixture(n):
    base = os.path.join(BENCH_DIR, "scale-%d" % n)
    done = os.path.join(base, "complete")
    if os.path.exists(done):
        return base
    log("generating %d torrents in %s" % (n, base))
    shutil.rmtree(base, ignore_errors=True)
    data = os.path.join(base, "data")
    records = os.path.join(base, "home", "VTR")
    os.makedirs(data)
    os.makedirs(records)
    rng = random.Random(n)
    infos = []
    for i in range(n):
        name = "f%06d.bin" % i
        # the index leads the content, so that every info-hash differs
        content = b"%08d" % i + rng.randbytes(rng.randint(1024, 8192) - 8)
        with open(os.path.join(data, name), "wb") as f:
            f.write(content)
        pieces = b"".join(hashlib.sha1(content[at:at + PIECE]).digest()
                          for at in range(0, len(content), PIECE))
        info = {b"name": name.encode(), b"length": len(content), b"piece length": PIECE,
                b"pieces": pieces}
        infos.append(lt.torrent_info(lt.bencode({b"info": info})))
    ses = lt.session({"enable_dht": False, "enable_lsd": False, "enable_upnp": False,
                      "enable_natpmp": False, "enable_incoming_utp": False,
                      "enable_outgoing_utp": False, "listen_interfaces": "127.0.0.1:0",
                      "active_checking": 64, "alert_queue_size": 4 * n + 1000,
                      "alert_mask": lt.alert_category.status | lt.alert_category.storage
                      | lt.alert_category.error})
    for ti in infos:
        params = lt.add_torrent_params()
        params.ti = ti
        params.save_path = data
        params.flags &= ~(lt.torrent_flags.paused | lt.torrent_flags.auto_managed)
        ses.async_add_torrent(params)
    checked = 0
    handles = []
    while checked < n:
        ses.wait_for_alert(1000)
        for a in ses.pop_alerts():
            if isinstance(a, lt.torrent_checked_alert):
                checked += 1
                handles.append(a.handle)
            elif isinstance(a, lt.add_torrent_alert) and a.error.value():
                raise SystemExit("add failed: " + a.error.message())
    for h in handles:
        if not h.status().is_seeding:
            raise SystemExit("a generated torrent does not seed")
        h.save_resume_data(lt.torrent_handle.save_info_dict)
    saved = 0
    restore = []
    while saved < n:
        ses.wait_for_alert(1000)
        for a in ses.pop_alerts():
            if isinstance(a, lt.save_resume_data_alert):
                key = str(a.params.info_hashes.v1)
                with open(os.path.join(records, key + ".vtr"), "wb") as f:
                    f.write(lt.write_resume_data_buf(a.params))
                restore.append({"hash": key, "name": a.params.name})
                saved += 1
    del ses
    restore.sort(key=lambda e: e["name"])
    with open(os.path.join(base, "restore.json"), "w", encoding="utf-8") as f:
        json.dump(restore, f)
    open(done, "w").close()
    return base


def empty_home():
    base = os.path.join(BENCH_DIR, "scale-0")
    os.makedirs(os.path.join(base, "home", "VTR"), exist_ok=True)
    os.makedirs(os.path.join(base, "data"), exist_ok=True)
    with open(os.path.join(base, "restore.json"), "w", encoding="utf-8") as f:
        json.dump([], f)
    return base


def prepare_home(base):
    """The home's settings file, fresh each run: the client rewrites it at every exit."""
    settings = os.path.join(base, "home", "advanced-client-settings.xml")
    subprocess.run([SETUP, "settings", settings], check=True)
    pack = os.path.join(base, "pack.json")
    with open(pack, "w", encoding="utf-8") as f:
        subprocess.run([SETUP, "pack", settings], check=True, stdout=f)
    return pack


# ---------------------------------------------------------------------------------------------
# The client on the console page, with this script as its page.

def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid, encoding="ascii") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def stolen_seconds():
    """Time the machine's processors were taken away by the host, all processors together: a
    longest tick or an exit that took it is the host's doing, and the log shows it."""
    with open("/proc/stat", encoding="ascii") as f:
        fields = f.readline().split()
    return int(fields[8]) / os.sysconf("SC_CLK_TCK")


def rss_anon_kib(pid):
    with open("/proc/%d/status" % pid, encoding="ascii") as f:
        for line in f:
            if line.startswith("RssAnon:"):
                return int(line.split()[1])
    return 0


class Tick:
    def __init__(self):
        self.first = None
        self.last = None
        self.bytes = 0
        self.calls = 0


class Client:
    def __init__(self, base, only_changed=True):
        with open(os.path.join(base, "restore.json"), "rb") as f:
            self.restore = f.read()
        self.downloads = os.path.join(base, "data")
        env = dict(os.environ, VELMORA_LOOPBACK_ONLY="1", VELMORA_TICK_LOG="1")
        self.err_path = os.path.join(base, "client-stderr.log")
        self.started = time.monotonic()
        self.proc = subprocess.Popen(
            [BIN, "--ui", "console", "--home", os.path.join(base, "home")],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=open(self.err_path, "wb"),
            env=env, bufsize=0)
        self.out = self.proc.stdout.fileno()
        self.inp = self.proc.stdin.fileno()
        self.pending = b""
        self.replies = []  # answers to the calls of one read, written together as a page would
        self.next_id = 1000
        self.results = {}
        self.counts = {}
        self.last_seen = {}
        self.ticks = []
        self.tick = Tick()
        self.burst = None   # [first, last] arrival of the update_torrent burst going on
        self.bursts = []    # the bursts that ended
        self.added = 0
        self.last_added = None
        self.exit_session = None
        self.command("set_update_only_changed_torrents", [only_changed])
        self.command("start_timer")

    def write(self, data):
        view = memoryview(data)
        while view:
            view = view[os.write(self.inp, view):]

    def command(self, name, args=()):
        self.next_id += 1
        self.write(json.dumps({"t": "cmd", "id": self.next_id, "name": name,
                               "args": list(args)}).encode() + b"\n")
        return self.next_id

    def answer(self, fn):
        if fn == b"get_resume_data":
            saved = [0, 0, "", self.downloads, "", False, 0, False, False, False, 3, 0, 0, 750,
                     450] + [True] * 10
            self.command("set_resumed_settings", [saved])
            return b"0"
        if fn == b"get_torrents_to_restore":
            return self.restore
        if fn == b"get_files_prioraty":
            return b"[]"
        if fn == b"IndexFromHash":
            return b"-1"
        if fn == b"do_exit":
            return b"1"
        return b"null"

    def take(self, line, now):
        if line.startswith(b'{"t":"call","id":'):
            # the keys come in the order t, id, fn, arg: the head is read without decoding the arg
            at = line.index(b',', 17)
            ident = line[17:at]
            end = line.index(b'"', at + 7)
            fn = line[at + 7:end]
            self.replies.append(b'{"t":"reply","id":%s,"value":%s}\n' % (ident, self.answer(fn)))
            self.counts[fn] = self.counts.get(fn, 0) + 1
            self.last_seen[fn] = now
            tick = self.tick
            if tick.first is None:
                tick.first = now
            tick.last = now
            tick.bytes += len(line) + 1
            tick.calls += 1
            if fn == b"update_torrent":
                # A tick's updates come as one burst; the statistics that end a tick here may
                # come a pass late, so bursts, not ticks, time the delivery.
                if self.burst is None or now - self.burst[1] > BURST_GAP:
                    if self.burst is not None:
                        self.bursts.append(tuple(self.burst))
                    self.burst = [now, now]
                else:
                    self.burst[1] = now
            elif fn == b"do_statusbar":
                self.ticks.append(tick)
                self.tick = Tick()
            elif fn == b"add_torrent_alert":
                self.added += 1
                self.last_added = now
            elif fn == b"exit_session":
                self.exit_session = now
        elif line.startswith(b'{"t":"ret",'):
            message = json.loads(line)
            self.results[message.get("id")] = message.get("value")

    def serve(self, done, timeout):
        deadline = time.monotonic() + timeout
        while not done():
            left = deadline - time.monotonic()
            if left <= 0:
                return False
            ready, _, _ = select.select([self.out], [], [], min(left, 0.5))
            if not ready:
                if self.proc.poll() is not None:
                    return done()
                continue
            chunk = os.read(self.out, 1 << 20)
            now = time.monotonic()
            if not chunk:
                self.proc.wait()
                return done()
            self.pending += chunk
            lines = self.pending.split(b"\n")
            self.pending = lines.pop()
            for line in lines:
                self.take(line, now)
            if self.replies:
                self.write(b"".join(self.replies))
                self.replies = []
        return True

    def serve_ticks(self, count, timeout=120):
        target = len(self.ticks) + count
        return self.serve(lambda: len(self.ticks) >= target, timeout)

    def tick_log(self):
        with open(self.err_path, encoding="utf-8", errors="replace") as f:
            return [int(l.split()[2]) for l in f if l.startswith("velmora: tick ")]

    def close(self, timeout=600):
        """The page's close request; seconds to the exit_session event and to the process end."""
        asked = time.monotonic()
        self.write(b'{"t":"close"}\n')
        self.serve(lambda: self.proc.poll() is not None, timeout)
        self.proc.wait(timeout)
        ended = time.monotonic()
        saved = (self.exit_session - asked) if self.exit_session else float("nan")
        return saved, ended - asked

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


class Floor:
    def __init__(self, base, pack):
        self.out_dir = os.path.join(base, "floor-out")
        # python3-libtorrent has been seen to crash (a protection fault in libstdc++) while the
        # floor starts, once in some hundred starts: a second start is the same measurement
        for attempt in (1, 2):
            shutil.rmtree(self.out_dir, ignore_errors=True)
            # the client's save replaces the records it has: the floor's replaces the same files
            shutil.copytree(os.path.join(base, "home", "VTR"), self.out_dir)
            os.sync()
            self.started = time.monotonic()
            self.proc = subprocess.Popen(
                ["/usr/bin/python3", FLOOR, pack, os.path.join(base, "home", "VTR"),
                 self.out_dir],
                stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=dict(os.environ), text=True,
                bufsize=1)
            line = self.proc.stdout.readline()
            self.added_at = time.monotonic()
            if line.startswith("added "):
                break
            code = self.proc.wait()
            if attempt == 2:
                raise SystemExit("the floor did not start: %r (exit %s)" % (line, code))
            log("the floor ended before its first line (exit %s); starting it again" % code)
        self.added = int(line.split()[1])

    def ask(self, text):
        self.proc.stdin.write(text + "\n")
        self.proc.stdin.flush()
        return self.proc.stdout.readline().split()

    def close(self):
        asked = time.monotonic()
        answer = self.ask("exit")
        self.proc.wait(600)
        ended = time.monotonic()
        shutil.rmtree(self.out_dir, ignore_errors=True)
        return float(answer[2]), ended - asked


# ---------------------------------------------------------------------------------------------

def median(values):
    return statistics.median(values) if values else float("nan")


def settle(client, n, timeout):
    """Serves until the restore ended, then until the ticks are idle again."""
    if not client.serve(lambda: client.added >= n, timeout):
        raise SystemExit("the client added %d of %d torrents" % (client.added, n))
    client.serve_ticks(3, 60)


def tick_part(n, runs):
    base = fixture(n)
    figures = {}
    for run in range(runs):
        for only_changed in (True, False):
            prepare_home(base)
            client = Client(base, only_changed)
            try:
                settle(client, n, 600)
                # the all-torrents mode reports every torrent each tick: its ticks are alike
                client.serve_ticks(2, 120)
                ticks_before = len(client.ticks)
                bursts_before = len(client.bursts)
                log_before = len(client.tick_log())
                cpu_before = cpu_seconds(client.proc.pid)
                stolen_before = stolen_seconds()
                wall_before = time.monotonic()
                client.serve_ticks(IDLE_TICKS, 60 + 10 * IDLE_TICKS)
                cpu = cpu_seconds(client.proc.pid) - cpu_before
                wall = time.monotonic() - wall_before
                measured = client.ticks[ticks_before:]
                own = client.tick_log()[log_before:]
                key = "changed" if only_changed else "all"
                figures.setdefault(key + " stolen", []).append(stolen_seconds() - stolen_before)
                figures.setdefault(key + " cpu", []).append(100.0 * cpu / wall)
                figures.setdefault(key + " bytes", []).append(
                    sum(t.bytes for t in measured) / len(measured))
                figures.setdefault(key + " seen", []).append(
                    1000.0 * max((last - first for first, last in client.bursts[bursts_before:]),
                                 default=0.0))
                if own:
                    figures.setdefault(key + " own", []).append(max(own) / 1000.0)
                client.close()
            finally:
                client.kill()
        pack = prepare_home(base)
        floor = Floor(base, pack)
        for key in ("changed", "all"):
            seconds = float(floor.ask("tick %s %d" % (key, IDLE_TICKS))[1])
            figures.setdefault(key + " floor cpu", []).append(100.0 * seconds / IDLE_TICKS)
        floor.close()
        log("tick %d run %d: %s" % (n, run + 1, {k: round(v[-1], 3) for k, v in figures.items()}))
    m = {k: median(v) for k, v in figures.items()}
    label = "%d torrents" % n
    row("tick, %s, changed only, idle CPU (%% of a core, lower)" % label, m["changed cpu"],
        m["changed floor cpu"], "<= 1 %" if n >= 10000 else "-",
        "bare session posting updates each second")
    row("tick, %s, all reported, CPU (%% of a core, lower)" % label, m["all cpu"],
        m["all floor cpu"], "-", "bare session reading every status each second")
    row("tick, %s, changed only, events (bytes/tick, lower)" % label, m["changed bytes"], "-",
        "-", "-")
    row("tick, %s, all reported, events (bytes/tick, lower)" % label, m["all bytes"], "-", "-",
        "-")
    row("tick, %s, all reported, longest tick's own work (ms, lower)" % label,
        m.get("all own", float("nan")), 1000, "well inside 1000" if n >= 10000 else "-",
        "the tick period")
    row("tick, %s, all reported, first to last update_torrent as the page sees them (ms, lower)"
        % label,
        m["all seen"], 1000, "well inside 1000" if n >= 10000 else "-", "the tick period")
    row("tick, %s, changed only, longest tick's own work (ms, lower)" % label,
        m.get("changed own", float("nan")), 1000, "-", "the tick period")


def baseline_memory():
    base = empty_home()
    pack = prepare_home(base)
    client = Client(base)
    try:
        client.serve_ticks(3, 60)
        ours = rss_anon_kib(client.proc.pid)
        client.close()
    finally:
        client.kill()
    floor = Floor(base, pack)
    ref = rss_anon_kib(floor.proc.pid)
    floor.close()
    return ours, ref


def start_part(n, runs, empty):
    base = fixture(n)
    figures = {}
    for run in range(runs):
        prepare_home(base)
        stolen_before = stolen_seconds()
        client = Client(base)
        try:
            settle(client, n, 1200)
            figures.setdefault("start", []).append(client.last_added - client.started)
            figures.setdefault("mem", []).append(
                (rss_anon_kib(client.proc.pid) - empty[0]) * 1024.0 / n)
            saved, ended = client.close()
            figures.setdefault("save", []).append(saved)
            figures.setdefault("exit", []).append(ended)
            figures.setdefault("stolen", []).append(stolen_seconds() - stolen_before)
        finally:
            client.kill()
        pack = prepare_home(base)
        floor = Floor(base, pack)
        figures.setdefault("floor start", []).append(floor.added_at - floor.started)
        time.sleep(3)  # as long as the client's three settling ticks
        figures.setdefault("floor mem", []).append(
            (rss_anon_kib(floor.proc.pid) - empty[1]) * 1024.0 / n)
        saved, ended = floor.close()
        figures.setdefault("floor save", []).append(saved)
        figures.setdefault("floor exit", []).append(ended)
        log("start %d run %d: %s" % (n, run + 1, {k: round(v[-1], 3)
                                                  for k, v in figures.items()}))
    m = {k: median(v) for k, v in figures.items()}
    label = "%d torrents" % n + ("" if runs == RUNS else ", %d run%s" % (runs, "s"[:runs - 1]))
    row("start-up, %s, restore to last add (s, lower)" % label, m["start"], m["floor start"],
        "<= 1.5 x", "bare session adding the same records")
    row("exit, %s, close request to process end (s, lower)" % label, m["exit"], m["floor exit"],
        "<= 1.5 x", "bare session saving every torrent")
    row("exit, %s, close request to the save's end (s, lower)" % label, m["save"],
        m["floor save"], "-", "bare session's save alone")
    row("memory per torrent, %s (bytes of RssAnon, lower)" % label, m["mem"], m["floor mem"],
        "<= 1.2 x", "bare session with the same torrents")


def main():
    for tool in (BIN, SETUP):
        if not os.access(tool, os.X_OK):
            raise SystemExit("scale: %s is missing; build the release preset" % tool)
    os.makedirs(BENCH_DIR, exist_ok=True)
    tick_sizes, start_sizes = sizes()
    for n in tick_sizes:
        tick_part(n, RUNS)
    empty = baseline_memory()
    log("RssAnon with no torrent: client %d KiB, floor %d KiB" % empty)
    for n in start_sizes:
        start_part(n, LARGE_RUNS if n >= LARGE else RUNS, empty)


if __name__ == "__main__":
    main()

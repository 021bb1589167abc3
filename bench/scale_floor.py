#!/usr/bin/python3
"""The floor of the scale benchmark: a bare engine session with the client's own engine settings
and nothing else. It adds every record of a folder (async_add_torrent of each record's resume
data, flags as the client's restore sets them), tells on stdout when the last add is answered,
then does what it is told on stdin, one word a line:

  tick changed K | tick all K   K ticks of a second, each with the engine requests of the
                                client's tick (changed: posted updates; all: every status with
                                its peers, file progress and trackers); prints the CPU seconds
  exit                          saves every torrent's resume data (with its info dictionary),
                                writes each answer as a file in OUT_DIR, ends the session

Usage: scale_floor.py PACK_JSON RECORD_DIR OUT_DIR
Lines on stdout: "added N", "cpu SECONDS", "saved N SECONDS" (the save alone).
"""
import json
import os
import sys
import time

import libtorrent as lt

from loopback_filter import loopback_filter

# the client's restore clears these before the add (its start mask)
START_MASK = (lt.torrent_flags.paused | lt.torrent_flags.auto_managed
              | lt.torrent_flags.duplicate_is_error | lt.torrent_flags.stop_when_ready)


def say(text):
    sys.stdout.write(text + "\n")
    sys.stdout.flush()


def make_alert_room(ses, alerts, base):
    """As the client does before a burst: the engine drops the alerts that do not fit."""
    wanted = alerts + base
    if ses.get_settings()["alert_queue_size"] < wanted:
        ses.apply_settings({"alert_queue_size": wanted})


def add_all(ses, record_dir, base_queue):
    names = [n for n in os.listdir(record_dir) if n.endswith(".vtr")]
    make_alert_room(ses, len(names), base_queue)
    for name in names:
        with open(os.path.join(record_dir, name), "rb") as f:
            params = lt.read_resume_data(f.read())
        params.flags &= ~START_MASK
        ses.async_add_torrent(params)
    added = 0
    while added < len(names):
        ses.wait_for_alert(1000)
        for a in ses.pop_alerts():
            if isinstance(a, lt.add_torrent_alert):
                added += 1
    return added


def tick(ses, mode, count):
    start = time.process_time()
    due = time.monotonic()
    for _ in range(count):
        due += 1.0
        time.sleep(max(0.0, due - time.monotonic()))
        if mode == "changed":
            ses.post_torrent_updates()
        else:
            for status in ses.get_torrent_status(lambda s: True, 0):
                h = status.handle
                h.get_peer_info()
                h.file_progress(lt.torrent_handle.piece_granularity)
                h.trackers()
        ses.post_session_stats()
        ses.pop_alerts()
    return time.process_time() - start


def save_all(ses, out_dir, base_queue):
    started = time.monotonic()
    asked = 0
    torrents = ses.get_torrents()
    make_alert_room(ses, len(torrents), base_queue)
    for h in torrents:
        h.save_resume_data(lt.torrent_handle.save_info_dict)
        asked += 1
    written = 0
    answered = 0
    while answered < asked:
        if ses.wait_for_alert(10000) is None:
            break
        for a in ses.pop_alerts():
            if isinstance(a, lt.save_resume_data_alert):
                name = str(a.params.info_hashes.v1) + ".vtr"
                with open(os.path.join(out_dir, name), "wb") as f:
                    f.write(lt.write_resume_data_buf(a.params))
                written += 1
                answered += 1
            elif isinstance(a, lt.save_resume_data_failed_alert):
                answered += 1
    return written, time.monotonic() - started


def main():
    pack_file, record_dir, out_dir = sys.argv[1:4]
    with open(pack_file, encoding="utf-8") as f:
        pack = json.load(f)
    ses = lt.session(pack)
    ses.set_ip_filter(loopback_filter())
    # the client's own queue size, from the pack, is what every burst's room is added to
    base_queue = pack["alert_queue_size"]
    say("added %d" % add_all(ses, record_dir, base_queue))
    for line in sys.stdin:
        words = line.split()
        if not words:
            continue
        if words[0] == "tick":
            say("cpu %.6f" % tick(ses, words[1], int(words[2])))
        elif words[0] == "exit":
            os.makedirs(out_dir, exist_ok=True)
            written, seconds = save_all(ses, out_dir, base_queue)
            say("saved %d %.6f" % (written, seconds))
            break
    del ses


if __name__ == "__main__":
    main()

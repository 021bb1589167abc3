#!/usr/bin/python3
"""Writes seed records for the record loader fuzzer into the folder it is given.

The well-formed ones are what a real loopback session answers to a resume-data request with
its info dictionary (v1, hybrid and v2-only torrents, one file and several); the others are
the same records with one defect each. Run it through tools/netns-run:
    tools/netns-run tests/fuzz/make_record_seeds.py tests/fuzz/regressions/record_loader
"""
import os
import sys
import tempfile
import time

import libtorrent as lt

# Small pieces and files keep the seeds a few hundred bytes, so mutations stay cheap.
PIECE = 16 * 1024
TRACKER = "http://127.0.0.1:1/announce"


def make_session():
    return lt.session({
        "listen_interfaces": "127.0.0.1:0",
        "enable_dht": False,
        "enable_lsd": False,
        "enable_upnp": False,
        "enable_natpmp": False,
        "enable_incoming_utp": False,
        "enable_outgoing_utp": False,
        "alert_mask": lt.alert.category_t.status_notification | lt.alert.category_t.error_notification,
    })


def make_torrent(root, files, flags):
    storage = lt.file_storage()
    for name, size in files:
        path = os.path.join(root, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as out:
            out.write(bytes((i * 7) % 251 for i in range(size)))
        storage.add_file(name, size)
    creator = lt.create_torrent(storage, PIECE, flags=flags)
    creator.add_tracker(TRACKER)
    lt.set_piece_hashes(creator, root)
    return lt.torrent_info(creator.generate())


def resume_data(session, info, save_path):
    params = lt.add_torrent_params()
    params.ti = info
    params.save_path = save_path
    handle = session.add_torrent(params)
    deadline = time.time() + 30
    while time.time() < deadline and handle.status().state in (
            lt.torrent_status.checking_files, lt.torrent_status.checking_resume_data):
        time.sleep(0.05)
    handle.save_resume_data(lt.save_resume_flags_t.save_info_dict)
    while time.time() < deadline:
        session.wait_for_alert(1000)
        for alert in session.pop_alerts():
            if isinstance(alert, lt.save_resume_data_alert):
                session.remove_torrent(handle)
                return lt.bdecode(lt.write_resume_data_buf(alert.params))
    raise SystemExit("no resume data from the session")


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    session = make_session()
    records = {}
    with tempfile.TemporaryDirectory() as work:
        kinds = [
            ("v1-one-file", [("one/a.bin", 20000)], lt.create_torrent.v1_only),
            ("hybrid-two-files", [("two/a.bin", 9000), ("two/sub/b.bin", 30000)], 0),
            ("v2-one-file", [("three/c.bin", 17000)], lt.create_torrent.v2_only),
        ]
        for label, files, flags in kinds:
            info = make_torrent(work, files, flags)
            records[label] = resume_data(session, info, work)

    def write(name, record):
        data = record if isinstance(record, bytes) else lt.bencode(record)
        with open(os.path.join(out, name + ".vtr"), "wb") as f:
            f.write(data)

    for label, record in records.items():
        write(label, record)
    v1 = records["v1-one-file"]
    hybrid = records["hybrid-two-files"]

    wrong_v1 = dict(hybrid)
    wrong_v1[b"info-hash"] = b"\x01" * 20
    write("hybrid-other-v1-hash", wrong_v1)
    wrong_v2 = dict(hybrid)
    wrong_v2[b"info-hash2"] = b"\x02" * 32
    write("hybrid-other-v2-hash", wrong_v2)
    only_v2 = dict(hybrid)
    del only_v2[b"info-hash"]
    write("hybrid-only-v2-hash", only_v2)
    no_hash = dict(v1)
    del no_hash[b"info-hash"]
    write("v1-no-hash", no_hash)
    no_info = dict(v1)
    del no_info[b"info"]
    write("v1-no-info", no_info)
    no_tag = dict(v1)
    del no_tag[b"file-format"]
    write("v1-no-file-format", no_tag)
    whole = lt.bencode(v1)
    write("v1-cut-short", whole[: len(whole) // 2])
    write("v1-trailing-bytes", whole + b"i1e")


if __name__ == "__main__":
    main()

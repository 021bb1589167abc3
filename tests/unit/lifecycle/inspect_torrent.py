"""Prints the fields of torrent files as a JSON array, one object per file named on the
command line, as the engine's Python binding reads them (plus a few raw keys it does not
expose). A file the engine refuses gives {"error": message}."""

import json
import sys

import libtorrent as lt


def text(value):
    return value.decode("utf-8", "replace") if isinstance(value, bytes) else value


def as_list(value):
    if value is None:
        return []
    return value if isinstance(value, list) else [value]


def file_hashes(info):
    if b"files" in info:
        return [f[b"sha1"].hex() if b"sha1" in f else None for f in info[b"files"]]
    return [info[b"sha1"].hex()] if b"sha1" in info else [None]


def inspect(path):
    with open(path, "rb") as f:
        raw = f.read()
    try:
        ti = lt.torrent_info(path)
    except RuntimeError as e:
        return {"error": str(e)}
    top = lt.bdecode(raw)
    info = top[b"info"]
    hashes = ti.info_hashes()
    files = ti.files()
    return {
        "v1": str(hashes.v1) if hashes.has_v1() else None,
        "v2": str(hashes.v2) if hashes.has_v2() else None,
        "name": ti.name(),
        "piece_length": ti.piece_length(),
        "total_size": ti.total_size(),
        "files": [
            {"path": files.file_path(i), "size": files.file_size(i),
             "pad": bool(files.file_flags(i) & lt.file_storage.flag_pad_file)}
            for i in range(files.num_files())
        ],
        "private": ti.priv(),
        "comment": ti.comment(),
        "creator": ti.creator(),
        "trackers": [[t.url, t.tier] for t in ti.trackers()],
        "url_seeds": [text(u) for u in as_list(top.get(b"url-list"))],
        "http_seeds": [text(u) for u in as_list(top.get(b"httpseeds"))],
        "nodes": [[text(n[0]), n[1]] for n in top.get(b"nodes", [])],
        "similar": [str(h) for h in ti.similar_torrents()],
        "collections": list(ti.collections()),
        "file_hashes": file_hashes(info),
        "ssl_cert": text(info.get(b"ssl-cert", b"")),
        "piece_layers": len(top.get(b"piece layers", {})),
    }


print(json.dumps([inspect(p) for p in sys.argv[1:]]))

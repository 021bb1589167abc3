"""A foreign seeder on 127.0.0.1 for the transfer tests: seeds one torrent and announces it.

Usage: seed.py TORRENT SAVE_PATH. Prints "seeding PORT" once the tracker has answered, then
seeds until its standard input closes.
"""
import sys
import time

import libtorrent as lt


def main():
    torrent, save_path = sys.argv[1], sys.argv[2]
    session = lt.session({
        'listen_interfaces': '127.0.0.1:0',
        'enable_dht': False,
        'enable_lsd': False,
        'enable_upnp': False,
        'enable_natpmp': False,
        'enable_incoming_utp': False,
        'enable_outgoing_utp': False,
        'allow_multiple_connections_per_ip': True,
        'dht_bootstrap_nodes': '',
        'alert_mask': lt.alert.category_t.tracker_notification | lt.alert.category_t.error_notification,
    })
    handle = session.add_torrent({'ti': lt.torrent_info(torrent), 'save_path': save_path})
    deadline = time.time() + 30
    while not handle.status().is_seeding and time.time() < deadline:
        time.sleep(0.05)
    handle.force_reannounce()
    answered = False
    while not answered and time.time() < deadline:
        session.wait_for_alert(200)
        for alert in session.pop_alerts():
            if isinstance(alert, lt.tracker_reply_alert):
                answered = True
    print('seeding' if answered else 'no-tracker', session.listen_port(), flush=True)
    sys.stdin.read()


if __name__ == '__main__':
    main()

"""A foreign seeder on 127.0.0.1 for the transfer tests: seeds one torrent and announces it.

Usage: seed.py TORRENT SAVE_PATH. Prints "seeding PORT" once the tracker has answered, then
seeds until its standard input closes. A line "connect PORT" on standard input makes it open a
connection to 127.0.0.1:PORT; it prints "connected PORT" once that connection stands.
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
    # without a tracker the seeder waits for the test to send it to a client
    answered = not handle.trackers()
    if not answered:
        handle.force_reannounce()
    while not answered and time.time() < deadline:
        session.wait_for_alert(200)
        for alert in session.pop_alerts():
            if isinstance(alert, lt.tracker_reply_alert):
                answered = True
    print('seeding' if answered else 'no-tracker', session.listen_port(), flush=True)
    for line in sys.stdin:
        words = line.split()
        if len(words) == 2 and words[0] == 'connect':
            connect(handle, int(words[1]))


def connect(handle, port):
    """Opens a new connection to the client; one it held before may already be dead."""
    def established():
        return {peer.local_endpoint for peer in handle.get_peer_info()
                if peer.ip[1] == port
                and not peer.flags & (lt.peer_info.connecting | lt.peer_info.handshake)}
    # A small torrent may be fetched and the connection closed between two looks; data sent
    # counts as the connection too.
    old = established()
    sent_before = handle.status().total_payload_upload
    deadline = time.time() + 20
    next_try = 0
    while time.time() < deadline:
        if established() - old or handle.status().total_payload_upload > sent_before:
            print('connected', port, flush=True)
            return
        if time.time() >= next_try:
            # a client turns connections away while its torrent is still checking: ask again
            handle.connect_peer(('127.0.0.1', port))
            next_try = time.time() + 1
        time.sleep(0.05)
    print('not-connected', port, flush=True)


if __name__ == '__main__':
    main()

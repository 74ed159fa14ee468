"""Seeds torrent files with Debian's python3-libtorrent, for the magnet tests.

    /usr/bin/python3 seed_torrents.py DATA_DIR [--tracker URL] TORRENT...

Listens on a free port of 127.0.0.1 only, with DHT, local peer discovery,
UPnP and NAT-PMP off, so it meets nothing but the test's own servers. Checks
the data under DATA_DIR, and once every torrent is seeding (and, with a
tracker, has been announced to it) writes "seeding on port <port>: ready" on stderr.
Then it seeds until it is killed, its parent goes, or a safety cap passes.
"""

import argparse
import os
import sys
import time

import libtorrent as lt

SETUP_CAP_SECONDS = 300
LIFETIME_CAP_SECONDS = 1800


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("data_dir")
    parser.add_argument("--tracker", default="")
    parser.add_argument("torrents", nargs="+")
    args = parser.parse_args()
    parent = os.getppid()

    session = lt.session({
        "listen_interfaces": "127.0.0.1:0",
        "outgoing_interfaces": "127.0.0.1",
        "enable_dht": False,
        "enable_lsd": False,
        "enable_upnp": False,
        "enable_natpmp": False,
        "enable_incoming_utp": False,
        "enable_outgoing_utp": False,
        "allow_multiple_connections_per_ip": True,
        "active_limit": 10000,
        "active_seeds": 10000,
        "active_downloads": 10000,
        "connections_limit": 10000,
        "listen_queue_size": 1000,
        "alert_mask": lt.alert.category_t.error_notification
        | lt.alert.category_t.status_notification
        | lt.alert.category_t.tracker_notification,
    })
    handles = []
    for path in args.torrents:
        params = lt.add_torrent_params()
        params.ti = lt.torrent_info(path)
        params.save_path = args.data_dir
        if args.tracker:
            params.trackers = [args.tracker]
        params.flags &= ~lt.torrent_flags.auto_managed
        params.flags &= ~lt.torrent_flags.paused
        handles.append(session.add_torrent(params))

    announced = set()
    start = time.monotonic()
    while True:
        for alert in session.pop_alerts():
            if isinstance(alert, lt.tracker_reply_alert):
                announced.add(str(alert.handle.info_hash()))
            elif isinstance(alert, lt.tracker_error_alert):
                print("tracker error:", alert.message(), file=sys.stderr, flush=True)
        seeding = sum(1 for h in handles if h.status().is_seeding)
        if seeding == len(handles) and (not args.tracker or len(announced) >= len(handles)):
            break
        if time.monotonic() - start > SETUP_CAP_SECONDS:
            print("not ready: %d of %d seeding, %d announced" % (seeding, len(handles), len(announced)),
                  file=sys.stderr, flush=True)
            return 1
        time.sleep(0.05)
    print("seeding on port %d: ready" % session.listen_port(), file=sys.stderr, flush=True)
    while os.getppid() == parent and time.monotonic() - start < LIFETIME_CAP_SECONDS:
        session.pop_alerts()
        time.sleep(0.2)
    return 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/python3
# A libtorrent peer for the BitTorrent tests, on one loopback address.
# usage: lt_peer.py TORRENT SAVEDIR ADDRESS PORT seed|download [TIMEOUT_S]
# download: exits 0 once the whole torrent is checked and seeding ("DONE"),
# 1 when the time runs out (printing the progress); seed: serves until the
# time runs out or it is killed. DHT, LSD, PEX, uTP, UPnP are off.
# LT_REANNOUNCE_SECONDS=N announces to the trackers every N seconds (the
# tracker's interval is much longer), so that peers that joined later, or a
# peer whose first connection failed, are met again.
import os, sys, time, libtorrent as lt
tor, save, addr, port = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
mode = sys.argv[5] if len(sys.argv) > 5 else "download"
timeout = float(sys.argv[6]) if len(sys.argv) > 6 else 120
s = lt.session({
    "listen_interfaces": f"{addr}:{port}",
    "outgoing_interfaces": addr,
    "enable_dht": False, "enable_lsd": False,
    "enable_upnp": False, "enable_natpmp": False,
    "allow_multiple_connections_per_ip": True,
    "enable_incoming_utp": False, "enable_outgoing_utp": False,
    "anonymous_mode": False,
    "alert_mask": lt.alert.category_t.error_notification | lt.alert.category_t.status_notification
                  | lt.alert.category_t.tracker_notification | lt.alert.category_t.peer_notification,
}, flags=0)
atp = lt.add_torrent_params()
atp.ti = lt.torrent_info(tor)
atp.save_path = save
atp.flags |= lt.torrent_flags.disable_dht | lt.torrent_flags.disable_lsd | lt.torrent_flags.disable_pex
if mode == "seed":
    atp.flags |= lt.torrent_flags.seed_mode
h = s.add_torrent(atp)
t0 = time.time()
reannounce = float(os.environ.get("LT_REANNOUNCE_SECONDS", "0"))
announced = t0
while time.time() - t0 < timeout:
    if reannounce > 0 and time.time() - announced >= reannounce:
        h.force_reannounce()
        announced = time.time()
    for a in s.pop_alerts():
        if a.category() & lt.alert.category_t.error_notification:
            print(f"[{time.time()-t0:6.2f}] {a.what()}: {a.message()}", flush=True)
    st = h.status()
    if mode == "download" and st.is_seeding:
        print(f"DONE in {time.time()-t0:.2f}s", flush=True)
        sys.exit(0)
    time.sleep(0.1)
if mode == "download":
    print(f"TIMEOUT progress={h.status().progress:.3f}", flush=True)
    sys.exit(1)
sys.exit(0)

#!/usr/bin/python3
# libtorrent over uTP only (TCP off both ways), for the NAT-lab benchmark:
#   lt_utp.py TORRENT SAVEDIR LISTEN_PORT seed|download [timeout_s]
# Downloads until the torrent is complete (exit 0) or the time is up (exit
# 1); seeds until killed. Trackers come from the torrent; no DHT, LSD, UPnP,
# NAT-PMP or peer exchange.
import sys, time
import libtorrent as lt

tor, save, port, mode = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
timeout = float(sys.argv[5]) if len(sys.argv) > 5 else 600
s = lt.session({
    "listen_interfaces": f"0.0.0.0:{port}",
    "enable_dht": False, "enable_lsd": False,
    "enable_upnp": False, "enable_natpmp": False,
    "enable_incoming_tcp": False, "enable_outgoing_tcp": False,
    "enable_incoming_utp": True, "enable_outgoing_utp": True,
    "alert_mask": lt.alert.category_t.error_notification,
}, flags=0)
atp = lt.add_torrent_params()
atp.ti = lt.torrent_info(tor)
atp.save_path = save
atp.flags |= lt.torrent_flags.disable_dht | lt.torrent_flags.disable_lsd | lt.torrent_flags.disable_pex
if mode == "seed":
    atp.flags |= lt.torrent_flags.seed_mode
h = s.add_torrent(atp)
end = time.time() + timeout
while time.time() < end:
    st = h.status()
    if mode != "seed" and st.is_seeding:
        sys.exit(0)
    time.sleep(0.1)
sys.exit(0 if mode == "seed" else 1)

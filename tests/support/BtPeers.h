// The standard BitTorrent peers of the peer-wire tests, each on its own
// loopback address (127.0.0.2 and up: the engine refuses peers at
// 127.0.0.1): aria2c and libtorrent (tests/support/lt_peer.py) as seeders
// and leechers with DHT, local discovery and peer exchange off, and lf-get
// runs of our own engine. Torrents are made by mktorrent -p.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/TestDirs.h"

namespace lftest {

// A private torrent of `file` (pieces of 2^pieceLog2 bytes) announcing to
// `announce`, written to `out`; empty when mktorrent failed.
std::string MakePrivateTorrent(const std::string& file, const std::string& announce,
                               const std::string& out, int pieceLog2 = 18);
// The 40 hex digits of a torrent's info hash (as aria2 reads it).
std::string TorrentInfoHash(const std::string& torrent);

// aria2c on `address`:`port` with the torrent's data in `dir`: seeding
// (the data complete; it serves until killed) or downloading (exits 0
// once complete, without seeding). Run it in a namespace whose addresses
// stay as they are while it runs (EnterOwnNetworkNamespace in NetLab.h):
// aria2 keeps AI_ADDRCONFIG when it starts beside an IPv4 address other
// than 127.0.0.1, and every name lookup of its own, numeric ones included,
// fails once that address is gone.
bool StartAria2(ChildProcess* p, const std::string& torrent, const std::string& dir,
                const std::string& address, int port, bool seed, const std::string& log);
// libtorrent likewise; a leecher exits 0 once complete, 1 after
// `seconds`.
bool StartLibtorrent(ChildProcess* p, const std::string& torrent, const std::string& dir,
                     const std::string& address, int port, bool seed, const std::string& log,
                     int seconds = 240);
// lf-get with the arguments, its engine bound to `address` and every
// engine log line on stderr (both outputs go to `log`).
// `env` adds NAME=VALUE settings (LANTERNFISH_* waits).
bool StartLfGet(ChildProcess* p, const std::string& address, const std::vector<std::string>& args,
                const std::string& log, const std::vector<std::string>& env = {});
std::string LfGetPath();

// Exit code of a child that ended (or -1: still running after `limit`, or
// killed by a signal).
int WaitExit(ChildProcess* p, std::chrono::seconds limit);
// Polls `ok` every 100 ms until it holds or `limit` passed.
bool WaitUntil(const std::function<bool()>& ok, std::chrono::seconds limit);
// Both files exist and hold the same bytes.
bool SameFile(const std::string& a, const std::string& b);

}  // namespace lftest

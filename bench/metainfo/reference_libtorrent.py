#!/usr/bin/python3
"""Times libtorrent's reading of the torrents written by `bench_metainfo --write DIR`,
for a side-by-side figure:  reference_libtorrent.py DIR"""
import sys
import time

import libtorrent as lt

for name in ('single-4mib.torrent', 'multi-4mib.torrent'):
    data = open(sys.argv[1] + '/' + name, 'rb').read()
    runs = 20
    start = time.perf_counter()
    for _ in range(runs):
        info = lt.torrent_info(data, {'max_pieces': 1 << 22, 'max_buffer_size': 64 << 20})
    took = (time.perf_counter() - start) / runs
    print('%-22s %8d bytes  libtorrent torrent_info: %.2f ms  (%d pieces, %d files)' %
          (name, len(data), took * 1000, info.num_pieces(), info.num_files()))

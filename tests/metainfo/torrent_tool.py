#!/usr/bin/python3
"""Helpers for the metainfo interoperability tests.

  torrent_tool.py lt-create SRC OUT PIECE_SIZE PRIVATE [TIER:URL ...]
      makes a v1 torrent of SRC with libtorrent and prints libtorrent's info hash
  torrent_tool.py sha1-info FILE
      prints the SHA-1 of the info dictionary's bytes as they stand in FILE
  torrent_tool.py lt-hash FILE
      prints libtorrent's v1 info hash of FILE
  torrent_tool.py trackers FILE
      prints announce, then every announce-list entry in order, one a line
"""
import hashlib
import os
import sys


def skip_element(data, pos):
    """Returns the position after the bencoded element starting at pos."""
    c = data[pos:pos + 1]
    if c == b'i':
        return data.index(b'e', pos) + 1
    if c in (b'l', b'd'):
        pos += 1
        while data[pos:pos + 1] != b'e':
            pos = skip_element(data, pos)
        return pos + 1
    colon = data.index(b':', pos)
    return colon + 1 + int(data[pos:colon])


def decode(data, pos):
    """Returns (value, end) of the element at pos (a plain reader for the tests)."""
    c = data[pos:pos + 1]
    if c == b'i':
        end = data.index(b'e', pos)
        return int(data[pos + 1:end]), end + 1
    if c == b'l':
        pos += 1
        out = []
        while data[pos:pos + 1] != b'e':
            value, pos = decode(data, pos)
            out.append(value)
        return out, pos + 1
    if c == b'd':
        pos += 1
        out = {}
        while data[pos:pos + 1] != b'e':
            key, pos = decode(data, pos)
            out[key], pos = decode(data, pos)
        return out, pos + 1
    colon = data.index(b':', pos)
    end = colon + 1 + int(data[pos:colon])
    return data[colon + 1:end], end


def flatten(value):
    if isinstance(value, list):
        for item in value:
            yield from flatten(item)
    else:
        yield value


def info_span(data):
    assert data[0:1] == b'd'
    pos = 1
    while data[pos:pos + 1] != b'e':
        key_end = skip_element(data, pos)
        key = data[data.index(b':', pos) + 1:key_end]
        value_end = skip_element(data, key_end)
        if key == b'info':
            return key_end, value_end
        pos = value_end
    raise SystemExit('no info dictionary')


def main():
    cmd = sys.argv[1]
    if cmd == 'sha1-info':
        data = open(sys.argv[2], 'rb').read()
        start, end = info_span(data)
        print(hashlib.sha1(data[start:end]).hexdigest())
    elif cmd == 'lt-hash':
        import libtorrent as lt
        print(lt.torrent_info(sys.argv[2]).info_hashes().v1)
    elif cmd == 'trackers':
        meta, _ = decode(open(sys.argv[2], 'rb').read(), 0)
        if b'announce' in meta:
            print(meta[b'announce'].decode())
        for url in flatten(meta.get(b'announce-list', [])):
            print(url.decode())
    elif cmd == 'lt-create':
        import libtorrent as lt
        src, out, piece, private = sys.argv[2], sys.argv[3], int(sys.argv[4]), sys.argv[5] == '1'
        fs = lt.file_storage()
        lt.add_files(fs, src)
        t = lt.create_torrent(fs, piece, flags=lt.create_torrent.v1_only)
        for spec in sys.argv[6:]:
            tier, url = spec.split(':', 1)
            t.add_tracker(url, int(tier))
        t.set_priv(private)
        lt.set_piece_hashes(t, os.path.dirname(os.path.abspath(src)))
        with open(out, 'wb') as f:
            f.write(lt.bencode(t.generate()))
        print(lt.torrent_info(out).info_hashes().v1)
    else:
        raise SystemExit('unknown command ' + cmd)


if __name__ == '__main__':
    main()

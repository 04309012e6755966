#!/usr/bin/env python3
"""Prints the info hash (40 hex digits) of every torrent given, one a line:
the whitelist opentracker needs for a release's torrents.

    tools/demo/info-hashes.py release/torrents/*.torrent > whitelist
"""
import hashlib
import sys


def value_end(data, i):
    """Index just past the bencoded value that starts at i."""
    c = data[i:i + 1]
    if c == b"i":
        return data.index(b"e", i) + 1
    if c in (b"l", b"d"):
        i += 1
        while data[i:i + 1] != b"e":
            i = value_end(data, i)
        return i + 1
    colon = data.index(b":", i)
    return colon + 1 + int(data[i:colon])


def info_hash(data):
    if data[:1] != b"d":
        raise ValueError("not a dictionary")
    i = 1
    while data[i:i + 1] != b"e":
        key_end = value_end(data, i)
        key = data[data.index(b":", i) + 1:key_end]
        end = value_end(data, key_end)
        if key == b"info":
            return hashlib.sha1(data[key_end:end]).hexdigest()
        i = end
    raise ValueError("no info dictionary")


def main():
    for path in sys.argv[1:]:
        with open(path, "rb") as f:
            print(info_hash(f.read()))


if __name__ == "__main__":
    main()

#!/usr/bin/python3
"""Prints one line per stream of a compound file, read with olefile: "<sha256> <path>", so a
test can see exactly which streams a save changed. Usage: msg_stream_digest.py FILE"""
import hashlib
import sys

import olefile

ole = olefile.OleFileIO(sys.argv[1])
for entry in sorted(ole.listdir(streams=True, storages=False)):
    print(hashlib.sha256(ole.openstream(entry).read()).hexdigest(), "/".join(entry))

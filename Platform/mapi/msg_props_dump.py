#!/usr/bin/python3
"""Independent reading of a .msg file's properties, for cross-checking the message store.

Reads the compound file with olefile (not with the platform's storage) and prints, for the
message and each attachment, one line per property of its property stream, in stream order:

    <tag as returned, 8 hex digits> <value>

where the value is the hex of the value's bytes (fixed-size values: their little-endian bytes;
strings: their characters up to the first null; multi-valued: items joined by ','), "obj" for
an object, or "ERR <code>" when the store must return an error instead (value missing, sizes
that disagree, more than 16384 bytes, unknown type). Then one line per attachment storage:

    row <attachment number> <value of its long file name, as above, or NONE>

Usage: msg_props_dump.py FILE
"""
import struct
import sys

import olefile

LIMIT = 16384
NOT_FOUND, CORRUPT, NO_MEMORY, NO_SUPPORT = 0x8004010F, 0x8004011B, 0x8007000E, 0x80040102
FIXED = {0x2: 2, 0x3: 4, 0x4: 4, 0x5: 8, 0x6: 8, 0x7: 8, 0xA: 4, 0xB: 1, 0x14: 8, 0x40: 8}
VARIABLE = {0x1E, 0x1F, 0x102, 0x48, 0xFB}
MV_FIXED = {0x1002: 2, 0x1003: 4, 0x1004: 4, 0x1005: 8, 0x1006: 8, 0x1007: 8, 0x1014: 8, 0x1040: 8, 0x1048: 16}
MV_VARIABLE = {0x101E, 0x101F, 0x1102}


class Error(Exception):
    def __init__(self, code):
        super().__init__(code)
        self.code = code


def terminator(ptype):
    base = ptype & ~0x1000
    return 1 if base == 0x1E else 2 if base == 0x1F else 0


def cut_string(data, ptype):
    base = ptype & ~0x1000
    if base == 0x1E:
        end = data.find(b"\0")
        return data if end < 0 else data[:end]
    if base == 0x1F:
        data = data[: len(data) & ~1]
        for i in range(0, len(data), 2):
            if data[i] == 0 and data[i + 1] == 0:
                return data[:i]
        return data
    return data


class Reader:
    def __init__(self, ole):
        self.ole = ole

    def stream(self, path, entry_size, term):
        """The value bytes of a stream whose entry gives entry_size (checks as the store does)."""
        if not self.ole.exists(path) or self.ole.get_type(path) != olefile.STGTY_STREAM:
            raise Error(NOT_FOUND)
        size = self.ole.get_size(path)
        if size + term == entry_size:
            return path, size
        if term and size == entry_size and size >= term:
            data = self.ole.openstream(path).read()
            if data[size - term:] != b"\0" * term:
                raise Error(CORRUPT)
            return path, size - term
        raise Error(CORRUPT)

    def read(self, path, length):
        data = self.ole.openstream(path).read()[:length]
        if len(data) != length:
            raise Error(CORRUPT)
        return data

    def value(self, prefix, tag, raw8):
        ptype = tag & 0xFFFF
        name = prefix + "__substg1.0_%08X" % tag
        size = struct.unpack_from("<I", raw8)[0]
        if ptype in FIXED:
            if ptype == 0xB:
                return "1" if raw8[0] else "0"
            if ptype == 0xA:
                return "ERR %08X" % size
            return raw8[: FIXED[ptype]].hex()
        if ptype == 0xD:
            return "obj"
        if ptype in VARIABLE:
            path, length = self.stream(name, size, terminator(ptype))
            if length > LIMIT:
                raise Error(NO_MEMORY)
            data = self.read(path, length)
            if ptype == 0x48 and len(data) != 16:
                raise Error(CORRUPT)
            return cut_string(data, ptype).hex()
        if ptype in MV_FIXED:
            path, length = self.stream(name, size, 0)
            if length % MV_FIXED[ptype]:
                raise Error(CORRUPT)
            if length > LIMIT:
                raise Error(NO_MEMORY)
            return self.read(path, length).hex()
        if ptype in MV_VARIABLE:
            path, length = self.stream(name, size, 0)
            slot = 8 if ptype == 0x1102 else 4
            if length % slot:
                raise Error(CORRUPT)
            if length > LIMIT:
                raise Error(NO_MEMORY)
            lengths = self.read(path, length)
            total = length
            items = []
            for i in range(length // slot):
                item_size = struct.unpack_from("<I", lengths, i * slot)[0]
                item_path, item_length = self.stream("%s-%08X" % (name, i), item_size, terminator(ptype))
                total += item_length
                if total > LIMIT:
                    raise Error(NO_MEMORY)
                items.append(cut_string(self.read(item_path, item_length), ptype).hex())
            return ",".join(items)
        if ptype in (0xFD, 0xFE):
            raise Error(NO_SUPPORT)
        raise Error(CORRUPT)

    def props(self, prefix, header):
        """(returned tag, value) per entry; None when the property stream is refused."""
        path = prefix + "__properties_version1.0"
        if not self.ole.exists(path):
            return []
        data = self.ole.openstream(path).read()
        if len(data) < header or (len(data) - header) % 16:
            return None
        out = []
        for off in range(header, len(data), 16):
            tag = struct.unpack_from("<I", data, off)[0]
            try:
                out.append((tag, self.value(prefix, tag, data[off + 8 : off + 16])))
            except Error as e:
                out.append(((tag & 0xFFFF0000) | 0xA, "ERR %08X" % e.code))
        return out


def main():
    ole = olefile.OleFileIO(sys.argv[1])
    reader = Reader(ole)
    top = reader.props("", 32)
    print("object message")
    for tag, value in top or []:
        print("%08X %s" % (tag, value))
    attachments = []
    for entry in ole.listdir(streams=False, storages=True):
        if len(entry) == 1 and entry[0].startswith("__attach_version1.0_#"):
            attachments.append((int(entry[0][-8:], 16), entry[0]))
    attachments.sort()
    rows = []
    for number, name in attachments:
        props = reader.props(name + "/", 8)
        print("object attachment %d" % number)
        long_name = "NONE"
        for tag, value in props or []:
            print("%08X %s" % (tag, value))
            if tag >> 16 == 0x3707 and long_name == "NONE":
                long_name = value
        rows.append("row %d %s" % (number, long_name))
    for row in rows:
        print(row)


if __name__ == "__main__":
    main()

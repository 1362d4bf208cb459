#!/usr/bin/python3
"""Independent reading of a .msg file's properties, for cross-checking the message store.

Reads the compound file with olefile (not with the platform's storage) and prints what the file
holds: for the message and each attachment, one line per property of its property stream (whole
16-byte entries; bytes after the last are none), in stream order:

    <tag as returned, 8 hex digits> <value>

for every embedded message ("object embedded <attachment number>", after its attachment, and
its own attachments and recipients in turn), and for every recipient ("object recipient <row>",
its values as the table row holds them, with the row id the table adds, in no particular order),
where the value is the hex of the value's bytes (fixed-size values: their little-endian bytes;
strings: their characters up to the first null; multi-valued: items joined by ','), "obj" for an
object, or "ERR <code>" when the value cannot be read (stream missing, sizes that disagree,
unknown type). Every value is read whole, however large. Then one line per attachment storage:

    row <attachment number> <value of its long file name, as above, or NONE>

With --sizes, the lines of values kept in streams add, after a tab, their stored type (4 hex
digits), the size their entry gives and the bytes they hold ("-" when unread): the store hands
out values above its inline limit through streams only, and a test applies that limit by these
figures.

Usage: msg_props_dump.py [--sizes] FILE...
"""
import struct
import sys

import olefile

NOT_FOUND, CORRUPT, NO_SUPPORT = 0x8004010F, 0x8004011B, 0x80040102
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
    def __init__(self, ole, sizes):
        self.ole = ole
        self.sizes = sizes

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
        """(value text, bytes the value holds or None) of one entry."""
        ptype = tag & 0xFFFF
        name = prefix + "__substg1.0_%08X" % tag
        size = struct.unpack_from("<I", raw8)[0]
        if ptype in FIXED:
            if ptype == 0xB:
                return ("1" if raw8[0] else "0"), None
            if ptype == 0xA:
                return "ERR %08X" % size, None
            return raw8[: FIXED[ptype]].hex(), None
        if ptype == 0xD:
            return "obj", None
        if ptype in VARIABLE:
            path, length = self.stream(name, size, terminator(ptype))
            data = self.read(path, length)
            if ptype == 0x48 and len(data) != 16:
                raise Error(CORRUPT)
            return cut_string(data, ptype).hex(), length
        if ptype in MV_FIXED:
            path, length = self.stream(name, size, 0)
            if length % MV_FIXED[ptype]:
                raise Error(CORRUPT)
            return self.read(path, length).hex(), length
        if ptype in MV_VARIABLE:
            path, length = self.stream(name, size, 0)
            slot = 8 if ptype == 0x1102 else 4
            if length % slot:
                raise Error(CORRUPT)
            lengths = self.read(path, length)
            total = length
            items = []
            for i in range(length // slot):
                item_size = struct.unpack_from("<I", lengths, i * slot)[0]
                item_path, item_length = self.stream("%s-%08X" % (name, i), item_size, terminator(ptype))
                total += item_length
                items.append(cut_string(self.read(item_path, item_length), ptype).hex())
            return ",".join(items), total
        if ptype in (0xFD, 0xFE):
            raise Error(NO_SUPPORT)
        raise Error(CORRUPT)

    def props(self, prefix, header):
        """(returned tag, printed value) per entry; None when the property stream is refused."""
        path = prefix + "__properties_version1.0"
        if not self.ole.exists(path):
            return []
        data = self.ole.openstream(path).read()
        if len(data) < header:
            return None
        out = []
        for off in range(header, len(data) - 15, 16):
            tag = struct.unpack_from("<I", data, off)[0]
            raw8 = data[off + 8 : off + 16]
            ptype = tag & 0xFFFF
            streamed = self.sizes and (ptype in VARIABLE or ptype in MV_FIXED or ptype in MV_VARIABLE)
            sizes = "\t%04X %d " % (ptype, struct.unpack_from("<I", raw8)[0]) if streamed else ""
            try:
                text, held = self.value(prefix, tag, raw8)
                out.append((tag, text + (sizes + str(held) if streamed else "")))
            except Error as e:
                out.append(((tag & 0xFFFF0000) | 0xA, "ERR %08X" % e.code + (sizes + "-" if streamed else "")))
        return out


def numbered(ole, prefix, kind):
    """(number, storage path) of the prefix's "__attach..." or "__recip..." storages."""
    depth = prefix.count("/")
    found = []
    for entry in ole.listdir(streams=False, storages=True):
        if len(entry) == depth + 1 and "/".join(entry[:depth]) + ("/" if depth else "") == prefix \
                and entry[-1].startswith(kind):
            found.append((int(entry[-1][-8:], 16), prefix + entry[-1] + "/"))
    return sorted(found)


def dump_message(reader, prefix, header, title, rows):
    print("object " + title)
    for tag, value in reader.props(prefix, header) or []:
        print("%08X %s" % (tag, value))
    for number, path in numbered(reader.ole, prefix, "__attach_version1.0_#"):
        props = reader.props(path, 8)
        print("object attachment %d" % number)
        long_name = "NONE"
        for tag, value in props or []:
            print("%08X %s" % (tag, value))
            if tag >> 16 == 0x3707 and long_name == "NONE":
                long_name = value
        if rows is not None:
            rows.append("row %d %s" % (number, long_name))
        embedded = path + "__substg1.0_3701000D/"
        if any(tag == 0x3701000D for tag, _ in props or []) and reader.ole.exists(embedded[:-1]):
            dump_message(reader, embedded, 24, "embedded %d" % number, None)
    for index, (number, path) in enumerate(numbered(reader.ole, prefix, "__recip_version1.0_#")):
        # Table rows hold a recipient's values (the test sorts them and leaves out the ones the
        # recipient does not have, as a row does).
        props = reader.props(path, 8) or []
        lines = ["%08X %s" % (tag, value) for tag, value in props]
        if not any(tag >> 16 == 0x3000 for tag, _ in props):
            lines.append("30000003 " + struct.pack("<I", number).hex())  # the row id
        print("object recipient %d" % index)
        for line in lines:
            print(line)


def main():
    # With several files, each one's lines follow a line "file <path>"; a file olefile cannot
    # open gets "file <path>" then "unreadable".
    args = sys.argv[1:]
    sizes = "--sizes" in args
    paths = [arg for arg in args if arg != "--sizes"]
    many = len(paths) > 1
    for path in paths:
        if many:
            print("file " + path)
        try:
            ole = olefile.OleFileIO(path)
        except OSError:
            if not many:
                raise
            print("unreadable")
            continue
        rows = []
        dump_message(Reader(ole, sizes), "", 32, "message", rows)
        for row in rows:
            print(row)


if __name__ == "__main__":
    main()

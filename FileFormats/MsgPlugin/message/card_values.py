#!/usr/bin/python3
"""Reads the eleven card values of a .msg file with olefile, independently of the platform's
storage and message store, and prints one line per catalogue name:

    NAME text <UTF-16LE hex of the text>    a string, up to its first null
    NAME time <100-ns ticks since 1601>     a FILETIME
    NAME error <8 hex digits>               an error value, or a string too large to be read whole
    NAME other <type>                       a value of a type that has no card form
    NAME none                               no such property

8-bit strings are decoded with code page 1252 (the ANSI code page), the body with the
message's own code page, as the message store converts it. Usage: card_values.py FILE
"""
import struct
import sys

import olefile

LIMIT = 16384
CATALOGUE = [("SENDER_NAME", 0x0C1A), ("SENT_REPRESENTING_NAME", 0x0042), ("DISPLAY_TO", 0x0E04),
             ("DISPLAY_CC", 0x0E03), ("SUBJECT", 0x0037), ("BODY", 0x1000), ("CREATION_TIME", 0x3007),
             ("LAST_MODIFICATION_TIME", 0x3008), ("CLIENT_SUBMIT_TIME", 0x0039),
             ("MESSAGE_DELIVERY_TIME", 0x0E06)]
CODECS = {1252: "cp1252", 932: "cp932", 936: "gbk", 949: "cp949", 950: "cp950", 1250: "cp1250",
          1251: "cp1251", 1253: "cp1253", 1254: "cp1254", 1255: "cp1255", 1256: "cp1256",
          1257: "cp1257", 1258: "cp1258", 874: "cp874", 20127: "ascii", 28591: "latin-1",
          65001: "utf-8", 50220: "iso2022_jp", 51932: "euc_jp", 20932: "euc_jp", 28592: "iso8859_2",
          28595: "iso8859_5", 1200: "utf-16-le"}


# 8-bit text is kept in the Windows code page of a message's character set family.
FAMILY = {50220: 932, 50221: 932, 50222: 932, 51932: 932, 20932: 932, 52936: 936, 50225: 949,
          51949: 949, 28591: 1252, 28592: 1250, 28595: 1251, 20866: 1251, 21866: 1251, 28597: 1253,
          28599: 1254, 28598: 1255, 38598: 1255, 28596: 1256, 28594: 1257, 28603: 1257}


def decode8(data, codepage):
    codepage = FAMILY.get(codepage, codepage)
    data = data.split(b"\0", 1)[0]
    codec = CODECS.get(codepage, "cp1252")
    try:
        return data.decode(codec)
    except UnicodeDecodeError:
        # Bytes the code page leaves undefined stand for the C1 controls.
        return "".join(chr(b) if b >= 0x80 else chr(b) for b in data) if codec == "cp1252" else data.decode(codec, "replace")


def cut16(data):
    data = data[: len(data) & ~1]
    for i in range(0, len(data), 2):
        if data[i] == 0 and data[i + 1] == 0:
            return data[:i]
    return data


def entries(ole, prefix, header):
    raw = ole.openstream(prefix + ["__properties_version1.0"]).read()[header:]
    for i in range(0, len(raw) - 15, 16):
        tag, flags, value = struct.unpack_from("<IIQ", raw, i)
        yield tag, value


def stream(ole, prefix, tag):
    path = prefix + ["__substg1.0_%08X" % tag]
    return ole.openstream(path).read() if ole.exists("/".join(path)) else None


def main(path):
    ole = olefile.OleFileIO(path)
    props = list(entries(ole, [], 32))
    codepage = 1252
    for tag, value in props:
        if tag in (0x3FDE0003,):
            codepage = value & 0xFFFFFFFF
            break
    else:
        for tag, value in props:
            if tag == 0x3FFD0003:
                codepage = value & 0xFFFFFFFF
                break
    out = []
    for name, ident in CATALOGUE:
        found = next(((t, v) for t, v in props if t >> 16 == ident), None)
        if found is None:
            out.append((name, "none", ""))
            continue
        tag, value = found
        ptype = tag & 0xFFFF
        if ptype in (0x1E, 0x1F):
            size = value & 0xFFFFFFFF
            data = stream(ole, [], tag)
            if data is None:
                out.append((name, "error", "8004010F"))
            elif size > LIMIT and ident != 0x1000:
                out.append((name, "error", "8007000E"))
            elif ptype == 0x1F:
                out.append((name, "text", cut16(data).hex()))
            else:
                text = decode8(data, codepage if ident == 0x1000 else 1252)
                out.append((name, "text", text.encode("utf-16-le").hex()))
        elif ptype == 0x40:
            out.append((name, "time", str(value)))
        elif ptype == 0x0A:
            out.append((name, "error", "%08X" % (value & 0xFFFFFFFF)))
        else:
            out.append((name, "other", "%04X" % ptype))
    names = []
    attachments = sorted(e[0] for e in ole.listdir(streams=False, storages=True)
                         if len(e) == 1 and e[0].startswith("__attach_version1.0_#"))
    for storage in attachments:
        for tag, value in entries(ole, [storage], 8):
            if tag >> 16 != 0x3707:
                continue
            ptype = tag & 0xFFFF
            data = stream(ole, [storage], tag) if ptype in (0x1E, 0x1F) else None
            if data is None or (value & 0xFFFFFFFF) > LIMIT:
                names.append("")
            elif ptype == 0x1F:
                names.append(cut16(data).decode("utf-16-le", "replace"))
            else:
                names.append(decode8(data, 1252))
            break
    out.insert(0, ("ATTACHMENTS", "text", "\r\n".join(names).encode("utf-16-le").hex()))
    for name, kind, value in out:
        print(name, kind, value)


main(sys.argv[1])

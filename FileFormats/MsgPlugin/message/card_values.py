#!/usr/bin/python3
"""Reads what a .msg file holds for the card's values with olefile, independently of the
platform's storage and message store. It follows neither the message store nor the plug-in:
which code page 8-bit text is read in, and what the card shows for a value, is for the caller
to decide. Usage: card_values.py FILE [CODEPAGE ...]

One line per item, the items' fields separated by single blanks, an empty text as "-":

    INTERNET_CPID <number>|none       the code pages the message names, as stored
    MESSAGE_CODEPAGE <number>|none
    NAME none                         one line per catalogue name: no such property
    NAME TYPE SIZE text HEX           a UTF-16 string: the UTF-16LE bytes up to its first null
    NAME TYPE SIZE bytes HEX CP=HEX.. an 8-bit string: its bytes up to the first null, then the
                                      text in each CODEPAGE given, as UTF-16LE ("CP=?" when the
                                      code page is unknown here)
    NAME TYPE SIZE nostream -         a string whose value stream is missing
    NAME TYPE 0 value NUMBER          any other type: its 8 value bytes as an unsigned number
    ATTACHMENT none | ATTACHMENT TYPE SIZE ...   the long file name of each attachment storage,
                                      in storage order, as above

TYPE is the stored property type (4 hex digits), SIZE a string's size as its property entry
gives it (terminator included). Strings are read whole, whatever their size.
"""
import codecs
import struct
import sys

import olefile

import windows_codecs

CATALOGUE = [("SENDER_NAME", 0x0C1A), ("SENT_REPRESENTING_NAME", 0x0042), ("DISPLAY_TO", 0x0E04),
             ("DISPLAY_CC", 0x0E03), ("SUBJECT", 0x0037), ("BODY", 0x1000), ("CREATION_TIME", 0x3007),
             ("LAST_MODIFICATION_TIME", 0x3008), ("CLIENT_SUBMIT_TIME", 0x0039),
             ("MESSAGE_DELIVERY_TIME", 0x0E06)]
CODE_PAGES = [("INTERNET_CPID", 0x3FDE0003), ("MESSAGE_CODEPAGE", 0x3FFD0003)]
ATTACH_LONG_FILENAME = 0x3707
PT_STRING8, PT_UNICODE = 0x001E, 0x001F


def decode(data, code_page):
    """The text of 8-bit `data` in a Windows code page; None when the code page is unknown here."""
    try:
        codecs.lookup(windows_codecs.codec_name(code_page))
    except LookupError:
        return None
    return windows_codecs.decode(data, code_page)


def until_null16(data):
    data = data[: len(data) & ~1]
    for i in range(0, len(data), 2):
        if data[i] == 0 and data[i + 1] == 0:
            return data[:i]
    return data


def entries(ole, prefix, header):
    raw = ole.openstream(prefix + ["__properties_version1.0"]).read()[header:]
    for i in range(0, len(raw) - 15, 16):
        tag, _flags, value = struct.unpack_from("<IIQ", raw, i)
        yield tag, value


def hex_or_dash(data):
    return data.hex() or "-"


def describe(ole, prefix, tag, value, code_pages):
    """The fields of one stored value after its name."""
    ptype = tag & 0xFFFF
    if ptype not in (PT_STRING8, PT_UNICODE):
        return "%04X 0 value %d" % (ptype, value)
    size = value & 0xFFFFFFFF
    path = prefix + ["__substg1.0_%08X" % tag]
    if not ole.exists("/".join(path)):
        return "%04X %d nostream -" % (ptype, size)
    data = ole.openstream(path).read()
    if ptype == PT_UNICODE:
        return "%04X %d text %s" % (ptype, size, hex_or_dash(until_null16(data)))
    data = data.split(b"\0", 1)[0]
    decodings = []
    for code_page in code_pages:
        text = decode(data, code_page)
        decodings.append("%d=%s" % (code_page, "?" if text is None else hex_or_dash(text.encode("utf-16-le"))))
    return " ".join(["%04X %d bytes %s" % (ptype, size, hex_or_dash(data))] + decodings)


def main(path, code_pages):
    ole = olefile.OleFileIO(path)
    props = list(entries(ole, [], 32))
    for name, wanted in CODE_PAGES:
        stored = next((value & 0xFFFFFFFF for tag, value in props if tag == wanted), None)
        print(name, "none" if stored is None else stored)
    for name, ident in CATALOGUE:
        found = next(((tag, value) for tag, value in props if tag >> 16 == ident), None)
        print(name, "none" if found is None else describe(ole, [], found[0], found[1], code_pages))
    storages = sorted(entry[0] for entry in ole.listdir(streams=False, storages=True)
                      if len(entry) == 1 and entry[0].startswith("__attach_version1.0_#"))
    for storage in storages:
        found = next(((tag, value) for tag, value in entries(ole, [storage], 8)
                      if tag >> 16 == ATTACH_LONG_FILENAME), None)
        print("ATTACHMENT", "none" if found is None else describe(ole, [storage], found[0], found[1], code_pages))


main(sys.argv[1], [int(code_page) for code_page in sys.argv[2:]])

"""What a .msg file holds for the card's values, read independently with olefile: each value's
stored type and size and its whole text, the code pages the message names, and the long file
name of each attachment storage. It follows neither the plug-in nor its message store: which
code page 8-bit text is read in, and what the card shows for a value, the tests decide."""
import os
import struct
import sys
from typing import NamedTuple, Optional

import olefile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "FileFormats", "MsgPlugin",
                                "message"))
from windows_codecs import decode  # noqa: E402

CATALOGUE = {
    "SENDER_NAME": 0x0C1A,
    "SENT_REPRESENTING_NAME": 0x0042,
    "DISPLAY_TO": 0x0E04,
    "DISPLAY_CC": 0x0E03,
    "SUBJECT": 0x0037,
    "BODY": 0x1000,
    "CREATION_TIME": 0x3007,
    "LAST_MODIFICATION_TIME": 0x3008,
    "CLIENT_SUBMIT_TIME": 0x0039,
    "MESSAGE_DELIVERY_TIME": 0x0E06,
}
INTERNET_CPID, MESSAGE_CODEPAGE = 0x3FDE0003, 0x3FFD0003
ATTACH_LONG_FILENAME = 0x3707
PT_STRING8, PT_UNICODE, PT_SYSTIME, PT_ERROR = 0x001E, 0x001F, 0x0040, 0x000A


class Value(NamedTuple):
    type: int                # the stored property type
    size: int                # a string's size as its property entry gives it (terminator included)
    text: Optional[str]      # a UTF-16 string, up to its first null
    data: Optional[bytes]    # an 8-bit string's bytes, up to the first null
    number: int              # any other type: its 8 value bytes (a time's ticks, an error code)

    @property
    def has_stream(self):
        return self.text is not None or self.data is not None

    def decoded(self, code_page):
        """The text of a string, 8-bit text read in `code_page`."""
        return self.text if self.type == PT_UNICODE else decode(self.data, code_page)


class Message(NamedTuple):
    internet_code_page: Optional[int]
    message_code_page: Optional[int]
    values: dict        # catalogue name -> Value, or None when the message has no such property
    attachments: list   # per attachment storage, in storage order: its long file name's Value, or None


def _entries(ole, prefix, header):
    raw = ole.openstream(prefix + ["__properties_version1.0"]).read()[header:]
    for offset in range(0, len(raw) - 15, 16):
        tag, _flags, value = struct.unpack_from("<IIQ", raw, offset)
        yield tag, value


def _value(ole, prefix, tag, stored):
    ptype = tag & 0xFFFF
    if ptype not in (PT_STRING8, PT_UNICODE):
        return Value(ptype, 0, None, None, stored)
    size = stored & 0xFFFFFFFF
    path = prefix + ["__substg1.0_%08X" % tag]
    if not ole.exists("/".join(path)):
        return Value(ptype, size, None, None, 0)
    data = ole.openstream(path).read()
    if ptype == PT_STRING8:
        return Value(ptype, size, None, data.split(b"\0", 1)[0], 0)
    text = data[: len(data) // 2 * 2].decode("utf-16-le", errors="replace").split("\0", 1)[0]
    return Value(ptype, size, text, None, 0)


def _first(ole, prefix, entries, ident):
    found = next(((tag, value) for tag, value in entries if tag >> 16 == ident), None)
    return None if found is None else _value(ole, prefix, *found)


def read_message(path):
    with open(path, "rb") as file:  # closed also when olefile refuses it
        return _read(olefile.OleFileIO(file))


def _read(ole):
    try:
        entries = list(_entries(ole, [], 32))
        code_pages = [next((value & 0xFFFFFFFF for tag, value in entries if tag == wanted), None)
                      for wanted in (INTERNET_CPID, MESSAGE_CODEPAGE)]
        values = {name: _first(ole, [], entries, ident) for name, ident in CATALOGUE.items()}
        storages = sorted(entry[0] for entry in ole.listdir(streams=False, storages=True)
                          if len(entry) == 1 and entry[0].startswith("__attach_version1.0_#"))
        attachments = [_first(ole, [storage], list(_entries(ole, [storage], 8)), ATTACH_LONG_FILENAME)
                       for storage in storages]
        return Message(code_pages[0], code_pages[1], values, attachments)
    finally:
        ole.close()

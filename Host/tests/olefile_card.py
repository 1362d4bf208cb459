"""The eleven card values of a .msg file read independently with olefile, as the host shows
them with TZ=UTC: strings from the __substg1.0_ streams, times from the property stream,
attachment names joined by CRLF."""
import datetime
import struct

import olefile

STRINGS = {
    "SENDER_NAME": 0x0C1A,
    "SENT_REPRESENTING_NAME": 0x0042,
    "DISPLAY_TO": 0x0E04,
    "DISPLAY_CC": 0x0E03,
    "SUBJECT": 0x0037,
    "BODY": 0x1000,
}
TIMES = {
    "CREATION_TIME": 0x3007,
    "LAST_MODIFICATION_TIME": 0x3008,
    "CLIENT_SUBMIT_TIME": 0x0039,
    "MESSAGE_DELIVERY_TIME": 0x0E06,
}
NAMES = ["ATTACHMENTS", "SENDER_NAME", "SENT_REPRESENTING_NAME", "DISPLAY_TO", "DISPLAY_CC", "SUBJECT", "BODY",
         "CREATION_TIME", "LAST_MODIFICATION_TIME", "CLIENT_SUBMIT_TIME", "MESSAGE_DELIVERY_TIME"]


def decode_ansi(data):
    # Windows-1252, with the five bytes it leaves undefined passed through as C1 controls.
    return "".join(data[i:i + 1].decode("cp1252", errors="ignore") or chr(data[i]) for i in range(len(data)))


# The body's 8-bit text is in the message's own code page (Internet code page, else message code
# page), a MIME character set standing for the Windows code page of its family.
FAMILY = {50220: 932, 50221: 932, 50222: 932, 51932: 932, 20932: 932, 52936: 936, 50225: 949,
          51949: 949, 28591: 1252, 28592: 1250, 28595: 1251, 20866: 1251, 21866: 1251, 28597: 1253,
          28599: 1254, 28598: 1255, 38598: 1255, 28596: 1256, 28594: 1257, 28603: 1257}


def message_code_page(ole):
    data = ole.openstream("__properties_version1.0").read()
    values = {}
    for offset in range(32, len(data) - 15, 16):
        tag, _flags, value = struct.unpack_from("<IIQ", data, offset)
        values.setdefault(tag, value & 0xFFFFFFFF)
    for tag in (0x3FDE0003, 0x3FFD0003):
        if values.get(tag):
            return FAMILY.get(values[tag], values[tag])
    return 1252


def decode_in(data, code_page):
    if code_page == 1252:
        return decode_ansi(data)
    try:
        return data.decode("cp%d" % code_page if code_page != 65001 else "utf-8", errors="replace")
    except LookupError:
        return decode_ansi(data)


def read_string(ole, prefix, prop_id):
    wide = prefix + ["__substg1.0_%04X001F" % prop_id]
    narrow = prefix + ["__substg1.0_%04X001E" % prop_id]
    if ole.exists(wide):
        data = ole.openstream(wide).read()
        return data[: len(data) // 2 * 2].decode("utf-16-le", errors="replace").split("\0", 1)[0]
    if ole.exists(narrow):
        data = ole.openstream(narrow).read().split(b"\0", 1)[0]
        if prop_id == 0x1000 and not prefix:
            return decode_in(data, message_code_page(ole))
        return decode_ansi(data)
    return None


def filetime_text(ticks):
    # The card carries whole seconds: the fraction of a second is dropped.
    seconds = ticks // 10_000_000
    moment = datetime.datetime(1601, 1, 1) + datetime.timedelta(seconds=seconds)
    return moment.strftime("%Y-%m-%dT%H:%M:%S")


def read_times(ole):
    data = ole.openstream("__properties_version1.0").read()
    found = {}
    for offset in range(32, len(data) - 15, 16):
        tag, _flags, value = struct.unpack_from("<IIQ", data, offset)
        if tag & 0xFFFF == 0x0040:
            found[tag >> 16] = value
    return {name: (filetime_text(found[prop]) if prop in found else None) for name, prop in TIMES.items()}


def read_card(path):
    ole = olefile.OleFileIO(path)
    try:
        card = {name: read_string(ole, [], prop) for name, prop in STRINGS.items()}
        card.update(read_times(ole))
        storages = sorted({entry[0] for entry in ole.listdir(streams=True, storages=True)
                           if entry[0].startswith("__attach_version1.0_#")})
        names = []
        for storage in storages:
            name = read_string(ole, [storage], 0x3707)
            if name is not None:
                names.append(name)
        card["ATTACHMENTS"] = "\r\n".join(names)
        return card
    finally:
        ole.close()


if __name__ == "__main__":
    import json
    import sys
    for path in sys.argv[1:]:
        print(json.dumps({"file": path, "card": read_card(path)}))

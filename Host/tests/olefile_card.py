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


def read_string(ole, prefix, prop_id):
    wide = prefix + ["__substg1.0_%04X001F" % prop_id]
    narrow = prefix + ["__substg1.0_%04X001E" % prop_id]
    if ole.exists(wide):
        data = ole.openstream(wide).read()
        return data[: len(data) // 2 * 2].decode("utf-16-le", errors="replace").split("\0", 1)[0]
    if ole.exists(narrow):
        return decode_ansi(ole.openstream(narrow).read().split(b"\0", 1)[0])
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

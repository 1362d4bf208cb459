"""8-bit text in Windows code pages, decoded with Python's codecs, for the tests' independent
readers of .msg files (card_values.py here, the host's tests' olefile_card.py)."""

# Windows code pages under their Python names, where the name is not "cp" and the number.
CODECS = {936: "gbk", 20127: "ascii", 20932: "euc_jp", 28591: "latin-1", 28592: "iso8859_2",
          28593: "iso8859_3", 28594: "iso8859_4", 28595: "iso8859_5", 28596: "iso8859_6",
          28597: "iso8859_7", 28598: "iso8859_8", 28599: "iso8859_9", 28603: "iso8859_13",
          28605: "iso8859_15", 20866: "koi8_r", 21866: "koi8_u", 50220: "iso2022_jp",
          50221: "iso2022_jp_ext", 50222: "iso2022_jp", 51932: "euc_jp", 51949: "euc_kr",
          54936: "gb18030", 65001: "utf-8", 10000: "mac_roman"}
# Windows' tables of these code pages give their unassigned bytes 0x80..0x9F the C1 controls.
C1_FILLED = {874} | set(range(1250, 1259))


def codec_name(code_page):
    """Python's name of the codec of a Windows code page (which Python may lack)."""
    return CODECS.get(code_page, "cp%d" % code_page)


def decode(data, code_page):
    """The text of 8-bit `data` in a Windows code page."""
    codec = codec_name(code_page)
    if code_page in C1_FILLED:
        return "".join(data[i:i + 1].decode(codec, "ignore") or chr(data[i]) for i in range(len(data)))
    return data.decode(codec, "replace")

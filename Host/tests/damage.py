"""Damage made on purpose in .msg files, for the tests of what the card does with it."""
import struct

import olefile


def cut_stream_chain(path, stream, sectors):
    """Ends the sector chain of a stream (one of regular sectors) after `sectors` sectors and
    leaves its size as it was: the stream opens, and reading it fails past the cut."""
    ole = olefile.OleFileIO(path)
    try:
        entry = ole.direntries[ole._find([stream])]
        assert entry.size >= 4096, "a stream of the mini stream"
        sector = entry.isectStart
        for _ in range(sectors - 1):
            sector = ole.fat[sector]
        per_sector = ole.sectorsize // 4
        sector_size = ole.sectorsize
    finally:
        ole.close()
    with open(path, "rb") as f:
        difat = struct.unpack_from("<109I", f.read(512), 0x4C)
    offset = (difat[sector // per_sector] + 1) * sector_size + (sector % per_sector) * 4
    with open(path, "r+b") as f:
        f.seek(offset)
        f.write(struct.pack("<I", 0xFFFFFFFE))  # end of chain

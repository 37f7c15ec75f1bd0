#!/usr/bin/env python3
"""Writes the ZIP archives wire_test reads, made with Python's zipfile (and,
for the hostile ones, by patching or assembling headers by hand).

Run from the repository root:  python3 core/testdata/make_archives.py
"""
import io
import os
import struct
import zipfile
import zlib

OUT = os.path.dirname(os.path.abspath(__file__))
STAMP = (1980, 1, 1, 0, 0, 0)

# The content of every good entry: text that repeats, then all byte values.
PAYLOAD = b"".join(b"K%d=value %d;" % (i, i * i) for i in range(300)) + bytes(range(256))


def entry(name, compress_type):
    info = zipfile.ZipInfo(name, date_time=STAMP)
    info.compress_type = compress_type
    return info


def archive(entries, stream=False):
    """entries: (name, bytes, compress_type). stream=True writes through an
    unseekable stream, so that zipfile uses data descriptors."""
    buf = io.BytesIO()

    class Unseekable(io.RawIOBase):
        def writable(self):
            return True

        def write(self, b):
            return buf.write(b)

    target = Unseekable() if stream else buf
    with zipfile.ZipFile(target, "w") as z:
        for name, data, method in entries:
            if stream:
                with z.open(entry(name, method), "w") as f:
                    f.write(data)
            else:
                z.writestr(entry(name, method), data)
    return buf.getvalue()


def handmade(name, data, crc, compressed_size, uncompressed_size, zip64_size=None):
    """A one-entry deflate archive whose headers declare the given sizes; with
    zip64_size, the sizes read 0xFFFFFFFF and a zip64 extra field holds
    zip64_size as the uncompressed size and the real compressed size."""
    name = name.encode()
    extra = b""
    if zip64_size is not None:
        extra = struct.pack("<HHQQ", 1, 16, zip64_size, compressed_size)
        compressed_size = uncompressed_size = 0xFFFFFFFF
    local = struct.pack("<IHHHHHIIIHH", 0x04034B50, 45, 0, 8, 0, 0x21, crc,
                        compressed_size, uncompressed_size, len(name), len(extra))
    local += name + extra + data
    central = struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 45, 45, 0, 8, 0, 0x21, crc,
                          compressed_size, uncompressed_size, len(name), len(extra), 0, 0,
                          0, 0, 0)
    central += name + extra
    end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 1, 1, len(central), len(local), 0)
    return local + central + end


def deflate_raw(data):
    c = zlib.compressobj(6, zlib.DEFLATED, -15)
    return c.compress(data) + c.flush()


def patch_crc(data, crc):
    """Writes crc into the local and the central header of a one-entry archive."""
    out = bytearray(data)
    local = out.find(b"PK\x03\x04")
    central = out.find(b"PK\x01\x02")
    struct.pack_into("<I", out, local + 14, crc)
    struct.pack_into("<I", out, central + 16, crc)
    return bytes(out)


def main():
    files = {
        "payload.bin": PAYLOAD,
        "deflated.zip": archive([("data", PAYLOAD, zipfile.ZIP_DEFLATED)]),
        "stored.zip": archive([("data", PAYLOAD, zipfile.ZIP_STORED)]),
        "streamed.zip": archive([("data", PAYLOAD, zipfile.ZIP_DEFLATED)], stream=True),
        "second_entry.zip": archive([("readme", b"not this one", zipfile.ZIP_DEFLATED),
                                     ("data", PAYLOAD, zipfile.ZIP_DEFLATED)]),
        "capital_data.zip": archive([("Data", PAYLOAD, zipfile.ZIP_DEFLATED)]),
        "data_dir.zip": archive([("data/", b"", zipfile.ZIP_STORED),
                                 ("data/data", PAYLOAD, zipfile.ZIP_DEFLATED)]),
        "empty_entry.zip": archive([("data", b"", zipfile.ZIP_DEFLATED)]),
        "crc_mismatch.zip": patch_crc(archive([("data", PAYLOAD, zipfile.ZIP_DEFLATED)]),
                                      zlib.crc32(PAYLOAD) ^ 1),
    }
    small = b"tiny"
    packed = deflate_raw(small)
    # Declares 4 GiB - 1 bytes, the largest size a plain header can hold.
    files["declared_4gib.zip"] = handmade("data", packed, zlib.crc32(small), len(packed),
                                          0xFFFFFFFF)
    # Declares exactly 4 GiB through a zip64 extra field.
    files["declared_4gib_zip64.zip"] = handmade("data", packed, zlib.crc32(small),
                                                len(packed), None, zip64_size=1 << 32)
    # Declares 4 GiB + 4 bytes: a reader that keeps only 32 bits sees 4.
    files["declared_4gib_plus_4.zip"] = handmade("data", packed, zlib.crc32(small),
                                                 len(packed), None,
                                                 zip64_size=(1 << 32) + len(small))
    # The control: the same hand-made layout with honest sizes.
    files["handmade.zip"] = handmade("data", packed, zlib.crc32(small), len(packed),
                                     len(small))
    for name, data in files.items():
        with open(os.path.join(OUT, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()

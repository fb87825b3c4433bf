"""Packages that other tools would read otherwise than the installer, each with the genuine
application where a reviewer looks and another where a careless reader would take it, and the
rule the installer refuses them by (unpack failure kind=ambiguous, message text below). Shared by
the qv-unpack checks and the end-to-end scenarios.
"""
import io
import struct
import zipfile
import zlib

GENUINE = b"MZ the genuine application"
HIDDEN = b"MZ an application nobody reviewed"


def stored_zip(entries):
    """A ZIP of stored entries written by hand, so that headers can disagree:
    (central name, data, local name or None, local extra, central extra)."""
    out = bytearray()
    directory = bytearray()
    for name, data, local_name, local_extra, central_extra in entries:
        local_name = local_name if local_name is not None else name
        crc = zlib.crc32(data)
        offset = len(out)
        out += struct.pack("<IHHHHHIIIHH", 0x04034b50, 20, 0, 0, 0, 0x21, crc, len(data), len(data),
                           len(local_name), len(local_extra)) + local_name + local_extra + data
        directory += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014b50, 20, 20, 0, 0, 0, 0x21, crc, len(data), len(data),
                                 len(name), len(central_extra), 0, 0, 0, 0, offset) + name + central_extra
    end = struct.pack("<IHHHHIIH", 0x06054b50, 0, 0, len(entries), len(entries), len(directory), len(out), 0)
    return bytes(out + directory + end)


def unicode_path(utf8_name, raw_name):
    return struct.pack("<HHBI", 0x7075, 5 + len(utf8_name), 1, zlib.crc32(raw_name)) + utf8_name


def zip64_pointing_elsewhere():
    """The plain end record (not saturated) lists the genuine Quorvex.exe; a ZIP64 end record,
    which readers that look for it first take instead, lists a Quorvex.exe hidden inside
    another entry's data."""
    hidden = stored_zip([(b"Quorvex.exe", HIDDEN, None, b"", b"")])
    hidden_directory = struct.unpack_from("<I", hidden, len(hidden) - 6)[0]
    hidden_size = struct.unpack_from("<I", hidden, len(hidden) - 10)[0]
    payload_at = 30 + len(b"Quorvex.exe") + len(GENUINE) + 30 + len(b"dados/registro.bin")
    # The hidden directory's offset of its local header, as seen from the package's start.
    shifted = bytearray(hidden)
    struct.pack_into("<I", shifted, hidden_directory + 42, payload_at)
    package = stored_zip([(b"Quorvex.exe", GENUINE, None, b"", b""), (b"dados/registro.bin", bytes(shifted), None, b"", b"")])
    end = len(package) - 22
    record = struct.pack("<IQHHIIQQQQ", 0x06064b50, 44, 45, 45, 0, 0, 1, 1, hidden_size, payload_at + hidden_directory)
    locator = struct.pack("<IIQI", 0x07064b50, 0, end, 1)
    return package[:end] + record + locator + package[end:]


def python_zip(entries):
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as z:
        for name, data in entries:
            z.writestr(name, data)
    return buffer.getvalue()


def cases():
    """(title, package bytes, what the refusal says)."""
    import warnings
    warnings.simplefilter("ignore", UserWarning)  # zipfile warns of the duplicate names on purpose
    return [
        ("a ZIP64 end record pointing to another directory", zip64_pointing_elsewhere(),
         "but the ZIP64 end record's is"),
        ("the local header's Unicode path names another file",
         stored_zip([(b"readme.txt", HIDDEN, None, unicode_path(b"Quorvex.exe", b"readme.txt"), b""),
                     (b"Quorvex.exe", GENUINE, None, b"", b"")]),
         'its local header names it "Quorvex.exe"'),
        ("Quorvex.exe twice", python_zip([("Quorvex.exe", GENUINE), ("Quorvex.exe", HIDDEN)]),
         'it would write the same file as entry "Quorvex.exe"'),
        ("Quorvex.exe and QUORVEX.EXE", python_zip([("Quorvex.exe", GENUINE), ("QUORVEX.EXE", HIDDEN)]),
         'entry "QUORVEX.EXE": it would write the same file as entry "Quorvex.exe"'),
        ("a file and a folder of one name", python_zip([("Quorvex.exe", GENUINE), ("docs", b"a file"),
                                                        ("DOCS/leia-me.txt", b"text")]),
         'it needs a folder where entry "docs" is a file'),
    ]

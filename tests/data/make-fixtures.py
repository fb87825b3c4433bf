#!/usr/bin/env python3
"""Makes the small package fixtures in this folder with Python's own ZIP writer, so that
the tests also read packages from a writer other than their own builder."""
import os
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
WHEN = (2024, 5, 17, 12, 0, 0)


def entry(name, attributes=0, method=zipfile.ZIP_DEFLATED):
    info = zipfile.ZipInfo(name, WHEN)
    info.compress_type = method
    info.create_system = 0  # MS-DOS host: the attribute bits apply
    info.external_attr = attributes
    return info


# A good entry, then one that climbs out of the extraction folder, then one never reached.
with zipfile.ZipFile(os.path.join(HERE, "climbing-name.zip"), "w") as z:
    z.writestr(entry("ok.txt"), "written before the bad entry\n")
    z.writestr(entry("../evil.txt"), "must never be written\n")
    z.writestr(entry("after.txt"), "never reached\n")

# Non-ASCII names (Python sets flag bit 11), a read-only file, a folder entry, a stored file.
with zipfile.ZipFile(os.path.join(HERE, "names-and-attributes.zip"), "w") as z:
    z.writestr(entry("Instalação/", 0x10), "")
    z.writestr(entry("Instalação/café.txt", 0x01), "acentuação\n")
    z.writestr(entry("stored.bin", 0x20, zipfile.ZIP_STORED), bytes(range(256)))

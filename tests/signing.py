"""Signed packages for the tests, made with openssl's own command line rather than qv-sign, so
that the installer is checked against the format and not only against our signer; and the
tables of packages changed after signing or signed for something else, each with the check's
expected verdict.

The format: the comment of the end record nearest the end is "QVSIG2 <bound name>" followed by
one line "<key id> <signature>" per signature ("\n" between lines), the key id the first 8
bytes of the SHA-256 of the DER public key in hex, the signature the DER ECDSA P-256 signature
in base64url without padding of "QVSIG2", a zero byte, the bound name, a zero byte and
everything before the comment's length field.
"""
import base64
import hashlib
import os
import struct
import subprocess

END = b"PK\x05\x06"


def make_key(folder, name):
    """A P-256 key pair in folder: (private PEM, public PEM); kept when already there."""
    os.makedirs(folder, exist_ok=True)
    private = os.path.join(folder, name + ".pem")
    public = os.path.join(folder, name + ".pub")
    if not os.path.exists(public):
        subprocess.run(["openssl", "ecparam", "-name", "prime256v1", "-genkey", "-noout", "-out", private + ".tmp"],
                       check=True)
        subprocess.run(["openssl", "ec", "-in", private + ".tmp", "-pubout", "-out", public + ".tmp"], check=True,
                       stderr=subprocess.DEVNULL)
        os.replace(private + ".tmp", private)
        os.replace(public + ".tmp", public)
    return private, public


def key_id(public):
    der = subprocess.run(["openssl", "pkey", "-pubin", "-in", public, "-outform", "DER"], check=True,
                         capture_output=True).stdout
    return hashlib.sha256(der).hexdigest()[:16]


def end_record(data):
    """Where the end record nearest the end starts, searched as the installer searches."""
    at = data.rfind(END, max(0, len(data) - 22 - 0xFFFF))
    if at < 0:
        raise ValueError("no end record")
    return at


def message(covered, name):
    """What a signature for name signs."""
    return b"QVSIG2\0" + name.encode() + b"\0" + covered


def signature_line(covered, name, private, public):
    signature = subprocess.run(["openssl", "dgst", "-sha256", "-sign", private], input=message(covered, name),
                               check=True, capture_output=True).stdout
    return key_id(public).encode() + b" " + base64.urlsafe_b64encode(signature).rstrip(b"=")


def with_comment(data, comment):
    end = end_record(data)
    return data[:end + 20] + struct.pack("<H", len(comment)) + comment


def sign(data, private, public, name):
    """The package with its comment replaced by one signature for the package file name."""
    covered = data[:end_record(data) + 20]
    return with_comment(data, b"QVSIG2 " + name.encode() + b"\n" + signature_line(covered, name, private, public))


def add_signature(data, private, public):
    """A signed package with one more signature for the name it is signed for."""
    end = end_record(data)
    comment = data[end + 22:]
    name = comment.split(b"\n")[0][len(b"QVSIG2 "):].decode()
    return with_comment(data, comment + b"\n" + signature_line(data[:end + 20], name, private, public))


def sign_unbound(data, private, public):
    """The package signed in the old form, which names no release: the package bytes alone."""
    covered = data[:end_record(data) + 20]
    signature = subprocess.run(["openssl", "dgst", "-sha256", "-sign", private], input=covered, check=True,
                               capture_output=True).stdout
    return with_comment(data, b"QVSIG1 " + key_id(public).encode() + b" " +
                        base64.urlsafe_b64encode(signature).rstrip(b"="))


def to_zip64(data):
    """The package with a ZIP64 end record and locator before a saturated end record."""
    end = end_record(data)
    entries = struct.unpack_from("<H", data, end + 10)[0]
    size, offset = struct.unpack_from("<II", data, end + 12)
    record = struct.pack("<IQHHIIQQQQ", 0x06064b50, 44, 45, 45, 0, 0, entries, entries, size, offset)
    locator = struct.pack("<IIQI", 0x07064b50, 0, end, 1)
    saturated = struct.pack("<IHHHHIIH", 0x06054b50, 0, 0, 0xFFFF, 0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0)
    return data[:end] + record + locator + saturated


def first_entry_data(data):
    """Offset of the first entry's data (its local header is at 0)."""
    name_length, extra_length = struct.unpack_from("<HH", data, 26)
    return 30 + name_length + extra_length


def central_directory(data):
    end = end_record(data)
    return struct.unpack_from("<I", data, end + 16)[0]


def flip(data, at):
    changed = bytearray(data)
    changed[at] ^= 0x01
    return bytes(changed)


# What qv-unpack says for each kind (the support log names the kind itself).
MESSAGES = {
    "unsigned": "The package is not signed: ",
    "unbound": "signed in the old form (QVSIG1), which does not name the release",
    "wrong-release": "The package is signed for ",
    "unknown-key": ", none of which is one of this installer's (",
    "bad-signature": "does not match its bytes: it changed after signing",
    "too-few-signatures": "The package is signed by too few of this installer's keys",
    "trailing-bytes": " follow the end record's comment, where nothing may",
}


def other_architecture(name):
    return name.replace("_x64.zip", "_x86.zip") if name.endswith("_x64.zip") else name.replace("_x86.zip", "_x64.zip")


def tamper_cases(plain, keys, other, name):
    """(title, package bytes, expected verdict) for the plain package and an installer holding
    keys alone that asks for the package file name: None installs, else the failure kind that
    the installer's support log and qv-unpack name. keys and other are (private, public) pairs:
    the installer's key and one it does not hold."""
    signed = sign(plain, *keys, name)
    end = end_record(signed)
    central = central_directory(signed)
    name_at = central + 46  # the first central entry's name
    another_package = sign(flip(plain, first_entry_data(plain)), *keys, name)
    release = name.rsplit("_", 1)
    return [
        ("signed with openssl dgst for its name", signed, None),
        ("signed, ZIP64 end record", sign(to_zip64(plain), *keys, name), None),
        ("signed by an unknown key and the installer's", add_signature(sign(plain, *other, name), *keys), None),
        ("signed for another release", sign(plain, *keys, release[0] + "-older_" + release[1]), "wrong-release"),
        ("signed for the other architecture", sign(plain, *keys, other_architecture(name)), "wrong-release"),
        ("the bound name changed in the comment", with_comment(signed, signed[end + 22:].replace(
            name.encode(), other_architecture(name).encode(), 1)), "wrong-release"),
        ("the name the signature covers differs from the comment's", with_comment(signed, b"QVSIG2 " + name.encode() +
            b"\n" + signature_line(signed[:end + 20], other_architecture(name), *keys)), "bad-signature"),
        ("signed in the old unbound form", sign_unbound(plain, *keys), "unbound"),
        ("unsigned", plain, "unsigned"),
        ("signed by another key", sign(plain, *other, name), "unknown-key"),
        ("a byte of a file's data changed", flip(signed, first_entry_data(signed)), "bad-signature"),
        ("a byte of a name changed", flip(signed, name_at), "bad-signature"),
        ("a byte of the central directory changed", flip(signed, central + 38), "bad-signature"),
        ("a byte of the end record changed", flip(signed, end + 12), "bad-signature"),
        ("the comment taken from another signed package", signed[:end + 20] + another_package[end_record(another_package) + 20:],
         "bad-signature"),
        ("the comment's tag changed", signed[:end + 22] + b"QVSIG3" + signed[end + 28:], "unsigned"),
        ("bytes appended after the comment", signed + b"\0" * 16, "trailing-bytes"),
        ("a second end record appended, with the signature as its comment", signed + signed[end:], "bad-signature"),
    ]


def threshold_cases(plain, keys, second, other, name):
    """(title, package bytes, expected verdict) for an installer holding keys and second that
    needs both (threshold 2)."""
    one = sign(plain, *keys, name)
    return [
        ("threshold 2, one signature", one, "too-few-signatures"),
        ("threshold 2, two distinct keys", add_signature(one, *second), None),
        ("threshold 2, one key twice", add_signature(one, *keys), "too-few-signatures"),
        ("threshold 2, two keys and an unknown third", add_signature(add_signature(one, *other), *second), None),
        ("threshold 2, one key and an unknown one", add_signature(one, *other), "too-few-signatures"),
    ]

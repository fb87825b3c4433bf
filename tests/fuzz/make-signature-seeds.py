#!/usr/bin/env python3
"""Makes the signature fuzz target's seeds from the unpack seeds: each signed for
Quorvex_fuzz_x64.zip by a throw-away key under the key id that the target trusts with another
key's point (so that they reach the signature check and none can pass it), one of them also
signed by an unknown key.

  tests/fuzz/make-signature-seeds.py
"""
import os
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
import signing  # noqa: E402

NAME = "Quorvex_fuzz_x64.zip"
TRUSTED_ID = b"8c11e5d2fcad901d"


def main():
    out = os.path.join(HERE, "signature", "seeds")
    os.makedirs(out, exist_ok=True)
    for old in os.listdir(out):
        os.remove(os.path.join(out, old))
    with tempfile.TemporaryDirectory() as work:
        key = signing.make_key(work, "seed")
        unknown = signing.make_key(work, "unknown")
        for name, extra in (("tree.zip", False), ("streamed-zip64.zip", True)):
            with open(os.path.join(HERE, "unpack", "seeds", name), "rb") as f:
                data = f.read()
            data = signing.with_comment(data, b"")
            if extra:
                data = signing.sign(data, *unknown, NAME)
                data = signing.add_signature(data, *key)
            else:
                data = signing.sign(data, *key, NAME)
            data = data.replace(signing.key_id(key[1]).encode(), TRUSTED_ID)
            with open(os.path.join(out, "signed-" + name), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()

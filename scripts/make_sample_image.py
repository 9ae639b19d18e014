#!/usr/bin/env python3
"""Writes a 2 MB sample firmware image: deterministic pseudo-random content with one INQUIRY
block (05 80 00 ..., vendor "KEMO    ", product "VRZ-3372BL      ", revision, hardware id and
date code at their places), for packing into a container with kfstool pack."""
import argparse
import hashlib
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
import kfs_fixtures  # noqa: E402

IMAGE_LENGTH = 0x200000
INQUIRY_OFFSET = 0x10000


def make_image(revision: str, hardware_id: str, date_code: str, seed: str) -> bytearray:
    image = bytearray()
    counter = 0
    while len(image) < IMAGE_LENGTH:
        image += hashlib.sha256(f"{seed}:{counter}".encode()).digest()
        counter += 1
    del image[IMAGE_LENGTH:]
    kfs_fixtures.remove_inquiry_signatures(image)
    kfs_fixtures.put_inquiry(image, INQUIRY_OFFSET, "KEMO    VRZ-3372BL", revision, hardware_id,
                             date_code)
    return image


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("out", help="file to write")
    parser.add_argument("--revision", default="1.10")
    parser.add_argument("--hardware-id", default="K1")
    parser.add_argument("--date-code", default="061122")
    parser.add_argument("--seed", default="kfs sample")
    args = parser.parse_args()
    with open(args.out, "wb") as f:
        f.write(make_image(args.revision, args.hardware_id, args.date_code, args.seed))


if __name__ == "__main__":
    main()

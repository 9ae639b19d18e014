#!/usr/bin/env python3
"""Writes a 2 MB sample firmware image: deterministic pseudo-random content with one INQUIRY
block (05 80 00 ..., vendor "KEMO    ", product "VRZ-3372BL      ", revision, hardware id and
date code at their places), for packing into a container with kfstool pack."""
import argparse
import hashlib

IMAGE_LENGTH = 0x200000
INQUIRY_OFFSET = 0x10000


def make_image(revision: str, hardware_id: str, date_code: str, seed: str) -> bytearray:
    image = bytearray()
    counter = 0
    while len(image) < IMAGE_LENGTH:
        image += hashlib.sha256(f"{seed}:{counter}".encode()).digest()
        counter += 1
    del image[IMAGE_LENGTH:]
    # No stray INQUIRY signature in the random content: only the block below may carry it.
    at = image.find(b"\x05\x80\x00")
    while at >= 0:
        image[at] = 0x06
        at = image.find(b"\x05\x80\x00", at)
    block = bytearray(48)
    block[0:8] = bytes([0x05, 0x80, 0x00, 0x21, 0x1F, 0x00, 0x00, 0x00])
    block[8:16] = b"KEMO    "
    block[16:32] = b"VRZ-3372BL      "
    block[32:36] = revision.encode("latin-1")[:4].ljust(4, b" ")
    block[38:40] = hardware_id.encode("latin-1")[:2].ljust(2, b" ")
    block[40:46] = date_code.encode("latin-1")[:6].ljust(6, b" ")
    image[INQUIRY_OFFSET:INQUIRY_OFFSET + len(block)] = block
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

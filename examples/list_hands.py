#!/usr/bin/env python3
"""Finds the hands on the subnet, prints who they are and reads each hand's
joint positions once: the Python twin of list_hands.cpp.

    python3 list_hands.py

Discovery broadcasts on 192.168.137.255: run it on the machine that is wired
to the hands (or, for a dry run, inside tests/netns/run-in-netns next to
simulated hands).
"""
import logging
import sys

import tessaro_dexhand


def print_hands(hands):
    print(f"{len(hands)} hand(s) found")
    for hand in hands:
        print(f"{hand.address}  name {hand.kind}  type {hand.type}  "
              f"driver {hand.driver_version}  hardware {hand.hardware_version}")
        kind = hand.kind_info  # the kind's facts: how many joints, in which unit
        try:
            positions = hands.positions(hand.address)  # a numpy float32 array
        except tessaro_dexhand.DexHandError as error:  # HandTimeout, HandFailure, ...
            print(f"  positions: {tessaro_dexhand.status_text(error.status)}")
            continue
        print(f"  positions ({kind.joints} joints, {kind.position_unit}): "
              + " ".join(f"{value:.3f}" for value in positions))
    for device in hands.skipped():
        print(f"{device.address}  skipped: {device.reason}")


def main():
    # The library's own lines (time-outs, refused arguments) as log records.
    logging.basicConfig(level=logging.WARNING, format="%(levelname)s %(name)s: %(message)s")
    try:
        # Entering discovers the hands (one second of listening); leaving closes them.
        with tessaro_dexhand.DexHand() as hands:
            print_hands(hands)
    except tessaro_dexhand.DexHandError as error:  # only discovery gets here
        print(f"No hand registered ({error}); check the cable and the 192.168.137.0/24 address of this machine.")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())

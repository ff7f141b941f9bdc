#!/usr/bin/env python3
"""Finds the hands on the subnet, prints who they are and reads each hand's
joint positions once: the Python twin of list_hands.cpp.

    python3 list_hands.py

Discovery broadcasts on 192.168.137.255: run it on the machine that is wired
to the hands (or, for a dry run, inside tests/netns/run-in-netns next to
simulated hands). Joints, units and ranges per hand kind: docs/hands.md.
"""
import logging
import sys

import tessaro_dexhand


def main():
    # The library's own lines (time-outs, refused arguments) as log records.
    logging.basicConfig(level=logging.WARNING, format="%(levelname)s %(name)s: %(message)s")

    client = tessaro_dexhand.DexHand()
    if client.init() != tessaro_dexhand.SUCCESS:  # one second of listening
        print("No hand registered; check the cable and the 192.168.137.0/24 address of this machine.")
        return 1

    ips = client.get_ip_list()
    print(f"{len(ips)} hand(s) found")
    for ip in ips:
        print(f"{ip}  name {client.get_name(ip)}  type {client.get_type(ip)}  "
              f"driver {client.get_driver_ver(ip)}  hardware {client.get_hardware_ver(ip)}")
        positions = client.get_pos(ip)  # [] when the read failed
        if not positions:
            print("  positions: no answer")
            continue
        print("  positions: " + " ".join(f"{value:.3f}" for value in positions))
    return 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause
"""Builds the throughput capture big.nmea from the captures in tests/data:
the valid lines of each capture (printable ASCII, '$' + tag, a correct
checksum, at most 82 bytes with CR LF), file after file, 22 times over, cut
at 100000 lines.  usage: bench/make_big.py OUT"""
import os, re, sys

ORDER = ["gpsd-telit-he910", "gpsd-april6_2019", "gpsd-gp-320fw-2019-04-06-overflow", "gpsd-ublox-neo-m9n-nmea",
         "gpsd-quectel-eg25-g", "gpsd-beidou-bd", "gpsd-telit-pls83-w", "gpsd-bt451", "gpsd-firefly-II",
         "gpsd-mtk-3301", "gpsd-skytraq-PX1172RH_DS", "pynmeagps-pygpsdata-nmeastartup"]


def valid(line):
    if len(line) + 2 > 82 or not re.fullmatch(rb"\$[A-Z0-9]{3,}[ -~]*\*[0-9A-Fa-f]{2}", line):
        return False
    body, cs = line[1:].rsplit(b"*", 1)
    x = 0
    for b in body:
        x ^= b
    return x == int(cs, 16)


def main():
    data = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "data")
    lines = []
    for name in ORDER:
        with open(os.path.join(data, name + ".nmea"), "rb") as f:
            lines.append([l for l in f.read().split(b"\r\n") if valid(l)])
    out = []
    while len(out) < 100000:
        for ls in lines:
            out.extend(ls)
    with open(sys.argv[1], "wb") as f:
        f.write(b"".join(l + b"\r\n" for l in out[:100000]))


if __name__ == "__main__":
    main()

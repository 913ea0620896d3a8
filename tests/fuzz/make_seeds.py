#!/usr/bin/env python3
"""Writes the seed inputs of the server link's fuzz targets into corpus/<target>/.

The seeds are the messages of the worked examples and small variations of them: a
configuration of one and of several stations, packets of every coding, a format-3 packet,
breaks with statuses. Run from this directory; the files are committed.
"""
import os
import struct


def name(text):
    return text.encode().ljust(8, b"\0")[:8]


def channel(cha, word, signature=0x10325476, interval=10000):
    return (name(cha) + name("AUX") + struct.pack(">HIIIIIIIIIII", word, signature, interval,
            4, 10, 100000, 0, 0, 1158300277, 500000, 0xFFFFFFFF, 0))


def station(sta, channels):
    return name(sta) + struct.pack(">IIIIH", 1, 2, 3, 4, len(channels)) + b"".join(channels)


def config(stations):
    return struct.pack(">HIH", 1, 1, len(stations)) + b"".join(stations)


def packet(sta, cha, compression, count, data):
    return struct.pack(">HHHIIHHiI", 1, sta, cha, 1158300277, 500000, 0, compression, count,
                       len(data)) + data


def framed(body):
    return struct.pack(">I", len(body)) + body


def status(code):
    return framed(b"") + framed(struct.pack(">i", code))


def write(target, label, data):
    os.makedirs(os.path.join("corpus", target), exist_ok=True)
    with open(os.path.join("corpus", target, label), "wb") as out:
        out.write(data)


one = config([station("STA1", [channel("BHZ", 4)])])
several = config([station("STA1", [channel("BHZ", 4), channel("BHN", 2, 0x76543210, 12500),
                                   channel("BHE", 3)]),
                  station("STA2", [channel("HHZ", 2, interval=5000)])])
write("decode_config", "one-channel", one)
write("decode_config", "two-stations", several)
write("decode_config", "cut-short", several[:100])
write("decode_config", "unterminated-name", config([station("STATIONX", [channel("LONGNAME", 4)])]))

packets = {
    "worked-example": packet(0, 0, 1, 3, bytes([0x82, 0x03, 0x05, 0x04])),
    "coded-100-95-95": packet(0, 1, 1, 3, bytes([0xC8, 0x01, 0x0B, 0x00])),
    "plain-32": packet(0, 0, 0, 2, bytes([1, 2, 3, 4, 0xFE, 0xFF, 0xFF, 0xFF])),
    "plain-16-swapped": packet(0, 1, 0, 2, bytes([0xFF, 0xFE, 0x01, 0x02])),
    "plain-16": packet(1, 0, 0, 2, bytes([0xFE, 0xFF, 0x01, 0x02])),
    "five-byte-value": packet(0, 0, 1, 1, bytes([0x81, 0x80, 0x80, 0x80, 0x10])),
    "word-size-3": packet(0, 2, 0, 1, bytes([1, 2, 3])),
    "bad-index": packet(2, 0, 0, 1, bytes([1, 2, 3, 4])),
    "format-3": struct.pack(">HI", 3, 4) + b"abcd",
}
for label, body in packets.items():
    write("decode_packet", label, body)

write("link_stream", "config-then-packets-then-end",
      framed(several) + framed(packets["worked-example"]) + status(0) +
      framed(packets["plain-16"]) + framed(packets["bad-index"]) + framed(packets["format-3"]) +
      status(1))
write("link_stream", "retry-status", status(13))
write("link_stream", "config-then-status-42", framed(one) + framed(packets["worked-example"]) +
      status(42))
write("link_stream", "prefix-too-long", framed(one) + struct.pack(">I", 362257))

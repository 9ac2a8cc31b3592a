#!/usr/bin/env python3
"""Writes the seed corpus of each fuzz target into fuzz/corpus/<target>/: valid message
sequences in each target's input format. Run again after changing a format."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def text_field(text, width):
    raw = text.encode()[:width]
    return raw + b"\0" * (width - len(raw))


# Relay -> client messages.
def head(tag, payload):
    return tag + b"\0" + struct.pack("<H", len(payload)) + payload


def caster_list(entries):
    payload = struct.pack("<H", len(entries))
    for name, track, watchers, tenths in entries:
        payload += text_field(name, 32) + text_field(track, 4) + struct.pack("<HH", watchers, tenths)
    return head(b"CHL", payload)


def pieces(data, size):
    """The receive buffer's input: each piece a u16 size, then its bytes."""
    out = b""
    for at in range(0, len(data), size):
        piece = data[at:at + size]
        out += struct.pack("<H", len(piece)) + piece
    return out


def receive_buffer_seeds():
    header = head(b"SRH", bytes(range(256)) * 64)
    data = head(b"SRD", bytes((i * 7) & 255 for i in range(4096)))
    listing = caster_list([("alpha", "BL1", 3, 5), ("beta", "FE2r", 0, 0)])
    watcher = b"ACK0OK" + listing + head(b"KAL", b"") + header + data + data
    write("receive_buffer", "watcher_whole", pieces(watcher, 16386))
    write("receive_buffer", "watcher_small_pieces", pieces(watcher[:9000], 333))
    write("receive_buffer", "refused_then_error", pieces(b"ACK0NO" + head(b"ERR", b"This relay needs client version 0.0.2.\0"), 5))
    write("receive_buffer", "empty_list_and_keepalives", pieces(b"ACK0OK" + caster_list([]) + head(b"KAL", b"") * 3, 7))


# Client -> relay messages.
def hello(mode, name="", track="", version="0.0.2.0"):
    return (b"CCN0" + struct.pack("<H", 46) + bytes([mode]) + text_field(version, 8) +
            text_field(name, 32) + text_field(track, 4) + b"\0")


def watch(name):
    return b"HOS0" + text_field(name, 32)


def header_upload():
    return b"NRF0" + bytes((i * 13) & 255 for i in range(16386))


def block_upload(index):
    return b"ERF0" + bytes((i + index) & 255 for i in range(4096))


def framer_pieces(data, size):
    """The framer's input: each piece a one-byte size (0 meaning 4,100), then its bytes."""
    out = b""
    code = 0 if size == 4100 else size
    for at in range(0, len(data), size):
        out += bytes([code]) + data[at:at + size]
    return out


def framer_seeds():
    caster = hello(1, "alpha", "BL1") + header_upload() + block_upload(0) + block_upload(1)
    write("client_framer", "caster_big_pieces", framer_pieces(caster, 4100))
    write("client_framer", "caster_odd_pieces", framer_pieces(caster[:6000], 97))
    write("client_framer", "watcher", framer_pieces(hello(0) + watch("alpha") + hello(0), 1))
    write("client_framer", "bad_mode", framer_pieces(hello(2, "x"), 52))


# Whole-relay scripts: the first byte chooses the broadcast delay; then actions, each an
# action number and its arguments (see Harness::step in relay_fuzz.cpp).
(CONNECT, HELLO_WATCH, HELLO_CAST, WATCH, HEADER, BLOCKS, RAW, STALL, LEAVE, WAIT, PARTIAL,
 REUPLOAD, DIFFER) = range(13)


def relay_seeds():
    # Client 0 casts "a" on BL1, client 1 watches it, blocks flow, a new recording starts.
    cast_and_watch = bytes([
        0,
        CONNECT, 0, 2, CONNECT, 1, 3,
        HELLO_CAST, 0, 0, ord("B"), ord("L"), ord("1"), 0,
        HEADER, 0, BLOCKS, 0, 2,
        HELLO_WATCH, 1, WATCH, 1, 0,
        BLOCKS, 0, 1, WAIT, 5, HEADER, 0, BLOCKS, 0, 3,
    ])
    write("relay", "cast_and_watch", cast_and_watch)
    # The same with a broadcast delay, and a caster that leaves and resumes from its address.
    resume = bytes([
        1,
        CONNECT, 0, 3, CONNECT, 1, 1, CONNECT, 0, 4,
        HELLO_CAST, 0, 1, ord("F"), ord("E"), ord("2"), ord("r"),
        HEADER, 0, BLOCKS, 0, 2,
        HELLO_WATCH, 1, WATCH, 1, 1, WAIT, 30,
        LEAVE, 0, WAIT, 10,
        HELLO_CAST, 2, 1, 0, 0, 0, 0, BLOCKS, 2, 4, WAIT, 30,
    ])
    write("relay", "delay_and_resume", resume)
    # A stalled watcher, a cast past the size limit, a half-sent message and the caps.
    limits = bytes([
        0,
        CONNECT, 0, 4, CONNECT, 1, 2, CONNECT, 1, 0, CONNECT, 1, 0, CONNECT, 1, 0,
        HELLO_CAST, 0, 2, 0, 0, 0, 0, HEADER, 0,
        HELLO_WATCH, 1, WATCH, 1, 2, STALL, 1,
        BLOCKS, 0, 7, PARTIAL, 2, 1, 9, WAIT, 120,
        RAW, 3, 8, ord("X"), ord("Y"), ord("Z"), ord("0"), 1, 2, 3, 4,
    ])
    write("relay", "limits", limits)
    # With a delay: the owner takes "a" over from a connection still open, uploads again from
    # the header, matches two blocks still held back, sends one that differs and carries on;
    # then it leaves and the cast ends with blocks still held back.
    takeover = bytes([
        1,
        CONNECT, 0, 3, CONNECT, 1, 1, CONNECT, 0, 4,
        HELLO_CAST, 0, 0, 0, 0, 0, 0, HEADER, 0, BLOCKS, 0, 3,
        HELLO_WATCH, 1, WATCH, 1, 0, WAIT, 10,
        HELLO_CAST, 2, 0, 0, 0, 0, 0,
        REUPLOAD, 2, BLOCKS, 2, 1, DIFFER, 2, WAIT, 15, BLOCKS, 2, 2,
        LEAVE, 2, WAIT, 60, WAIT, 60,
    ])
    write("relay", "takeover_and_resend", takeover)


if __name__ == "__main__":
    receive_buffer_seeds()
    framer_seeds()
    relay_seeds()

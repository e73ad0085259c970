#!/usr/bin/env python3
"""Fills a news server's group with a benchmark corpus through its feed port (streaming).

usage: inject_corpus.py HOST FEED_PORT COUNT BODY_BYTES [GROUP]

Article i (1..COUNT) has the message-id printed by message_id(i, BODY_BYTES) and a body of
BODY_BYTES in 128-character lines, a few of them beginning with a dot so that the server
stuffs them. Articles already on the server are skipped (CHECK), so a second run costs
seconds. Prints one line: how many were sent and how many the server already held.
"""
import random
import socket
import sys
import threading

LINE_LEN = 128


def message_id(i, body_bytes):
    return "<zb-%d-%d@bench.zodiva.test>" % (body_bytes, i)


def make_body(body_bytes):
    rng = random.Random(body_bytes)
    alphabet = bytes(range(33, 127))
    lines = []
    size = 0
    n = 0
    while size < body_bytes:
        line = bytes(rng.choice(alphabet) for _ in range(LINE_LEN))
        if n % 50 == 7:
            line = b"." + line[1:]
        lines.append(line)
        size += LINE_LEN + 2
        n += 1
    # Stuffed for the wire: a line that begins with a dot gets a second one.
    return b"".join((b"." + l if l.startswith(b".") else l) + b"\r\n" for l in lines)


def article(i, body_bytes, group, body):
    head = (
        "Path: bench.zodiva.test!not-for-mail\r\n"
        "From: bench <bench@zodiva.test>\r\n"
        "Newsgroups: %s\r\n"
        "Subject: throughput corpus %d (1/1)\r\n"
        "Message-ID: %s\r\n"
        "Date: Tue, 08 Dec 2026 12:00:00 +0000\r\n"
        "\r\n"
        "article %d\r\n" % (group, i, message_id(i, body_bytes), i)
    ).encode("ascii")
    return head + body + b".\r\n"


class Feed:
    def __init__(self, host, port):
        self.sock = socket.create_connection((host, port), timeout=120)
        self.reader = self.sock.makefile("rb")

    def line(self):
        return self.reader.readline().decode("latin-1").rstrip("\r\n")

    def command(self, text):
        self.sock.sendall(text.encode("latin-1") + b"\r\n")
        return self.line()


def main():
    if len(sys.argv) < 5:
        print(__doc__, file=sys.stderr)
        return 2
    host, port = sys.argv[1], int(sys.argv[2])
    count, body_bytes = int(sys.argv[3]), int(sys.argv[4])
    group = sys.argv[5] if len(sys.argv) > 5 else "alt.binaries.test"
    feed = Feed(host, port)
    greeting = feed.line()
    if not greeting.startswith("2"):
        print("inject_corpus: feed refused: " + greeting, file=sys.stderr)
        return 1
    reply = feed.command("MODE STREAM")
    if not reply.startswith("203"):
        print("inject_corpus: no streaming: " + reply, file=sys.stderr)
        return 1

    # Ask about every article first (pipelined), then send only the missing ones. 438 means
    # the server holds it; anything else (431 while a busy server is paused, for one) is not
    # an answer about the article and stops the run rather than pass for "already held".
    wanted = []
    refusals = []

    def read_checks():
        for _ in range(count):
            reply = feed.line()
            parts = reply.split()
            if parts and parts[0] == "238":
                wanted.append(parts[1])
            elif not parts or parts[0] != "438":
                refusals.append(reply)

    reader = threading.Thread(target=read_checks)
    reader.start()
    feed.sock.sendall(
        b"".join(b"CHECK %s\r\n" % message_id(i, body_bytes).encode() for i in range(1, count + 1)))
    reader.join()
    if refusals:
        print("inject_corpus: the feed did not answer CHECK: %s" % refusals[0], file=sys.stderr)
        if "loadav" in refusals[0] or "pause" in refusals[0].lower():
            print("inject_corpus: the server paused itself for the load average; resume it "
                  "with: ctlinnd go \"\"", file=sys.stderr)
        return 1

    numbers = {message_id(i, body_bytes): i for i in range(1, count + 1)}
    todo = sorted(numbers[m] for m in wanted if m in numbers)
    failures = []

    def read_takes():
        for _ in todo:
            reply = feed.line()
            if not reply.startswith("239"):
                failures.append(reply)

    reader = threading.Thread(target=read_takes)
    reader.start()
    body = make_body(body_bytes)
    for i in todo:
        feed.sock.sendall(
            b"TAKETHIS %s\r\n" % message_id(i, body_bytes).encode() + article(i, body_bytes,
                                                                                group, body))
    reader.join()
    feed.command("QUIT")
    print("inject_corpus: sent %d, already held %d, refused %d" %
          (len(todo), count - len(todo), len(failures)))
    for reply in failures[:5]:
        print("inject_corpus: refused: " + reply, file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""A small SOCKS proxy for the connection tests: SOCKS4a (the target named
by host name) and SOCKS5 with the user name and password sub-negotiation.

    socks_peer.py socks4a|socks5auth USER PASS TARGET_PORT

Listens on 127.0.0.1 (a free port, printed as "PORT <n>"), prints every
handshake it receives as "REQ <hex>", answers it, and relays the tunnel to
127.0.0.1:TARGET_PORT whatever host the client asked for, so that nothing
leaves the machine. Runs until it is ended."""
import socket
import struct
import sys
import threading


def read_n(c, n):
    data = b""
    while len(data) < n:
        chunk = c.recv(n - len(data))
        if not chunk:
            raise EOFError
        data += chunk
    return data


def read_to_nul(c):
    data = b""
    while True:
        b = read_n(c, 1)
        data += b
        if b == b"\0":
            return data


def relay(a, b):
    try:
        while True:
            d = a.recv(65536)
            if not d:
                break
            b.sendall(d)
    except OSError:
        pass
    finally:
        try:
            b.shutdown(socket.SHUT_WR)
        except OSError:
            pass


def report(req):
    sys.stdout.write("REQ %s\n" % req.hex())
    sys.stdout.flush()


def socks4a(c, user, _pwd):
    req = read_n(c, 8)
    req += read_to_nul(c)
    ip = req[4:8]
    if ip[:3] == b"\0\0\0" and ip[3] != 0:
        req += read_to_nul(c)
    report(req)
    granted = req[8:-1].split(b"\0")[0] == user
    c.sendall(struct.pack("!BBH4s", 0, 0x5A if granted else 0x5B, 0, b"\0\0\0\0"))
    return granted


def socks5auth(c, user, pwd):
    greet = read_n(c, 2)
    greet += read_n(c, greet[1])
    c.sendall(b"\x05\x02" if 2 in greet[2:] else b"\x05\xff")
    if 2 not in greet[2:]:
        report(greet)
        return False
    auth = read_n(c, 2)
    auth += read_n(c, auth[1])
    auth += read_n(c, 1)
    auth += read_n(c, auth[-1])
    ok = auth[2:2 + auth[1]] == user and auth[3 + auth[1]:] == pwd
    c.sendall(b"\x01\x00" if ok else b"\x01\x01")
    if not ok:
        report(greet + auth)
        return False
    head = read_n(c, 4)
    if head[3] == 1:
        rest = read_n(c, 6)
    elif head[3] == 4:
        rest = read_n(c, 18)
    else:
        n = read_n(c, 1)
        rest = n + read_n(c, n[0] + 2)
    report(greet + auth + head + rest)
    c.sendall(b"\x05\x00\x00\x01\x7f\x00\x00\x01\x00\x00")
    return True


def serve(c, mode, user, pwd, target):
    try:
        if not (socks4a if mode == "socks4a" else socks5auth)(c, user, pwd):
            return
        t = socket.create_connection(("127.0.0.1", target))
        threading.Thread(target=relay, args=(t, c), daemon=True).start()
        relay(c, t)
    except (EOFError, OSError):
        pass
    finally:
        c.close()


def main():
    mode, user, pwd, target = sys.argv[1], sys.argv[2].encode(), sys.argv[3].encode(), int(sys.argv[4])
    ls = socket.socket()
    ls.bind(("127.0.0.1", 0))
    ls.listen(8)
    sys.stdout.write("PORT %d\n" % ls.getsockname()[1])
    sys.stdout.flush()
    while True:
        c, _ = ls.accept()
        threading.Thread(target=serve, args=(c, mode, user, pwd, target), daemon=True).start()


if __name__ == "__main__":
    main()

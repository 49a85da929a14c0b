#!/usr/bin/env python3
"""A client of the helper written only from its wire format, with no shared
code: 4-byte little-endian length, then a MessagePack map. It has its own
small MessagePack encoder and decoder, since no MessagePack module is assumed.

    wire_client.py SOCKET [--uninstall]

Calls every operation of HelperProtocol (helper removal only with
--uninstall, as it ends the daemon), pipelining the requests and matching
replies by "seq", and prints one JSON object: {"pid": <own pid>, "replies":
{selector: [reply arguments...]}} with a ProxyStatus archive decoded into an
object. Exits non-zero on any protocol violation it sees.
"""
import json
import os
import socket
import struct
import sys


class WireError(Exception):
    pass


# ---- MessagePack ----

def pack(obj):
    if obj is None:
        return b"\xc0"
    if obj is True:
        return b"\xc3"
    if obj is False:
        return b"\xc2"
    if isinstance(obj, int):
        if 0 <= obj <= 0x7F:
            return bytes([obj])
        if -32 <= obj < 0:
            return struct.pack("b", obj)
        if 0 <= obj <= 0xFF:
            return b"\xcc" + struct.pack(">B", obj)
        if 0 <= obj <= 0xFFFF:
            return b"\xcd" + struct.pack(">H", obj)
        if 0 <= obj <= 0xFFFFFFFF:
            return b"\xce" + struct.pack(">I", obj)
        if 0 <= obj <= 0xFFFFFFFFFFFFFFFF:
            return b"\xcf" + struct.pack(">Q", obj)
        if -0x80 <= obj:
            return b"\xd0" + struct.pack(">b", obj)
        if -0x8000 <= obj:
            return b"\xd1" + struct.pack(">h", obj)
        if -0x80000000 <= obj:
            return b"\xd2" + struct.pack(">i", obj)
        return b"\xd3" + struct.pack(">q", obj)
    if isinstance(obj, str):
        b = obj.encode("utf-8")
        n = len(b)
        if n <= 31:
            return bytes([0xA0 | n]) + b
        if n <= 0xFF:
            return b"\xd9" + struct.pack(">B", n) + b
        if n <= 0xFFFF:
            return b"\xda" + struct.pack(">H", n) + b
        return b"\xdb" + struct.pack(">I", n) + b
    if isinstance(obj, (bytes, bytearray)):
        n = len(obj)
        if n <= 0xFF:
            return b"\xc4" + struct.pack(">B", n) + bytes(obj)
        if n <= 0xFFFF:
            return b"\xc5" + struct.pack(">H", n) + bytes(obj)
        return b"\xc6" + struct.pack(">I", n) + bytes(obj)
    if isinstance(obj, (list, tuple)):
        n = len(obj)
        if n <= 15:
            head = bytes([0x90 | n])
        elif n <= 0xFFFF:
            head = b"\xdc" + struct.pack(">H", n)
        else:
            head = b"\xdd" + struct.pack(">I", n)
        return head + b"".join(pack(x) for x in obj)
    if isinstance(obj, dict):
        n = len(obj)
        if n <= 15:
            head = bytes([0x80 | n])
        elif n <= 0xFFFF:
            head = b"\xde" + struct.pack(">H", n)
        else:
            head = b"\xdf" + struct.pack(">I", n)
        return head + b"".join(pack(k) + pack(v) for k, v in obj.items())
    raise TypeError("cannot pack %r" % type(obj))


def unpack(data):
    obj, pos = _unpack(data, 0)
    if pos != len(data):
        raise WireError("trailing bytes in a message")
    return obj


def _take(data, pos, n):
    if pos + n > len(data):
        raise WireError("truncated message")
    return data[pos:pos + n], pos + n


def _unpack(data, pos):
    b, pos = _take(data, pos, 1)
    t = b[0]
    if t <= 0x7F:
        return t, pos
    if t >= 0xE0:
        return t - 0x100, pos
    if 0x80 <= t <= 0x8F:
        return _map(data, pos, t & 0x0F)
    if 0x90 <= t <= 0x9F:
        return _array(data, pos, t & 0x0F)
    if 0xA0 <= t <= 0xBF:
        raw, pos = _take(data, pos, t & 0x1F)
        return raw.decode("utf-8"), pos
    if t == 0xC0:
        return None, pos
    if t == 0xC2:
        return False, pos
    if t == 0xC3:
        return True, pos
    fixed = {0xCC: ">B", 0xCD: ">H", 0xCE: ">I", 0xCF: ">Q",
             0xD0: ">b", 0xD1: ">h", 0xD2: ">i", 0xD3: ">q",
             0xCA: ">f", 0xCB: ">d"}
    if t in fixed:
        fmt = fixed[t]
        raw, pos = _take(data, pos, struct.calcsize(fmt))
        return struct.unpack(fmt, raw)[0], pos
    lengths = {0xC4: ">B", 0xC5: ">H", 0xC6: ">I", 0xD9: ">B", 0xDA: ">H", 0xDB: ">I",
               0xDC: ">H", 0xDD: ">I", 0xDE: ">H", 0xDF: ">I"}
    if t in lengths:
        fmt = lengths[t]
        raw, pos = _take(data, pos, struct.calcsize(fmt))
        n = struct.unpack(fmt, raw)[0]
        if t in (0xC4, 0xC5, 0xC6):
            raw, pos = _take(data, pos, n)
            return bytes(raw), pos
        if t in (0xD9, 0xDA, 0xDB):
            raw, pos = _take(data, pos, n)
            return raw.decode("utf-8"), pos
        if t in (0xDC, 0xDD):
            return _array(data, pos, n)
        return _map(data, pos, n)
    raise WireError("unsupported MessagePack type 0x%02x" % t)


def _array(data, pos, n):
    out = []
    for _ in range(n):
        v, pos = _unpack(data, pos)
        out.append(v)
    return out, pos


def _map(data, pos, n):
    out = {}
    for _ in range(n):
        k, pos = _unpack(data, pos)
        v, pos = _unpack(data, pos)
        out[k] = v
    return out, pos


# ---- Frames ----

def send_frame(sock, message):
    body = pack(message)
    sock.sendall(struct.pack("<I", len(body)) + body)


def recv_exact(sock, n):
    buf = b""
    while len(buf) < n:
        chunk = sock.recv(n - len(buf))
        if not chunk:
            raise WireError("the helper closed the connection")
        buf += chunk
    return buf


def recv_frame(sock):
    (n,) = struct.unpack("<I", recv_exact(sock, 4))
    if n == 0 or n > 256 * 1024 * 1024:
        raise WireError("bad frame length %d" % n)
    return unpack(recv_exact(sock, n))


# ---- The protocol ----

PROXY_STATUS_KEYS = {"isRunning": bool, "httpPort": int, "socksPort": int, "mode": str,
                     "uplink": int, "downlink": int, "errorMessage": str}


def decode_proxy_status(value):
    """Secure decoding: only a ProxyStatus archive (or nil) is accepted."""
    if value is None:
        return None
    if not isinstance(value, dict) or value.get("$class") != "ProxyStatus":
        raise WireError("reply is not a ProxyStatus archive: %r" % (value,))
    out = {"isRunning": False, "httpPort": 0, "socksPort": 0, "mode": "",
           "uplink": 0, "downlink": 0, "errorMessage": None}
    for key, typ in PROXY_STATUS_KEYS.items():
        if key in value and value[key] is not None:
            v = value[key]
            if not isinstance(v, typ) or (typ is int and isinstance(v, bool)):
                raise WireError("ProxyStatus.%s has the wrong type" % key)
            out[key] = v
    return out


CALLS = [
    ("getVersionWithCompletion:", []),
    ("setSystemProxyWithHost:httpPort:socksPort:completion:", ["127.0.0.1", 7890, 7891]),
    ("clearSystemProxyWithCompletion:", []),
    ("flushDNSWithCompletion:", []),
    ("startProxyWithConfig:completion:", ["mixed-port: 7890\nmode: rule\n"]),
    ("stopProxyWithCompletion:", []),
    ("reloadProxyWithConfig:completion:", ["mixed-port: 7890\n"]),
    ("getProxyStatusWithCompletion:", []),
    ("selectOutboundWithGroupTag:outboundTag:completion:", ["Proxy", "DIRECT"]),
    ("setRouteModeWithMode:completion:", ["global"]),
    ("getTrafficStatsWithCompletion:", []),
    ("updateTunWithEnable:completion:", [False]),
    ("kernelQueryWithMethod:data:completion:", ["getProxies", ""]),
    ("installKernelWithBinaryData:completion:", [b"#!/bin/sh\nexit 1\n"]),
    ("getKernelVersionWithCompletion:", []),
]


def main():
    if len(sys.argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    path = sys.argv[1]
    calls = list(CALLS)
    if "--uninstall" in sys.argv[2:]:
        calls = [("uninstallHelperWithCompletion:", [])]
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    sock.connect(path)
    # All requests go out before any reply is read: replies may come in any
    # order and are matched by seq.
    by_seq = {}
    for i, (sel, args) in enumerate(calls):
        seq = 1000 + i
        by_seq[seq] = sel
        send_frame(sock, {"seq": seq, "sel": sel, "args": args})
    replies = {}
    while len(replies) < len(calls):
        msg = recv_frame(sock)
        if not isinstance(msg, dict) or set(msg) != {"seq", "reply"}:
            raise WireError("malformed reply %r" % (msg,))
        sel = by_seq.pop(msg["seq"], None)
        if sel is None:
            raise WireError("reply to an unknown seq %r" % (msg["seq"],))
        reply = msg["reply"]
        if not isinstance(reply, list):
            raise WireError("reply of %s is not an array" % sel)
        if sel == "getProxyStatusWithCompletion:":
            reply = [decode_proxy_status(reply[0])]
        replies[sel] = reply
    sock.close()
    print(json.dumps({"pid": os.getpid(), "replies": replies}, ensure_ascii=False))
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except (WireError, OSError, UnicodeDecodeError) as e:
        print("wire_client: %s" % e, file=sys.stderr)
        sys.exit(1)

#!/usr/bin/python3
"""An FTP server for the listing benchmark that answers LIST and MLSD with
listings recorded before (from the real servers), sent from memory at once.

The real servers take most of a large listing's time to make it; served so,
the time left is the client's own.

    replay_ftpd.py --list FILE [--mlsd FILE]

Binds 127.0.0.1 on a free port, prints "PORT <n>" once it listens and serves
any login, one session at a time, until it is terminated. FEAT lists MLST
only when an MLSD listing was given.
"""
import argparse
import socket
import sys


def serve(control, listings):
    reader = control.makefile("rb")
    passive = None

    def reply(text):
        control.sendall(text.encode() + b"\r\n")

    reply("220 Replay ready.")
    for raw in reader:
        line = raw.decode("latin-1").rstrip("\r\n")
        verb, _, argument = line.partition(" ")
        verb = verb.upper()
        if verb == "USER":
            reply("331 Password required.")
        elif verb == "PASS":
            reply("230 Logged in.")
        elif verb == "SYST":
            reply("215 UNIX Type: L8")
        elif verb == "FEAT":
            reply("211-Features:\r\n MLST type*;size*;modify*;perm*;unix.mode;\r\n UTF8\r\n211 End"
                  if "MLSD" in listings else "211-Features:\r\n UTF8\r\n211 End")
        elif verb in ("TYPE", "OPTS", "MODE", "STRU", "NOOP"):
            reply("200 OK.")
        elif verb == "CWD":
            reply("250 OK.")
        elif verb == "PWD":
            reply('257 "/big" is the current directory.')
        elif verb in ("PASV", "EPSV"):
            if passive:
                passive.close()
            passive = socket.socket()
            passive.bind(("127.0.0.1", 0))
            passive.listen(1)
            port = passive.getsockname()[1]
            if verb == "PASV":
                reply("227 Entering Passive Mode (127,0,0,1,%d,%d)." % (port >> 8, port & 255))
            else:
                reply("229 Entering Extended Passive Mode (|||%d|)." % port)
        elif verb in listings and passive:
            data, _ = passive.accept()
            passive.close()
            passive = None
            reply("150 Here comes the listing.")
            data.sendall(listings[verb])
            data.close()
            reply("226 Transfer complete.")
        elif verb == "QUIT":
            reply("221 Goodbye.")
            return
        else:
            reply("502 Not implemented.")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--list", required=True)
    parser.add_argument("--mlsd", default="")
    args = parser.parse_args()
    listings = {"LIST": open(args.list, "rb").read()}
    if args.mlsd:
        listings["MLSD"] = open(args.mlsd, "rb").read()
    server = socket.socket()
    server.bind(("127.0.0.1", 0))
    server.listen(4)
    print("PORT %d" % server.getsockname()[1], flush=True)
    while True:
        control, _ = server.accept()
        with control:
            try:
                serve(control, listings)
            except OSError:
                pass


if __name__ == "__main__":
    sys.exit(main())

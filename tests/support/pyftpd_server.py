#!/usr/bin/python3
"""A pyftpdlib FTP server for the tests.

Binds 127.0.0.1 (or the --address given, e.g. ::1) on the given port (0: any
free one), prints "PORT <n>" on
stdout once it listens, and serves one folder until it is terminated.
Run with /usr/bin/python3, the interpreter that has pyftpdlib.
"""
import argparse
import logging
import sys
import warnings

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import DTPHandler, FTPHandler, ThrottledDTPHandler
from pyftpdlib.servers import FTPServer

FULL_PERMISSIONS = "elradfmwMT"


class CutFirstDownloadDTPHandler(DTPHandler):
    """Data connections of which the first download stops after cut_after
    bytes: the connection is closed in the middle, as a broken network
    would, and the server answers "426 Transfer aborted"."""

    cut_after = -1
    cut_done = False

    def use_sendfile(self):
        return False  # every block through send() below

    def send(self, data):
        cls = CutFirstDownloadDTPHandler
        if cls.cut_done or self.cmd != "RETR" or cls.cut_after < 0:
            return DTPHandler.send(self, data)
        left = cls.cut_after - self.tot_bytes_sent
        sent = DTPHandler.send(self, data[:left]) if left > 0 else 0
        if self.tot_bytes_sent >= cls.cut_after:
            cls.cut_done = True
            self.handle_close()
        return sent


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--address", default="127.0.0.1")
    parser.add_argument("--user", default="")
    parser.add_argument("--password", default="")
    parser.add_argument("--anonymous", action="store_true")
    parser.add_argument("--passive-ports", default="", help="MIN-MAX")
    parser.add_argument("--rate", type=int, default=0, help="bytes per second per transfer, 0: no limit")
    parser.add_argument("--verbose", action="store_true")
    parser.add_argument("--cut-first-download", type=int, default=-1,
                        help="close the first RETR's data connection after this many bytes")
    parser.add_argument("--certfile", default="", help="PEM certificate chain: FTP over TLS (explicit)")
    parser.add_argument("--keyfile", default="")
    args = parser.parse_args()

    # Write permissions for the anonymous user are wanted here.
    warnings.filterwarnings("ignore", message="write permissions assigned to anonymous user")
    logging.basicConfig(stream=sys.stderr, level=logging.DEBUG if args.verbose else logging.WARNING)

    authorizer = DummyAuthorizer()
    if args.user:
        authorizer.add_user(args.user, args.password, args.root, perm=FULL_PERMISSIONS)
    if args.anonymous:
        authorizer.add_anonymous(args.root, perm=FULL_PERMISSIONS)

    handler = FTPHandler
    if args.certfile:
        # Needs python3-openssl. Logins and data in clear text are refused.
        from pyftpdlib.handlers import TLS_FTPHandler
        handler = TLS_FTPHandler
        handler.certfile = args.certfile
        handler.keyfile = args.keyfile or None
        handler.tls_control_required = True
        handler.tls_data_required = True
    handler.authorizer = authorizer
    handler.banner = "pyftpdlib test server ready."
    # A refused login answers at once instead of after the default 3 seconds.
    handler.auth_failed_timeout = 0
    if args.passive_ports:
        low, high = (int(p) for p in args.passive_ports.split("-"))
        handler.passive_ports = range(low, high + 1)
    if args.rate > 0:
        dtp = ThrottledDTPHandler
        dtp.read_limit = args.rate
        dtp.write_limit = args.rate
        handler.dtp_handler = dtp
    if args.cut_first_download >= 0:
        CutFirstDownloadDTPHandler.cut_after = args.cut_first_download
        handler.dtp_handler = CutFirstDownloadDTPHandler

    server = FTPServer((args.address, args.port), handler)
    server.max_cons = 64
    print("PORT %d" % server.address[1], flush=True)
    server.serve_forever(handle_exit=True)


if __name__ == "__main__":
    main()

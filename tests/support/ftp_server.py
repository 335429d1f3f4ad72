#!/usr/bin/python3
"""FTP server for the tests: pyftpdlib on a free loopback port, one account, one root.

Usage: ftp_server.py --root DIR --state DIR --user NAME --password TEXT [--writable]

Prints "PORT <n>" on stdout once it listens. Active mode works (PORT to the client's own
address, which is 127.0.0.1). With --writable the account may also store, rename and delete
files and make and remove directories (for a publisher's upload). The state directory holds:

  control   faults, "key=value" lines, read again for every command:
              refuse_login=1   every PASS is answered 530
              logins_allowed=N after N successful log-ons (counted since the server
                               started), every PASS is answered 530
              cut_after=N      a RETR sends only the first N bytes, then closes the data
                               connection and still answers 226 (only SIZE tells)
              final_reply=N    a RETR that has sent its data answers N (426, 451...)
                               instead of 226
              announce=1       the reply opening a RETR states the file's size, as many
                               servers do: "150 ... (400000 bytes)."
              claim_size=N     SIZE answers N, and so does the reply opening a RETR when it
                               states a size (announce=1), whatever the file holds
              endless=1        a RETR sends the file, then zeros without end (until the
                               client breaks the transfer off; rate=B keeps it finite
                               in a test's time)
              stall_after=N    a RETR sends N bytes, then nothing more, data connection
                               left open
              drop_after=N     a RETR sends N bytes, then the server drops the control
                               connection (and with it the data connection), no reply
              mute=1           the server reads commands and answers none of them
              rate=B           a RETR sends at most about B bytes per second
              hold_store=TEXT  a STOR of a file whose name holds TEXT receives nothing until
                               the key is cleared (read again while it waits)
              path=P           cut_after, final_reply, stall_after, drop_after, rate,
                               claim_size and endless apply only to the file P (relative to
                               the root); default: every file
  log       one line per event, appended as it happens:
              CONNECT <id> / DISCONNECT <id>
              CMD <id> <VERB> [argument]   (the argument of PASS is not written)
              LOGIN <id> OK|FAIL
              SENT <id> <bytes> complete|incomplete
              DROP <id>                    (drop_after took effect)

The server ends on SIGTERM, or by itself when the process that started it is gone.
"""

import argparse
import itertools
import logging
import os
import sys
import warnings

warnings.simplefilter("ignore")  # asynchat is deprecated in this Python

from pyftpdlib.authorizers import DummyAuthorizer  # noqa: E402
from pyftpdlib.handlers import ActiveDTP, DTPHandler, FileProducer, FTPHandler  # noqa: E402
from pyftpdlib.handlers import ThrottledDTPHandler  # noqa: E402
from pyftpdlib.servers import FTPServer  # noqa: E402

STATE = {"dir": None, "root": None, "logins": 0}
_ids = itertools.count(1)


def log_event(text):
    with open(os.path.join(STATE["dir"], "log"), "a", encoding="utf-8") as f:
        f.write(text + "\n")


def read_faults():
    faults = {"refuse_login": 0, "logins_allowed": -1, "cut_after": -1, "final_reply": 0, "announce": 0,
              "claim_size": -1, "endless": 0, "stall_after": -1, "drop_after": -1, "mute": 0, "rate": 0,
              "hold_store": "", "path": ""}
    try:
        with open(os.path.join(STATE["dir"], "control"), encoding="utf-8") as f:
            for line in f:
                key, sep, value = line.rstrip("\n").partition("=")
                if sep and key in ("path", "hold_store"):
                    faults[key] = value
                elif sep and key in faults:
                    try:
                        faults[key] = int(value)
                    except ValueError:
                        pass
    except FileNotFoundError:
        pass
    return faults


class LimitedFile:
    """A file object that ends after `limit` bytes (for a cut transfer)."""

    def __init__(self, fd, limit):
        self._fd = fd
        self._left = limit
        self.name = fd.name
        self.closed = False

    def read(self, size):
        if self._left <= 0:
            return b""
        data = self._fd.read(min(size, self._left))
        self._left -= len(data)
        return data

    def close(self):
        self.closed = True
        self._fd.close()


class EndlessFile:
    """A file object that goes on with zeros after the file's own data, for ever."""

    def __init__(self, fd):
        self._fd = fd
        self.name = fd.name
        self.closed = False

    def read(self, size):
        return self._fd.read(size) or bytes(size)

    def close(self):
        self.closed = True
        self._fd.close()


class FaultDTP(ThrottledDTPHandler):
    """Data connection with the faults of the RETR that opened it."""

    def __init__(self, sock, cmd_channel):
        faults = cmd_channel.faults
        # Read by ThrottledDTPHandler.__init__ to size its buffers.
        self.write_limit = max(0, faults["rate"])
        self.stall_after = faults["stall_after"]
        self.drop_after = faults["drop_after"]
        self.stalled = False
        super().__init__(sock, cmd_channel)

    def send(self, data):
        if not self.cmd_channel.fault_applies:
            self.write_limit = 0
            return DTPHandler.send(self, data)
        limit = self.stall_after if self.stall_after >= 0 else self.drop_after
        if limit >= 0:
            left = limit - self.tot_bytes_sent
            data = data[:max(0, left)]
            if not data:
                self._stall()
                return 0
        sent = super().send(data)
        if limit >= 0 and self.tot_bytes_sent >= limit:
            self._stall()
        return sent

    def handle_read(self):
        # A held STOR: off the event loop, looked at again every 50 ms; the client's data
        # waits in the socket buffers meanwhile.
        held = read_faults()["hold_store"]
        if held and self.file_obj is not None and held in os.path.basename(self.file_obj.name):
            self.del_channel()

            def resume():
                if not self._closed:
                    self.add_channel(events=self.ioloop.READ)

            self.ioloop.call_later(0.05, resume, _errback=self.handle_error)
            return
        super().handle_read()

    handle_read_event = handle_read  # DTPHandler binds the event to its own handle_read

    def _stall(self):
        # Off the event loop: nothing more is sent, the socket stays open until the
        # control connection ends.
        if not self.stalled:
            self.stalled = True
            self.del_channel()
            if self.stall_after < 0 and self.drop_after >= 0:
                # Dropped rather than stalled: the control connection goes (which
                # closes this one too), from the event loop rather than inside a send.
                cmd = self.cmd_channel
                log_event("DROP %d" % cmd.conn_id)
                cmd.ioloop.call_later(0, cmd.close)


class HandOverActiveDTP(ActiveDTP):
    """pyftpdlib's active-mode connector keeps its socket's descriptor number after it
    has handed the socket to the data handler, and unregisters that number from the
    event loop when the control connection ends. By then the number may belong to a
    new client's control connection, which then never gets its commands read (seen
    when a client opens its next connection before sending QUIT on the last one).
    Forget the socket once it is handed over."""

    def handle_connect(self):
        super().handle_connect()
        if self.cmd_channel.data_channel is not None and \
                self.cmd_channel.data_channel.socket is self.socket:
            self._fileno = None
            self.socket = None


class FaultHandler(FTPHandler):
    auth_failed_timeout = 0  # answer a refused log-on at once
    active_dtp = HandOverActiveDTP

    def on_connect(self):
        self.conn_id = next(_ids)
        self.faults = read_faults()
        self.fault_applies = True
        self.final_reply = 0
        self.announce = -1
        log_event("CONNECT %d" % self.conn_id)

    def on_disconnect(self):
        log_event("DISCONNECT %d" % self.conn_id)

    def pre_process_command(self, line, cmd, arg):
        self.faults = read_faults()
        # The plain data connection (with sendfile) unless a fault needs the slow one.
        if self.faults["rate"] > 0 or self.faults["stall_after"] >= 0 or \
                self.faults["drop_after"] >= 0 or self.faults["hold_store"]:
            self.dtp_handler = FaultDTP
        else:
            self.dtp_handler = DTPHandler
        if cmd == "PASS":
            log_event("CMD %d PASS" % self.conn_id)
        else:
            log_event(("CMD %d %s %s" % (self.conn_id, cmd, arg)).rstrip())
        if self.faults["mute"]:
            return  # read, never answered
        allowed = self.faults["logins_allowed"]
        refuse = self.faults["refuse_login"] or (allowed >= 0 and STATE["logins"] >= allowed)
        if cmd == "PASS" and refuse and not self.authenticated:
            log_event("LOGIN %d FAIL" % self.conn_id)
            self.respond("530 Authentication failed.")
            self.username = ""
            return
        super().pre_process_command(line, cmd, arg)

    def on_login(self, username):
        STATE["logins"] += 1
        log_event("LOGIN %d OK" % self.conn_id)

    def on_login_failed(self, username, password):
        log_event("LOGIN %d FAIL" % self.conn_id)

    def applies_to(self, path):
        """Whether the faults that name a file (path=) apply to the file at `path`."""
        wanted = self.faults["path"].strip("/")
        return not wanted or (path is not None and os.path.realpath(path) ==
                              os.path.realpath(os.path.join(STATE["root"], wanted)))

    def ftp_SIZE(self, path):
        if self.faults["claim_size"] >= 0 and self.applies_to(path):
            self.respond("213 %d" % self.faults["claim_size"])
            return
        super().ftp_SIZE(path)

    def push_dtp_data(self, data, isproducer=False, file=None, cmd=None):
        self.fault_applies = self.applies_to(file.name if file is not None else None)
        # Armed for this transfer alone: one that never opened its data connection
        # (and so never ended) must not leave it to the next.
        applies = cmd == "RETR" and self.fault_applies
        self.final_reply = self.faults["final_reply"] if applies else 0
        if cmd == "RETR" and self.faults["announce"] and file is not None:
            claimed = self.faults["claim_size"]
            self.announce = claimed if applies and claimed >= 0 else os.fstat(file.fileno()).st_size
        if applies and isproducer and self.faults["cut_after"] >= 0:
            limited = LimitedFile(data.file, self.faults["cut_after"])
            data = FileProducer(limited, self._current_type)
            file = limited
        elif applies and isproducer and self.faults["endless"]:
            endless = EndlessFile(data.file)
            data = FileProducer(endless, self._current_type)
            file = endless
        super().push_dtp_data(data, isproducer=isproducer, file=file, cmd=cmd)

    def respond(self, resp, logfun=logging.debug):
        # The reply opening a RETR, with the size when it is to be stated.
        if self.announce >= 0 and resp[:4] in ("125 ", "150 "):
            resp = "%s (%d bytes)." % (resp.rstrip("."), self.announce)
            self.announce = -1
        # The reply that ends a RETR whose data went out whole, when a fault replaces it.
        if self.final_reply and resp.startswith("226"):
            resp = "%d Transfer refused by the test server." % self.final_reply
            self.final_reply = 0
        super().respond(resp, logfun)

    def log_transfer(self, cmd, filename, receive, completed, elapsed, bytes):
        # Called as the data connection closes, after the reply that ends a transfer went
        # out: one broken off (426, or an ABOR whose own 226 follows) must not hand its
        # final reply on.
        self.final_reply = 0
        if cmd == "RETR":
            log_event("SENT %d %d %s" % (self.conn_id, bytes,
                                         "complete" if completed else "incomplete"))
        super().log_transfer(cmd, filename, receive, completed, elapsed, bytes)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--state", required=True)
    parser.add_argument("--user", required=True)
    parser.add_argument("--password", required=True)
    parser.add_argument("--writable", action="store_true")
    parser.add_argument("--address", default="127.0.0.1", help="the loopback address to listen on")
    args = parser.parse_args()
    STATE["dir"] = args.state
    STATE["root"] = args.root

    logging.basicConfig(level=logging.CRITICAL)
    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, args.password, args.root,
                        perm="elradfmw" if args.writable else "elr")
    FaultHandler.authorizer = authorizer
    FaultHandler.banner = "test server ready."
    server = FTPServer((args.address, 0), FaultHandler)
    server.max_cons = 0
    server.max_cons_per_ip = 0

    parent = os.getppid()

    def check_parent():
        if os.getppid() != parent:
            os._exit(0)

    server.ioloop.call_every(0.5, check_parent)
    port = server.socket.getsockname()[1]
    sys.stdout.write("PORT %d\n" % port)
    sys.stdout.flush()
    server.serve_forever(handle_exit=False)


if __name__ == "__main__":
    main()

"""An FTP server (pyftpdlib) that resets the control connection at its first RETR.

Usage: ftp_reset_server.py ROOT PORT_FILE COMMAND_LOG
Serves ROOT read-only to anonymous users on 127.0.0.1 at a free port, written to
PORT_FILE once listening; every command received is appended to COMMAND_LOG.
"""
import socket
import struct
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer

root, port_file, command_log = sys.argv[1:4]


class ResetOnceHandler(FTPHandler):
    reset_done = False

    def pre_process_command(self, line, cmd, arg):
        with open(command_log, "a") as log:
            log.write(line + "\n")
        return super().pre_process_command(line, cmd, arg)

    def ftp_RETR(self, file):
        if not ResetOnceHandler.reset_done:
            ResetOnceHandler.reset_done = True
            # A linger of 0 makes the close a reset, as a dropped connection would be.
            self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            self.close()
            return None
        return super().ftp_RETR(file)


authorizer = DummyAuthorizer()
authorizer.add_anonymous(root)
ResetOnceHandler.authorizer = authorizer
server = FTPServer(("127.0.0.1", 0), ResetOnceHandler)
with open(port_file + ".tmp", "w") as out:
    out.write(str(server.socket.getsockname()[1]))
import os  # noqa: E402

os.rename(port_file + ".tmp", port_file)
server.serve_forever()

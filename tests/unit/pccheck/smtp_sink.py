#!/usr/bin/env python3
"""A loopback SMTP mailbox for the tests: takes one message and writes the envelope and the data
to the file named on the command line. Prints the port it listens on, then serves until the
message is in (or 60 seconds pass)."""
import socket
import sys

out_path = sys.argv[1]
server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
server.bind(("127.0.0.1", 0))
server.listen(1)
server.settimeout(60)
print(server.getsockname()[1], flush=True)

connection, _ = server.accept()
connection.settimeout(60)
reader = connection.makefile("rb")


def send(line):
    connection.sendall(line.encode() + b"\r\n")


send("220 localhost ESMTP prova")
envelope = []
while True:
    line = reader.readline()
    if not line:
        break
    command = line.decode("utf-8", "replace").rstrip("\r\n")
    verb = command.split(" ", 1)[0].upper()
    if verb in ("EHLO", "HELO"):
        send("250 localhost")
    elif verb in ("MAIL", "RCPT"):
        envelope.append(command)
        send("250 OK")
    elif verb == "DATA":
        send("354 End data with <CR><LF>.<CR><LF>")
        data = b""
        while True:
            chunk = reader.readline()
            if not chunk or chunk == b".\r\n":
                break
            data += chunk
        with open(out_path + ".tmp", "wb") as out:
            out.write(("\n".join(envelope) + "\n\n").encode())
            out.write(data)
        send("250 OK queued")
    elif verb == "QUIT":
        send("221 Bye")
        break
    else:
        send("502 Not implemented")
connection.close()
import os
if os.path.exists(out_path + ".tmp"):
    os.rename(out_path + ".tmp", out_path)

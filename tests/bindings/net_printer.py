"""A network printer on 127.0.0.1 for the binding tests: prints its port on a line of its own,
then answers each CR LF-ended line with "NET:<line>" CR LF, one connection after another, until
its standard input closes. Loopback only: nothing else is bound."""
import select
import socket
import sys

listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
listener.bind(("127.0.0.1", 0))
listener.listen(4)
print(listener.getsockname()[1], flush=True)
clients, lines = [], {}
while True:
    ready, _, _ = select.select([sys.stdin, listener] + clients, [], [], 1.0)
    if sys.stdin in ready and not sys.stdin.readline():
        break
    if listener in ready:
        client, _ = listener.accept()
        clients.append(client)
        lines[client] = b""
    for client in [c for c in clients if c in ready]:
        data = client.recv(65536)
        if not data:
            clients.remove(client)
            client.close()
            continue
        lines[client] += data
        while b"\r\n" in lines[client]:
            line, lines[client] = lines[client].split(b"\r\n", 1)
            client.sendall(b"NET:" + line + b"\r\n")

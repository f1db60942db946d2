#!/usr/bin/python3
"""A stand-in for the VPN provider and the public address page, on 127.0.0.1 only.

Serves
  GET /server.txt    the sample server directory resources/demo/server.txt (GBK, text/plain)
  GET /ip2city.asp   a GBK page whose <center> element names the caller's address
and 404 for every other path, so that the whole program can be tried without the real
provider:

  /usr/bin/python3 scripts/demo_provider.py --port 8080
  vpnctl whoami --lookup-url http://127.0.0.1:8080/ip2city.asp

--stall accepts connections and never answers, to show the download time-outs.
Runs until killed; SIGTERM and SIGINT end it cleanly. Standard library only.
"""

import argparse
import http.server
import os
import signal
import socket
import sys

SAMPLE_DIRECTORY = os.path.join(
    os.path.dirname(os.path.abspath(__file__)), "..", "resources", "demo", "server.txt")

ADDRESS_PAGE = ("<html><head><title>IP地址查询</title></head><body>"
                "<center>您的IP是：[{address}] 来自：本机 演示服务</center>"
                "</body></html>")


class DemoHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"  # keeps connections open, as a real web server does
    server_version = "DemoProvider/1.0"

    def do_GET(self):
        path = self.path.split("?", 1)[0]
        if path == "/server.txt":
            with open(SAMPLE_DIRECTORY, "rb") as sample:
                self.answer(200, "text/plain", sample.read())
        elif path == "/ip2city.asp":
            page = ADDRESS_PAGE.format(address=self.client_address[0])
            self.answer(200, "text/html; charset=GBK", page.encode("gbk"))
        else:
            self.answer(404, "text/plain", b"not found\n")

    def answer(self, status, content_type, body):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


class DemoServer(http.server.ThreadingHTTPServer):
    daemon_threads = True


def stall_forever(listener):
    """Accepts every connection and keeps it open without reading or answering."""
    held = []
    while True:
        connection, _ = listener.accept()
        held.append(connection)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, default=8080,
                        help="TCP port on 127.0.0.1 (0 = any free port; default 8080)")
    parser.add_argument("--port-file", help="write the chosen port to this file")
    parser.add_argument("--stall", action="store_true",
                        help="accept connections and never answer")
    options = parser.parse_args()
    if not 0 <= options.port <= 65535:
        parser.error("--port must be between 0 and 65535")

    def stop(signum, frame):
        raise SystemExit(0)

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)

    try:
        if options.stall:
            listener = socket.create_server(("127.0.0.1", options.port))
            server = None
        else:
            server = DemoServer(("127.0.0.1", options.port), DemoHandler)
            listener = server.socket
    except OSError as error:
        sys.exit(f"demo provider: cannot listen on 127.0.0.1:{options.port}: {error.strerror}")
    port = listener.getsockname()[1]

    if options.port_file:
        # Written whole under another name first, so a reader never sees half a number.
        partial = options.port_file + ".partial"
        with open(partial, "w") as port_file:
            port_file.write(f"{port}\n")
        os.replace(partial, options.port_file)
    print(f"demo provider on http://127.0.0.1:{port}", flush=True)
    if options.stall:
        print("demo provider: stalling, no request will be answered", file=sys.stderr, flush=True)

    try:
        if server is None:
            stall_forever(listener)
        else:
            server.serve_forever()
    finally:
        listener.close()


if __name__ == "__main__":
    main()

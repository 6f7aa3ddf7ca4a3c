#!/usr/bin/env python3
"""A reconstruction-server stand-in on 127.0.0.1 (a thread per connection): prints its port, then appends every
XML-RPC call to the record file as a line (method, parameters with lists flattened, tab-separated, line feeds as
\\n). --answer garbage, close, silent: after recording, bytes that are not HTTP, no answer, never an answer."""
import argparse
import itertools
import socketserver
import sys
import threading
import time
import xmlrpc.client
import xmlrpc.server


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("record")
    ap.add_argument("--status-reply", default="0", help="to setJobStatus: integer, string, float; fault: to all")
    ap.add_argument("--suspend-after", type=int, default=0, help="reply 1 to the N-th setJobStatus call only")
    ap.add_argument("--delay", type=float, default=0.0, help="seconds to wait before each reply")
    ap.add_argument("--answer", choices=["xmlrpc", "garbage", "close", "silent"], default="xmlrpc")
    args = ap.parse_args()
    lock, status_calls = threading.Lock(), itertools.count(1)

    def record(method, params):
        flat = [str(v).replace("\n", "\\n") for p in params for v in (p if isinstance(p, (list, tuple)) else [p])]
        with lock, open(args.record, "a") as f:
            f.write("\t".join([method, *flat]) + "\n")

    def dispatch(method, params):
        time.sleep(args.delay)
        record(method, params)
        if args.status_reply == "fault":
            raise xmlrpc.server.Fault(4, "server is failing")
        if method != "setJobStatus":
            return 0
        if args.suspend_after:
            return int(next(status_calls) == args.suspend_after)
        return {"string": "busy", "float": 1.0}.get(args.status_reply) or int(args.status_reply)

    class Handler(xmlrpc.server.SimpleXMLRPCRequestHandler):
        def do_POST(self):
            if args.answer == "xmlrpc":
                return super().do_POST()
            params, method = xmlrpc.client.loads(self.rfile.read(int(self.headers.get("Content-Length", 0))))
            record(method, params)
            if args.answer == "garbage":
                self.wfile.write(b"\x00\x17 this is no HTTP <methodResponse><params>\r\n\r\n")
            while args.answer == "silent" and self.connection.recv(4096):
                pass

    class Server(socketserver.ThreadingMixIn, xmlrpc.server.SimpleXMLRPCServer):
        daemon_threads = True

    server = Server(("127.0.0.1", 0), requestHandler=Handler, logRequests=False, allow_none=True)
    server._dispatch = dispatch
    print(server.server_address[1], flush=True)
    sys.stdout.close()
    server.serve_forever()


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""A reconstruction-server stand-in on 127.0.0.1: prints its port, then records every XML-RPC call as a line (method,
parameters flattened, tab-separated, line feeds as \\n). --answer: after recording, non-HTTP bytes, none, or never."""
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
    ap.add_argument("--status-reply", default="0", help="to the n-th setJobStatus (the last for the rest): integer, "
                    "string, float, e.g. 0,1,0; fault: to every call")
    ap.add_argument("--delay", type=float, default=0.0, help="seconds to wait before each reply")
    ap.add_argument("--answer", choices=["xmlrpc", "garbage", "close", "silent"], default="xmlrpc")
    args = ap.parse_args()
    lock, status_calls, replies = threading.Lock(), itertools.count(), args.status_reply.split(",")

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
        reply = replies[min(next(status_calls), len(replies) - 1)]
        return {"string": "busy", "float": 1.0}.get(reply) or int(reply)

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


main()

#!/usr/bin/env python3
"""A reconstruction-server stand-in for the tests: serves setJobPid,
setJobStatus and setErrorMessage over XML-RPC on 127.0.0.1, prints its port
on the first line, and appends every call to the record file as one line
(method and parameters, lists flattened, tab-separated, line feeds as \\n).
--answer garbage, close or silent reads and records each request, then
answers bytes that are not HTTP, closes without an answer, or never answers.
"""
import argparse
import socketserver
import sys
import threading
import time
import xmlrpc.client
import xmlrpc.server


def serving(server_class, threaded):
    """The server class, with a thread per connection when asked."""
    mixins = (socketserver.ThreadingMixIn,) if threaded else ()
    return type("Serving", mixins + (server_class,), {"daemon_threads": True})


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("record")
    ap.add_argument("--status-reply", default="0", help="to setJobStatus: an integer, string, fault or float")
    ap.add_argument("--suspend-after", type=int, default=0, help="reply 1 to the N-th setJobStatus call only")
    ap.add_argument("--delay", type=float, default=0.0, help="seconds to wait before each reply")
    ap.add_argument("--fault-all", action="store_true", help="answer every call with an XML-RPC fault")
    ap.add_argument("--threaded", action="store_true", help="serve each connection in its own thread")
    ap.add_argument("--answer", choices=["xmlrpc", "garbage", "close", "silent"], default="xmlrpc")
    args = ap.parse_args()

    lock = threading.Lock()
    status_calls = [0]

    def flat(values):
        for v in values:
            yield from flat(v) if isinstance(v, (list, tuple)) else [str(v).replace("\n", "\\n")]

    def record(method, params):
        with lock:
            with open(args.record, "a") as f:
                f.write("\t".join([method, *flat(params)]) + "\n")

    def status_reply():
        with lock:
            status_calls[0] += 1
            count = status_calls[0]
        if args.suspend_after:
            return int(count == args.suspend_after)
        if args.status_reply == "fault":
            raise xmlrpc.server.Fault(4, "no such job")
        return {"string": "busy", "float": 1.0}.get(args.status_reply) or int(args.status_reply)

    def dispatch(method, params):
        if args.delay:
            time.sleep(args.delay)
        record(method, params)
        if args.fault_all:
            raise xmlrpc.server.Fault(5, "server is failing")
        if method not in ("setJobStatus", "setJobPid", "setErrorMessage"):
            raise xmlrpc.server.Fault(1, "unknown method " + method)
        return status_reply() if method == "setJobStatus" else 0

    if args.answer == "xmlrpc":
        class Handler(xmlrpc.server.SimpleXMLRPCRequestHandler):
            rpc_paths = ("/RPC2",)

            def log_message(self, *a):
                pass

        Server = serving(xmlrpc.server.SimpleXMLRPCServer, args.threaded)
        server = Server(("127.0.0.1", 0), requestHandler=Handler, logRequests=False, allow_none=True)
        server._dispatch = dispatch
    else:
        class Broken(socketserver.StreamRequestHandler):
            timeout = 5

            def handle(self):
                length = 0
                while True:
                    line = self.rfile.readline(65537)
                    if not line or line in (b"\r\n", b"\n"):
                        break
                    name, _, value = line.decode("latin-1").partition(":")
                    if name.strip().lower() == "content-length":
                        length = int(value.strip() or 0)
                body = self.rfile.read(length) if length else b""
                try:
                    params, method = xmlrpc.client.loads(body)
                    record(method, params)
                except Exception:
                    record("<unreadable>", [])
                if args.delay:
                    time.sleep(args.delay)
                if args.answer == "garbage":
                    self.wfile.write(b"\x00\x17 this is no HTTP <methodResponse><params>\r\n\r\n")
                elif args.answer == "silent":
                    self.connection.settimeout(None)
                    while self.connection.recv(4096):
                        pass

        Server = serving(socketserver.TCPServer, args.threaded or args.answer == "silent")
        server = Server(("127.0.0.1", 0), Broken)

    print(server.server_address[1], flush=True)
    sys.stdout.close()
    server.serve_forever()


if __name__ == "__main__":
    main()

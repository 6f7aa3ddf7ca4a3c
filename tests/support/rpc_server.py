#!/usr/bin/env python3
"""A reconstruction-server stand-in for the tests.

Serves setJobPid, setJobStatus and setErrorMessage over XML-RPC on
127.0.0.1 with an ephemeral port, prints the port on the first line of
standard output, and appends every call to the record file as one line:
method<TAB>JSON of the parameter list.
"""
import argparse
import json
import sys
import threading
import time
import xmlrpc.server


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("record")
    ap.add_argument("--status-reply", default="0",
                    help="reply to setJobStatus: an integer, 'string', 'fault' or 'float'")
    ap.add_argument("--suspend-after", type=int, default=0,
                    help="reply 1 to the N-th setJobStatus call only (1-based)")
    ap.add_argument("--delay", type=float, default=0.0, help="seconds to wait before each reply")
    args = ap.parse_args()

    lock = threading.Lock()
    status_calls = [0]

    def record(method, params):
        with lock:
            with open(args.record, "a") as f:
                f.write(method + "\t" + json.dumps(list(params)) + "\n")

    def status_reply():
        status_calls[0] += 1
        if args.suspend_after:
            return 1 if status_calls[0] == args.suspend_after else 0
        r = args.status_reply
        if r == "string":
            return "busy"
        if r == "float":
            return 1.0
        if r == "fault":
            raise xmlrpc.server.Fault(4, "no such job")
        return int(r)

    class Handler(xmlrpc.server.SimpleXMLRPCRequestHandler):
        rpc_paths = ("/RPC2",)

        def log_message(self, *a):
            pass

    server = xmlrpc.server.SimpleXMLRPCServer(("127.0.0.1", 0), requestHandler=Handler,
                                              logRequests=False, allow_none=True)

    def dispatch(method, params):
        if args.delay:
            time.sleep(args.delay)
        record(method, params)
        if method == "setJobStatus":
            return status_reply()
        if method in ("setJobPid", "setErrorMessage"):
            return 0
        raise xmlrpc.server.Fault(1, "unknown method " + method)

    server._dispatch = dispatch
    print(server.server_address[1], flush=True)
    sys.stdout.close()
    server.serve_forever()


if __name__ == "__main__":
    main()

# The Linux-side HTTP server of the Windows HTTP check: prints its port, serves a few
# paths, and ends by itself after 120 s.
import gzip, http.server, socketserver, threading

class Handler(http.server.BaseHTTPRequestHandler):
    def log_message(self, *a):
        pass

    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        if self.path == "/text":
            out, extra = b"plain answer", {}
        elif self.path == "/gzip":
            out, extra = gzip.compress(b"zipped answer"), {"Content-Encoding": "gzip"}
        elif self.path.startswith("/echo"):
            out, extra = ("%s|%s|%s" % (self.path, body.decode(), self.headers.get("X-Check"))).encode(), {}
        else:
            self.send_response(404)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        self.send_response(200)
        for k, v in extra.items():
            self.send_header(k, v)
        self.send_header("Content-Length", str(len(out)))
        self.end_headers()
        self.wfile.write(out)

class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True

srv = Server(("127.0.0.1", 0), Handler)
print(srv.server_address[1], flush=True)
threading.Timer(120, srv.shutdown).start()
srv.serve_forever()

"""The patcher page on 127.0.0.1 for the window tests.

Usage: page_server.py DIR. Listens on a free port and writes it to DIR/port. Serves
/patcher/patcher.html (a blue link as high as the view over an orange block that would
show if the page scrolled) once DIR/hold is gone, so a
test decides when the page loads; every other path is answered 404 at once. Each
request's path is appended to DIR/requests as it arrives.
"""
import http.server
import os
import sys
import time

directory = sys.argv[1]


class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        with open(os.path.join(directory, "requests"), "a") as log:
            log.write(self.path + "\n")
        if self.path != "/patcher/patcher.html":
            self.send_error(404)
            return
        while os.path.exists(os.path.join(directory, "hold")):
            time.sleep(0.02)
        port = self.server.server_address[1]
        body = (
            '<html><body style="margin:0;background:#0080ff">'
            f'<a href="HTTP://127.0.0.1:{port}/Outside/Page.HTML?Q=1" '
            'style="display:block;height:100px;color:#0080ff">outside</a>'
            '<div style="height:900px;background:#ff8000"></div>'
            "</body></html>"
        ).encode()
        self.send_response(200)
        self.send_header("Content-Type", "text/html")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
with open(os.path.join(directory, "port.tmp"), "w") as f:
    f.write(str(server.server_address[1]))
os.rename(os.path.join(directory, "port.tmp"), os.path.join(directory, "port"))
server.serve_forever()

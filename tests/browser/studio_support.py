"""Foxglove Studio from the test-only npm packages (tests/node's lock file), served by a small static
server of its own on another port than Quillon's, so Studio comes from another origin, as the hosted app
or a self-hosted one does. It serves our page, Studio's bundle, React, the project's layout and, for a
recording, one MCAP file with byte ranges."""
import http.server
import os
import re
import threading

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.join(HERE, '..', '..')
MODULES = os.path.join(SOURCE_DIR, 'tests', 'node', 'node_modules')
STUDIO = os.path.join(MODULES, '@foxglove', 'studio-base')
TYPES = {'.html': 'text/html', '.js': 'text/javascript', '.json': 'application/json', '.wasm': 'application/wasm',
         '.png': 'image/png', '.ttf': 'font/ttf', '.mcap': 'application/octet-stream'}


def installed():
    return all(os.path.exists(p) for p in (os.path.join(STUDIO, 'assets', 'index.js'),
                                           os.path.join(MODULES, 'react', 'umd'),
                                           os.path.join(MODULES, 'react-dom', 'umd')))


class StudioServer:
    """Serves Studio on 127.0.0.1 on a port of its own until close(); recording is the MCAP file served as
    /recording.mcap, when set."""

    def __init__(self):
        self.recording = None
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def do_GET(self):
                path = server.file_for(self.path.split('?', 1)[0])
                if path is None or not os.path.isfile(path):
                    self.send_error(404)
                    return
                with open(path, 'rb') as f:
                    data = f.read()
                start, end, status = 0, len(data), 200
                wanted = re.match(r'bytes=(\d+)-(\d*)$', self.headers.get('Range', ''))
                if wanted:
                    start = int(wanted.group(1))
                    end = min(len(data), int(wanted.group(2)) + 1 if wanted.group(2) else len(data))
                    status = 206
                self.send_response(status)
                self.send_header('Content-Type', TYPES.get(os.path.splitext(path)[1], 'application/octet-stream'))
                self.send_header('Accept-Ranges', 'bytes')
                self.send_header('Content-Length', str(end - start))
                if status == 206:
                    self.send_header('Content-Range', 'bytes %d-%d/%d' % (start, end - 1, len(data)))
                self.end_headers()
                self.wfile.write(data[start:end])

        self.httpd = http.server.ThreadingHTTPServer(('127.0.0.1', 0), Handler)
        self.port = self.httpd.server_address[1]
        self.origin = 'http://127.0.0.1:%d' % self.port
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def file_for(self, path):
        fixed = {'/': os.path.join(HERE, 'studio', 'index.html'),
                 '/layout.json': os.path.join(SOURCE_DIR, 'docs', 'foxglove-layout.json'),
                 '/recording.mcap': self.recording}
        if path in fixed:
            return fixed[path]
        roots = {'/page/': os.path.join(HERE, 'studio'), '/studio/': STUDIO,
                 '/react/': os.path.join(MODULES, 'react'), '/react-dom/': os.path.join(MODULES, 'react-dom')}
        for prefix, root in roots.items():
            if path.startswith(prefix) and '..' not in path:
                return os.path.join(root, path[len(prefix):])
        return None

    def live_url(self, quillon_port, token):
        return ('%s/?ds=foxglove-websocket&ds.url=ws%%3A%%2F%%2F127.0.0.1%%3A%d%%2F%%3Ftoken%%3D%s&layoutId=quillon'
                % (self.origin, quillon_port, token))

    def recording_url(self):
        return '%s/?ds=remote-file&ds.url=%s%%2Frecording.mcap&layoutId=quillon' % (self.origin, self.origin.replace(':', '%3A').replace('/', '%2F'))

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()

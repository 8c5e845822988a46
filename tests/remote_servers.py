"""Servers on loopback for the remote-reference tests and benchmarks.

- nginx(root): the distribution's nginx serving `root`, the reference for how a real static
  server answers ranges and validators.
- FaultServer(root): a Python HTTP/1.1 server whose faults (delays, error statuses, bodies cut
  short, ranges ignored) can be switched while it runs.
- delay_proxy(host, port, delay): a TCP proxy that delays each chunk a client sends, so that
  loopback requests cost what a nearby server's would.
- moto_s3(): moto's S3 server in a subprocess, with the environment that points fsspec/s3fs at
  it.

Every server binds 127.0.0.1 on a port the OS picks and is stopped, with its threads,
processes and sockets, when its context ends.
"""
import contextlib
import email.utils
import grp
import http.client
import importlib.util
import json
import os
import pathlib
import pwd
import re
import select
import shutil
import signal
import socket
import socketserver
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import NamedTuple, Optional

NGINX = shutil.which("nginx") or ("/usr/sbin/nginx" if os.path.exists("/usr/sbin/nginx") else None)
MOTO = all(importlib.util.find_spec(m) is not None for m in ("moto", "flask", "boto3"))

STARTUP_TIMEOUT = 20.0
CHUNK = 64 * 1024


class Request(NamedTuple):
    """One answered request, as a server's log() reports it."""
    method: str
    path: str                # as sent, without the query
    status: int
    range: Optional[str]     # the Range header, None without one
    sent: int                # body bytes written to the socket
    if_match: Optional[str]  # the If-Match header, None without one
    connection: int          # the connection's serial number, shared by its keep-alive requests


def _stop(proc, timeout=5.0):
    """Ends a process started in its own session, killing its whole group (an nginx master's
    workers too) if it does not stop when asked."""
    if proc.poll() is not None:
        return
    proc.terminate()
    try:
        proc.wait(timeout)
    except subprocess.TimeoutExpired:
        # Still unreaped, so the group id cannot have passed to anyone else.
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()


# --- nginx ------------------------------------------------------------------------------

_NGINX_READY = "/.nucla-ready"

_NGINX_CONF = """\
worker_processes 1;
{user}
pid {tmp}/nginx.pid;
lock_file {tmp}/nginx.lock;
error_log {tmp}/error.log notice;
events {{
    worker_connections 1024;
}}
http {{
    default_type application/octet-stream;
    # JSON lines, unbuffered: a record is written before the next request is read.
    log_format records escape=json '{{"method":"$request_method","path":"$request_uri",'
        '"status":$status,"range":"$http_range","sent":$body_bytes_sent,'
        '"if_match":"$http_if_match","connection":$connection}}';
    access_log {tmp}/access.log records;
    client_body_temp_path {tmp}/body;
    proxy_temp_path {tmp}/proxy;
    fastcgi_temp_path {tmp}/fastcgi;
    uwsgi_temp_path {tmp}/uwsgi;
    scgi_temp_path {tmp}/scgi;
    sendfile on;
    keepalive_timeout 75s;
    # The default (1000) would reconnect in the middle of a benchmark.
    keepalive_requests 1000000;
    server {{
        listen 127.0.0.1:{port};
        root "{root}";
        location = {ready} {{
            access_log off;
            return 204;
        }}
    }}
}}
"""


class _Nginx:
    def __init__(self, port, tmp):
        self.port = port
        self.url = f"http://127.0.0.1:{port}"
        self._access_log = pathlib.Path(tmp, "access.log")

    def _probe(self, timeout=5.0):
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)
        try:
            conn.request("GET", _NGINX_READY)
            response = conn.getresponse()
            response.read()
            return response.status
        finally:
            conn.close()

    def log(self):
        """The requests answered so far, oldest first."""
        # The single worker logs a request before it reads the next one, so once the probe
        # is answered every earlier request is in the file.
        self._probe()
        records = []
        for line in self._access_log.read_text().splitlines():
            r = json.loads(line)
            records.append(Request(r["method"], r["path"].partition("?")[0], r["status"],
                                   r["range"] or None, r["sent"], r["if_match"] or None,
                                   r["connection"]))
        return records


@contextlib.contextmanager
def nginx(root):
    """nginx serving the directory `root`; yields an object with .url, .port and .log()."""
    if NGINX is None:
        raise RuntimeError("nginx is not installed")
    root = os.path.abspath(root)
    with tempfile.TemporaryDirectory(prefix="nucla-nginx-") as tmp, \
            socket.socket(socket.AF_INET, socket.SOCK_STREAM) as listener:
        # nginx adopts a listening socket named in $NGINX (its binary-upgrade path), so the
        # port the OS picked here cannot be taken by anyone else before nginx starts.
        listener.bind(("127.0.0.1", 0))
        listener.listen(511)
        listener.set_inheritable(True)
        port = listener.getsockname()[1]
        # A master run as root hands requests to workers running as `nobody`, which cannot
        # read a root-only temporary directory.
        user = ""
        if os.geteuid() == 0:
            user = f"user {pwd.getpwuid(0).pw_name} {grp.getgrgid(os.getegid()).gr_name};"
        conf = pathlib.Path(tmp, "nginx.conf")
        conf.write_text(_NGINX_CONF.format(user=user, tmp=tmp, port=port, root=root,
                                           ready=_NGINX_READY))
        error_log = pathlib.Path(tmp, "error.log")
        # What nginx says before it has read its configuration goes to stderr: same file.
        with open(error_log, "ab") as stderr:
            proc = subprocess.Popen(
                [NGINX, "-p", tmp + "/", "-c", str(conf), "-e", str(error_log),
                 "-g", "daemon off;"],
                env={**os.environ, "NGINX": f"{listener.fileno()};"},
                pass_fds=(listener.fileno(),), stdin=subprocess.DEVNULL,
                stdout=subprocess.DEVNULL, stderr=stderr, start_new_session=True)
        try:
            listener.close()
            server = _Nginx(port, tmp)
            pid_file = pathlib.Path(tmp, "nginx.pid")
            deadline = time.monotonic() + STARTUP_TIMEOUT
            # The pid file is written once the configuration is taken; the socket already
            # queues connections, so a probe then waits for the worker rather than failing.
            while not pid_file.exists():
                if proc.poll() is not None or time.monotonic() > deadline:
                    raise RuntimeError("nginx did not start:\n" + error_log.read_text())
                time.sleep(0.002)
            if server._probe() != 204:
                raise RuntimeError("nginx does not answer its readiness probe")
            yield server
        finally:
            _stop(proc)


# --- a server with faults to switch ------------------------------------------------------

def _etag(st):
    return f'"{st.st_size:x}-{st.st_mtime_ns:x}"'


def _etag_matches(header, etag):
    """If-Match's strong comparison: a weak tag never matches."""
    tags = [t.strip() for t in header.split(",")]
    return "*" in tags or etag in tags


def _parse_range(header, size):
    """(start, stop) for a single `bytes=` range, "unsatisfiable", or None when the header
    is to be ignored (malformed, or several ranges: a server may answer those whole)."""
    m = re.fullmatch(r"\s*bytes\s*=\s*(\d*)\s*-\s*(\d*)\s*", header)
    if not m or not (m[1] or m[2]):
        return None
    if not m[1]:  # a suffix: the last n bytes
        n = int(m[2])
        return (max(0, size - n), size) if n > 0 and size > 0 else "unsatisfiable"
    start = int(m[1])
    last = int(m[2]) if m[2] else size - 1
    if start >= size or last < start:
        return "unsatisfiable"
    return start, min(last, size - 1) + 1


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "nucla-fault/1"
    # Headers and body go out in separate writes: with Nagle's algorithm the body would wait
    # for the client's delayed ACK (40 ms a request).
    disable_nagle_algorithm = True

    def setup(self):
        super().setup()
        self.serial = self.server.owner._opened(self.connection)

    def finish(self):
        try:
            super().finish()
        finally:
            self.server.owner._closed(self.connection)

    def log_message(self, format, *args):
        pass

    def do_GET(self):
        self.server.owner._answer(self, head=False)

    def do_HEAD(self):
        self.server.owner._answer(self, head=True)


class _Server(ThreadingHTTPServer):
    daemon_threads = True
    block_on_close = True

    def server_bind(self):
        # HTTPServer's own would look up the host's name, which can stall without a resolver.
        socketserver.TCPServer.server_bind(self)
        self.server_name, self.server_port = self.server_address[:2]

    def handle_error(self, request, client_address):
        # A client hanging up mid-answer is what several tests do on purpose.
        if not isinstance(sys.exc_info()[1], OSError):
            super().handle_error(request, client_address)


class FaultServer:
    """An HTTP/1.1 server for the files under `root`, with faults to switch while it runs.

    Each fault applies to the requests that start after it is set:
    - delay: seconds to wait before answering any request;
    - fail(n, status): the next n GETs with a Range header are answered `status`;
    - close_mid_body(n): the next n ranged GETs send their headers and half their body, then
      the connection is closed;
    - ignore_range: ranged GETs are answered 200 with the whole file: its first 64 KiB, then,
      unless the client hangs up within 5 s, the rest (log() tells how many bytes went out, so
      a client that refuses such an answer shows it however busy the machine is).
    Files named forbidden* are answered 403. Validators follow the file: the ETag is made of its
    size and mtime in nanoseconds, so a rewrite shows at the next request.
    """

    def __init__(self, root):
        self.root = pathlib.Path(root).resolve()
        self._lock = threading.Condition()
        self._records = []
        self._in_flight = 0
        self._sockets = set()
        self._serial = 0
        self._closing = False
        self.reset()
        self._httpd = _Server(("127.0.0.1", 0), _Handler)
        self._httpd.owner = self
        self.port = self._httpd.server_address[1]
        self.url = f"http://127.0.0.1:{self.port}"
        self._thread = threading.Thread(target=self._httpd.serve_forever, args=(0.05,),
                                        name="fault-server", daemon=True)
        self._thread.start()

    # -- switches --

    def reset(self, timeout=5.0):
        """No faults, and an empty log (once the requests being answered are logged)."""
        with self._lock:
            self._lock.wait_for(lambda: self._in_flight == 0, timeout)
            self.delay = 0.0
            self.ignore_range = False
            self._fail = (0, 500)
            self._close_mid = 0
            self._records = []

    def fail(self, n, status=500):
        with self._lock:
            self._fail = (n, status)

    def close_mid_body(self, n):
        with self._lock:
            self._close_mid = n

    def log(self, timeout=5.0):
        """The requests answered so far in the order they arrived, once none is being
        answered."""
        with self._lock:
            self._lock.wait_for(lambda: self._in_flight == 0, timeout)
            return [r for r in self._records if r is not None]

    # -- lifetime --

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        if self._closing:
            return
        self._httpd.shutdown()
        with self._lock:
            self._closing = True
            open_sockets = list(self._sockets)
        # Handlers wait on keep-alive connections a client may never close.
        for sock in open_sockets:
            with contextlib.suppress(OSError):
                sock.shutdown(socket.SHUT_RDWR)
        self._httpd.server_close()  # joins the handlers
        self._thread.join()

    def _opened(self, sock):
        with self._lock:
            self._serial += 1
            self._sockets.add(sock)
            if self._closing:
                sock.shutdown(socket.SHUT_RDWR)
            return self._serial

    def _closed(self, sock):
        with self._lock:
            self._sockets.discard(sock)

    # -- answers --

    def _take_failure(self):
        """The status to fail this request with, or None."""
        with self._lock:
            n, status = self._fail
            if n <= 0:
                return None
            self._fail = (n - 1, status)
            return status

    def _take_close_mid(self):
        with self._lock:
            if self._close_mid <= 0:
                return False
            self._close_mid -= 1
            return True

    def _answer(self, h, head):
        # The record's place is taken on arrival: a client may see this answer end, and its
        # next request on another connection logged, before this one's record is written.
        with self._lock:
            self._in_flight += 1
            delay = self.delay
            records = self._records
            slot = len(records)
            records.append(None)
        status, sent = 0, 0
        try:
            if delay:
                time.sleep(delay)
            status, sent = self._respond(h, head)
        finally:
            with self._lock:
                self._in_flight -= 1
                records[slot] = Request(h.command, h.path.partition("?")[0], status,
                                        h.headers.get("Range"), sent, h.headers.get("If-Match"),
                                        h.serial)
                self._lock.notify_all()

    def _respond(self, h, head):
        ranged = h.headers.get("Range")
        if not head and ranged is not None:
            status = self._take_failure()
            if status is not None:
                return self._short(h, status, "injected failure")
        rel = urllib.parse.unquote(h.path.partition("?")[0]).lstrip("/")
        path = (self.root / rel).resolve()
        if self.root not in path.parents or not path.is_file():
            return self._short(h, 404, "not found")
        if path.name.startswith("forbidden"):
            return self._short(h, 403, "forbidden")
        with open(path, "rb") as f:
            st = os.fstat(f.fileno())
            etag = _etag(st)
            modified = email.utils.formatdate(st.st_mtime, usegmt=True)
            if not self._preconditions_hold(h, etag, st):
                return self._short(h, 412, "precondition failed")
            size = st.st_size
            span = None
            if_range = h.headers.get("If-Range")
            if ranged is not None and (head or not self.ignore_range) \
                    and if_range in (None, etag, modified):
                span = _parse_range(ranged, size)
            if span == "unsatisfiable":
                return self._short(h, 416, "range not satisfiable",
                                   {"Content-Range": f"bytes */{size}"})
            whole = span is None
            unasked = whole and ranged is not None and not head
            start, stop = (0, size) if whole else span
            h.send_response(200 if whole else 206)
            h.send_header("Content-Type", "application/octet-stream")
            h.send_header("Content-Length", str(stop - start))
            if not whole:
                h.send_header("Content-Range", f"bytes {start}-{stop - 1}/{size}")
            h.send_header("Accept-Ranges", "bytes")
            h.send_header("ETag", etag)
            h.send_header("Last-Modified", modified)
            h.end_headers()
            status = 200 if whole else 206
            if head:
                return status, 0
            if ranged is not None and self._take_close_mid():
                stop = start + (stop - start) // 2
                h.close_connection = True
                sent = self._send(h, f, start, stop)
                with contextlib.suppress(OSError):
                    h.connection.shutdown(socket.SHUT_RDWR)
                return status, sent
            if unasked:
                sent = self._send(h, f, start, min(stop, start + CHUNK))
                if sent < CHUNK or self._hung_up(h.connection, 5.0):
                    h.close_connection = True
                    return status, sent
                start += sent
                return status, sent + self._send(h, f, start, stop)
            return status, self._send(h, f, start, stop)

    @staticmethod
    def _hung_up(sock, timeout):
        """Whether the client closes its end within `timeout` seconds."""
        ready, _, _ = select.select([sock], [], [], timeout)
        if not ready:
            return False
        try:
            return sock.recv(1, socket.MSG_PEEK) == b""
        except OSError:  # reset
            return True

    @staticmethod
    def _preconditions_hold(h, etag, st):
        if_match = h.headers.get("If-Match")
        if if_match is not None:
            return _etag_matches(if_match, etag)
        since = h.headers.get("If-Unmodified-Since")
        if since is not None:
            with contextlib.suppress(TypeError, ValueError, IndexError):
                return int(st.st_mtime) <= email.utils.parsedate_to_datetime(since).timestamp()
        return True

    @staticmethod
    def _send(h, f, start, stop):
        """Writes bytes [start, stop) of `f`; the count that reached the socket before the
        client hung up."""
        sent = 0
        f.seek(start)
        while start + sent < stop:
            chunk = memoryview(f.read(min(CHUNK, stop - start - sent)))
            if not chunk:
                break  # truncated under us: the client sees a short body
            try:
                while chunk:
                    n = h.connection.send(chunk)
                    sent += n
                    chunk = chunk[n:]
            except OSError:  # BrokenPipe, ConnectionReset, or our own shutdown
                h.close_connection = True
                break
        return sent

    @staticmethod
    def _short(h, status, text, headers=None):
        body = (text + "\n").encode()
        h.send_response(status)
        h.send_header("Content-Type", "text/plain")
        h.send_header("Content-Length", str(len(body)))
        for name, value in (headers or {}).items():
            h.send_header(name, value)
        h.end_headers()
        if h.command != "HEAD":
            h.wfile.write(body)
            return status, len(body)
        return status, 0


# --- latency --------------------------------------------------------------------------

class _DelayProxy:
    def __init__(self, target_host, target_port, delay):
        self.target = (target_host, target_port)
        self.delay = delay
        self.connections = 0
        self._lock = threading.Lock()
        self._sockets = set()
        self._threads = []
        self._stopping = False
        self._listener = socket.create_server(("127.0.0.1", 0))
        self.port = self._listener.getsockname()[1]
        self.url = f"http://127.0.0.1:{self.port}"
        self._acceptor = threading.Thread(target=self._accept, name="delay-proxy", daemon=True)
        self._acceptor.start()

    def _accept(self):
        while True:
            client, _ = self._listener.accept()
            if self._stopping:
                client.close()
                return
            try:
                upstream = socket.create_connection(self.target)
            except OSError:
                client.close()
                continue
            pair = (client, upstream)
            for sock in pair:
                sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            done = threading.Semaphore(0)
            with self._lock:
                self.connections += 1
                self._sockets.update(pair)
                for src, dst, delay in ((client, upstream, self.delay), (upstream, client, 0)):
                    t = threading.Thread(target=self._pump, args=(src, dst, delay, done, pair),
                                         daemon=True)
                    self._threads.append(t)
                    t.start()

    def _pump(self, src, dst, delay, done, pair):
        try:
            while True:
                data = src.recv(CHUNK)
                if not data:
                    dst.shutdown(socket.SHUT_WR)
                    break
                if delay:
                    time.sleep(delay)
                dst.sendall(data)
        except OSError:
            for sock in pair:
                with contextlib.suppress(OSError):
                    sock.shutdown(socket.SHUT_RDWR)
        # The second pump to finish closes both ends.
        if not done.acquire(blocking=False):
            done.release()
            return
        with self._lock:
            for sock in pair:
                self._sockets.discard(sock)
                sock.close()

    def close(self):
        self._stopping = True
        # Wake the acceptor with a connection of our own.
        with contextlib.suppress(OSError):
            socket.create_connection(("127.0.0.1", self.port)).close()
        self._acceptor.join()
        self._listener.close()
        with self._lock:
            open_sockets = list(self._sockets)
            threads = list(self._threads)
        for sock in open_sockets:
            with contextlib.suppress(OSError):
                sock.shutdown(socket.SHUT_RDWR)
        for t in threads:
            t.join()


@contextlib.contextmanager
def delay_proxy(target_host, target_port, delay=0.001):
    """A TCP proxy to (target_host, target_port) that waits `delay` seconds before forwarding
    each chunk a client sends (a request usually arrives as one chunk); yields an object with
    .port, .url and .connections (how many it accepted)."""
    proxy = _DelayProxy(target_host, target_port, delay)
    try:
        yield proxy
    finally:
        proxy.close()


# --- S3 ---------------------------------------------------------------------------------

class _MotoS3:
    region = "us-east-1"
    key_id = "testing"
    secret = "testing"

    def __init__(self, endpoint):
        self.endpoint = endpoint
        self._client = None
        self._buckets = set()

    def client(self):
        """A boto3 S3 client for the server (closed with it)."""
        if self._client is None:
            import boto3
            self._client = boto3.client("s3", endpoint_url=self.endpoint, region_name=self.region,
                                        aws_access_key_id=self.key_id,
                                        aws_secret_access_key=self.secret)
        return self._client

    def put(self, bucket, key, data):
        """Stores `data` (bytes, or a path to read) as s3://bucket/key, creating the bucket."""
        if not isinstance(data, (bytes, bytearray, memoryview)):
            data = pathlib.Path(data).read_bytes()
        client = self.client()
        if bucket not in self._buckets:
            with contextlib.suppress(client.exceptions.BucketAlreadyOwnedByYou):
                client.create_bucket(Bucket=bucket)
            self._buckets.add(bucket)
        client.put_object(Bucket=bucket, Key=key, Body=bytes(data))
        return f"s3://{bucket}/{key}"

    def env(self):
        """What a process needs for fsspec/s3fs to reach this server unconfigured.

        botocore reads AWS_ENDPOINT_URL_S3 whenever it makes a client, so it works in a fresh
        subprocess and, set with monkeypatch.setenv, in this one (see apply). fsspec reads
        FSSPEC_S3_ENDPOINT_URL only when it is imported: it serves subprocesses alone. The
        config files are emptied so that a developer's ~/.aws cannot redirect the client."""
        return {
            "AWS_ACCESS_KEY_ID": self.key_id,
            "AWS_SECRET_ACCESS_KEY": self.secret,
            "AWS_DEFAULT_REGION": self.region,
            "AWS_ENDPOINT_URL_S3": self.endpoint,
            "FSSPEC_S3_ENDPOINT_URL": self.endpoint,
            "AWS_CONFIG_FILE": os.devnull,
            "AWS_SHARED_CREDENTIALS_FILE": os.devnull,
        }

    def apply(self, monkeypatch):
        """Points this process's s3fs at the server for one test."""
        for name, value in self.env().items():
            monkeypatch.setenv(name, value)
        # s3fs reuses a filesystem made with the same arguments, and with it the endpoint its
        # client was made with.
        if "s3fs" in sys.modules:
            sys.modules["s3fs"].S3FileSystem.clear_instance_cache()

    def close(self):
        if self._client is not None:
            self._client.close()
            self._client = None


@contextlib.contextmanager
def moto_s3():
    """moto's S3 server; yields an object with .endpoint, put(bucket, key, data), client(),
    env() and apply(monkeypatch)."""
    if not MOTO:
        raise RuntimeError("moto[server] and boto3 are not installed")
    with tempfile.TemporaryFile() as output:
        # Port 0: werkzeug binds first and then prints the port it got.
        proc = subprocess.Popen([sys.executable, "-m", "moto.server", "-H", "127.0.0.1", "-p", "0"],
                                stdin=subprocess.DEVNULL, stdout=output, stderr=subprocess.STDOUT,
                                start_new_session=True)
        server = None
        try:
            deadline = time.monotonic() + STARTUP_TIMEOUT
            while True:
                output.seek(0)
                m = re.search(rb"Running on http://127\.0\.0\.1:(\d+)", output.read())
                if m:
                    break
                if proc.poll() is not None or time.monotonic() > deadline:
                    output.seek(0)
                    text = output.read().decode(errors="replace")
                    raise RuntimeError("moto did not start:\n" + text)
                time.sleep(0.01)
            server = _MotoS3(f"http://127.0.0.1:{int(m[1])}")
            yield server
        finally:
            if server is not None:
                server.close()
            _stop(proc)

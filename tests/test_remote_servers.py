"""The loopback servers of remote_servers, checked with plain HTTP and S3 clients."""
import email.utils
import http.client
import os
import random
import subprocess
import sys
import textwrap
import time
import urllib.parse

import pytest

import remote_servers
from remote_servers import FaultServer, delay_proxy, moto_s3, nginx

aiohttp = pytest.importorskip("aiohttp")
pytest.importorskip("fsspec")
from fsspec.implementations.http import HTTPFileSystem  # noqa: E402

needs_nginx = pytest.mark.skipif(remote_servers.NGINX is None, reason="nginx is not installed")
SERVERS = [pytest.param("nginx", marks=needs_nginx), "fault",
           pytest.param("nginx behind a delay proxy", marks=needs_nginx)]


@pytest.fixture
def blob(tmp_path):
    data = random.Random(7).randbytes(300_000)
    (tmp_path / "x.fa").write_bytes(data)
    return data


@pytest.fixture
def server(request, tmp_path, blob):
    """(base URL to request, the server that logs)"""
    if request.param == "fault":
        with FaultServer(tmp_path) as s:
            yield s.url, s
        return
    with nginx(tmp_path) as s:
        if request.param == "nginx":
            yield s.url, s
        else:
            with delay_proxy("127.0.0.1", s.port) as proxy:
                yield proxy.url, s


@pytest.fixture
def httpfs():
    return HTTPFileSystem(skip_instance_cache=True)


def connect(url):
    parts = urllib.parse.urlsplit(url)
    return http.client.HTTPConnection(parts.hostname, parts.port, timeout=10)


def get(url, headers=(), method="GET"):
    """(status, headers, body) over a connection of its own."""
    conn = connect(url)
    try:
        conn.request(method, urllib.parse.urlsplit(url).path, headers=dict(headers))
        r = conn.getresponse()
        return r.status, r.headers, r.read()
    finally:
        conn.close()


@pytest.mark.parametrize("server", SERVERS, indirect=True)
def test_ranges_on_one_connection(server, blob, httpfs):
    url, logger = server
    rng = random.Random(3)
    spans = [(a, rng.randrange(a, len(blob))) for a in rng.sample(range(len(blob)), 5)]
    conn = connect(url)
    try:
        for a, b in spans:
            conn.request("GET", "/x.fa", headers={"Range": f"bytes={a}-{b}"})
            r = conn.getresponse()
            assert (r.status, r.read()) == (206, blob[a:b + 1])
            assert r.headers["Content-Range"] == f"bytes {a}-{b}/{len(blob)}"
            assert r.headers["ETag"] and r.headers["Last-Modified"]
        conn.request("GET", "/x.fa", headers={"Range": "bytes=299990-"})
        assert conn.getresponse().read() == blob[299990:]
    finally:
        conn.close()
    assert get(url + "/x.fa", {"Range": f"bytes={len(blob)}-"})[0] == 416
    assert get(url + "/missing.fa")[0] == 404
    assert httpfs.cat_file(url + "/x.fa", start=1000, end=5000) == blob[1000:5000]
    log = logger.log()
    assert [(r.method, r.path, r.status, r.range, r.sent) for r in log[:6]] == \
        [("GET", "/x.fa", 206, f"bytes={a}-{b}", b + 1 - a) for a, b in spans] + \
        [("GET", "/x.fa", 206, "bytes=299990-", 10)]
    assert len({r.connection for r in log[:6]}) == 1
    assert log[-1][:5] == ("GET", "/x.fa", 206, "bytes=1000-4999", 4000)


@pytest.mark.parametrize("server", SERVERS[:2], indirect=True)
def test_validators_follow_the_file(server, tmp_path):
    url, logger = server
    _, headers, _ = get(url + "/x.fa", method="HEAD")
    etag, modified = headers["ETag"], headers["Last-Modified"]
    assert get(url + "/x.fa", {"If-Match": etag, "Range": "bytes=0-9"})[0] == 206
    assert get(url + "/x.fa", {"If-Match": '"other"', "Range": "bytes=0-9"})[0] == 412
    assert get(url + "/x.fa", {"If-Unmodified-Since": modified})[0] == 200
    past = email.utils.formatdate(time.time() - 86400 * 400, usegmt=True)
    assert get(url + "/x.fa", {"If-Unmodified-Since": past})[0] == 412
    assert [r.if_match for r in logger.log()[1:3]] == [etag, '"other"']
    (tmp_path / "x.fa").write_bytes(b">a\nACGT\n")
    assert get(url + "/x.fa", {"If-Match": etag})[0] == 412
    assert get(url + "/x.fa", method="HEAD")[1]["ETag"] != etag


def test_fault_switches(tmp_path, blob, httpfs):
    (tmp_path / "forbidden.fa").write_bytes(b">a\nA\n")
    with FaultServer(tmp_path) as s:
        url = s.url + "/x.fa"
        s.fail(2, status=503)
        for _ in range(2):
            with pytest.raises(aiohttp.ClientResponseError) as e:
                httpfs.cat_file(url, start=0, end=10)
            assert e.value.status == 503
        assert httpfs.cat_file(url, start=0, end=10) == blob[:10]
        s.close_mid_body(1)
        with pytest.raises(aiohttp.ClientPayloadError):
            httpfs.cat_file(url, start=100, end=100_100)
        assert httpfs.cat_file(url, start=100, end=100_100) == blob[100:100_100]
        assert [(r.status, r.sent) for r in s.log()] == \
            [(503, 17), (503, 17), (206, 10), (206, 50_000), (206, 100_000)]
        # A rewrite of the same size within the same second still changes the ETag.
        stamp = os.stat(tmp_path / "x.fa").st_mtime_ns
        etag = get(url, method="HEAD")[1]["ETag"]
        os.utime(tmp_path / "x.fa", ns=(stamp + 1000, stamp + 1000))
        assert get(url, method="HEAD")[1]["ETag"] != etag
        s.delay = 0.05
        start = time.perf_counter()
        assert get(s.url + "/forbidden.fa")[0] == 403
        assert time.perf_counter() - start >= 0.05
        s.reset()
        assert s.log() == [] and s.delay == 0


def test_an_ignored_range_is_refused_unread(tmp_path, httpfs):
    size = 8 << 20
    (tmp_path / "big.fa").write_bytes(random.Random(1).randbytes(size))
    with FaultServer(tmp_path) as s:
        s.ignore_range = True
        f = httpfs.open(s.url + "/big.fa", block_size=65536, cache_type="none")
        try:
            with pytest.raises(ValueError, match="range"):
                f._fetch_range(1000, 2000)
        finally:
            f.close()
        method, _, status, rng, sent, _, _ = s.log()[-1]
        assert (method, status, rng) == ("GET", 200, "bytes=1000-1999")
        assert 0 < sent < size // 8


def test_fsspec_sends_the_callers_if_match(tmp_path, blob, httpfs):
    with FaultServer(tmp_path) as s:
        url = s.url + "/x.fa"
        etag = get(url, method="HEAD")[1]["ETag"]
        f = httpfs.open(url, block_size=4096, cache_type="none", headers={"If-Match": etag})
        try:
            f.seek(10_000)
            assert f.read(10) == blob[10_000:10_010]
            (tmp_path / "x.fa").write_bytes(blob[::-1])
            f.seek(20_000)
            with pytest.raises(aiohttp.ClientResponseError) as e:
                f.read(10)
            assert e.value.status == 412
        finally:
            f.close()
        assert [(r.method, r.status, r.if_match) for r in s.log()] == \
            [("HEAD", 200, None), ("HEAD", 200, etag), ("GET", 206, etag), ("GET", 412, etag)]


def test_delay_proxy_delays_each_request(tmp_path, blob):
    with FaultServer(tmp_path) as s, delay_proxy("127.0.0.1", s.port, delay=0.02) as proxy:
        conn = connect(proxy.url)
        try:
            start = time.perf_counter()
            for i in range(5):
                conn.request("GET", "/x.fa", headers={"Range": f"bytes={i}-{i + 9}"})
                assert conn.getresponse().read() == blob[i:i + 10]
            assert time.perf_counter() - start >= 5 * 0.02
        finally:
            conn.close()
        assert proxy.connections == 1 and len({r.connection for r in s.log()}) == 1


# --- S3 ---------------------------------------------------------------------------------

@pytest.fixture(scope="module")
def s3():
    if not remote_servers.MOTO:
        pytest.skip("moto[server] and boto3 are not installed")
    pytest.importorskip("s3fs")
    with moto_s3() as server:
        yield server


# Either endpoint variable alone is enough.
@pytest.mark.parametrize("dropped", ["FSSPEC_S3_ENDPOINT_URL", "AWS_ENDPOINT_URL_S3"])
def test_s3_env_reaches_fsspec_in_a_fresh_process(s3, blob, dropped):
    s3.put("refs", "dir/x.fa", blob)
    code = """
        import fsspec
        with fsspec.open("s3://refs/dir/x.fa") as f:
            assert f.read() == fsspec.filesystem("s3").cat_file("refs/dir/x.fa", start=0, end=None)
        print(fsspec.filesystem("s3").cat_file("refs/dir/x.fa", start=1000, end=1010).hex())
    """
    env = {k: v for k, v in os.environ.items() if not k.startswith(("AWS_", "FSSPEC_"))}
    env.update(s3.env())
    del env[dropped]
    result = subprocess.run([sys.executable, "-W", "error", "-c", textwrap.dedent(code)], env=env,
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == blob[1000:1010].hex()


def test_s3_in_process_ranges_and_if_match(s3, blob, monkeypatch):
    import botocore.exceptions
    import fsspec
    path = s3.put("refs", "y.fa", blob)
    s3.apply(monkeypatch)
    fs = fsspec.filesystem("s3")
    assert fs.cat_file(path, start=123, end=4567) == blob[123:4567]
    with fsspec.open(path) as f:
        f.seek(200_000)
        assert f.read(100) == blob[200_000:200_100]
    client = s3.client()
    etag = client.head_object(Bucket="refs", Key="y.fa")["ETag"]
    r = client.get_object(Bucket="refs", Key="y.fa", Range="bytes=5-9", IfMatch=etag)
    assert r["ResponseMetadata"]["HTTPStatusCode"] == 206 and r["Body"].read() == blob[5:10]
    with pytest.raises(botocore.exceptions.ClientError) as e:
        client.get_object(Bucket="refs", Key="y.fa", Range="bytes=5-9", IfMatch='"0123"')
    assert e.value.response["Error"]["Code"] == "PreconditionFailed"

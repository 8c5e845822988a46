"""Remote FASTA files for nucla, read through fsspec by byte ranges.

The extension module compiles this file into itself, and the command-line tool runs it as a
script (see _serve, at the end). The engine asks a Remote for ranges of whole blocks and caches
them; this side only reaches the file: through fsspec, so that the URLs, credentials and
endpoint settings a user has for pandas, xarray or dask work unchanged.
Every failure the engine should word itself is a Failure with a kind (missing, denied,
changed, io); anything else (KeyboardInterrupt) is left to propagate.
"""

import sys

# Run by the command-line tool (python -c), the working directory comes first on sys.path: a
# file there must not stand in for asyncio or fsspec.
if __name__ == "__main__" and sys.path and not sys.path[0]:
    del sys.path[0]

import asyncio
import os
import threading
import time

# Tries of a range before its error is final, and the pause before each retry (seconds).
TRIES = 4
BACKOFF = (0.05, 0.2, 0.8)
# Ranges in flight at once.
CONCURRENCY = 16

_INSTALL = "reading URLs needs fsspec and its back ends: pip install 'nucla[remote]'"


class Failure(Exception):
    """A failure the engine words: kind is missing, denied, changed or io."""

    def __init__(self, kind, message):
        super().__init__(message)
        self.kind = kind
        self.message = message


def _import_fsspec():
    try:
        import fsspec
    except ImportError as exc:
        raise ImportError(_INSTALL) from exc
    return fsspec


def _status(exc):
    """The HTTP status an error carries (aiohttp's, or botocore's), if any."""
    status = getattr(exc, "status", None)
    if isinstance(status, int):
        return status
    response = getattr(exc, "response", None)
    if isinstance(response, dict):
        code = response.get("ResponseMetadata", {}).get("HTTPStatusCode")
        if isinstance(code, int):
            return code
    return None


def _causes(exc):
    while exc is not None:
        yield exc
        exc = exc.__cause__ or exc.__context__


def _transient(exc):
    """Whether trying again may help: timeouts, dropped connections, 5xx and 429 answers."""
    for e in _causes(exc):
        status = _status(e)
        if status is not None:
            return status >= 500 or status in (408, 429)
        if isinstance(e, (TimeoutError, asyncio.TimeoutError, ConnectionError)):
            return True
        aiohttp = sys.modules.get("aiohttp")
        if aiohttp is not None and isinstance(
            e, (aiohttp.ClientPayloadError, aiohttp.ClientConnectionError)
        ):
            return True
    return False


def _describe(exc):
    text = str(exc)
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__


def _failure(exc, tries=1):
    """The Failure for an exception an fsspec call raised."""
    if isinstance(exc, Failure):
        return exc
    for e in _causes(exc):
        status = _status(e)
        if status in (401, 403) or isinstance(e, PermissionError):
            return Failure("denied", f"access denied ({_describe(e)})")
        if status == 412:
            return Failure("changed", "its ETag or Last-Modified no longer match")
        if status in (404, 410):
            return Failure("missing", _describe(e))
        if type(e).__name__ == "FileExpired":
            return Failure("changed", _describe(e))
    if isinstance(exc, FileNotFoundError) and not _transient(exc):
        return Failure("missing", _describe(exc))
    root = exc
    for e in _causes(exc):
        root = e
    again = f" (after {tries} tries)" if tries > 1 else ""
    if isinstance(exc, ValueError) and "range requests" in str(exc):
        return Failure("io", "the server does not answer range requests with the range asked "
                             "for; it is not read whole")
    return Failure("io", _describe(root) + again)


def _retrying(call):
    """call(), tried again on transient errors; a Failure once it cannot succeed."""
    for attempt in range(TRIES):
        try:
            return call()
        except Exception as exc:
            if attempt + 1 < TRIES and _transient(exc):
                time.sleep(BACKOFF[min(attempt, len(BACKOFF) - 1)])
                continue
            raise _failure(exc, attempt + 1) from exc


async def _retrying_async(call):
    for attempt in range(TRIES):
        try:
            return await call()
        except Exception as exc:
            if attempt + 1 < TRIES and _transient(exc):
                await asyncio.sleep(BACKOFF[min(attempt, len(BACKOFF) - 1)])
                continue
            raise _failure(exc, attempt + 1) from exc


_pool = None
_pool_pid = None


def _threads():
    # (A forked child has none of its parent's threads: it makes a pool of its own.)
    global _pool, _pool_pid
    if _pool_pid != os.getpid():
        from concurrent.futures import ThreadPoolExecutor

        _pool = ThreadPoolExecutor(CONCURRENCY, thread_name_prefix="nucla-remote")
        _pool_pid = os.getpid()
    return _pool


class Remote:
    """One remote file: its size and version when opened, and ranges of its bytes."""

    def __init__(self, url):
        self.url = url
        fsspec = _import_fsspec()
        try:
            self._fs, self._path = fsspec.core.url_to_fs(url)
        except ImportError as exc:
            raise ImportError(f"{_INSTALL} ({exc})") from exc
        info = _retrying(lambda: self._fs.info(self._path))
        if info.get("type") == "directory":
            raise Failure("io", "is a directory")
        if info.get("size") is None:
            raise Failure("io", "the server does not tell the file's size")
        self.size = int(info["size"])
        # What a read checks the file against: its ETag, else its time of change.
        self._version = {k: info[k] for k in ("ETag", "etag", "Last-Modified") if k in info}
        self._pid = None
        self._files = None

    def _opened(self):
        # A forked child reaches the file through connections of its own. Each thread reads
        # through a file object of its own: some (the local file system's) seek, then read.
        if self._pid != os.getpid():
            if self._pid is not None:
                fsspec = _import_fsspec()
                self._fs, self._path = fsspec.core.url_to_fs(self.url)
            self._files = threading.local()
            self._pid = os.getpid()
        f = getattr(self._files, "file", None)
        if f is None:
            f = self._files.file = self._open()
        return f

    def _http(self):
        return type(self._fs).__name__ == "HTTPFileSystem"

    def _open(self):
        kwargs = {}
        if self._http():
            etag = self._version.get("ETag")
            modified = self._version.get("Last-Modified")
            if etag:
                kwargs["headers"] = {"If-Match": etag}
            elif modified:
                kwargs["headers"] = {"If-Unmodified-Since": modified}
            kwargs["size"] = self.size
        return _retrying(lambda: self._fs.open(
            self._path, "rb", block_size=1 << 16, cache_type="none", **kwargs))

    def _checked(self, data, start, end):
        if len(data) != end - start:
            raise Failure("changed", f"bytes {start}-{end - 1} came back as {len(data)} bytes")
        return data

    def fetch(self, starts, ends):
        """The bytes of each range [starts[k], ends[k]), as a list."""
        f = self._opened()
        ranges = list(zip(starts, ends))
        if self._http():
            from fsspec.asyn import sync

            async def one(sem, start, end):
                async with sem:
                    data = await _retrying_async(lambda: f.async_fetch_range(start, end))
                    return self._checked(data, start, end)

            async def every():
                sem = asyncio.Semaphore(CONCURRENCY)
                got = await asyncio.gather(*(one(sem, s, e) for s, e in ranges),
                                           return_exceptions=True)
                for item in got:
                    if isinstance(item, BaseException):
                        raise item
                return got

            return sync(self._fs.loop, every)

        def one_range(r):
            start, end = r
            data = _retrying(lambda: self._opened()._fetch_range(start, end))
            return self._checked(data, start, end)

        if len(ranges) == 1:
            return [one_range(ranges[0])]
        return list(_threads().map(one_range, ranges))

    def sibling(self, suffix):
        """The whole file named like this one plus suffix, or None when there is none.

        A refusal counts as none: S3 answers 403 for a key that does not exist when the
        caller may not list the bucket, and a signed URL's query signs this file only."""
        path = self._path
        if self._http() and "?" in path:
            path, query = path.split("?", 1)
            path = f"{path}{suffix}?{query}"
        else:
            path += suffix
        try:
            return _retrying(lambda: self._fs.cat_file(path))
        except Failure as failure:
            if failure.kind in ("missing", "denied"):
                return None
            raise


def _serve(url):
    """Reads `url` for the command-line tool, which has no Python of its own.

    Frames both ways are a tag byte, a little-endian u64 length and that many bytes. Requests:
    F (u64 begin, end pairs: the bytes of every range, joined) and S (a suffix: that sibling
    file). Replies: O (the data), N (no such sibling) and E (a kind, a tab, a message); the
    first, unasked, is O with the file's size as a u64, or why it cannot be read. The end of
    the input ends it."""
    import struct

    # What a library prints goes to standard error, never into the replies.
    replies = os.fdopen(os.dup(1), "wb")
    os.dup2(2, 1)
    requests = sys.stdin.buffer

    def reply(tag, data=b""):
        try:
            replies.write(tag + struct.pack("<Q", len(data)))
            replies.write(data)
            replies.flush()
        except BrokenPipeError:
            os._exit(0)  # the tool is gone, and nobody is left to tell

    def fail(kind, message):
        reply(b"E", f"{kind}\t{message}".encode(errors="backslashreplace"))

    def answer(call):
        try:
            data = call()
        except Failure as exc:
            return fail(exc.kind, exc.message)
        except ImportError as exc:
            # The tool words this one: Python is there, but not fsspec or one of its back ends.
            return fail("setup", _describe(exc.__cause__ or exc))
        except Exception as exc:
            return fail("io", _describe(exc))
        if data is None:
            reply(b"N")
        else:
            reply(b"O", data)

    remote = None

    def start():
        nonlocal remote
        remote = Remote(url)
        return struct.pack("<Q", remote.size)

    def fetch(payload):
        bounds = struct.unpack(f"<{len(payload) // 8}Q", payload)
        return b"".join(remote.fetch(bounds[0::2], bounds[1::2]))

    answer(start)
    while remote is not None:
        head = requests.read(9)
        if len(head) < 9:
            return
        tag, size = head[:1], struct.unpack("<Q", head[1:])[0]
        payload = requests.read(size)
        if len(payload) < size:
            return
        if tag == b"F":
            answer(lambda: fetch(payload))
        elif tag == b"S":
            answer(lambda: remote.sibling(payload.decode()))
        else:
            fail("io", "an unknown request")


if __name__ == "__main__":
    _serve(sys.argv[1])

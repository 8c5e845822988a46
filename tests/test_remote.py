"""FASTA files read by URL: over HTTP from nginx and from a server with faults, and from S3
(moto's server), every read call gives what the local file gives; requests are bounded, counted
and refused as they should be."""
import _thread
import gc
import os
import pathlib
import pickle
import random
import subprocess
import sys
import threading
import time

import pytest

import nucla
import remote_servers as servers
from conftest import random_fasta_text, random_regions, write_bgzf

pytest.importorskip("fsspec")
pytest.importorskip("aiohttp")
np = pytest.importorskip("numpy")

needs_nginx = pytest.mark.skipif(servers.NGINX is None, reason="nginx is not installed")
BLOCK = 16 * 1024  # the engine's block size
EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    """g.fa and g.fa.gz (with their .fai and .gzi) of the same random sequences."""
    root = tmp_path_factory.mktemp("remote")
    rng = random.Random(26)
    text, seqs = random_fasta_text(rng, records=6, length=(20_000, 250_000), width=[60, 61, 80])
    (root / "g.fa").write_bytes(text.encode())
    write_bgzf(root / "g.fa.gz", text.encode(), rng, largest=60_000)
    for name in ("g.fa", "g.fa.gz"):
        nucla.Faidx(str(root / name))
    for name in ("ex1.fa", "ex1.fa.fai", "ex1.vcf"):
        (root / name).write_bytes((EXAMPLES / name).read_bytes())
    return root, seqs


@pytest.fixture(scope="module")
def nginx(files):
    if servers.NGINX is None:
        pytest.skip("nginx is not installed")
    with servers.nginx(files[0]) as server:
        yield server


@pytest.fixture
def faults(files):
    with servers.FaultServer(files[0]) as server:
        yield server


@pytest.fixture(scope="module")
def s3(files):
    if not servers.MOTO:
        pytest.skip("moto[server] is not installed")
    pytest.importorskip("s3fs")
    with servers.moto_s3() as server:
        for name in ("g.fa", "g.fa.fai", "g.fa.gz", "g.fa.gz.fai", "g.fa.gz.gzi"):
            server.put("refs", name, files[0] / name)
        yield server


def same_reads(local, remote, seqs, rng):
    """Every read call of the Faidx `remote` gives what the one of `local` gives."""
    regions = random_regions(rng, seqs, 3000)
    for name, start, end in regions[:40]:
        assert str(remote.fetch(name, start, end)) == str(local.fetch(name, start, end))
    for batch in (regions[:50], regions):  # one region after another; the parallel batch
        assert [str(s) for s in remote.fetch_many(batch)] == [str(s) for s in local.fetch_many(batch)]
    name = max(seqs, key=lambda k: len(seqs[k]))
    assert str(remote.fetch_entire_sequence(name)) == seqs[name]
    names = [r[0] for r in regions]
    starts = [r[1] - 1 for r in regions]
    ends = [s + 300 for s in starts]
    for encoding in ("bytes", "onehot"):
        np.testing.assert_array_equal(
            remote.fetch_windows(names, starts, ends, 300, encoding=encoding),
            local.fetch_windows(names, starts, ends, 300, encoding=encoding))
    for a, b in zip(remote.fetch_packed(names, starts, ends), local.fetch_packed(names, starts, ends)):
        np.testing.assert_array_equal(a, b)


@needs_nginx
@pytest.mark.parametrize("name", ["g.fa", "g.fa.gz"])
def test_http_reads_equal_the_local_file(files, nginx, name):
    root, seqs = files
    local = nucla.Faidx(str(root / name))
    url = f"{nginx.url}/{name}"
    same_reads(local, nucla.Faidx(url), seqs, random.Random(name))
    fasta, here = nucla.Fasta(url), nucla.Fasta(str(root / name))
    record = fasta.keys()[2]
    assert [str(line) for line in fasta[record]] == [str(line) for line in here[record]]
    assert [r.name for r in fasta] == [r.name for r in here] and len(fasta) == len(here)
    assert (-fasta[record][100:900]).seq == (-here[record][100:900]).seq
    copy = pickle.loads(pickle.dumps(fasta))
    assert copy[record][5:60].seq == here[record][5:60].seq


@pytest.mark.parametrize("name", ["g.fa", "g.fa.gz"])
def test_s3_reads_equal_the_local_file(files, s3, monkeypatch, name):
    s3.apply(monkeypatch)
    root, seqs = files
    same_reads(nucla.Faidx(str(root / name)), nucla.Faidx(f"s3://refs/{name}"), seqs,
               random.Random(name))


@needs_nginx
def test_personal_genome_of_a_remote_reference(files, nginx):
    pytest.importorskip("numpy")
    vcf = str(files[0] / "ex1.vcf")
    try:
        here = nucla.Fasta(str(files[0] / "ex1.fa")).with_variants(vcf)
    except OSError as e:
        pytest.skip(str(e))
    there = nucla.Fasta(f"{nginx.url}/ex1.fa").with_variants(vcf)
    args = (["chr1", "chr2", "chr1"], [0, 100, 1500], [200, 300, 1700])
    np.testing.assert_array_equal(there.fetch_windows(*args, 200), here.fetch_windows(*args, 200))


def block_spans(local, regions):
    """The blocks of the file that 1-based regions of `local` lie in."""
    rows = {line.split("\t")[0]: [int(x) for x in line.split("\t")[1:5]]
            for line in pathlib.Path(local + ".fai").read_text().splitlines()}
    blocks = set()
    for name, start, end in regions:
        length, offset, bases, width = rows[name]
        end = min(end, length)
        first = offset + (start - 1) // bases * width + (start - 1) % bases
        last = offset + (end - 1) // bases * width + (end - 1) % bases
        blocks.update(range(first // BLOCK, last // BLOCK + 1))
    return blocks


@needs_nginx
def test_http_requests_are_bounded_and_cached(files, nginx):
    root, seqs = files
    before = len(nginx.log())
    faidx = nucla.Faidx(f"{nginx.url}/g.fa")  # (each opened file caches blocks of its own)
    opening = nginx.log()[before:]
    assert sum(r.path.endswith(".fai") for r in opening) == 1 and len(opening) <= 3
    name = faidx.keys[-1]  # far from the first block, which the open read
    middle = len(seqs[name]) // 2
    faidx.fetch(name, middle, middle + 99)
    cold = nginx.log()[before + len(opening):]
    assert len(cold) == 1 and cold[0].status == 206 and cold[0].sent <= BLOCK
    faidx.fetch(name, middle + 200, middle + 299)
    assert len(nginx.log()) == before + len(opening) + 1  # the same block: no request

    rng = random.Random(7)
    regions = [(n, s, s + rng.randrange(99, 500)) for n, s, _ in random_regions(rng, seqs, 2000)]
    mark = len(nginx.log())
    faidx.fetch_many(regions)
    batch = nginx.log()[mark:]
    touched = block_spans(str(root / "g.fa"), regions)
    assert sum(r.sent for r in batch) <= 2 * BLOCK * len(touched)
    asked = sorted(tuple(map(int, r.range[len("bytes="):].split("-"))) for r in batch)
    assert all(a % BLOCK == 0 for a, _ in asked)
    assert all(b < a for (_, b), (a, _) in zip(asked, asked[1:]))  # no byte asked for twice


def test_faults_are_retried_or_refused(files, faults):
    root, seqs = files
    url = f"{faults.url}/g.fa"
    local, remote = nucla.Faidx(str(root / "g.fa")), nucla.Faidx(url)
    # The middles of the longest records, each in a block of its own.
    middles = [(k, len(seqs[k]) // 2) for k in sorted(seqs, key=lambda k: -len(seqs[k]))[:3]]
    fetch = [lambda f, k=k, m=m: str(f.fetch(k, m, m + 100)) for k, m in middles]
    opening = len(faults.log())
    faults.fail(2, 500)  # transient: retried
    assert fetch[0](remote) == fetch[0](local)
    faults.close_mid_body(1)
    assert fetch[1](remote) == fetch[1](local)
    log = faults.log()[opening:]
    assert [r.status for r in log] == [500, 500, 206, 206, 206] and log[3].sent < log[4].sent
    faults.fail(100, 503)
    with pytest.raises(Exception, match=rf"IOError: {url}: .*503.*after 4 tries"):
        fetch[2](remote)
    faults.reset()
    faults.ignore_range = True  # a whole body for a range: refused, not read
    with pytest.raises(Exception, match=rf"IOError: {url}: .*range"):
        fetch[2](remote)
    assert sum(r.sent for r in faults.log()) < (root / "g.fa").stat().st_size // 2


def test_a_file_that_changes_is_not_read(files, faults, tmp_path):
    path = files[0] / "changing.fa"
    path.write_bytes((files[0] / "g.fa").read_bytes())
    (files[0] / "changing.fa.fai").write_bytes((files[0] / "g.fa.fai").read_bytes())
    remote = nucla.Faidx(f"{faults.url}/changing.fa")
    name = remote.keys[0]
    remote.fetch(name, 1, 100)
    data = bytearray(path.read_bytes())
    data[-1000:-990] = b"ACGTACGTAC"
    path.write_bytes(bytes(data))
    os.utime(path, ns=(time.time_ns(), time.time_ns() + 10**9))
    with pytest.raises(Exception, match="changed since it was opened"):
        remote.fetch(remote.keys[-1], 1, 200_000)


@pytest.mark.parametrize("where, error", [
    ("/nothing.fa", "FastaNotFoundError: {url}"),
    ("/forbidden.fa", "IOError: {url}: access denied"),
    ("unreachable", r"IOError: {url}: .*after 4 tries"),
])
def test_open_failures_name_the_url(files, faults, where, error):
    url = "http://127.0.0.1:9/g.fa" if where == "unreachable" else faults.url + where
    (files[0] / "forbidden.fa").write_bytes(b">a\nACGT\n")
    with pytest.raises(Exception, match=error.format(url=url)):
        nucla.Fasta(url)


# An interrupt between fsspec making a coroutine and scheduling it leaves it never awaited:
# it is collected within this test, where that is expected, not in a later one.
@pytest.mark.filterwarnings("ignore:coroutine .* was never awaited:RuntimeWarning")
@pytest.mark.parametrize("call", ["fetch_many", "fetch_windows", "small batch"])
def test_ctrl_c_stops_a_remote_batch(files, faults, monkeypatch, call):
    monkeypatch.setenv("NUCLA_REMOTE_CACHE", "64K")  # a round per block, each a slow request
    faults.delay = 0.05
    remote = nucla.Faidx(f"{faults.url}/g.fa")
    regions = random_regions(random.Random(3), files[1], 5000 if call != "small batch" else 500)
    threading.Timer(0.3, _thread.interrupt_main).start()
    began = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        if call == "fetch_windows":
            starts = [s for _, s, _ in regions]
            remote.fetch_windows([n for n, _, _ in regions], starts, [s + 10 for s in starts], 10)
        else:
            remote.fetch_many(regions)
    assert time.monotonic() - began < 3
    gc.collect()


def test_indexes_missing_beside_the_url(files, nginx, tmp_path, capfd):
    root, seqs = files
    (root / "bare.fa").write_bytes((root / "g.fa").read_bytes())
    url = f"{nginx.url}/bare.fa"
    listed = sorted(os.listdir(root))
    name = nucla.Faidx(url).keys[0]  # built in memory, with a warning
    assert "has no index beside it" in capfd.readouterr().err and sorted(os.listdir(root)) == listed
    with pytest.raises(Exception, match="IndexNotFoundError"):
        nucla.Faidx(url, build_index=False)
    kept = tmp_path / "bare.fa.fai"
    faidx = nucla.Faidx(url, indexname=str(kept))
    assert kept.read_bytes() == (root / "g.fa.fai").read_bytes()
    assert str(faidx.fetch(name, 5, 90)) == seqs[name][4:90]
    mark = len(nginx.log())
    nucla.Faidx(url, indexname=str(kept))
    assert not any(r.path.endswith(".fai") for r in nginx.log()[mark:])


def test_local_paths_and_bad_uses(files, tmp_path, monkeypatch):
    local = tmp_path / "http:" / "example.org"
    local.mkdir(parents=True)
    (local / "x.fa").write_bytes(b">x\nACGT\n")
    monkeypatch.chdir(tmp_path)
    assert str(nucla.Fasta("http://example.org/x.fa")["x"]) == "ACGT"  # a path that exists
    with pytest.raises(ValueError, match="mutable"):
        nucla.Fasta("http://127.0.0.1:9/g.fa", mutable=True)
    code = "import sys; sys.modules['fsspec'] = None; import nucla; nucla.Fasta('s3://b/k.fa')"
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            cwd=EXAMPLES.parent, timeout=120)
    assert "ImportError" in result.stderr and "nucla[remote]" in result.stderr
    monkeypatch.setenv("NUCLA_REMOTE_CACHE", "lots")
    with pytest.raises(ValueError, match="NUCLA_REMOTE_CACHE"):
        nucla.Fasta("http://127.0.0.1:9/g.fa")


@needs_nginx
def test_dask_example_with_a_url(files, nginx):
    pytest.importorskip("distributed")
    root = files[0]
    run = [sys.executable, str(EXAMPLES / "dask_bed.py")]
    bed = str(EXAMPLES / "ex1.bed")
    there = subprocess.run(run + [f"{nginx.url}/ex1.fa", bed, "2"], capture_output=True,
                           timeout=300)
    here = subprocess.run(run + [str(root / "ex1.fa"), bed, "2"], capture_output=True, timeout=300)
    assert there.returncode == 0, there.stderr.decode()[-2000:]
    assert there.stdout == here.stdout and there.stdout.count(b">") == 2

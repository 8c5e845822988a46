import concurrent.futures
import inspect
import multiprocessing
import pickle
import random

import pytest

import nucla
import pickle_workers
from conftest import random_regions, write_random_fasta


@pytest.fixture(scope="module")
def genome(tmp_path_factory):
    path, seqs = write_random_fasta(tmp_path_factory.mktemp("pickle") / "g.fa", random.Random(9),
                                    records=[f"c{i}" for i in range(6)], length=(200, 3000),
                                    alphabet="ACGTN", width=70)
    nucla.Faidx(path)
    return path, seqs


def regions_for(seqs, n, seed):
    return random_regions(random.Random(seed), seqs, n)


def test_sequence_pickles_by_value():
    for s in (nucla.Sequence("a", "ACGT", 1, 4, True), nucla.Sequence(), nucla.Sequence(seq="x", end=3)):
        t = pickle.loads(pickle.dumps(s))
        assert (t.name, t.seq, t.start, t.end, t.comp) == (s.name, s.seq, s.start, s.end, s.comp)


@pytest.mark.parametrize("cls", [nucla.Faidx, nucla.Fasta])
def test_engines_pickle_as_path_and_options(genome, cls):
    path, seqs = genome
    obj = cls(path, default_seq="N", strict_bounds=True, one_based_attributes=False,
              split_char="|", read_ahead=3, duplicate_action="first", key_function=len)
    copy = pickle.loads(pickle.dumps(obj))
    assert type(copy) is cls and repr(copy) == repr(obj)
    assert copy.__reduce__()[0].__reduce__() == obj.__reduce__()[0].__reduce__()
    s = copy.fetch("c1", 2, 5) if cls is nucla.Faidx else copy.get_seq("c1", 2, 5)
    assert (str(s), s.start) == (seqs["c1"][1:5], 1)
    with pytest.raises(IndexError):
        copy.fetch("c1", 0, 5) if cls is nucla.Faidx else copy.get_seq("c1", 0, 5)


@pytest.mark.parametrize("cls", [nucla.Faidx, nucla.Fasta])
def test_pickle_hands_back_every_option(genome, cls):
    path, _ = genome
    params = inspect.signature(cls).parameters
    defaults = {name: "stop" if p.default is ... else p.default for name, p in params.items()}
    changed = dict(indexname=path + ".fai", as_raw=True, strict_bounds=True,
                   sequence_always_upper=True, rebuild=False, build_index=False,
                   one_based_attributes=False, default_seq="NN", mutable=True, key_function=len,
                   split_char="|", filt_function=str, read_long_names=True,
                   duplicate_action="longest", read_ahead=9)
    assert sorted(changed) == sorted(list(params)[1:])
    # All at once, then each flag alone (flags share their values, so only alone do they
    # show which member each one lands in).
    flags = [name for name, v in defaults.items() if isinstance(v, bool)]
    for given in [changed] + [{flag: changed[flag]} for flag in flags]:
        args = cls(path, **given).__reduce__()[0].__reduce__()[1]
        expected = {**defaults, "filename": path, **given}
        assert args == (cls.__name__, *expected.values())


def test_unpicklable_held_option(genome):
    with pytest.raises((pickle.PicklingError, AttributeError, TypeError)):
        pickle.dumps(nucla.Fasta(genome[0], filt_function=lambda name: True))


def test_record_pickles_as_fasta_and_name(genome):
    path, seqs = genome
    record = pickle.loads(pickle.dumps(nucla.Fasta(path)["c2"]))
    assert type(record) is nucla.FastaRecord and record.name == "c2"
    assert str(record) == seqs["c2"]


def test_iterators_do_not_pickle(genome):
    fasta = nucla.Fasta(genome[0])
    for it in (iter(fasta), iter(fasta["c0"])):
        with pytest.raises(TypeError, match="cannot pickle"):
            pickle.dumps(it)


@pytest.mark.parametrize("method", multiprocessing.get_all_start_methods())
def test_pool_under_every_start_method(genome, method):
    path, seqs = genome
    fasta = nucla.Fasta(path)
    chunks = [regions_for(seqs, 300, seed) for seed in range(4)]
    expected = [pickle_workers.fetch_all(fasta, chunk) for chunk in chunks]
    with multiprocessing.get_context(method).Pool(2) as pool:
        got = pool.starmap(pickle_workers.fetch_all, [(fasta, chunk) for chunk in chunks])
        records = pool.starmap(pickle_workers.fetch_one, [(fasta["c3"], 5, 60)] * 2)
    assert got == expected
    assert records == [seqs["c3"][5:60]] * 2


def test_process_pool_executor_with_large_batches(genome):
    path, seqs = genome
    fasta = nucla.Fasta(path)
    chunks = [regions_for(seqs, 2500, seed) for seed in range(4)]
    ctx = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(2, mp_context=ctx) as ex:
        got = list(ex.map(pickle_workers.fetch_all, [fasta] * 4, chunks, timeout=120))
    assert got == [[seqs[n][a - 1:b] for n, a, b in chunk] for chunk in chunks]


def test_dask_cluster(genome, tmp_path):
    distributed = pytest.importorskip("dask.distributed")
    path, seqs = genome
    regions = regions_for(seqs, 20000, 1)
    fasta = nucla.Fasta(path)
    # A dashboard port of its own: older versions take None for the default, which another
    # cluster on the machine may hold.
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0", local_directory=str(tmp_path)) as cluster:
        with distributed.Client(cluster) as client:
            parts = [regions[i:i + 2500] for i in range(0, len(regions), 2500)]
            futures = client.map(pickle_workers.fetch_all, [fasta] * len(parts), parts, pure=False)
            got = [s for part in client.gather(futures) for s in part]
    assert got == [str(s) for s in fasta.fetch_many(regions)]

"""The worker pool under what a process can live through: Ctrl-C during a long batch, signal
handlers that sleep or fork while a batch runs, and fork() children that get a process id the
pool has seen before. Each case runs in a subprocess, so that a hang fails it."""
import os
import random
import select
import shutil
import signal
import subprocess
import sys
import textwrap
import time

import pytest

CHROM = 3_000_100


@pytest.fixture(scope="module")
def genome(tmp_path_factory):
    rng = random.Random(5)
    path = tmp_path_factory.mktemp("pool") / "g.fa"
    seq = "".join(rng.choice("ACGT") for _ in range(4096)) * (CHROM // 4096 + 1)
    with open(path, "w") as out:
        out.write(">big\n" + "".join(seq[i:i + 60] + "\n" for i in range(0, CHROM, 60)))
        out.write(">small\nACGTTGCA\n")
    return str(path)


def script(code, **values):
    return "import nucla, os, signal, sys, time\n" + textwrap.dedent(code).format(**values)


@pytest.mark.parametrize("mutable", [False, True])
def test_ctrl_c_stops_a_long_batch(genome, mutable):
    code = script("""
        f = nucla.Fasta({path!r}, mutable={mutable})
        in_batch = announced = False

        class Last:
            def __index__(self):  # converted last: the batch proper starts next
                global in_batch
                in_batch = True
                return 3_000_000

        regions = [("big", s, s + 30) for s in range(1, 3_000_000)] + [("big", Last(), 3_000_030)]

        def on_sigusr1(*_):
            global announced
            if in_batch and not announced:
                announced = True
                print("running", flush=True)

        signal.signal(signal.SIGUSR1, on_sigusr1)
        # How the batch call ends, as the profiler sees it: "c_exception" when the interrupt
        # comes out of the batch. One that looks at signals only once it is done returns, and
        # the interrupt comes after (in the profiler, which then records nothing, or later).
        ends = []
        print("ready", flush=True)
        sys.setprofile(lambda _, event, arg: getattr(arg, "__name__", "") == "fetch_many"
                       and ends.append(event))
        try:
            f.fetch_many(regions)
        except KeyboardInterrupt:
            sys.setprofile(None)
            print("interrupted", *ends)
        else:
            print("finished")
        check = regions[::600]
        assert [str(s) for s in f.fetch_many(check)] == [str(f.get_seq(*r)) for r in check]
        print("usable")
    """, path=genome, mutable=mutable)
    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True)
    try:
        assert select.select([child.stdout], [], [], 600)[0], "the child never got ready"
        assert child.stdout.readline() == "ready\n"
        # "running" comes from the first look the batch takes at signals (or, when it takes
        # none, once it has ended: then the child has left its `try` when SIGINT comes).
        deadline = time.monotonic() + 600
        while not select.select([child.stdout], [], [], 0.02)[0]:
            assert time.monotonic() < deadline, "the batch never ran"
            child.send_signal(signal.SIGUSR1)
        assert child.stdout.readline() == "running\n"
        time.sleep(0.05)
        child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=600)
    finally:
        child.kill()
    assert out == "interrupted c_call c_exception\nusable\n", out


# Each handler runs only while the batch below runs: from the last coordinate's __index__ on
# (signals are looked at during the conversion too).
HANDLERS = {
    # A handler that lets another thread take the interpreter, which starts a batch.
    "sleep": """
        import threading
        def other():
            while True:
                assert [str(s) for s in f.fetch_many(small)] == small_expected
        threading.Thread(target=other, daemon=True).start()
        def handler(*_):
            time.sleep(0.002)
    """,
    # A handler that forks: the child returns into a batch whose workers stayed in the parent.
    "fork": """
        children = []
        def handler(*_):
            if children:  # this handler may run again inside os.fork()
                return
            children.append(None)
            children[0] = pid = os.fork()
            if pid == 0:
                signal.setitimer(signal.ITIMER_REAL, 0)
    """,
}


@pytest.mark.parametrize("handler", HANDLERS)
def test_signal_handlers_during_a_batch(genome, handler):
    code = script("""
        f = nucla.Faidx({path!r})
        small = [("small", 1, 4), ("big", 10, 20)] * 600
        small_expected = [str(f.fetch(*r)) for r in small]
        calls = 0
        in_batch = False

        class Last:
            def __index__(self):
                global in_batch
                in_batch = True
                return 1_000_003

        regions = [("big", s, s + 30) for s in range(1, 1_000_001, 3)] + [("big", Last(), 1_000_033)]
    """, path=genome) + textwrap.dedent(HANDLERS[handler]) + script("""
        def counted(*args):
            global calls
            if in_batch and calls < 3:
                calls += 1
                handler(*args)

        signal.signal(signal.SIGALRM, counted)
        signal.setitimer(signal.ITIMER_REAL, 0.01, 0.01)
        try:
            got = f.fetch_many(regions)
        except RuntimeError as e:
            assert "forked" in str(e) and children == [0], e
            os._exit(0)
        in_batch = False
        signal.setitimer(signal.ITIMER_REAL, 0)
        assert calls > 0 and len(got) == len(regions)
        assert all(str(s) == str(f.fetch(*r)) for s, r in zip(got[::97], regions[::97]))
        if "{handler}" == "fork":
            assert children[0] > 0 and os.waitpid(children[0], 0)[1] == 0
        print("ok")
    """, handler=handler)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            timeout=300)
    assert result.stdout == "ok\n", result.stderr


# In a new PID namespace (as root) the next process id can be chosen: the parent P runs a
# parallel batch and forks C, P exits, and C forks G with P's process id. G's first batch
# must run on a pool of its own.
PID_REUSE = """
    f = nucla.Faidx({path!r})
    regions = [("small", 1, 4), ("big", 10, 20)] * 600
    expected = [str(f.fetch(*r)) for r in regions]

    def fork_with_pid(pid):
        with open("/proc/sys/kernel/ns_last_pid", "w") as out:
            out.write(str(pid - 1))
        return os.fork()

    P = fork_with_pid(300)
    if P == 0:
        assert [str(s) for s in f.fetch_many(regions)] == expected
        if os.fork() == 0:  # C
            while True:  # until P is gone and reaped: its pid is free
                try:
                    os.kill(300, 0)
                except ProcessLookupError:
                    break
                time.sleep(0.01)
            G = fork_with_pid(300)
            if G == 0:
                signal.alarm(60)  # a hang ends by SIGALRM
                ok = os.getpid() == 300 and [str(s) for s in f.fetch_many(regions)] == expected
                os._exit(0 if ok else 1)
            print("grandchild:", os.waitstatus_to_exitcode(os.waitpid(G, 0)[1]), flush=True)
        os._exit(0)
    assert os.waitpid(P, 0)[1] == 0
    os.wait()  # C, reparented here when P exited
"""


@pytest.mark.skipif(os.geteuid() != 0 or not shutil.which("unshare"),
                    reason="needs root and unshare for a PID namespace")
def test_child_with_a_reused_pid(genome):
    code = script(PID_REUSE, path=genome)
    result = subprocess.run(["unshare", "--pid", "--fork", "--kill-child", sys.executable, "-c",
                             code], capture_output=True, text=True, timeout=300)
    if "unshare failed" in result.stderr or "Permission denied" in result.stderr:
        pytest.skip(result.stderr.strip())
    assert result.stdout == "grandchild: 0\n", result.stdout + result.stderr


# A signal during the conversion of a long request (refused at its last region, so that the
# call ends there unless a handler ends it first): a handler that raises stops the conversion;
# one that empties the list leaves the request as it stood.
CONVERSION = """
    f = nucla.Faidx({path!r})
    regions = [("big", s, s + 30) for s in range(1, 500_000)] + [("big", -1, 5)]
    stage = "before"

    def handler(*_):
        if stage != "calling":
            return
        if "{action}" == "raise":
            raise KeyboardInterrupt
        regions.clear()

    signal.signal(signal.SIGALRM, handler)
    stage = "calling"
    signal.setitimer(signal.ITIMER_REAL, 0.002)
    try:
        f.fetch_many(regions)
    except (KeyboardInterrupt, OverflowError) as e:
        stage = "after"
        print(type(e).__name__, len(regions))
    print(str(f.fetch("small", 1, 8)))
"""


@pytest.mark.parametrize("action, outcome", [("raise", "KeyboardInterrupt 500000"),
                                             ("clear", "OverflowError 0")])
def test_signals_during_the_conversion_of_a_request(genome, action, outcome):
    result = subprocess.run([sys.executable, "-c", script(CONVERSION, path=genome, action=action)],
                            capture_output=True, text=True, timeout=300)
    assert result.stdout == outcome + "\nACGTTGCA\n", result.stdout + result.stderr


# Daemon threads inside the array calls, the lock released, when the interpreter exits.
EXIT_DURING_ARRAYS = """
    import threading
    import numpy as np
    f = nucla.Fasta({path!r})
    starts = np.arange(4000) * 500
    names = ["big"] * 4000
    running = threading.Event()

    def loop():
        while True:
            running.set()
            f.fetch_windows(names, starts, starts + 1000, 1000, encoding="onehot", dtype="float32")
            f.fetch_packed(names, starts, starts + 700)

    for _ in range(2):
        threading.Thread(target=loop, daemon=True).start()
    running.wait()
    time.sleep(0.02)
    print("exiting", flush=True)
"""


def test_interpreter_exit_with_daemon_threads_in_array_calls(genome):
    pytest.importorskip("numpy")
    code = script(EXIT_DURING_ARRAYS, path=genome)
    for _ in range(5):
        result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                                timeout=120)
        assert (result.returncode, result.stdout, result.stderr) == (0, "exiting\n", "")


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="per-thread nice values: Linux")
@pytest.mark.parametrize("caller_nice", [0, 3])
def test_pool_threads_run_at_the_callers_priority(genome, caller_nice):
    """Which work gives way to which is the caller's choice: the pool's threads, made by a
    batch, keep the nice value of the thread that made them."""
    code = script("""
        os.nice({caller_nice})
        # (An emulator may run threads of its own, made before this one could change its nice.)
        before = set(os.listdir("/proc/self/task")) - {{str(os.getpid())}}
        f = nucla.Fasta({path!r})
        f.fetch_many([("big", s, s + 99) for s in range(1, 200_001, 100)])
        def nice(tid):
            with open(f"/proc/self/task/{{tid}}/stat") as stat:
                return int(stat.read().rsplit(")", 1)[1].split()[16])
        print(sorted(nice(t) for t in set(os.listdir("/proc/self/task")) - before))
    """, path=genome, caller_nice=caller_nice)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            timeout=120, env={**os.environ, "RAYON_NUM_THREADS": "3"})
    assert result.returncode == 0, result.stderr
    assert result.stdout == f"{[caller_nice] * 3}\n"

"""qel.distributed and `qel mine --scheduler` on a LocalCluster of two worker processes: the
module's motifs, even when a worker is killed in the middle of a run."""
import contextlib
import io
import logging
import os
import random
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest
from unittest import mock

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.abspath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "bench"))
sys.path.insert(0, HERE)

dask = pytest.importorskip("dask")
dask_distributed = pytest.importorskip("distributed")
numpy = pytest.importorskip("numpy")

import dask.array  # noqa: E402
import dask.bag  # noqa: E402

import _qel_cpp  # noqa: E402
import compare  # noqa: E402
from qel import cli, cluster, distributed  # noqa: E402
from test_distributed import NAMES, as_dicts, differences, planted_set, verified_differences  # noqa: E402

PARAMETERS = (0.3, 4, 4, 3, 0, 0.8)
# How long a step may take on a loaded 2-core machine, where starting a worker process (and
# importing NumPy, Dask and the module in it) has taken over 30 s.
PATIENCE_SECONDS = 240


def wait_for_workers(client, count):
    """Waits for `count` workers, failing with how many came and how long that took."""
    began = time.monotonic()
    try:
        client.wait_for_workers(count, timeout=PATIENCE_SECONDS)
    except (TimeoutError, OSError) as error:
        arrived = len(client.scheduler_info()["workers"])
        pytest.fail(f"{arrived} of {count} workers arrived in {time.monotonic() - began:.0f} s: "
                    f"the machine is too slow to start worker processes ({error})")


@pytest.fixture(scope="module")
def client(tmp_path_factory):
    scratch = str(tmp_path_factory.mktemp("dask"))
    # A killed worker is started again by its nanny; the cluster closes that nanny for good when
    # the new process has not joined within the lost-worker timeout (15 s by default), which a
    # loaded machine can take. The cluster waits as long as the tests do.
    with dask.config.set({"temporary-directory": scratch,
                          "distributed.deploy.lost-worker-timeout": f"{PATIENCE_SECONDS}s"}), \
            dask_distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                          silence_logs=logging.ERROR, local_directory=scratch) as local, \
            dask_distributed.Client(local) as client:
        wait_for_workers(client, 2)
        yield client


def walks(seed, count=48, points=100):
    return numpy.cumsum(numpy.random.default_rng(seed).normal(size=(count, points)), axis=1)


def agree(table, got):
    want = as_dicts(_qel_cpp.Miner(*PARAMETERS).mine(table))
    test_case = compare.Case("Miner", PARAMETERS[:2], data=table.tolist())
    assert len(want) > 3
    assert compare.compare_ranked(test_case, want, as_dicts(got), NAMES, truncated=False) == []


def test_random_cases_agree_and_run_on_the_default_client(client):
    cases = [case for case in (compare.make_case(29, i) for i in range(40)) if case.kind == "Miner"][:10]
    with dask_distributed.get_task_stream(client) as tasks:
        for index, case in enumerate(cases):
            assert differences(case, random.Random(index)) == [], case.call_text()
    assert len(tasks.data) > len(cases)


def slow_marked(function, folder):
    """`function`, but each call first leaves a file naming its process and takes a while."""
    def slowed(*arguments):
        import os
        import time
        with open(os.path.join(folder, f"{time.monotonic_ns()}-{os.getpid()}"), "w"):
            pass
        time.sleep(0.4)
        return function(*arguments)
    return slowed


def killing_a_worker(client, folder, run):
    """run(), in a thread, while the worker that starts the third slowed task is killed as it
    runs that task; what run() returned once the cluster has its two workers back."""
    workers = set(client.run(os.getpid).values())
    outcome = {}
    thread = threading.Thread(target=lambda: outcome.update(got=run()))
    thread.start()
    began = time.monotonic()
    while len(os.listdir(folder)) < 3 and time.monotonic() < began + PATIENCE_SECONDS:
        time.sleep(0.02)
    assert len(os.listdir(folder)) >= 3, (
        f"only {len(os.listdir(folder))} of 3 slowed tasks started in {PATIENCE_SECONDS} s")
    victim = int(sorted(os.listdir(folder))[-1].split("-")[1])
    assert victim in workers
    os.kill(victim, signal.SIGKILL)
    thread.join(PATIENCE_SECONDS)
    assert not thread.is_alive(), f"the run did not end within {PATIENCE_SECONDS} s of the kill"
    wait_for_workers(client, 2)
    # The surviving worker still runs the slowed step: the module again, as it was.
    client.run(lambda: __import__("importlib").reload(__import__("qel.distributed").distributed))
    assert victim not in client.run(os.getpid).values()
    assert "got" in outcome
    return outcome["got"]


@pytest.mark.parametrize("step", ["loading", "pass 1"])
def test_a_worker_killed_mid_run_changes_nothing(client, tmp_path, step):
    """The worker running the third slowed task is killed while it runs: that task and the
    partitions the worker holds are lost, and Dask makes them again from their sources."""
    table = walks(8)
    folder = str(tmp_path)
    parts = [table[start:start + 6] for start in range(0, len(table), 6)]
    if step == "loading":
        parts = [dask.delayed(slow_marked(lambda rows: rows, folder), pure=False)(part) for part in parts]
    else:
        # A bag's partitions are made by tasks, whose results the run no longer holds once
        # discretised: losing a discretised partition means running them again.
        parts = dask.bag.from_sequence(list(table), npartitions=8)

        def slow_pass():
            from qel import distributed
            distributed._average_sums = slow_marked(distributed._average_sums, folder)
        client.run(slow_pass)
    agree(table, killing_a_worker(client, folder, lambda: distributed.mine(parts, *PARAMETERS, client=client)))


@pytest.mark.parametrize("step", ["_offered_matches", "_measure_rows"])
def test_verified_motifs_survive_a_worker_killed_mid_run(client, tmp_path, step):
    """`mine_verified` on the cluster gives `qel.mine`'s motifs, even when the worker running
    the third slowed task of a step (candidates from the miner's motifs, or the final
    measurement) is killed: the partitions it held are made again from their sources."""
    import qel
    series = planted_set(5, 30, 260)
    want = qel.mine(series, 48, top=3, seed=2)
    folder = str(tmp_path)

    def slow_step():
        from qel import distributed
        setattr(distributed, step, slow_marked(getattr(distributed, step), folder))
    client.run(slow_step)
    parts = [series[start:start + 4] for start in range(0, len(series), 4)]
    got = killing_a_worker(client, folder, lambda: distributed.mine_verified(parts, 48, top=3, seed=2, client=client))
    assert verified_differences(want, got) == []


@pytest.mark.parametrize("form", ["delayeds", "array"])
def test_a_set_held_by_one_worker_is_prepared_on_both(client, form):
    """Each step runs where the prepared partitions are, so a set persisted on one worker is
    planned half there and half on the other (the last half moving once), and mines as in one
    process. Where each task ran is Dask's to change (an idle worker may take one back)."""
    table = walks(11)
    one, other = sorted(client.scheduler_info()["workers"])
    if form == "delayeds":
        parts = [dask.delayed(numpy.array)(table[start:start + 6]) for start in range(0, len(table), 6)]
    else:
        parts = dask.array.from_array(table, chunks=(6, -1))
    parts = client.persist(parts, workers=[one])
    dask_distributed.wait(parts)
    held = [distributed._persisted(source) for source in distributed._sources(parts)]
    assert all(isinstance(source, dask_distributed.Future) for source in held)
    assert distributed._Runner(client)._even_places(held) == [one] * 4 + [other] * 4
    agree(table, distributed.mine(parts, *PARAMETERS, client=client))


class ToolTest(unittest.TestCase):
    """`qel mine --scheduler` in this process, against the module's cluster."""

    @pytest.fixture(autouse=True)
    def attach(self, client, tmp_path):
        self.address = client.scheduler.address
        self.folder = tmp_path

    def run_tool(self, *arguments):
        out, err = io.StringIO(), io.StringIO()
        with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
            status = cli.main(["mine", *arguments])
        return status, out.getvalue(), err.getvalue()

    def write(self, name, rows):
        path = os.path.join(self.folder, name)
        with open(path, "w") as stream:
            stream.write(rows)
        return path

    def test_the_table_is_the_one_mining_in_process_gives(self):
        table = walks(5, count=30, points=80)
        first = self.write("a.csv", "\n".join(",".join(f"{v:.6f}" for v in row) for row in table[:17]) + "\n")
        second = self.write("b.txt", "# walks\n\n" + "\n".join(" ".join(f"{v:.6f}" for v in row) for row in table[17:]))
        options = ["--minsup", "0.3", "-k", "6", first, second]
        status, plain, _ = self.run_tool("--rank", "naed", *options)
        self.assertEqual(status, 0)
        status, spread, err = self.run_tool("--scheduler", self.address, *options)
        self.assertEqual((status, err), (0, ""))
        self.assertEqual(spread.splitlines()[0], f"a.csv + b.txt: 30 series, mined on {self.address}")
        self.assertEqual(spread.splitlines()[1:], plain.splitlines()[1:])
        self.assertIn("rank  pattern", spread)

    def test_what_it_cannot_read_or_do_is_one_line(self):
        column = self.write("column.csv", "1\n2\n3\n4\n")
        header = self.write("header.csv", "a,b,c\n1,2,3\n")
        bad = self.write("bad.csv", "1,2,3,4\n5,x,7,8\n")
        gap = self.write("gap.csv", "1,2,3,4\n5,,7,8\n")
        for arguments, words in [
                ([column], "one value per line"), ([header], "header line"),
                ([bad], "not a finite number: 'x'"), ([gap], "missing value inside a series"),
                ([bad, "--plot", "x.png"], "--plot is not available"),
                ([os.path.join(HERE, "data", "small.arff")], "one series per line"), ([], "needs FILEs")]:
            with self.subTest(arguments=arguments):
                status, _, err = self.run_tool("--seglen", "1", "--scheduler", self.address, *arguments)
                self.assertEqual(status, 2, err)
                self.assertEqual(len(err.splitlines()), 1, err)
                self.assertIn(words, err)

    def test_a_scheduler_that_is_not_there_is_one_line(self):
        path = self.write("a.csv", "1,2,3,4\n")
        with mock.patch.object(cluster, "CONNECT_SECONDS", 1):
            status, _, err = self.run_tool("--scheduler", "tcp://127.0.0.1:9", path)
        self.assertEqual(status, 2)
        self.assertIn("cannot reach a Dask scheduler", err)
        status, _, err = self.run_tool("--scheduler", "local:0", path)
        self.assertIn("local:N needs N from 1", err)

    def test_local_starts_its_own_cluster(self):
        path = self.write("a.csv", "\n".join(",".join(map(str, row)) for row in walks(6, 12, 40)))
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(
            os.path.abspath(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p))
        result = subprocess.run([sys.executable, "-m", "qel", "mine", "--minsup", "0.5", "--scheduler", "local:1",
                                 path], capture_output=True, text=True, env=env,
                                timeout=PATIENCE_SECONDS)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("12 series, mined on local:1", result.stdout)


def test_a_local_cluster_leaves_no_scratch_space(tmp_path):
    """`--scheduler local:N` keeps Dask's scratch space in a folder of its own run, removed
    afterwards, and its workers keep glibc's own malloc tuning."""
    with mock.patch.object(tempfile, "tempdir", str(tmp_path)), \
            mock.patch.dict(os.environ, {}, clear=False) as environ:
        environ.pop("MALLOC_TRIM_THRESHOLD_", None)
        with cluster.connect("local:1") as client:
            assert list(client.run(lambda: os.environ.get("MALLOC_TRIM_THRESHOLD_")).values()) == [None]
            assert len(os.listdir(tmp_path)) == 1
    assert os.listdir(tmp_path) == []

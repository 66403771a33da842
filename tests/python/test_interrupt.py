"""Ctrl-C stops a long mine within a fraction of a second and leaves the miner usable."""
import os
import signal
import subprocess
import sys
import textwrap
import time

CHILD = textwrap.dedent("""
    import random, sys, time
    import _qel_cpp

    # One long random series: every substring is frequent, so mining runs for minutes.
    rng = random.Random(3)
    series = [[rng.gauss(0.0, 1.0) for _ in range(30000)]]
    small = [[0, 0, 5, 5, 9, 9, 5, 5], [1, 1, 1, 1, 4, 4, 8, 8, 4, 4]]
    expected = [(m.pattern, m.indexes, m.best_matches) for m in
                _qel_cpp.Miner(1.0, 1, 10, min_len=2).mine(small)]
    miner = _qel_cpp.Miner(1.0, 1, 10, min_len=2)
    print("mining", flush=True)
    try:
        miner.mine(series)
        print("finished", flush=True)
    except KeyboardInterrupt:
        print(f"interrupted {time.monotonic():.6f}", flush=True)
    again = [(m.pattern, m.indexes, m.best_matches) for m in miner.mine(small)]
    print("same" if again == expected else f"different: {again} {expected}", flush=True)
""")


def test_sigint_stops_a_long_mine_and_the_miner_still_works():
    with subprocess.Popen([sys.executable, "-c", CHILD], stdout=subprocess.PIPE, text=True) as child:
        try:
            assert child.stdout.readline().strip() == "mining"
            time.sleep(1.0)
            sent = time.monotonic()
            child.send_signal(signal.SIGINT)
            words = child.stdout.readline().split()
            assert words[0] == "interrupted", words
            latency = float(words[1]) - sent
            print(f"KeyboardInterrupt raised {latency * 1000:.0f} ms after SIGINT")
            # A generous bound: the check runs every few milliseconds of work, but a loaded
            # machine may not schedule the child at once.
            assert latency < 2.0
            assert child.stdout.readline().strip() == "same"
            assert child.wait(timeout=60) == 0
        finally:
            child.kill()

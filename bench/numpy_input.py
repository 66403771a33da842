"""How much faster a 2-D NumPy array reaches the module than the same values as lists.

Converts 1,000 series of 10,000 points given in several forms and prints the best of five
times. Conversion alone is timed through a call that is refused right after its argument is
converted (`sax` with alphabet 11); a whole `sax` call is timed too. The figures come twice:
as a process normally runs, where every call writes its copy into memory fresh from the
kernel (on a VM each new page costs microseconds), and with glibc told to keep freed memory
(MALLOC_TRIM_THRESHOLD_), which leaves the conversion's own work.
Run: PYTHONPATH=build .venv/bin/python bench/numpy_input.py
"""
import os
import subprocess
import sys
import time

SERIES, POINTS = 1000, 10_000


def best_time(call, repeat=5):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - start)
    return best


def measure():
    import numpy as np

    import _qel_cpp

    def convert(series_set):
        try:
            _qel_cpp.sax(series_set, 1, 11)
        except ValueError:
            pass

    array = np.random.default_rng(1).standard_normal((SERIES, POINTS))
    lists = array.tolist()
    assert _qel_cpp.sax(array, 10, 10) == _qel_cpp.sax(lists, 10, 10)
    forms = {
        "lists of floats": lists,
        "2-D float64 array": array,
        "list of 1-D arrays": list(array),
        "2-D float32 array": array.astype(np.float32),
        "Fortran-order array": np.asfortranarray(array),
    }
    base = {}
    for name, form in forms.items():
        conversion = best_time(lambda: convert(form))
        whole = best_time(lambda: _qel_cpp.sax(form, 10, 5))
        base.setdefault("conversion", conversion)
        base.setdefault("whole", whole)
        print(f"  {name:20s} {conversion * 1000:7.1f} ms ({base['conversion'] / conversion:4.1f}x)"
              f"   {whole * 1000:7.1f} ms ({base['whole'] / whole:4.1f}x)")


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--measure":
        measure()
        return
    runs = {"fresh memory (as a process normally runs)": {},
            "freed memory kept by glibc": {"MALLOC_TRIM_THRESHOLD_": str(1 << 32),
                                           "MALLOC_TOP_PAD_": str(1 << 28)}}
    print(f"{SERIES} series x {POINTS:,} points; best of 5; (x: times faster than the lists)")
    print(f"  {'form':20s} {'conversion':>20s}   {'sax(seglen 10)':>17s}")
    for title, extra in runs.items():
        print(f"{title}:", flush=True)
        subprocess.run([sys.executable, __file__, "--measure"], env=dict(os.environ, **extra), check=True)


if __name__ == "__main__":
    main()

"""Before/after throughput of `parse` for two builds of the module, in one process.

    .venv/bin/python bench/ab.py BEFORE_BUILD_DIR AFTER_BUILD_DIR [ROUNDS] [WORKLOAD,...]

Each build directory holds a built `velmora` extension (for example `tools/build.sh` into two
folders, one per commit). Both are loaded side by side under their own module objects, every
workload is checked to give the same result from both, and then the two are called in
alternating order, round after round, so that noise from the machine hits both alike. Prints
the median throughput of each in MB/s (UTF-8 bytes, 1 MB = 10^6 bytes) and their ratio.
"""
import gc
import glob
import importlib.machinery
import importlib.util
import pathlib
import statistics
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import workloads  # noqa: E402


def load(build_dir):
    path = glob.glob(str(pathlib.Path(build_dir) / "velmora.cpython-*.so"))[0]
    loader = importlib.machinery.ExtensionFileLoader("velmora", path)
    found = importlib.util.spec_from_file_location("velmora", path, loader=loader)
    module = importlib.util.module_from_spec(found)
    loader.exec_module(module)
    return module


def main(argv):
    if len(argv) < 3:
        sys.exit(__doc__)
    builds = {"before": load(argv[1]), "after": load(argv[2])}
    rounds = int(argv[3]) if len(argv) > 3 else 15
    chosen = argv[4].split(",") if len(argv) > 4 else None
    print(f"{'workload':20} {'before MB/s':>11} {'after MB/s':>11} {'after/before':>12}")
    for name, make in {**workloads.MAIN, **workloads.REAL_WORLD}.items():
        if chosen and name not in chosen:
            continue
        text = make(2_000_000)
        size = len(text.encode()) / 1e6
        assert builds["before"].parse(text) == builds["after"].parse(text), name
        times = {k: [] for k in builds}
        for r in range(rounds):
            for k in ("before", "after") if r % 2 == 0 else ("after", "before"):
                gc.collect()
                start = time.perf_counter()
                result = builds[k].parse(text)
                times[k].append(time.perf_counter() - start)
                del result
        before = size / statistics.median(times["before"])
        after = size / statistics.median(times["after"])
        print(f"{name:20} {before:11.1f} {after:11.1f} {after / before:12.3f}", flush=True)


if __name__ == "__main__":
    main(sys.argv)

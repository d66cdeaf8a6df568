#!/usr/bin/env python3
"""Whole-file timings on the corpus: the literal baseline, each vector path of
the real programs, and general-purpose compressors for context.

Builds nothing: it is given the binaries. For every file and method it runs
compression and decompression several times, takes the median wall time,
checks that the round trip restores the file, and prints a Markdown table of
compressed size, bits per byte, MB/s each way and speed-up over the literal
baseline each way. The last row per method is the whole corpus (sums).

  bench/run_corpus.py --compressor build/compressor \
      --decompressor build/decompressor \
      --literal build/bench/literal_compressor [--runs 3] [--files book1 ...]

Timings are wall-clock on whatever else the machine is doing: run it on an
idle machine, or read the figures as upper bounds.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time


def cpu_flags():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("flags"):
                    return set(line.split(":", 1)[1].split())
    except OSError:
        pass
    return set()


# Largest resident set of any run, per method name, in KiB.
peak_kib = {}


# GNU time reports the peak resident set of the program alone; a child
# forked from Python would also count Python's own pages from before exec.
GNU_TIME = "/usr/bin/time" if os.access("/usr/bin/time", os.X_OK) else None


def timed(cmd, env=None, stdin=None, stdout=None):
    """Runs cmd; returns (wall seconds, peak resident set in KiB or 0)."""
    with tempfile.NamedTemporaryFile("r") as report:
        wrapped = [GNU_TIME, "-o", report.name, "-f", "%M"] + cmd if GNU_TIME else cmd
        start = time.perf_counter()
        subprocess.run(wrapped, env=env, stdin=stdin, stdout=stdout, stderr=subprocess.DEVNULL, check=True)
        elapsed = time.perf_counter() - start
        text = report.read().strip()
    return elapsed, int(text.splitlines()[-1]) if GNU_TIME and text else 0


def measure_once(method, src, work):
    """One compress and decompress of src: (compressed size, compress s, decompress s)."""
    packed = os.path.join(work, "packed")
    restored = os.path.join(work, "restored")
    seconds = []
    for fn, path_in, path_out in (("compress", src, packed), ("decompress", packed, restored)):
        s, kib = method[fn](path_in, path_out)
        seconds.append(s)
        peak_kib[method["name"]] = max(peak_kib.get(method["name"], 0), kib)
    with open(src, "rb") as a, open(restored, "rb") as b:
        if a.read() != b.read():
            sys.exit(f"{method['name']}: {src} did not round-trip")
    return os.path.getsize(packed), seconds[0], seconds[1]


def program_method(name, compressor, decompressor, path=None):
    env = dict(os.environ)
    if path:
        env["BYTEMIX_SIMD"] = path
    quiet = subprocess.DEVNULL
    return {
        "name": name,
        "compress": lambda s, d: timed([compressor, s, d], env=env, stdout=quiet),
        "decompress": lambda s, d: timed([decompressor, s, d], env=env, stdout=quiet),
    }


def literal_method(binary):
    quiet = subprocess.DEVNULL
    return {
        "name": "literal",
        "compress": lambda s, d: timed([binary, "compress", s, d], stdout=quiet),
        "decompress": lambda s, d: timed([binary, "decompress", s, d], stdout=quiet),
    }


def stream_method(name, tool, level):
    def compress(s, d):
        with open(s, "rb") as i, open(d, "wb") as o:
            return timed([tool, level, "-c"], stdin=i, stdout=o)

    def decompress(s, d):
        with open(s, "rb") as i, open(d, "wb") as o:
            return timed([tool, "-d", "-c"], stdin=i, stdout=o)

    return {"name": f"{os.path.basename(tool)} {level}", "compress": compress, "decompress": decompress}


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--compressor", required=True)
    ap.add_argument("--decompressor", required=True)
    ap.add_argument("--literal", required=True, help="bench/literal_compressor")
    ap.add_argument("--baseline-programs", nargs=2, metavar=("COMPRESSOR", "DECOMPRESSOR"),
                    help="programs to time first and to measure the speed-ups against, e.g. a "
                         "build of an earlier version; default: the literal model")
    ap.add_argument("--corpus", default=os.path.join(here, "..", "testdata", "calgary"))
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--files", nargs="*", help="corpus files (default: all)")
    ap.add_argument("--no-others", action="store_true", help="skip gzip, bzip2, xz, zstd")
    args = ap.parse_args()

    files = args.files or sorted(os.listdir(args.corpus))
    flags = cpu_flags()
    methods = [literal_method(args.literal), program_method("portable", args.compressor, args.decompressor, "portable")]
    baseline = "literal"
    if args.baseline_programs:
        baseline = "baseline"
        methods.insert(0, program_method(baseline, *args.baseline_programs))
    if "avx2" in flags and "fma" in flags:
        methods.append(program_method("avx2", args.compressor, args.decompressor, "avx2"))
    if "avx512f" in flags:
        methods.append(program_method("avx512", args.compressor, args.decompressor, "avx512"))
    if not args.no_others:
        for tool, level in (("gzip", "-9"), ("bzip2", "-9"), ("xz", "-9"), ("zstd", "-19")):
            if shutil.which(tool):
                methods.append(stream_method(shutil.which(tool), tool, level))
                methods[-1]["name"] = f"{tool} {level}"

    # The methods take turns run by run, so that a change in the machine's
    # load during the measurement touches them all alike.
    results = {}  # (method, file) -> (size, median ctime, median dtime)
    with tempfile.TemporaryDirectory() as work:
        for f in files:
            src = os.path.join(args.corpus, f)
            times = {m["name"]: ([], []) for m in methods}
            size = {}
            for _ in range(args.runs):
                for m in methods:
                    size[m["name"]], ct, dt = measure_once(m, src, work)
                    times[m["name"]][0].append(ct)
                    times[m["name"]][1].append(dt)
            for m in methods:
                ct, dt = times[m["name"]]
                results[(m["name"], f)] = (size[m["name"]], statistics.median(ct), statistics.median(dt))
            print(f"  {f:8} done", file=sys.stderr)

    sizes = {f: os.path.getsize(os.path.join(args.corpus, f)) for f in files}
    print(f"Median of {args.runs} runs, wall clock; MB = 10^6 bytes; speed-up = {baseline} time / time.\n")
    print("| file | method | size | bits/byte | compress MB/s | decompress MB/s | speed-up c | speed-up d |")
    print("|---|---|---:|---:|---:|---:|---:|---:|")
    rows = files + (["(all)"] if len(files) > 1 else [])
    for f in rows:
        for m in methods:
            name = m["name"]
            if f == "(all)":
                n = sum(sizes.values())
                size = sum(results[(name, g)][0] for g in files)
                ct = sum(results[(name, g)][1] for g in files)
                dt = sum(results[(name, g)][2] for g in files)
                lc = sum(results[(baseline, g)][1] for g in files)
                ld = sum(results[(baseline, g)][2] for g in files)
            else:
                n = sizes[f]
                size, ct, dt = results[(name, f)]
                _, lc, ld = results[(baseline, f)]
            print(f"| {f} | {name} | {size} | {8 * size / n:.3f} | {n / ct / 1e6:.2f} | {n / dt / 1e6:.2f} "
                  f"| {lc / ct:.1f}x | {ld / dt:.1f}x |")


    if GNU_TIME:
        print("\nPeak resident set of any run (KiB): " +
              ", ".join(f"{m['name']} {peak_kib[m['name']]}" for m in methods))


if __name__ == "__main__":
    main()

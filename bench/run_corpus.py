#!/usr/bin/env python3
"""Whole-file timings on the corpus: the literal model, every vector path of
the real programs, and general-purpose compressors for context.

Builds nothing: it is given the binaries. Every round runs every method on
every file once, compressing and decompressing, in an order that reverses
from one round to the next, and checks each round trip. Times are processor
time (user + system) of the program alone, so that other work on the
machine weighs less than on the wall clock. A speed-up is the literal
model's time divided by the method's time in the same round (paired runs);
the tables give the median of those ratios over the rounds and, for the
whole corpus, their quartiles.

  bench/run_corpus.py --compressor build/compressor \\
      --decompressor build/decompressor \\
      --literal build/bench/literal_compressor [--runs 3] [--files book1 ...] \\
      [--paths avx512 avx2 ...] [--no-others] [--per-file] [--json run.json]

The paths default to every name the programs accept on this processor
(BYTEMIX_SIMD). --json writes the figures for bench/plot_corpus.py.
"""
import argparse
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile

KNOWN_PATHS = ["avx512", "avx2", "sse4", "neon", "scalar"]


# GNU time reports the peak resident set of the program alone; a process
# forked from Python would also count Python's own pages from before exec.
GNU_TIME = "/usr/bin/time" if os.access("/usr/bin/time", os.X_OK) else None


def run(cmd, env=None, stdin=None, stdout=None):
    """Runs cmd; returns (processor seconds, peak resident set in KiB or 0)."""
    with tempfile.NamedTemporaryFile("r") as report:
        wrapped = [GNU_TIME, "-o", report.name, "-f", "%M"] + cmd if GNU_TIME else cmd
        proc = subprocess.Popen(wrapped, env=env, stdin=stdin, stdout=stdout, stderr=subprocess.DEVNULL)
        # The usage of the process and of what it waited for: the program,
        # and GNU time's own start, well under a millisecond.
        _, status, usage = os.wait4(proc.pid, 0)
        proc.returncode = os.waitstatus_to_exitcode(status)
        if proc.returncode != 0:
            sys.exit(f"{' '.join(cmd)} exited with status {proc.returncode}")
        text = report.read().strip()
    return usage.ru_utime + usage.ru_stime, int(text.splitlines()[-1]) if GNU_TIME and text else 0


def program_method(name, compressor, decompressor, path):
    env = dict(os.environ, BYTEMIX_SIMD=path)
    quiet = subprocess.DEVNULL
    return {
        "name": name,
        "compress": lambda s, d: run([compressor, s, d], env=env, stdout=quiet),
        "decompress": lambda s, d: run([decompressor, s, d], env=env, stdout=quiet),
    }


def literal_method(binary):
    quiet = subprocess.DEVNULL
    return {
        "name": "literal",
        "compress": lambda s, d: run([binary, "compress", s, d], stdout=quiet),
        "decompress": lambda s, d: run([binary, "decompress", s, d], stdout=quiet),
    }


def stream_method(tool, level):
    path = shutil.which(tool)

    def compress(s, d):
        with open(s, "rb") as i, open(d, "wb") as o:
            return run([path, level, "-c"], stdin=i, stdout=o)

    def decompress(s, d):
        with open(s, "rb") as i, open(d, "wb") as o:
            return run([path, "-d", "-c"], stdin=i, stdout=o)

    return {"name": f"{tool} {level}", "compress": compress, "decompress": decompress}


def runnable_paths(compressor):
    """The BYTEMIX_SIMD names the compressor accepts here (it refuses others)."""
    with tempfile.TemporaryDirectory() as work:
        empty = os.path.join(work, "empty")
        open(empty, "wb").close()
        found = []
        for name in KNOWN_PATHS:
            status = subprocess.run([compressor, empty, empty + ".ari"], env=dict(os.environ, BYTEMIX_SIMD=name),
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode
            if status == 0:
                found.append(name)
        return found


def machine():
    model = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return f"{model}, {os.cpu_count()} processors, {platform.system()} {platform.release()}"


def quartiles(values):
    v = sorted(values)
    n = len(v)
    return v[n // 4], statistics.median(v), v[(3 * n) // 4]


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--compressor", required=True)
    ap.add_argument("--decompressor", required=True)
    ap.add_argument("--literal", required=True, help="bench/literal_compressor, the baseline")
    ap.add_argument("--corpus", default=os.path.join(here, "..", "testdata", "calgary"))
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--files", nargs="*", help="corpus files (default: all)")
    ap.add_argument("--paths", nargs="*", help="vector paths to time (default: all that run here)")
    ap.add_argument("--no-others", action="store_true", help="skip gzip, bzip2, xz, zstd")
    ap.add_argument("--per-file", action="store_true", help="also print a row per file")
    ap.add_argument("--json", help="write the figures to this file")
    args = ap.parse_args()

    files = args.files or sorted(os.listdir(args.corpus))
    paths = args.paths if args.paths is not None else runnable_paths(args.compressor)
    methods = [literal_method(args.literal)]
    methods += [program_method(p, args.compressor, args.decompressor, p) for p in paths]
    if not args.no_others:
        methods += [stream_method(t, l) for t, l in (("gzip", "-9"), ("bzip2", "-9"), ("xz", "-9"), ("zstd", "-19"))
                    if shutil.which(t)]
    names = [m["name"] for m in methods]

    # times[name][direction][round][file] = processor seconds
    times = {n: {"c": [], "d": []} for n in names}
    size = {}
    peak = {n: 0 for n in names}
    with tempfile.TemporaryDirectory() as work:
        packed, restored = os.path.join(work, "packed"), os.path.join(work, "restored")
        for r in range(args.runs):
            for n in names:
                times[n]["c"].append({})
                times[n]["d"].append({})
            for f in files:
                src = os.path.join(args.corpus, f)
                for m in (methods if r % 2 == 0 else methods[::-1]):
                    n = m["name"]
                    ct, ckib = m["compress"](src, packed)
                    dt, dkib = m["decompress"](packed, restored)
                    with open(src, "rb") as a, open(restored, "rb") as b:
                        if a.read() != b.read():
                            sys.exit(f"{n}: {f} did not round-trip")
                    size[(n, f)] = os.path.getsize(packed)
                    times[n]["c"][r][f], times[n]["d"][r][f] = ct, dt
                    peak[n] = max(peak[n], ckib, dkib)
            print(f"  round {r + 1} of {args.runs} done", file=sys.stderr)

    lengths = {f: os.path.getsize(os.path.join(args.corpus, f)) for f in files}

    def figures(name, group):
        """Size, median processor times and paired speed-ups for files in group."""
        n_bytes = sum(lengths[f] for f in group)
        out = {"bytes": n_bytes, "size": sum(size[(name, f)] for f in group)}
        for d in ("c", "d"):
            per_round = [sum(rt[f] for f in group) for rt in times[name][d]]
            base = [sum(rt[f] for f in group) for rt in times["literal"][d]]
            out[d + "_seconds"] = statistics.median(per_round)
            out[d + "_speedup"] = quartiles([b / t for b, t in zip(base, per_round)])
        return out

    results = {n: {"(all)": figures(n, files)} for n in names}
    if args.per_file:
        for n in names:
            for f in files:
                results[n][f] = figures(n, [f])

    print(f"Machine: {machine()}.")
    print(f"{args.runs} rounds; processor time (user + system); MB = 10^6 bytes; speed-up = literal model's "
          f"time / time in the same round, median (quartiles for the whole corpus).\n")
    print("| file | method | size | bits/byte | compress MB/s | decompress MB/s | speed-up c | speed-up d |")
    print("|---|---|---:|---:|---:|---:|---:|---:|")
    rows = (files if args.per_file else []) + ["(all)"]
    for f in rows:
        for n in names:
            r = results[n][f]
            cq, dq = r["c_speedup"], r["d_speedup"]
            c_text, d_text = f"{cq[1]:.2f}x", f"{dq[1]:.2f}x"
            if f == "(all)" and args.runs >= 4:
                c_text += f" ({cq[0]:.2f}-{cq[2]:.2f})"
                d_text += f" ({dq[0]:.2f}-{dq[2]:.2f})"
            print(f"| {f} | {n} | {r['size']} | {8 * r['size'] / r['bytes']:.3f} | "
                  f"{r['bytes'] / r['c_seconds'] / 1e6:.2f} | {r['bytes'] / r['d_seconds'] / 1e6:.2f} | "
                  f"{c_text} | {d_text} |")
    print("\nPeak resident set of any run (KiB): " + ", ".join(f"{n} {peak[n]}" for n in names))

    if args.json:
        with open(args.json, "w") as out:
            json.dump({"machine": machine(), "runs": args.runs, "files": files, "results": results,
                       "peak_kib": peak}, out, indent=1)


if __name__ == "__main__":
    main()

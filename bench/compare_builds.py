#!/usr/bin/env python3
"""Paired timings of two or more builds of the programs.

Each round runs every build once on the given files, compressing and then
decompressing each, one build after the other in an order that reverses
from round to round; each build's processor time (user + system, summed over
the files) is divided by the first build's time of the same round. The
median of those ratios, with its quartiles, says how the builds compare: on
a machine whose speed drifts from minute to minute it holds steady where
medians of separate runs do not, as the runs of a pair see nearly the same
machine. A ratio below 1 means faster than the first build.

  bench/compare_builds.py --rounds 15 --file testdata/calgary/book1 \\
      before=old-build/ after=build/
  bench/compare_builds.py --corpus testdata/calgary --simd avx2 before=... after=...

A build is a directory holding `compressor` and `decompressor`. Every run's
output is checked: the compressed files of all builds must be the same bytes,
and each decompression must restore the file.
"""
import argparse
import filecmp
import os
import statistics
import subprocess
import sys
import tempfile


def processor_time(args, env):
    proc = subprocess.Popen(args, env=env, stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(proc.pid, 0)
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"{' '.join(args)} failed")
    return usage.ru_utime + usage.ru_stime


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--file", action="append", default=[], help="a file to code (repeatable)")
    parser.add_argument("--corpus", help="code every file of this folder too")
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--simd", help="BYTEMIX_SIMD for every run")
    parser.add_argument("builds", nargs="+", metavar="NAME=DIR")
    args = parser.parse_args()
    files = list(args.file)
    if args.corpus:
        files += [os.path.join(args.corpus, f) for f in sorted(os.listdir(args.corpus))]
    if not files:
        parser.error("give --file or --corpus")
    builds = []
    for argument in args.builds:
        name, sep, directory = argument.partition("=")
        if not sep:
            parser.error(f"expected NAME=DIR, got {argument!r}")
        builds.append((name, directory))
    if len(builds) < 2:
        parser.error("give at least two builds")
    env = dict(os.environ)
    if args.simd:
        env["BYTEMIX_SIMD"] = args.simd

    times = {(name, d): [] for name, _ in builds for d in ("c", "d")}
    with tempfile.TemporaryDirectory() as work:
        reference = {}
        for k, f in enumerate(files):
            reference[f] = os.path.join(work, f"{k}.ref")
            subprocess.run([os.path.join(builds[0][1], "compressor"), f, reference[f]], env=env,
                           stdout=subprocess.DEVNULL, check=True)
        packed, restored = os.path.join(work, "packed"), os.path.join(work, "restored")
        for r in range(args.rounds):
            for name, directory in (builds if r % 2 == 0 else builds[::-1]):
                c = d = 0.0
                for f in files:
                    c += processor_time([os.path.join(directory, "compressor"), f, packed], env)
                    if not filecmp.cmp(packed, reference[f], shallow=False):
                        sys.exit(f"{name}: {f} compressed to other bytes than {builds[0][0]}'s")
                    d += processor_time([os.path.join(directory, "decompressor"), packed, restored], env)
                    if not filecmp.cmp(restored, f, shallow=False):
                        sys.exit(f"{name}: {f} did not round-trip")
                times[(name, "c")].append(c)
                times[(name, "d")].append(d)

    first = builds[0][0]
    what = os.path.basename(files[0]) if len(files) == 1 else f"{len(files)} files"
    print(f"{what}, {args.rounds} rounds, processor time; ratio = time / {first}'s time in the same round")
    for d, direction in (("c", "compress"), ("d", "decompress")):
        for name, _ in builds:
            ratios = sorted(t / f for t, f in zip(times[(name, d)], times[(first, d)]))
            n = len(ratios)
            print(f"{direction:10s} {name:14s} median {statistics.median(times[(name, d)]):.3f} s   "
                  f"ratio median {statistics.median(ratios):.3f}   "
                  f"quartiles {ratios[n // 4]:.3f} .. {ratios[(3 * n) // 4]:.3f}")


if __name__ == "__main__":
    main()

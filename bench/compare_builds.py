#!/usr/bin/env python3
"""Paired timings of two or more builds of the programs on one file.

Each round runs every build once, one after the other, in alternating order
(first to last, then last to first), and each build's time is divided by the
first build's time of the same round. The median of those ratios, with its
quartiles, says how the builds compare: on a machine whose speed drifts from
minute to minute it holds steady where medians of separate runs do not, as
the two runs of a pair see nearly the same machine.

  bench/compare_builds.py --file testdata/calgary/book1 --rounds 20 \\
      before=old-build/ after=build/          # compressing
  bench/compare_builds.py --decompress ...    # decompressing the first
                                              # build's output

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
import time


def timed(args):
    start = time.perf_counter()
    subprocess.run(args, stdout=subprocess.DEVNULL, check=True)
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--file", required=True)
    parser.add_argument("--rounds", type=int, default=20)
    parser.add_argument("--decompress", action="store_true", help="time decompression instead of compression")
    parser.add_argument("builds", nargs="+", metavar="NAME=DIR")
    args = parser.parse_args()
    builds = []
    for argument in args.builds:
        name, sep, directory = argument.partition("=")
        if not sep:
            parser.error(f"expected NAME=DIR, got {argument!r}")
        builds.append((name, directory))
    if len(builds) < 2:
        parser.error("give at least two builds")

    with tempfile.TemporaryDirectory() as work:
        packed = os.path.join(work, "reference.ari")
        subprocess.run([os.path.join(builds[0][1], "compressor"), args.file, packed], stdout=subprocess.DEVNULL,
                       check=True)
        times = {name: [] for name, _ in builds}
        for r in range(args.rounds):
            order = builds if r % 2 == 0 else builds[::-1]
            for name, directory in order:
                out = os.path.join(work, name + (".unp" if args.decompress else ".ari"))
                if args.decompress:
                    times[name].append(timed([os.path.join(directory, "decompressor"), packed, out]))
                    same = filecmp.cmp(out, args.file, shallow=False)
                else:
                    times[name].append(timed([os.path.join(directory, "compressor"), args.file, out]))
                    same = filecmp.cmp(out, packed, shallow=False)
                if not same:
                    sys.exit(f"{name}: output differs from the reference")
                os.remove(out)

    first = builds[0][0]
    print(f"{os.path.basename(args.file)}, {'decompressing' if args.decompress else 'compressing'}, "
          f"{args.rounds} rounds; ratio = time / {first}'s time in the same round")
    for name, _ in builds:
        ratios = sorted(t / f for t, f in zip(times[name], times[first]))
        n = len(ratios)
        print(f"{name:12s} median {statistics.median(times[name]):.4f} s   ratio median {statistics.median(ratios):.3f}"
              f"   quartiles {ratios[n // 4]:.3f} .. {ratios[(3 * n) // 4]:.3f}")


if __name__ == "__main__":
    main()

"""Indices per second of tavrill._sampler's fillers, beside their NumPy equivalents.

Each line is the best of several runs of one batch kind on one thread, timed in CPU time:
  fill_sequential  vs  np.arange(...) % length
  fill_iid         vs  Generator.integers(0, length, batch)
  fill_cyclic      vs  a fresh Generator.permutation(length) per cycle, cut into batches

Usage: python bench/sampler.py [--batch 65536] [--repeats 7] [--lengths 1000000,...]
"""

import argparse
import time

import numpy as np

from tavrill._sampler import fill_cyclic, fill_iid, fill_sequential

DEFAULT_LENGTHS = (
    1_000_000,  # just under a power of two: cycle walking almost never repeats
    1_500_000,  # odd bit length: the permutation's domain is ~2.8x the data set
    2**20 + 1,  # the worst case: the domain is ~4x the data set
    10**12,
    2**64 - 1,
)
SEED = 0x5EED


def best_rate(run, indices_per_run, repeats, min_seconds=0.2):
    """Indices per second of the fastest of `repeats` timings, each looping `run` for at least
    `min_seconds` of this thread's CPU time. Everything timed here runs on the calling thread, and
    CPU time keeps other processes on a shared machine out of the numbers."""
    best = 0.0
    for _ in range(repeats):
        loops = 0
        start = time.thread_time()
        while True:
            run(loops)
            loops += 1
            elapsed = time.thread_time() - start
            if elapsed >= min_seconds:
                break
        best = max(best, loops * indices_per_run / elapsed)
    return best


def bench_fillers(length, batch, repeats):
    out = np.empty(batch, dtype=np.uint64)
    return {
        "fill_sequential": best_rate(
            lambda i: fill_sequential(length, batch, SEED, i, out), batch, repeats),
        "fill_iid": best_rate(lambda i: fill_iid(length, batch, SEED, i, out), batch, repeats),
        "fill_cyclic": best_rate(
            lambda i: fill_cyclic(length, batch, SEED, i, out), min(batch, length), repeats),
    }


def bench_numpy(length, batch, repeats):
    rng = np.random.default_rng(SEED)
    rates = {
        "np.arange % length": best_rate(
            lambda i: np.arange(i * batch, (i + 1) * batch, dtype=np.uint64) % np.uint64(length),
            batch, repeats),
        "Generator.integers": best_rate(
            lambda i: rng.integers(0, length, size=batch, dtype=np.uint64), batch, repeats),
    }
    # A permutation of the whole data set only fits in memory for modest lengths.
    if length <= 100_000_000:
        rates["Generator.permutation"] = best_rate(
            lambda i: rng.permutation(length), length - length % batch, max(1, repeats // 2))
    return rates


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--batch", type=int, default=65536)
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--lengths", default=",".join(str(n) for n in DEFAULT_LENGTHS))
    args = parser.parse_args()

    print(f"batch {args.batch}, best of {args.repeats}, M indices per CPU second on one thread")
    for length in (int(text) for text in args.lengths.split(",")):
        print(f"\nlength {length}")
        for name, rate in bench_fillers(length, args.batch, args.repeats).items():
            print(f"  {name:24s} {rate / 1e6:10.1f}")
        for name, rate in bench_numpy(length, args.batch, args.repeats).items():
            print(f"  {name:24s} {rate / 1e6:10.1f}")


if __name__ == "__main__":
    main()

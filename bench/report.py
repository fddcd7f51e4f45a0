"""tavrill beside plain NumPy and libzstd, on the same data in the same run: one table.

    make bench        (or: .venv/bin/python bench/report.py [--quick])

Rows, each beside its baseline, with the ratio tavrill ÷ baseline (above 1: tavrill is faster):
  dense gather   random batches from stores of raw 4 KiB, raw 64 KiB and zstd 4 KiB records at
                 1 and 2 lanes, beside numpy.memmap fancy indexing of a flat file of the same
                 records (np.take into the same preallocated array); page cache warm for both
  append         the whole 4 KiB data set in 4 MiB batches at 2 lanes: raw beside writing the
                 flat file, zstd beside single-thread ZSTD_compress at level 3 of every record
                 through ctypes on libzstd.so.1 (compression alone, no I/O)
  ragged gather  random batches of token sequences with cu_seqlens (raw, zstd), beside memmap
                 slices of a flat values file joined by np.concatenate into a preallocated array
  sampler        one batch of 65536 indices over 10^6 records at a time, beside np.arange modulo,
                 Generator.integers, and a fresh Generator.permutation per cycle

Timing: best of N wall-clock runs (time.perf_counter), each repeating the operation for at least
a fixed time; wall time, because a gather's work runs on the executor's worker threads. Records
are token sequences: uint16 (dense) or int32 (ragged) tokens drawn from a Zipf distribution over
a 50,000-word vocabulary, which zstd at level 3 shrinks to about two thirds.
"""

import argparse
import ctypes
import datetime
import os
import platform
import shutil
import sys
import sysconfig
import tempfile
import time

import numpy as np

from tavrill._sampler import fill_cyclic, fill_iid, fill_sequential
from tavrill._store import CODECS, Executor, Store

VOCABULARY = 50_000
SEED = 0x5EED
SCHEMA = np.frombuffer(b"bench records", np.uint8)
NO_DICTIONARY = np.empty(0, np.uint8)
SHARDS = 4
APPEND_LANES = 2
APPEND_BATCH_BYTES = 4 << 20
WARM_BATCH_BYTES = 8 << 20
ZSTD_LEVEL = 3
SAMPLER_LENGTH = 1_000_000
SAMPLER_BATCH = 65536
MB = 1e6


class Sizes:
    """How much data each row works on; --quick shrinks everything for a smoke run."""

    def __init__(self, quick):
        scale = 16 if quick else 1
        self.small_records = 16384 // scale  # 4 KiB each: 64 MiB
        self.large_records = 1024 // scale  # 64 KiB each: 64 MiB
        self.ragged_records = 16384 // scale  # 64 to 1024 int32 tokens each: about 35 MiB
        self.small_batch = 256
        self.large_batch = 64
        self.ragged_batch = 256
        self.repeats = 3 if quick else 5
        self.min_seconds = 0.05 if quick else 0.25


# ---- timing ----

class Timer:
    def __init__(self, repeats, min_seconds):
        self.repeats = repeats
        self.min_seconds = min_seconds

    def rate(self, run, units_per_run):
        """Units per second of the fastest of `repeats` timings; each calls `run(i)` for
        i = 0, 1, ... until at least `min_seconds` have passed."""
        best = 0.0
        for _ in range(self.repeats):
            loops = 0
            start = time.perf_counter()
            while True:
                run(loops)
                loops += 1
                elapsed = time.perf_counter() - start
                if elapsed >= self.min_seconds:
                    break
            best = max(best, loops * units_per_run / elapsed)
        return best

    def once_rate(self, prepare, run, finish, units):
        """Units per second of the fastest of `repeats` single calls of `run(state)`, each
        between an untimed `prepare()` that makes the state and an untimed `finish(state)`."""
        best = 0.0
        for _ in range(self.repeats):
            state = prepare()
            start = time.perf_counter()
            run(state)
            elapsed = time.perf_counter() - start
            finish(state)
            best = max(best, units / elapsed)
        return best


class Row:
    def __init__(self, operation, ours, baseline_name, baseline, unit, ours_mb=None,
                 baseline_mb=None):
        self.operation = operation
        self.ours = ours
        self.baseline_name = baseline_name
        self.baseline = baseline
        self.unit = unit
        self.ours_mb = ours_mb
        self.baseline_mb = baseline_mb


# ---- data ----

def zipf_tokens(rng, count, dtype):
    return ((rng.zipf(1.2, count) - 1) % VOCABULARY).astype(dtype)


def dense_records(rng, record_bytes, count):
    tokens = zipf_tokens(rng, record_bytes // 2 * count, np.uint16)
    return tokens.view(np.uint8).reshape(count, record_bytes)


def random_batches(rng, count, batch, how_many=64):
    return [rng.integers(0, count, batch, dtype=np.uint64) for _ in range(how_many)]


def make_store(executor, path, codec):
    return Store.create(executor, path.encode(), CODECS[codec], SHARDS, NO_DICTIONARY, SCHEMA)


def append_all(store, records):
    per_batch = max(APPEND_BATCH_BYTES // records.shape[1], 1)
    for start in range(0, len(records), per_batch):
        batch = records[start:start + per_batch]
        store.dense_append(batch.ctypes.data, records.shape[1], len(batch))


# ---- dense gather ----

def warm_store(store, count, record_bytes):
    """Reads every record once, so the page cache holds the shards."""
    per_batch = max(WARM_BATCH_BYTES // record_bytes, 1)
    dst = np.empty((per_batch, record_bytes), np.uint8)
    for start in range(0, count, per_batch):
        idxs = np.arange(start, min(start + per_batch, count), dtype=np.uint64)
        store.dense_gather(idxs, dst[:idxs.size], record_bytes)


def stored_share(path, raw_bytes):
    stored = sum(os.path.getsize(os.path.join(path, name))
                 for name in os.listdir(path) if name.startswith("data_"))
    return stored / raw_bytes


def dense_gather_rows(timer, root, rng, records, codec, batch, notes):
    count, record_bytes = records.shape
    path = os.path.join(root, f"dense-{codec}-{record_bytes}")
    executor = Executor(APPEND_LANES)
    writer = make_store(executor, path, codec)
    append_all(writer, records)
    writer.close(True)
    executor.close()
    if codec != "raw":
        notes.append(f"{codec} keeps {stored_share(path, records.nbytes):.0%} of the "
                     f"{record_bytes // 1024} KiB records' bytes")
    flat = os.path.join(root, f"dense-{record_bytes}.bin")
    if not os.path.exists(flat):
        records.tofile(flat)

    batches = random_batches(rng, count, batch)
    dst = np.empty((batch, record_bytes), np.uint8)
    mapped = np.memmap(flat, dtype=np.uint8, mode="r", shape=(count, record_bytes))
    np.take(mapped, np.arange(count), axis=0)  # warms the page cache
    baseline = timer.rate(
        lambda i: np.take(mapped, batches[i % len(batches)], axis=0, out=dst), batch)
    del mapped

    rows = []
    for lanes in (1, 2):
        executor = Executor(lanes)
        store, _ = Store.open(executor, path.encode())
        warm_store(store, count, record_bytes)
        store.dense_gather(batches[0], dst, record_bytes)
        assert np.array_equal(dst, records[batches[0]]), "gathered records differ"
        ours = timer.rate(
            lambda i: store.dense_gather(batches[i % len(batches)], dst, record_bytes), batch)
        store.close(False)
        executor.close()
        rows.append(Row(f"dense gather {codec} {record_bytes // 1024} KiB ×{batch}, "
                        f"lanes {lanes}", ours, "numpy.memmap fancy indexing", baseline, "rec/s"))
    return rows


# ---- append ----

class Zstd:
    """libzstd through ctypes, for the single-thread compression baseline."""

    def __init__(self):
        self.lib = ctypes.CDLL("libzstd.so.1")
        self.lib.ZSTD_compress.restype = ctypes.c_size_t
        self.lib.ZSTD_compress.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p,
                                           ctypes.c_size_t, ctypes.c_int]
        self.lib.ZSTD_compressBound.restype = ctypes.c_size_t
        self.lib.ZSTD_compressBound.argtypes = [ctypes.c_size_t]
        self.lib.ZSTD_isError.restype = ctypes.c_uint
        self.lib.ZSTD_isError.argtypes = [ctypes.c_size_t]
        self.lib.ZSTD_versionString.restype = ctypes.c_char_p

    def version(self):
        return self.lib.ZSTD_versionString().decode()

    def compress_each(self, records):
        """ZSTD_compress at level 3, record by record, on this thread; the compressed bytes."""
        count, record_bytes = records.shape
        capacity = self.lib.ZSTD_compressBound(record_bytes)
        out = np.empty(capacity, np.uint8)
        out_address = out.ctypes.data
        base = records.ctypes.data
        compress = self.lib.ZSTD_compress
        total = 0
        for k in range(count):
            size = compress(out_address, capacity, base + k * record_bytes, record_bytes,
                            ZSTD_LEVEL)
            if self.lib.ZSTD_isError(size):
                raise RuntimeError("ZSTD_compress failed")
            total += size
        return total


def append_rows(timer, root, records, zstd):
    total_mb = records.nbytes / MB
    executor = Executor(APPEND_LANES)
    made = []

    def fresh_store(codec):
        def prepare():
            path = os.path.join(root, f"append-{codec}-{len(made)}")
            made.append(path)
            return make_store(executor, path, codec)
        return prepare

    def discard_store(store):
        store.close(False)
        shutil.rmtree(made[-1])

    def fresh_file():
        path = os.path.join(root, f"append-flat-{len(made)}")
        made.append(path)
        return open(path, "wb")

    def write_flat(file):
        per_batch = max(APPEND_BATCH_BYTES // records.shape[1], 1)
        for start in range(0, len(records), per_batch):
            file.write(records[start:start + per_batch])
        file.flush()

    def discard_file(file):
        file.close()
        os.unlink(made[-1])

    rows = []
    for codec in ("raw", "zstd"):
        ours = timer.once_rate(fresh_store(codec), lambda store: append_all(store, records),
                               discard_store, total_mb)
        if codec == "raw":
            baseline_name = "write the flat file"
            baseline = timer.once_rate(fresh_file, write_flat, discard_file, total_mb)
        else:
            baseline_name = "ZSTD_compress level 3, 1 thread"
            baseline = timer.once_rate(lambda: None, lambda _: zstd.compress_each(records),
                                       lambda _: None, total_mb)
        rows.append(Row(f"append {codec} 4 KiB, lanes {APPEND_LANES}", ours, baseline_name,
                        baseline, "MB/s"))
    executor.close()
    return rows


# ---- ragged gather ----

class Allocation:
    def __init__(self, memory, size):
        self.memory = memory
        self.size = size

    def view(self, dtype, shape):
        return self.memory.view(dtype).reshape(shape)


class ReusingAllocator:
    """One aligned buffer handed out again for every gather, as a loader's buffer pool would."""

    def __init__(self, capacity):
        backing = np.empty(capacity + 16, np.uint8)
        start = (-backing.ctypes.data) % 16
        self.memory = backing[start:start + capacity]

    def acquire(self, size, alignment):
        return Allocation(self.memory[:size], size)


def ragged_rows(timer, root, rng, count, batch):
    lengths = rng.integers(64, 1025, count)
    values = zipf_tokens(rng, int(lengths.sum()), np.int32)
    offsets = np.zeros(count + 1, np.int64)
    offsets[1:] = np.cumsum(lengths)
    flat = os.path.join(root, "ragged-values.bin")
    values.tofile(flat)

    batches = random_batches(rng, count, batch)
    value_bytes = sum(int(lengths[b.astype(np.int64)].sum()) * 4 for b in batches)
    mb_per_record = value_bytes / (len(batches) * batch) / MB
    capacity = 8 * batch + 16 + max(value_bytes // len(batches) * 4, 1 << 20) + 4 * (batch + 1)
    allocator = ReusingAllocator(capacity)
    joined = np.empty(capacity // 4, np.int32)

    mapped = np.memmap(flat, dtype=np.int32, mode="r")
    np.asarray(mapped).sum()  # warms the page cache

    def numpy_gather(i):
        picks = batches[i % len(batches)].astype(np.int64)
        starts, ends = offsets[picks], offsets[picks + 1]
        cu_seqlens = np.zeros(len(picks) + 1, np.int32)
        np.cumsum(ends - starts, out=cu_seqlens[1:])
        np.concatenate([mapped[s:e] for s, e in zip(starts.tolist(), ends.tolist())],
                       out=joined[:cu_seqlens[-1]])

    baseline = timer.rate(numpy_gather, batch)
    del mapped

    rows = []
    for codec in ("raw", "zstd"):
        path = os.path.join(root, f"ragged-{codec}")
        executor = Executor(APPEND_LANES)
        writer = make_store(executor, path, codec)
        per_batch = 1024
        for start in range(0, count, per_batch):
            stop = min(start + per_batch, count)
            part = values[offsets[start]:offsets[stop]]
            cu_seqlens = (offsets[start:stop + 1] - offsets[start]).astype(np.int32)
            shapes = lengths[start:stop].astype(np.uint64)
            writer.ragged_append(part.ctypes.data, part.size, 4, cu_seqlens.ctypes.data,
                                 cu_seqlens.size, shapes.ctypes.data, stop - start, 1, 2**31)
        writer.close(True)
        store, _ = Store.open(executor, path.encode())
        for start in range(0, count, 4096):
            store.ragged_gather(np.arange(start, min(start + 4096, count), dtype=np.uint64),
                                ReusingAllocator(64 << 20))
        _, dst, total, values_offset, _ = store.ragged_gather(batches[0], allocator, 8,
                                                              4 * (batch + 1), 4)
        picks = batches[0].astype(np.int64)
        expected = np.concatenate([values[offsets[p]:offsets[p + 1]] for p in picks])
        assert np.array_equal(dst[values_offset:values_offset + total].view(np.int32), expected)
        ours = timer.rate(lambda i: store.ragged_gather(
            batches[i % len(batches)], allocator, 8, 4 * (batch + 1), 4), batch)
        store.close(False)
        executor.close()
        rows.append(Row(f"ragged gather {codec} ×{batch}, lanes {APPEND_LANES}", ours,
                        "memmap slices + np.concatenate", baseline, "rec/s",
                        ours * mb_per_record, baseline * mb_per_record))
    return rows


# ---- sampler ----

def sampler_rows(timer):
    length, batch = SAMPLER_LENGTH, SAMPLER_BATCH
    out = np.empty(batch, np.uint64)
    rng = np.random.default_rng(SEED)
    per_cycle = length - length % batch
    pairs = [
        ("fill_sequential", lambda i: fill_sequential(length, batch, SEED, i, out), batch,
         "np.arange % length",
         lambda i: np.arange(i * batch, (i + 1) * batch, dtype=np.uint64) % np.uint64(length),
         batch),
        ("fill_iid", lambda i: fill_iid(length, batch, SEED, i, out), batch,
         "Generator.integers", lambda i: rng.integers(0, length, size=batch, dtype=np.uint64),
         batch),
        ("fill_cyclic", lambda i: fill_cyclic(length, batch, SEED, i, out), batch,
         "Generator.permutation per cycle", lambda i: rng.permutation(length), per_cycle),
    ]
    return [Row(f"sampler {name}, 10^6 records ×{batch}", timer.rate(ours, ours_units),
                baseline_name, timer.rate(baseline, baseline_units), "idx/s")
            for name, ours, ours_units, baseline_name, baseline, baseline_units in pairs]


# ---- report ----

def human(rate, unit):
    if unit == "MB/s":
        return f"{rate:,.0f} MB/s"
    for scale, prefix in ((1e9, "G"), (1e6, "M"), (1e3, "k")):
        if rate >= scale:
            return f"{rate / scale:.2f} {prefix} {unit}"
    return f"{rate:.0f} {unit}"


def cell(rate, unit, mb):
    text = human(rate, unit)
    return text if mb is None else f"{text} ({mb:,.0f} MB/s)"


def machine(zstd):
    model = "unknown CPU"
    with open("/proc/cpuinfo") as cpuinfo:
        for line in cpuinfo:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as meminfo:
        memory_kib = int(meminfo.readline().split()[1])
    threading = "free-threaded" if sysconfig.get_config_var("Py_GIL_DISABLED") else "with GIL"
    return (f"{model}, {os.cpu_count()} cores, {memory_kib / 2**20:.1f} GiB, "
            f"Linux {platform.release()}, CPython {platform.python_version()} {threading}, "
            f"NumPy {np.__version__}, libzstd {zstd.version()}, "
            f"{datetime.date.today().isoformat()}")


def print_table(rows, notes, sizes, zstd):
    print(f"tavrill benchmark: {machine(zstd)}")
    print(f"best of {sizes.repeats} wall-clock runs of at least {sizes.min_seconds} s each; "
          f"ratio = tavrill ÷ baseline; {'; '.join(notes)}")
    print()
    print("| operation | tavrill | baseline | baseline rate | ratio |")
    print("|---|---:|---|---:|---:|")
    for row in rows:
        print(f"| {row.operation} | {cell(row.ours, row.unit, row.ours_mb)} | "
              f"{row.baseline_name} | {cell(row.baseline, row.unit, row.baseline_mb)} | "
              f"{row.ours / row.baseline:.2f} |")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a smoke run on little data")
    args = parser.parse_args()
    sizes = Sizes(args.quick)
    timer = Timer(sizes.repeats, sizes.min_seconds)
    zstd = Zstd()
    rng = np.random.default_rng(SEED)
    small = dense_records(rng, 4096, sizes.small_records)
    large = dense_records(rng, 65536, sizes.large_records)
    root = tempfile.mkdtemp(prefix="tavrill-bench-")
    try:
        rows, notes = [], []
        rows += dense_gather_rows(timer, root, rng, small, "raw", sizes.small_batch, notes)
        rows += dense_gather_rows(timer, root, rng, large, "raw", sizes.large_batch, notes)
        rows += dense_gather_rows(timer, root, rng, small, "zstd", sizes.small_batch, notes)
        rows += append_rows(timer, root, small, zstd)
        rows += ragged_rows(timer, root, rng, sizes.ragged_records, sizes.ragged_batch)
        rows += sampler_rows(timer)
    finally:
        shutil.rmtree(root)
    print_table(rows, notes, sizes, zstd)


if __name__ == "__main__":
    sys.exit(main())

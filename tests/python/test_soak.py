"""Concurrency soak: one writer, eight gathering threads and two reader processes per codec.

For each codec the test fills a chain of stores, one generation after another. While one thread
appends dense and ragged batches to the current generation through its writing handle, eight
threads gather dense, ragged and whole-record batches from it (naming only indices below a
`length()` read before the gather) and from the newest synced generation through read handles
of their own. Two reader processes (this file run as a script) are told about each generation
once its writer has closed it with `close(sync=True)`, open it and gather from it while the next
generation is being written; while a writer holds a generation they must find it busy (-13).
Every record's bytes are a pure function of its index, so any reader checks every byte it gets
without shared state. Finally every generation is reopened and must hold exactly the records
appended to it, no more and no fewer.

TAVRILL_SOAK_SECONDS sets how long each codec is soaked (default 3; the three codecs then take
about 15 s on two cores). For a longer run:

    TAVRILL_SOAK_SECONDS=600 .venv/bin/python -m pytest -q tests/python/test_soak.py
"""

import os
import queue
import select
import subprocess
import sys
import threading
import time
import traceback

import numpy as np

from allocation import Allocator
from tavrill._store import CODECS, Executor, QuarvelError, Store, build_dict

SOAK_SECONDS = float(os.environ.get("TAVRILL_SOAK_SECONDS", "3"))
MIN_GENERATIONS = 3
GENERATION_BLOCKS = 16
GATHER_THREADS = 8
READER_PROCESSES = 2
REPLY_TIMEOUT = 120.0
LANES = 4
SHARDS = {"raw": 4, "zstd": 3, "zstd_dict": 2}
BUSY = -13
INVALID_FORMAT = -8

# Records come in blocks of BLOCK indices: even blocks hold dense records, odd blocks ragged ones,
# so a record's kind, like its bytes, follows from its index alone.
BLOCK = 32
DENSE_BYTES = 200
NDIM = 2
HEADER_BYTES = 8 * NDIM
ITEMSIZE = 4
MAX_BATCH = 48


# ---- records as a pure function of their index ----

def as_indices(values):
    return np.asarray(values, dtype=np.uint64).reshape(-1)


def mix64(x):
    """SplitMix64's output function on a uint64 array (products wrap modulo 2^64)."""
    x = x ^ (x >> np.uint64(30))
    x = x * np.uint64(0xBF58476D1CE4E5B9)
    x = x ^ (x >> np.uint64(27))
    x = x * np.uint64(0x94D049BB133111EB)
    return x ^ (x >> np.uint64(31))


def is_dense(index):
    return (int(index) // BLOCK) % 2 == 0


def dense_records(idxs):
    """(n, DENSE_BYTES) uint8: the index and its hash, then a byte ramp whose slope the index
    sets, which compresses a little as real records do."""
    idxs = as_indices(idxs)
    ramp = np.arange(DENSE_BYTES, dtype=np.uint64)
    slope = (idxs % np.uint64(251) + np.uint64(1))[:, None]
    records = ((ramp[None, :] + slope * (ramp[None, :] // np.uint64(16))) & np.uint64(0xFF))
    records = records.astype(np.uint8)
    records[:, 0:8] = idxs.astype("<u8").view(np.uint8).reshape(-1, 8)
    records[:, 8:16] = mix64(idxs).astype("<u8").view(np.uint8).reshape(-1, 8)
    return records


def ragged_shape(index):
    """The (rows, columns) of ragged record `index`: 1 to 45 int32 values."""
    h = int(mix64(as_indices([index]) ^ np.uint64(0x5EED))[0])
    return 1 + h % 9, 1 + (h >> 8) % 5


def ragged_values(index):
    rows, columns = ragged_shape(index)
    return (np.arange(rows * columns, dtype=np.int64) * 3 + int(index) * 7).astype(np.int32)


def record_bytes(index):
    """The stored bytes of any record: dense bytes, or a ragged record's shape then values."""
    if is_dense(index):
        return dense_records([index])[0].tobytes()
    header = np.array(ragged_shape(index), dtype="<u8").tobytes()
    return header + ragged_values(index).tobytes()


def dense_count(length):
    pairs, rest = divmod(length, 2 * BLOCK)
    return pairs * BLOCK + min(rest, BLOCK)


def ragged_count(length):
    pairs, rest = divmod(length, 2 * BLOCK)
    return pairs * BLOCK + max(rest - BLOCK, 0)


def pick(rng, length, dense, size):
    """`size` random indices below `length` of one kind (repeats allowed), or None when the
    store holds none of that kind yet."""
    count = dense_count(length) if dense else ragged_count(length)
    if count == 0:
        return None
    ranks = rng.integers(0, count, size=size, dtype=np.uint64)
    block = np.uint64(BLOCK)
    return (ranks // block) * (2 * block) + (0 if dense else block) + ranks % block


# ---- gathers and their checks ----


ALLOCATOR = Allocator()


def mismatch(what, idxs):
    return AssertionError(f"{what} differ for indices {as_indices(idxs).tolist()}")


def check_dense(store, idxs):
    dst = np.empty((idxs.size, DENSE_BYTES), np.uint8)
    store.dense_gather(idxs, dst, DENSE_BYTES)
    if not np.array_equal(dst, dense_records(idxs)):
        raise mismatch("dense records", idxs)


def check_ragged(store, idxs):
    n = idxs.size
    _, dst, data_total, values_offset, tail_offset = store.ragged_gather(
        idxs, ALLOCATOR, HEADER_BYTES, 4 * (n + 1), ITEMSIZE)
    shapes = [ragged_shape(i) for i in idxs]
    values = [ragged_values(i) for i in idxs]
    cu_seqlens = np.zeros(n + 1, np.int32)
    cu_seqlens[1:] = np.cumsum([v.size for v in values])
    ok = (data_total == 4 * int(cu_seqlens[-1])
          and np.array_equal(dst[:HEADER_BYTES * n].view(np.uint64).reshape(n, NDIM), shapes)
          and np.array_equal(dst[tail_offset:tail_offset + 4 * (n + 1)].view(np.int32),
                             cu_seqlens)
          and np.array_equal(dst[values_offset:values_offset + data_total].view(np.int32),
                             np.concatenate(values)))
    if not ok:
        raise mismatch("ragged records", idxs)


def check_whole(store, idxs):
    """Records of either kind gathered without a header: their stored bytes back to back."""
    _, dst, data_total, _, _ = store.ragged_gather(idxs, ALLOCATOR)
    if dst[:data_total].tobytes() != b"".join(record_bytes(i) for i in idxs):
        raise mismatch("whole records", idxs)


def gather_once(store, length, rng):
    """One checked gather of a random kind from a store of `length` records; False when the
    store had no record of that kind to name."""
    size = int(rng.integers(1, MAX_BATCH + 1))
    kind = int(rng.integers(0, 3))
    if kind == 2:
        if length == 0:
            return False
        check_whole(store, rng.integers(0, length, size=size, dtype=np.uint64))
        return True
    idxs = pick(rng, length, kind == 0, size)
    if idxs is None:
        return False
    (check_dense if kind == 0 else check_ragged)(store, idxs)
    return True


def verify_everything(store, count):
    """The store holds exactly records 0 .. count - 1, each byte-exact, and nothing past them."""
    assert store.length() == count
    everything = np.arange(count, dtype=np.uint64)
    dense = np.array([i for i in everything if is_dense(i)], np.uint64)
    ragged = np.array([i for i in everything if not is_dense(i)], np.uint64)
    check_dense(store, dense)
    check_ragged(store, ragged)
    check_whole(store, everything)
    try:
        store.dense_gather(as_indices([count]), np.empty(DENSE_BYTES, np.uint8), DENSE_BYTES)
    except QuarvelError as error:
        assert error.code == INVALID_FORMAT, error
    else:
        raise AssertionError(f"record {count} exists past the end of the store")


def schema_of(codec, generation):
    return f"soak {codec} generation {generation}".encode()


# ---- the writer's side ----

def dictionary_for(codec):
    if codec != "zstd_dict":
        return np.empty(0, np.uint8)
    samples = [record_bytes(i) for i in range(0, 40 * BLOCK)]
    sizes = np.array([len(s) for s in samples], np.uint64)
    trained = build_dict(np.frombuffer(b"".join(samples), np.uint8), sizes, 8192)
    return np.frombuffer(trained, np.uint8)


def append_dense(store, start, stop):
    records = dense_records(np.arange(start, stop, dtype=np.uint64))
    return store.dense_append(records.ctypes.data, DENSE_BYTES, stop - start)


def append_ragged(store, start, stop):
    values = [ragged_values(i) for i in range(start, stop)]
    flat = np.concatenate(values)
    cu_seqlens = np.zeros(len(values) + 1, np.int32)
    cu_seqlens[1:] = np.cumsum([v.size for v in values])
    shapes = np.array([ragged_shape(i) for i in range(start, stop)], np.uint64)
    return store.ragged_append(flat.ctypes.data, flat.size, ITEMSIZE, cu_seqlens.ctypes.data,
                               cu_seqlens.size, shapes.ctypes.data, stop - start, NDIM,
                               HEADER_BYTES + 64 * ITEMSIZE)


def fill_generation(store, rng):
    """Appends GENERATION_BLOCKS blocks, each in one to three calls, and returns the count."""
    length = 0
    for block in range(GENERATION_BLOCKS):
        cuts = sorted(rng.choice(np.arange(1, BLOCK), size=int(rng.integers(0, 3)),
                                 replace=False).tolist())
        bounds = [block * BLOCK] + [block * BLOCK + c for c in cuts] + [(block + 1) * BLOCK]
        for start, stop in zip(bounds, bounds[1:]):
            append = append_dense if block % 2 == 0 else append_ragged
            first = append(store, start, stop)
            assert first == length, f"append returned {first}, expected {length}"
            length = stop
            assert store.length() == length
    return length


class Generation:
    """One store of the chain while its writer holds it. `users` counts gathers running on the
    writing handle; once `retired` is set no new gather starts, and the writer closes the
    handle only when `users` is back to 0."""

    def __init__(self, number, path, store):
        self.number = number
        self.path = path
        self.store = store
        self.users = 0
        self.retired = False


class ReaderProcess:
    """This file run as a script in another interpreter: commands go to its stdin, replies come
    back line by line through a thread that reads its stdout."""

    def __init__(self, root, seed):
        self.process = subprocess.Popen(
            [sys.executable, os.path.abspath(__file__), "reader", str(seed)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1, cwd=root)
        self.replies = queue.Queue()
        self.listener = threading.Thread(target=self._listen, daemon=True)
        self.listener.start()

    def wait_until_serving(self):
        self.expect("serving")

    def _listen(self):
        for line in self.process.stdout:
            self.replies.put(line.rstrip("\n"))
        self.replies.put(None)

    def send(self, *words):
        self.process.stdin.write(" ".join(str(w) for w in words) + "\n")
        self.process.stdin.flush()

    def expect(self, word):
        reply = self.replies.get(timeout=REPLY_TIMEOUT)
        if reply is None or reply.split(" ", 1)[0] != word:
            raise AssertionError(f"reader process replied {reply!r}, expected {word!r}")
        return reply.split(" ")[1:]

    def stop(self):
        try:
            self.process.stdin.close()
        except OSError:
            pass
        try:
            self.process.wait(timeout=REPLY_TIMEOUT)
        finally:
            if self.process.poll() is None:
                self.process.kill()
                self.process.wait()


class Soak:
    """What the threads of one codec's soak share. Every wait has a timeout and gives up once
    `stopped` is set, so a failing thread never leaves the others blocked."""

    def __init__(self, codec, root):
        self.codec = codec
        self.root = root
        self.executor = Executor(LANES)
        self.dictionary = dictionary_for(codec)
        self.condition = threading.Condition()
        self.current = None
        self.synced = []  # (number, path, count) of every generation closed with sync
        self.stopped = threading.Event()
        self.errors = []
        self.gathers = [0] * GATHER_THREADS
        self.busy_seen = 0

    def fail(self):
        self.errors.append(traceback.format_exc())
        self.stopped.set()
        with self.condition:
            self.condition.notify_all()

    # The writing handle is leased to gathers one call at a time.
    def lease(self):
        with self.condition:
            generation = self.current
            if generation is None or generation.retired:
                self.condition.wait(timeout=0.05)
                return None
            generation.users += 1
            return generation

    def give_back(self, generation):
        with self.condition:
            generation.users -= 1
            if generation.users == 0:
                self.condition.notify_all()

    def publish(self, generation):
        with self.condition:
            self.current = generation
            self.condition.notify_all()

    def retire(self, generation):
        with self.condition:
            generation.retired = True
            while generation.users and not self.stopped.is_set():
                self.condition.wait(timeout=0.05)
            self.current = None

    def newest_synced(self):
        with self.condition:
            return self.synced[-1] if self.synced else None

    def add_synced(self, entry):
        with self.condition:
            self.synced.append(entry)


def write(soak, readers):
    rng = np.random.default_rng(0xD15C)
    deadline = time.monotonic() + SOAK_SECONDS
    number = 0
    try:
        while not soak.stopped.is_set() and (number < MIN_GENERATIONS
                                             or time.monotonic() < deadline):
            path = os.path.join(soak.root, f"generation-{number}").encode()
            schema = np.frombuffer(schema_of(soak.codec, number), np.uint8)
            store = Store.create(soak.executor, path, CODECS[soak.codec], SHARDS[soak.codec],
                                 soak.dictionary, schema)
            for reader in readers:
                reader.send("probe", path.decode())
            # The writer's exclusive lock shuts out read handles of this process too.
            try:
                Store.open(soak.executor, path)
            except QuarvelError as error:
                assert error.code == BUSY, error
                soak.busy_seen += 1
            generation = Generation(number, path, store)
            soak.publish(generation)
            count = fill_generation(store, rng)
            for reader in readers:
                assert reader.expect("busy") == [str(BUSY)]
                soak.busy_seen += 1
            soak.retire(generation)
            store.close(sync=True)
            soak.add_synced((number, path, count))
            for reader in readers:
                reader.send("ready", number, path.decode(), count, soak.codec)
            number += 1
    except BaseException:
        soak.fail()
    finally:
        soak.stopped.set()


def gather_from_writers(soak, thread):
    """Gathers from whichever generation the writer holds, and now and then from the newest
    synced generation through a read handle of this thread's own."""
    rng = np.random.default_rng(thread)
    reader = None  # (number, Store)
    try:
        while not soak.stopped.is_set():
            generation = soak.lease()
            if generation is not None:
                try:
                    store = generation.store
                    if gather_once(store, store.length(), rng):
                        soak.gathers[thread] += 1
                finally:
                    soak.give_back(generation)
            newest = soak.newest_synced()
            if newest is None or rng.random() > 0.3:
                continue
            number, path, count = newest
            if reader is None or reader[0] != number:
                if reader is not None:
                    reader[1].close(False)
                    reader = None
                opened, schema = Store.open(soak.executor, path)
                reader = (number, opened)
                assert schema == schema_of(soak.codec, number)
                assert opened.length() == count and opened.codec() == soak.codec
            if gather_once(reader[1], count, rng):
                soak.gathers[thread] += 1
    except BaseException:
        soak.fail()
    finally:
        if reader is not None:
            reader[1].close(False)


def soak_codec(codec, root):
    soak = Soak(codec, root)
    readers = []
    try:
        readers = [ReaderProcess(root, seed) for seed in range(READER_PROCESSES)]
        # Started before the threads, so that their imports do not compete with the soak.
        for reader in readers:
            reader.wait_until_serving()
        threads = [threading.Thread(target=gather_from_writers, args=(soak, t))
                   for t in range(GATHER_THREADS)]
        threads.append(threading.Thread(target=write, args=(soak, readers)))
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert not soak.errors, soak.errors[0]
        reader_gathers = []
        for reader in readers:
            reader.send("done")
            reader_gathers.append(int(reader.expect("done")[0]))
    finally:
        for reader in readers:
            reader.stop()
    assert [r.process.returncode for r in readers] == [0] * READER_PROCESSES
    assert len(soak.synced) >= MIN_GENERATIONS
    assert all(count > 0 for count in soak.gathers), soak.gathers
    assert all(count > 0 for count in reader_gathers), reader_gathers
    assert soak.busy_seen == len(soak.synced) * (READER_PROCESSES + 1)
    for number, path, count in soak.synced:
        assert count == GENERATION_BLOCKS * BLOCK
        store, schema = Store.open(soak.executor, path)
        assert schema == schema_of(codec, number)
        verify_everything(store, count)
        store.close(False)
    soak.executor.close()


def test_soak_raw(tmp_path):
    soak_codec("raw", str(tmp_path))


def test_soak_zstd(tmp_path):
    soak_codec("zstd", str(tmp_path))


def test_soak_zstd_dict(tmp_path):
    soak_codec("zstd_dict", str(tmp_path))


# ---- the reader process ----

class CommandLines:
    """Lines from stdin without blocking when asked not to (select on the raw descriptor, since
    a buffered reader would hide lines it has already read)."""

    def __init__(self):
        self.pending = b""

    def next(self, wait):
        while b"\n" not in self.pending:
            ready, _, _ = select.select([0], [], [], None if wait else 0)
            if not ready:
                return None
            chunk = os.read(0, 65536)
            if not chunk:
                return "done"
            self.pending += chunk
        line, self.pending = self.pending.split(b"\n", 1)
        return line.decode()


def reply(*words):
    sys.stdout.write(" ".join(str(w) for w in words) + "\n")
    sys.stdout.flush()


def serve(seed):
    """Reads commands until "done" and gathers from the open generations in between:
    probe PATH                    -> busy CODE (a writer holds it) or "opened" (it should not)
    ready NUMBER PATH COUNT CODEC -> opens the generation, checks it, keeps it and the one before
    done                          -> done GATHERS"""
    rng = np.random.default_rng(1000 + seed)
    executor = Executor(2)
    stores = []  # (Store, count), the newest last
    gathers = 0
    commands = CommandLines()
    reply("serving")
    while True:
        line = commands.next(wait=not stores)
        if line is None:
            store, count = stores[int(rng.integers(0, len(stores)))]
            gathers += gather_once(store, count, rng)
            continue
        words = line.split(" ")
        if words[0] == "probe":
            try:
                Store.open(executor, words[1].encode())[0].close(False)
                reply("opened")
            except QuarvelError as error:
                reply("busy", error.code)
        elif words[0] == "ready":
            number, path, count, codec = int(words[1]), words[2], int(words[3]), words[4]
            store, schema = Store.open(executor, path.encode())
            assert schema == schema_of(codec, number) and store.codec() == codec
            assert store.length() == count
            for _ in range(20):
                gathers += gather_once(store, count, rng)
            stores.append((store, count))
            if len(stores) > 2:
                stores.pop(0)[0].close(False)
        elif words[0] == "done":
            for store, _ in stores:
                store.close(False)
            executor.close()
            reply("done", gathers)
            return
        else:
            raise AssertionError(f"unknown command {line!r}")


if __name__ == "__main__" and sys.argv[1:2] == ["reader"]:
    try:
        serve(int(sys.argv[2]))
    except BaseException:
        reply("fail", repr(traceback.format_exc()))
        sys.exit(1)

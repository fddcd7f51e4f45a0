"""Resource hygiene seen from Python: store and executor lifecycles, run thousands of times, keep
open file descriptors, threads and resident memory flat once warmed up.

Each store cycle creates a store (the codecs in turn), appends dense and ragged records, closes
it with sync, opens it, gathers both kinds back and closes it, and on the way takes the failure
roads that must release what they took: an open while the writer holds the store, a create over
an existing store, an append through a read handle, a gather past the end, and a ragged gather
whose allocator raises while its plan is alive. The cycle's directory is emptied and reused, so
the disk stays flat too.

TAVRILL_RESOURCE_CYCLES sets the number of store cycles (default 10000, about 15 s on two
cores); the executor test runs a fifth as many.
"""

import os
import threading
import time

import numpy as np
import pytest

from allocation import Allocator
from tavrill._sampler import fill_iid
from tavrill._store import CODECS, Executor, QuarvelError, Store, build_dict

# A sanitizer keeps freed memory in quarantine, so resident memory says nothing under one.
pytestmark = pytest.mark.skipif(bool(os.environ.get("TAVRILL_SANITIZED")),
                                reason="resident memory is not meaningful under a sanitizer")

STORE_CYCLES = int(os.environ.get("TAVRILL_RESOURCE_CYCLES", "10000"))
EXECUTOR_CYCLES = max(STORE_CYCLES // 5, 100)
ERROR_CYCLES = 5 * STORE_CYCLES
WARM_UP_SHARE = 0.2
# The process settles within the first 2000 store cycles: the allocators grow their heaps in
# steps and keep freed pages, and each raised error's traceback entry makes a code object and a
# frame, whose memory the free-threaded interpreter reuses only after a while. After that a leak
# of 200 bytes a cycle passes this bound within the default run.
RESIDENT_SLACK = 3 * 512 * 1024
# A joined thread can stay listed in /proc/self/task for a moment after pthread_join returns.
SETTLE_SECONDS = 2.0
PAGE = os.sysconf("SC_PAGE_SIZE")
DIRECTORIES = 4

DENSE = np.arange(8 * 64, dtype=np.uint8).reshape(8, 64)
VALUES = np.arange(10, dtype=np.int32)
CU_SEQLENS = np.array([0, 3, 10], np.int32)
SHAPES = np.array([[3], [7]], np.uint64)
SCHEMA = np.frombuffer(b"resource cycle", np.uint8)
NO_DICTIONARY = np.empty(0, np.uint8)


def snapshot():
    """Open descriptors, threads and resident bytes of this process."""
    with open("/proc/self/statm") as statm:
        resident = int(statm.read().split()[1]) * PAGE
    return len(os.listdir("/proc/self/fd")), len(os.listdir("/proc/self/task")), resident


def settled_snapshot(reference):
    """A snapshot once the thread count is back to the reference's, or when time is up."""
    deadline = time.monotonic() + SETTLE_SECONDS
    while True:
        taken = snapshot()
        if taken[1] <= reference[1] or time.monotonic() > deadline:
            return taken
        time.sleep(0.01)


@pytest.fixture(autouse=True)
def threaded_process():
    """Loaders run threads, and the free-threaded interpreter treats some objects differently
    once a second thread has existed (3.13 keeps code objects made from then on for good). One
    short thread puts every test here in that state, whatever ran before in this process."""
    thread = threading.Thread(target=lambda: None)
    thread.start()
    thread.join()


def trained_dictionary():
    samples = np.tile(DENSE, (40, 1))
    samples[:, :2] = np.arange(samples.shape[0], dtype=np.uint16).view(np.uint8).reshape(-1, 2)
    sizes = np.full(samples.shape[0], samples.shape[1], np.uint64)
    return np.frombuffer(build_dict(samples, sizes, 4096), np.uint8)


class RefusingAllocator:
    def acquire(self, size, alignment):
        raise MemoryError


def expect_code(code, call, *arguments):
    try:
        call(*arguments)
    except QuarvelError as error:
        assert error.code == code, error
    else:
        raise AssertionError(f"{call.__qualname__} succeeded where {code} was expected")


def empty_directory(path):
    if os.path.isdir(path):
        for name in os.listdir(path):
            os.unlink(os.path.join(path, name))


def store_cycle(executor, path, codec, dictionary):
    """One store's whole life, with the failure roads; checks what comes back."""
    empty_directory(path)
    writer = Store.create(executor, path, CODECS[codec], 2,
                          dictionary if codec == "zstd_dict" else NO_DICTIONARY, SCHEMA)
    expect_code(-13, Store.open, executor, path)
    assert writer.dense_append(DENSE.ctypes.data, 64, 8) == 0
    assert writer.ragged_append(VALUES.ctypes.data, 10, 4, CU_SEQLENS.ctypes.data, 3,
                                SHAPES.ctypes.data, 2, 1, 1024) == 8
    writer.close(True)
    expect_code(-12, Store.create, executor, path, 0, 1, NO_DICTIONARY, SCHEMA)

    reader, schema = Store.open(executor, path)
    assert schema == SCHEMA.tobytes() and reader.length() == 10
    expect_code(-2, reader.dense_append, DENSE.ctypes.data, 64, 1)
    dst = np.empty((3, 64), np.uint8)
    reader.dense_gather(np.array([7, 0, 3], np.uint64), dst, 64)
    assert np.array_equal(dst, DENSE[[7, 0, 3]])
    expect_code(-8, reader.dense_gather, np.array([10], np.uint64), dst, 64)
    idxs = np.array([9, 8, 9], np.uint64)
    _, gathered, data_total, values_offset, tail_offset = reader.ragged_gather(
        idxs, Allocator(), 8, 16, 4)
    assert gathered[tail_offset:tail_offset + 16].view(np.int32).tolist() == [0, 7, 10, 17]
    assert gathered[values_offset:values_offset + data_total].view(np.int32).tolist() == (
        VALUES[3:].tolist() + VALUES[:3].tolist() + VALUES[3:].tolist())
    try:
        reader.ragged_gather(idxs, RefusingAllocator(), 8, 16, 4)
    except MemoryError:
        pass
    else:
        raise AssertionError("the refusing allocator was not asked")
    reader.close(False)


def assert_flat(cycles, run):
    """Runs `run(i)` for i in range(cycles) and compares the process after the warm-up with the
    process at the end."""
    warm_up = max(int(cycles * WARM_UP_SHARE), 1)
    for i in range(warm_up):
        run(i)
    before = snapshot()
    descriptors, threads, resident = before
    for i in range(warm_up, cycles):
        run(i)
    after = settled_snapshot(before)
    assert after[0] == descriptors, f"descriptors: {descriptors} after warm-up, {after[0]} at end"
    assert after[1] == threads, f"threads: {threads} after warm-up, {after[1]} at end"
    growth = after[2] - resident
    assert growth <= RESIDENT_SLACK, (
        f"resident memory grew by {growth} bytes over {cycles - warm_up} cycles")


def test_store_cycles_keep_the_process_flat(tmp_path):
    executor = Executor(2)
    dictionary = trained_dictionary()
    paths = [bytes(tmp_path / f"store-{d}") for d in range(DIRECTORIES)]
    codecs = list(CODECS)
    assert_flat(STORE_CYCLES, lambda i: store_cycle(
        executor, paths[i % DIRECTORIES], codecs[i % len(codecs)], dictionary))
    executor.close()


def test_executor_cycles_keep_the_process_flat(tmp_path):
    """An Executor per cycle: the cycle's parallel stages start its workers, which close() must
    join (or destruction, every other cycle), and the stores free what they took from it."""
    path = bytes(tmp_path / "store")
    dictionary = trained_dictionary()
    dst = np.empty((3, 64), np.uint8)

    def run(i):
        executor = Executor(2 + i % 3)
        empty_directory(path)
        writer = Store.create(executor, path, CODECS["zstd_dict"], 2, dictionary, SCHEMA)
        writer.dense_append(DENSE.ctypes.data, 64, 8)
        writer.close(True)
        reader, _ = Store.open(executor, path)
        reader.dense_gather(np.array([7, 0, 3], np.uint64), dst, 64)
        assert np.array_equal(dst, DENSE[[7, 0, 3]])
        reader.close(False)
        if i % 2 == 0:
            executor.close()

    assert_flat(EXECUTOR_CYCLES, run)


def test_raised_errors_keep_the_process_flat(tmp_path):
    """Every error raised from the modules carries traceback entries of their own; making them
    must not cost memory for good."""
    executor = Executor(2)
    path = bytes(tmp_path / "store")
    Store.create(executor, path, CODECS["raw"], 1, NO_DICTIONARY, SCHEMA).close(True)
    reader, _ = Store.open(executor, path)
    past_the_end = np.zeros(1, np.uint64)
    dst = np.empty(64, np.uint8)
    indices = np.empty(1, np.uint64)

    def run(i):
        for call, arguments, error in (
                (reader.dense_gather, (past_the_end, dst, 64), QuarvelError),
                (reader.dense_gather, (past_the_end, dst[:1], 64), ValueError),
                (fill_iid, (0, 1, 0, 0, indices), ZeroDivisionError)):
            try:
                call(*arguments)
            except error:
                pass
            else:
                raise AssertionError(f"{call.__qualname__} raised nothing")

    assert_flat(ERROR_CYCLES, run)
    reader.close(False)
    executor.close()

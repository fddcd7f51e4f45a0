"""Store.dense_append and Store.dense_gather: round trips, their checks and engine failures."""

import threading
import traceback

import numpy as np
import pytest

from tavrill._store import CODECS, QuarvelError, Store

RECORD_BYTES = 96
SCHEMA = np.frombuffer(b"dense", np.uint8)


def make_records(count, seed=0):
    rng = np.random.default_rng(seed)
    base = rng.integers(0, 256, RECORD_BYTES, dtype=np.uint8)
    records = np.tile(base, (count, 1))
    records[:, :8] = np.arange(count, dtype=np.uint64).view(np.uint8).reshape(count, 8)
    return records


def dictionary(codec):
    # zstd takes any bytes as a raw-content dictionary.
    return make_records(4, seed=9).reshape(-1) if codec == "zstd_dict" else np.empty(0, np.uint8)


def create(executor, path, codec="raw", shards=3):
    return Store.create(executor, path, CODECS[codec], shards, dictionary(codec), SCHEMA)


def append(store, records):
    return store.dense_append(records.ctypes.data, records.shape[1], records.shape[0])


def gather(store, idxs, record_bytes=RECORD_BYTES):
    idxs = np.asarray(idxs, dtype=np.uint64)
    dst = np.zeros((idxs.size, record_bytes), np.uint8)
    store.dense_gather(idxs, dst, record_bytes)
    return dst


@pytest.mark.parametrize("codec", list(CODECS))
def test_round_trip_through_the_writer_and_after_reopen(executor, store_path, codec):
    records = make_records(50)
    writer = create(executor, store_path, codec)
    assert append(writer, records[:20]) == 0
    assert append(writer, records[20:]) == 20
    assert writer.length() == 50
    picks = [49, 0, 17, 17, 33, 2]
    assert np.array_equal(gather(writer, picks), records[picks])
    writer.close(sync=True)

    reader, _ = Store.open(executor, store_path)
    assert reader.length() == 50
    assert np.array_equal(gather(reader, picks), records[picks])
    # Indices in C order of any shape.
    square = np.array([[3, 1, 4], [1, 5, 9]], np.uint64)
    dst = np.zeros((6, RECORD_BYTES), np.uint8)
    reader.dense_gather(square, dst, RECORD_BYTES)
    assert np.array_equal(dst, records[square.reshape(-1)])
    reader.close(False)


def test_only_a_sync_publishes_to_later_readers(executor, tmp_path):
    records = make_records(5)
    for sync, seen in ((False, 0), (True, 5)):
        path = bytes(tmp_path / str(sync))
        writer = create(executor, path)
        append(writer, records)
        writer.close(sync)
        reader, _ = Store.open(executor, path)
        assert reader.length() == seen
        reader.close(False)


def test_append_checks_come_in_order(executor, store_path):
    store = create(executor, store_path)
    with pytest.raises(ValueError, match="^append CPU pointer must be nonzero$"):
        store.dense_append(0, 8, 0)
    with pytest.raises(ValueError, match="^append needs at least one record$"):
        store.dense_append(1, 8, 0)
    with pytest.raises(QuarvelError) as zero_size:
        store.dense_append(make_records(1).ctypes.data, 0, 1)
    assert zero_size.value.code == -4
    assert str(zero_size.value) == "record exceeds the 2147483648 byte limit"
    with pytest.raises(QuarvelError) as huge:
        store.dense_append(make_records(1).ctypes.data, 2**31 + 1, 1)
    assert huge.value.code in (-4, -1)
    with pytest.raises(QuarvelError) as overflow:
        store.dense_append(make_records(1).ctypes.data, 2**40, 2**40)
    assert overflow.value.code == -5
    assert store.length() == 0
    store.close(False)


def test_append_to_a_reader_fails_and_shows_check_in_the_traceback(executor, store_path):
    create(executor, store_path).close(True)
    reader, _ = Store.open(executor, store_path)
    with pytest.raises(QuarvelError) as caught:
        append(reader, make_records(2))
    assert caught.value.code == -2
    names = [frame.name for frame in traceback.extract_tb(caught.value.__traceback__)]
    assert names[-2:] == ["Store.dense_append", "_check"]
    assert reader.length() == 0
    reader.close(False)


@pytest.mark.parametrize("codec", ["zstd", "zstd_dict"])
def test_compressed_records_must_decode_to_record_bytes(executor, store_path, codec):
    store = create(executor, store_path, codec)
    append(store, make_records(3))
    for asked in (RECORD_BYTES - 1, 0):
        with pytest.raises(QuarvelError) as caught:
            gather(store, [1], asked)
        assert caught.value.code == -7
    store.close(False)


def test_raw_gather_checks_only_the_total(executor, store_path):
    store = create(executor, store_path)
    append(store, make_records(3))
    with pytest.raises(QuarvelError) as caught:
        store.dense_gather(np.array([0], np.uint64), np.zeros(8, np.uint8), 0)
    assert caught.value.code == -6
    store.close(False)


def test_index_past_the_end(executor, store_path):
    store = create(executor, store_path)
    append(store, make_records(3))
    with pytest.raises(QuarvelError) as caught:
        gather(store, [3])
    assert caught.value.code == -8
    store.close(False)


def test_gather_refuses_arrays_the_engine_would_misread(executor, store_path):
    store = create(executor, store_path)
    append(store, make_records(4))
    dst = np.zeros((2, RECORD_BYTES), np.uint8)
    misaligned = np.zeros(17, np.uint8)[1:].view(np.uint64)
    for idxs in (np.array([0, 1], np.int64), np.array([0, 9, 1], np.uint64)[::2],
                 np.array([0, 1], ">u8"), misaligned):
        with pytest.raises(ValueError, match="^idxs must be a C-contiguous uint64 array$"):
            store.dense_gather(idxs, dst, RECORD_BYTES)
    # unsigned long long is the same eight-byte unsigned integer as uint64 here.
    store.dense_gather(np.array([0, 1], np.ulonglong), dst, RECORD_BYTES)
    idxs = np.array([0, 1], np.uint64)
    read_only = np.zeros_like(dst)
    read_only.flags.writeable = False
    for bad in (read_only, np.zeros((2, RECORD_BYTES * 2), np.uint8)[:, ::2]):
        with pytest.raises(ValueError, match="^dst must be a writable C-contiguous array$"):
            store.dense_gather(idxs, bad, RECORD_BYTES)
    with pytest.raises(ValueError, match="^dst holds 191 bytes"):
        store.dense_gather(idxs, np.zeros(2 * RECORD_BYTES - 1, np.uint8), RECORD_BYTES)
    # A wider dtype counts in bytes; an overflowing request stays the engine's to refuse.
    store.dense_gather(idxs, np.zeros(2 * RECORD_BYTES // 8, np.uint64), RECORD_BYTES)
    with pytest.raises(QuarvelError) as caught:
        store.dense_gather(idxs, np.zeros(1, np.uint8), 2**63)
    assert caught.value.code == -5
    store.close(False)


def test_concurrent_appends_get_their_own_ranges(executor, store_path):
    store = create(executor, store_path, "zstd")
    batches = [make_records(40, seed=s) for s in range(6)]
    firsts = [None] * len(batches)
    barrier = threading.Barrier(len(batches))

    def run(i):
        barrier.wait()
        firsts[i] = append(store, batches[i])

    threads = [threading.Thread(target=run, args=(i,)) for i in range(len(batches))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert sorted(firsts) == list(range(0, 240, 40))
    assert store.length() == 240
    for first, batch in zip(firsts, batches):
        assert np.array_equal(gather(store, range(first, first + 40)), batch)
    store.close(True)

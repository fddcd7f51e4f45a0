"""Executor and Store lifecycles: create, open, close, destruction, collection, pickling."""

import copy
import gc
import pickle
import threading
import time

import numpy as np
import pytest

from tavrill._store import Executor, QuarvelError, Store

EMPTY = np.empty(0, np.uint8)


def schema_of(text):
    return np.frombuffer(text, np.uint8)


def create(executor, path, codec=0, shards=1, schema=b"schema"):
    return Store.create(executor, path, codec, shards, EMPTY, schema_of(schema))


def assert_closed(executor, path):
    """A store that is closed no longer holds its lock: a reader can open it."""
    reader, _ = Store.open(executor, path)
    reader.close(False)


# ---- Executor ----

def test_executor_close_twice_and_destroy_closed():
    executor = Executor(0)
    assert executor.close() is None
    assert executor.close() is None
    del executor


def test_destroying_an_open_executor_keeps_a_pending_exception():
    with pytest.raises(ZeroDivisionError):
        # The Executor on the evaluation stack is dropped while the error propagates.
        [Executor(2), 1 // 0]


@pytest.mark.parametrize("refuse", [pickle.dumps, copy.copy, copy.deepcopy,
                                    lambda e: e.__reduce__(), lambda e: e.__setstate__(None)])
def test_executor_refuses_pickling(refuse):
    with pytest.raises(TypeError, match="^no default __reduce__ due to non-trivial __cinit__$"):
        refuse(Executor(1))


# ---- Store: create, open, accessors, close ----

def test_open_returns_the_schema_and_settings_of_create(executor, store_path):
    schema = bytes(range(256)) * 7 + b"tail"
    writer = create(executor, store_path, codec=1, shards=7, schema=schema[:2040])
    assert (writer.length(), writer.codec(), writer.data_shards()) == (0, "zstd", 7)
    writer.close(True)
    reader, stored = Store.open(executor, store_path)
    assert type(stored) is bytes and stored == schema[:2040]
    assert (reader.length(), reader.codec(), reader.data_shards()) == (0, "zstd", 7)
    reader.close(False)


def test_open_of_a_missing_store(executor, tmp_path):
    with pytest.raises(FileNotFoundError) as caught:
        Store.open(executor, bytes(tmp_path / "absent" / "deeper"))
    assert str(caught.value) == "native store not found"
    assert not isinstance(caught.value, QuarvelError)


@pytest.mark.parametrize("codec, shards, schema", [
    (0, 1, b""), (0, 1, b"s" * 2041), (0, 0, b"s"), (3, 1, b"s"),
])
def test_create_refuses_what_the_engine_refuses(executor, store_path, codec, shards, schema):
    with pytest.raises(QuarvelError) as caught:
        create(executor, store_path, codec, shards, schema)
    assert caught.value.code == -8
    assert str(caught.value) == "invalid or unsupported quarvel store format"


def test_busy_and_existing_stores(executor, store_path):
    writer = create(executor, store_path)
    with pytest.raises(QuarvelError) as busy:
        Store.open(executor, store_path)
    assert busy.value.code == -13
    writer.close(True)
    with pytest.raises(QuarvelError) as exists:
        create(executor, store_path)
    assert exists.value.code == -12


def test_close_of_a_reader_with_sync_closes_then_raises(executor, store_path):
    create(executor, store_path).close(True)
    reader, _ = Store.open(executor, store_path)
    with pytest.raises(QuarvelError) as caught:
        reader.close(True)
    assert caught.value.code == -2 and str(caught.value) == "file I/O failed"
    assert reader.close(True) is None
    assert (reader.codec(), reader.data_shards()) == ("raw", 1)
    assert_closed(executor, store_path)


def test_close_takes_the_truth_of_sync_first(executor, store_path):
    class Undecided:
        def __bool__(self):
            raise LookupError("no truth")

    store = create(executor, store_path)
    with pytest.raises(LookupError):
        store.close(Undecided())
    assert store.length() == 0
    store.close(0)


def test_empty_store_object():
    store = Store()
    assert (store.codec(), store.data_shards()) == ("raw", 0)
    assert store.close(True) is None


def test_subclass_class_methods_make_subclass_instances(executor, store_path):
    class Local(Store):
        pass

    made = Local.create(executor, store_path, 0, 1, EMPTY, schema_of(b"x"))
    assert type(made) is Local
    made.close(True)
    opened, _ = Local.open(executor, store_path)
    assert type(opened) is Local
    opened.close(False)


@pytest.mark.parametrize("refuse", [pickle.dumps, copy.copy, copy.deepcopy,
                                    lambda s: s.__reduce__(), lambda s: s.__setstate__(None)])
def test_store_refuses_pickling(refuse):
    with pytest.raises(TypeError, match="^self.handle cannot be converted to a Python object for "
                                        "pickling$"):
        refuse(Store())


# ---- destruction and collection ----

def test_dropping_an_open_store_closes_it_and_keeps_a_pending_exception(executor, store_path):
    with pytest.raises(ZeroDivisionError):
        [create(executor, store_path), 1 // 0]
    assert_closed(executor, store_path)


def test_cycle_through_a_store_is_collected_without_closing_its_executor_early(tmp_path):
    class Linked(Store):
        pass

    path = bytes(tmp_path / "cycle")
    store = Linked.create(Executor(2), path, 1, 2, EMPTY, schema_of(b"c"))
    # The store holds the only reference to its Executor, and itself through its __dict__.
    store.me = store
    del store
    gc.collect()
    probe = Executor(1)
    assert_closed(probe, path)
    probe.close()


# ---- behaviour the engine cannot be trusted with ----

def test_cleared_store_refuses_engine_calls(executor, store_path):
    for store in (Store(), create(executor, store_path)):
        store.close(False)
        for call in (store.length,
                     lambda: store.dense_append(1, 8, 1),
                     lambda: store.dense_gather(np.zeros(1, np.uint64), np.zeros(8, np.uint8), 8)):
            with pytest.raises(ValueError, match="^store is closed$"):
                call()
        assert store.dense_gather(np.zeros((2, 0), np.uint64), EMPTY, 8) is None


def test_closed_executor_makes_no_stores(store_path):
    executor = Executor(1)
    executor.close()
    with pytest.raises(ValueError, match="^executor is closed$"):
        create(executor, store_path)
    with pytest.raises(ValueError, match="^executor is closed$"):
        Store.open(executor, store_path)


def test_executor_closed_under_open_stores_lives_until_the_last_closes(tmp_path):
    executor = Executor(2)
    first = create(executor, bytes(tmp_path / "a"), codec=1)
    second = create(executor, bytes(tmp_path / "b"), codec=2)
    assert executor.close() is None
    with pytest.raises(ValueError, match="executor is closed"):
        create(executor, bytes(tmp_path / "c"))
    assert first.length() == 0
    first.close(True)
    assert second.length() == 0
    second.close(True)
    probe = Executor(1)
    assert_closed(probe, bytes(tmp_path / "b"))
    probe.close()


def test_concurrent_closes_release_once(tmp_path):
    executor = Executor(2)
    stores = [create(executor, bytes(tmp_path / str(i))) for i in range(8)]
    barrier = threading.Barrier(4)

    def close_everything():
        barrier.wait()
        executor.close()
        for store in stores:
            store.close(True)

    threads = [threading.Thread(target=close_everything) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    probe = Executor(1)
    for i in range(8):
        assert_closed(probe, bytes(tmp_path / str(i)))
    probe.close()


def test_create_refuses_arrays_the_engine_would_read_past(executor, store_path):
    with pytest.raises(ValueError, match="^schema must be a C-contiguous array$"):
        Store.create(executor, store_path, 0, 1, EMPTY, schema_of(b"abcdef")[::-1])
    with pytest.raises(ValueError, match="^dict_data must be a C-contiguous array$"):
        Store.create(executor, store_path, 2, 1, np.broadcast_to(np.uint8(1), 4096),
                     schema_of(b"s"))


# ---- closing while other threads use the store ----

def test_close_while_other_threads_gather_never_frees_the_handle_under_them(executor, store_path):
    record_bytes = 4096
    count = 512
    writer = create(executor, store_path, codec=1, shards=4)
    records = np.random.default_rng(7).integers(0, 4, (count, record_bytes), dtype=np.uint8)
    writer.dense_append(records.ctypes.data, record_bytes, count)
    writer.close(True)

    reader, _ = Store.open(executor, store_path)
    idxs = np.arange(count, dtype=np.uint64)
    # Every thread has gathered once before the close, so the close lands among running gathers.
    warmed_up = threading.Barrier(5)
    outcomes = []

    def gather_until_closed():
        dst = np.empty((count, record_bytes), np.uint8)
        gathered = 0
        while True:
            try:
                reader.dense_gather(idxs, dst, record_bytes)
            except ValueError as error:
                outcomes.append((str(error), gathered))
                return
            except Exception as error:  # a gather that ran on a released handle
                outcomes.append((repr(error), gathered))
                return
            assert np.array_equal(dst, records)
            gathered += 1
            if gathered == 1:
                warmed_up.wait()

    threads = [threading.Thread(target=gather_until_closed) for _ in range(4)]
    for thread in threads:
        thread.start()
    warmed_up.wait()
    time.sleep(0.05)
    reader.close(False)
    for thread in threads:
        thread.join()
    assert [message for message, _ in outcomes] == ["store is closed"] * 4
    # Once the last gather has let go, the handle is released and its lock with it.
    assert_closed(executor, store_path)

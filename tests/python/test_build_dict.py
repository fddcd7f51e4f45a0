"""build_dict: its checks and failures, and a trained dictionary used by a zstd_dict store."""

import json
import random
import re
import struct
import threading
import types

import numpy as np
import pytest

import tavrill._store as store_module
from tavrill._store import CODECS, QuarvelError, Store, build_dict

TRAINING_FAILED = "zstd dictionary training failed (too few or too small samples)"
RECORD_COUNT = 3000
RECORD_BYTES = 224
TARGET = 8192
DICTIONARY_MAGIC = 0xEC30A437
FRAME_MAGIC = 0xFD2FB528
HEADER_BYTES = 4096


def message(text):
    return "^" + re.escape(text) + "$"


def json_records(count=RECORD_COUNT, seed=7):
    """Event records that share their keys and most of their values, as logs do."""
    rng = random.Random(seed)
    records = []
    for i in range(count):
        event = {
            "id": i, "user": f"user_{rng.randrange(500):04d}",
            "event": rng.choice(["click", "view", "purchase", "scroll", "share"]),
            "ts": 1_700_000_000 + rng.randrange(10**6), "score": round(rng.random(), 4),
            "tags": rng.sample(["new", "mobile", "web", "promo", "eu", "us"], 2),
            "ok": rng.random() < 0.9,
        }
        records.append(json.dumps(event).encode())
    return records


def as_samples(records):
    return (np.frombuffer(b"".join(records), np.uint8),
            np.array([len(record) for record in records], np.uint64))


@pytest.fixture(scope="module")
def corpus():
    records = json_records()
    samples, sizes = as_samples(records)
    return records, samples, sizes, build_dict(samples, sizes, TARGET)


@pytest.mark.parametrize("call, error, text", [
    (lambda: build_dict(), TypeError, "build_dict() takes exactly 3 positional arguments (0 given)"),
    (lambda: build_dict(1, 2, 3, 4), TypeError,
     "build_dict() takes exactly 3 positional arguments (4 given)"),
    (lambda: build_dict(None, None, target=1, extra=2), TypeError,
     "build_dict() got an unexpected keyword argument 'extra'"),
    # The target converts before either array is looked at.
    (lambda: build_dict(None, None, -1), OverflowError, "can't convert negative value to size_t"),
    (lambda: build_dict(None, None, "256"), TypeError, "an integer is required"),
    (lambda: build_dict(None, None, 2**64), OverflowError, None),  # the interpreter's message
    (lambda: build_dict(b"abc", np.empty(0, np.uint64), 256), TypeError,
     "Argument 'samples' has incorrect type (expected numpy.ndarray, got bytes)"),
    (lambda: build_dict(None, None, 256), TypeError,
     "Argument 'samples' has incorrect type (expected numpy.ndarray, got NoneType)"),
    # Type tests come before the checks on the arrays' layout.
    (lambda: build_dict(np.zeros((4, 4), np.uint8).T, [1], 256), TypeError,
     "Argument 'sizes' has incorrect type (expected numpy.ndarray, got list)"),
])
def test_argument_errors(call, error, text):
    with pytest.raises(error, match=text and message(text)):
        call()


@pytest.mark.parametrize("samples, sizes, name", [
    (np.zeros((64, 64), np.uint8).T, np.full(64, 64, np.uint64), "samples"),
    (np.zeros(64, np.uint8), np.full(2, 32, np.int64), "sizes"),
    (np.zeros(64, np.uint8), np.full(4, 32, np.uint64)[::2], "sizes"),
    (np.zeros(64, np.uint8), np.full(2, 32, ">u8"), "sizes"),
    (np.zeros(64, np.uint8), np.frombuffer(bytes(17), np.uint64, 2, offset=1), "sizes"),
])
def test_arrays_the_engine_would_misread_are_refused(samples, sizes, name):
    with pytest.raises(ValueError, match=f"^{name} must be "):
        build_dict(samples, sizes, 256)


@pytest.mark.parametrize("target, sizes", [
    (255, None),
    (TARGET, np.empty(0, np.uint64)),
    (TARGET, "one short"),
])
def test_engine_refusals_raise_quarvel_error(corpus, target, sizes):
    _, samples, all_sizes, _ = corpus
    if sizes is None:
        sizes = all_sizes
    elif isinstance(sizes, str):
        sizes = all_sizes.copy()
        sizes[-1] -= 1
    with pytest.raises(QuarvelError, match=message(TRAINING_FAILED)) as raised:
        build_dict(samples, sizes, target)
    assert raised.value.code == -9


def test_samples_count_bytes_not_elements():
    records = [record + b" " * (len(record) % 2) for record in json_records(1000)]
    samples, sizes = as_samples(records)
    wide = samples.view(np.uint16)
    assert len(build_dict(wide, sizes.astype(np.ulonglong), 1024)) <= 1024
    with pytest.raises(QuarvelError):
        build_dict(wide, sizes // 2, 1024)


def test_output_buffer_comes_from_the_modules_np(monkeypatch):
    # A rebound np that hands back too small a buffer must not let the engine write past it.
    fake = types.SimpleNamespace(empty=lambda count, dtype: np.empty(count // 2, dtype),
                                 uint8=np.uint8)
    monkeypatch.setattr(store_module, "np", fake)
    samples, sizes = as_samples(json_records(100))
    with pytest.raises(ValueError, match="^dictionary buffer must be "):
        build_dict(samples, sizes, 4096)

    class Refused(Exception):
        pass

    def refuse(count, dtype):
        raise Refused(count)

    monkeypatch.setattr(fake, "empty", refuse)
    with pytest.raises(Refused):
        build_dict(samples, sizes, 4096)


def padded(records):
    return np.frombuffer(b"".join(record.ljust(RECORD_BYTES) for record in records),
                         np.uint8).reshape(len(records), RECORD_BYTES)


def shard_bytes(path, shards):
    return sum((path / f"data_{s}.qv").stat().st_size for s in range(shards))


def stored_frames(path, shards, count):
    meta = (path / "meta.qv").read_bytes()
    data = [(path / f"data_{s}.qv").read_bytes() for s in range(shards)]
    for g in range(count):
        offset, stored_len, raw_len = struct.unpack_from("<QII", meta, HEADER_BYTES + 16 * g)
        assert raw_len == RECORD_BYTES
        yield data[g % shards][offset:offset + stored_len]


def frame_dictionary_id(frame):
    magic, descriptor = struct.unpack_from("<IB", frame)
    assert magic == FRAME_MAGIC
    id_bytes = (0, 1, 2, 4)[descriptor & 3]
    single_segment = descriptor & 0x20
    start = 5 if single_segment else 6  # a window descriptor byte unless single segment
    return int.from_bytes(frame[start:start + id_bytes], "little")


def test_trained_dictionary_shrinks_stored_frames(executor, tmp_path, corpus):
    records, _, _, dictionary = corpus
    assert isinstance(dictionary, bytes) and 256 <= len(dictionary) <= TARGET
    magic, dictionary_id = struct.unpack_from("<II", dictionary)
    assert magic == DICTIONARY_MAGIC and dictionary_id != 0

    rows = padded(records)
    shards, every = 3, np.arange(RECORD_COUNT, dtype=np.uint64)
    paths = {}
    for codec, dict_data in (("zstd", np.empty(0, np.uint8)),
                             ("zstd_dict", np.frombuffer(dictionary, np.uint8))):
        path = paths[codec] = tmp_path / codec
        schema = np.frombuffer(b"events", np.uint8)
        writer = Store.create(executor, bytes(path), CODECS[codec], shards, dict_data, schema)
        writer.dense_append(rows.ctypes.data, RECORD_BYTES, RECORD_COUNT)
        gathered = np.zeros_like(rows)
        writer.dense_gather(every, gathered, RECORD_BYTES)
        assert np.array_equal(gathered, rows)
        writer.close(True)
        reader, _ = Store.open(executor, bytes(path))
        gathered[:] = 0
        reader.dense_gather(every[::-1].copy(), gathered, RECORD_BYTES)
        assert np.array_equal(gathered[::-1], rows)
        reader.close(False)

    assert shard_bytes(paths["zstd_dict"], shards) < shard_bytes(paths["zstd"], shards)
    assert {frame_dictionary_id(f)
            for f in stored_frames(paths["zstd_dict"], shards, RECORD_COUNT)} == {dictionary_id}
    assert {frame_dictionary_id(f) for f in stored_frames(paths["zstd"], shards, 50)} == {0}


def test_concurrent_calls_train_the_same_dictionary(corpus):
    _, samples, sizes, dictionary = corpus
    results = [None] * 3
    start = threading.Barrier(len(results))

    def train(slot):
        start.wait()
        results[slot] = build_dict(samples, sizes, TARGET)

    threads = [threading.Thread(target=train, args=(slot,)) for slot in range(len(results))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == [dictionary] * len(results)

"""A first look at tavrill's record store.

Makes one store per codec in a temporary directory, appends fixed-size records to it, syncs and
reopens it, gathers a random batch back by index and checks it byte for byte.

    make demo        (or: .venv/bin/python examples/quickstart.py)
"""

import os
import tempfile
import time

import numpy as np

from tavrill import _store

RECORDS = 20_000
RECORD_BYTES = 512
BATCH = 256


def make_records(rng):
    """Token sequences: 256 uint16 tokens from a vocabulary of 300, as training data often is."""
    tokens = rng.integers(0, 300, size=(RECORDS, RECORD_BYTES // 2), dtype=np.uint16)
    return tokens.view(np.uint8)


def dictionary_for(codec, records):
    """The zstd_dict codec wants a dictionary, trained here on the first 2000 records."""
    if codec != "zstd_dict":
        return np.empty(0, np.uint8)
    samples = records[:2000]
    sizes = np.full(len(samples), RECORD_BYTES, np.uint64)
    return np.frombuffer(_store.build_dict(samples, sizes, 16 * 1024), np.uint8)


def stored_bytes(directory):
    return sum(os.path.getsize(os.path.join(directory, name))
               for name in os.listdir(directory) if name.startswith("data_"))


def run_codec(executor, root, codec, records, batch):
    path = f"{root}/{codec}"
    schema = np.frombuffer(f"demo records of {RECORD_BYTES} bytes".encode(), np.uint8)
    writer = _store.Store.create(executor, path.encode(), _store.CODECS[codec], 4,
                                 dictionary_for(codec, records), schema)
    started = time.perf_counter()
    half = RECORDS // 2
    first = writer.dense_append(records.ctypes.data, RECORD_BYTES, half)
    second = writer.dense_append(records[half:].ctypes.data, RECORD_BYTES, RECORDS - half)
    appended = time.perf_counter() - started
    assert (first, second, writer.length()) == (0, half, RECORDS)
    writer.close(sync=True)

    reader, stored_schema = _store.Store.open(executor, path.encode())
    destination = np.empty((len(batch), RECORD_BYTES), np.uint8)
    started = time.perf_counter()
    reader.dense_gather(batch, destination, RECORD_BYTES)
    gathered = time.perf_counter() - started
    assert np.array_equal(destination, records[batch]), f"{codec}: gathered bytes differ"
    print(f"  {codec:<9}  {reader.length()} records in {reader.data_shards()} shards, "
          f"{stored_bytes(path) / records.nbytes:6.1%} of raw size on disk; "
          f"append {appended * 1e3:6.1f} ms, gather of {len(batch)} {gathered * 1e3:5.2f} ms")
    assert stored_schema == schema.tobytes()
    reader.close(sync=False)


def main():
    rng = np.random.default_rng(2024)
    records = make_records(rng)
    batch = rng.integers(0, RECORDS, size=BATCH, dtype=np.uint64)
    executor = _store.Executor(4)
    print(f"{RECORDS} records of {RECORD_BYTES} bytes, gathered back in a random batch of "
          f"{BATCH}:")
    with tempfile.TemporaryDirectory(prefix="tavrill-demo-") as root:
        for codec in _store.CODECS:
            run_codec(executor, root, codec, records, batch)
    executor.close()
    print("every gathered record matched what was appended.")


if __name__ == "__main__":
    main()

"""A first look at tavrill's record store.

Makes one store per codec in a temporary directory, appends fixed-size records to it, syncs and
reopens it, gathers a random batch back by index and checks it byte for byte. Then appends
token sequences of varying length as ragged records and gathers a batch of them into one buffer,
values and cu_seqlens side by side. Last, it trains over two epochs the way a training loop would:
every batch's indices come from the sampler's fill_cyclic, a new permutation of the records for
each epoch, recomputable from (seed, step) alone.

    make demo        (or: .venv/bin/python examples/quickstart.py)
"""

import os
import tempfile
import time

import numpy as np

from tavrill import _sampler, _store

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


class Allocation:
    """One block of NumPy memory starting at a multiple of 16, as Store.ragged_gather wants."""

    def __init__(self, size):
        backing = np.empty(size + 16, np.uint8)
        start = (-backing.ctypes.data) % 16
        self.memory = backing[start:start + size]
        self.size = size

    def view(self, dtype, shape):
        return self.memory.view(dtype).reshape(shape)


class Allocator:
    """The caller's allocator: a ragged gather sizes its buffer only once it knows the records."""

    def acquire(self, size, alignment):
        assert alignment == 16
        return Allocation(size)


def run_ragged(executor, root, rng):
    """Token sequences of 1 to 40 tokens, each stored with its shape header (one dimension)."""
    sequences = [rng.integers(0, 300, size=int(rng.integers(1, 41)), dtype=np.int32)
                 for _ in range(1000)]
    values = np.concatenate(sequences)
    cu_seqlens = np.zeros(len(sequences) + 1, np.int32)
    cu_seqlens[1:] = np.cumsum([len(s) for s in sequences])
    shapes = np.array([[len(s)] for s in sequences], np.uint64)
    path = f"{root}/ragged".encode()
    writer = _store.Store.create(executor, path, _store.CODECS["zstd"], 2, np.empty(0, np.uint8),
                                 np.frombuffer(b"int32 token sequences", np.uint8))
    first = writer.ragged_append(values.ctypes.data, values.size, values.itemsize,
                                 cu_seqlens.ctypes.data, cu_seqlens.size, shapes.ctypes.data,
                                 len(sequences), 1, _store.MAX_RECORD_LEN)
    assert first == 0
    writer.close(sync=True)

    reader, _ = _store.Store.open(executor, path)
    batch = np.array([17, 3, 998, 3, 250], np.uint64)
    n = len(batch)
    _, dst, data_total, values_offset, tail_offset = reader.ragged_gather(
        batch, Allocator(), header_len=8, tail_bytes=4 * (n + 1), itemsize=4)
    gathered_cu_seqlens = dst[tail_offset:tail_offset + 4 * (n + 1)].view(np.int32)
    tokens = dst[values_offset:values_offset + data_total].view(np.int32)
    stored_lengths = dst[:8 * n].view(np.uint64)
    for i, index in enumerate(batch):
        start, end = gathered_cu_seqlens[i], gathered_cu_seqlens[i + 1]
        assert np.array_equal(tokens[start:end], sequences[index]), f"ragged record {index} differs"
        assert stored_lengths[i] == len(sequences[index])
    print(f"  ragged     {reader.length()} token sequences; batch {batch.tolist()} gathered as "
          f"{tokens.size} tokens with cu_seqlens {gathered_cu_seqlens.tolist()}")
    reader.close(sync=False)


def run_epochs(executor, root, records, seed=7, epochs=2):
    """Two epochs over the zstd store, in batches drawn by fill_cyclic."""
    usable = RECORDS - RECORDS % BATCH  # the sampler hands out whole batches only
    steps_per_epoch = usable // BATCH
    reader, _ = _store.Store.open(executor, f"{root}/zstd".encode())
    indices = np.empty(BATCH, np.uint64)
    destination = np.empty((BATCH, RECORD_BYTES), np.uint8)
    orders = []
    for epoch in range(epochs):
        seen = []
        for step in range(epoch * steps_per_epoch, (epoch + 1) * steps_per_epoch):
            _sampler.fill_cyclic(RECORDS, BATCH, seed, step, indices)
            reader.dense_gather(indices, destination, RECORD_BYTES)
            assert np.array_equal(destination, records[indices]), f"step {step} differs"
            seen.append(indices.copy())
        order = np.concatenate(seen)
        assert len(np.unique(order)) == usable, "an epoch visits each record at most once"
        orders.append(order)
    reader.close(sync=False)
    print(f"  epochs     {epochs} x {steps_per_epoch} batches of {BATCH} drawn by fill_cyclic; "
          f"each epoch a new order (first batch starts {orders[0][:3].tolist()} then "
          f"{orders[1][:3].tolist()})")
    assert not np.array_equal(orders[0], orders[1])


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
        run_ragged(executor, root, rng)
        run_epochs(executor, root, records)
    executor.close()
    print("every gathered record matched what was appended.")


if __name__ == "__main__":
    main()

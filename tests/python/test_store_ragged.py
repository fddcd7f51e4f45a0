"""Store.ragged_append and Store.ragged_gather: layouts, cu_seqlens, checks and round trips."""

import gc
import os
import re
import threading
import traceback

import numpy as np
import pytest

from allocation import SENTINEL
from allocation import Allocation as PlainAllocation
from tavrill import _store
from tavrill._store import CODECS, QuarvelError, Store

SCHEMA = np.frombuffer(b"ragged", np.uint8)
U64 = 2**64


def message(text):
    return "^" + re.escape(text) + "$"


def create(executor, path, codec="raw", shards=3):
    # zstd takes any bytes as a raw-content dictionary.
    dictionary = (np.arange(512, dtype=np.float32).view(np.uint8) if codec == "zstd_dict"
                  else np.empty(0, np.uint8))
    return Store.create(executor, path, CODECS[codec], shards, dictionary, SCHEMA)


class Allocation(PlainAllocation):
    """As the shared one, filled with SENTINEL unless told otherwise, so that bytes nobody wrote
    can be told apart."""

    def __init__(self, size, extra=0, shift=0, fill=True):
        super().__init__(size, extra, shift, fill)


class Allocator:
    """Records every acquire and checks that it is asked the way the protocol says."""

    def __init__(self, extra=0, shift=0, make=Allocation):
        self.calls = []
        self.extra = extra
        self.shift = shift
        self.make = make

    def acquire(self, size, alignment):
        assert type(size) is int and type(alignment) is int
        assert alignment == 16
        self.calls.append((size, alignment))
        return self.make(size, self.extra, self.shift)


class FailingAllocator:
    def __init__(self):
        self.calls = 0

    def acquire(self, size, alignment):
        self.calls += 1
        raise KeyError("no memory for you")


def append_arrays(store, arrays, max_record_len=2**31):
    """Appends arrays of one ndim as ragged float32 records (shape header, then values)."""
    ndim = arrays[0].ndim
    values = np.concatenate([np.asarray(a, np.float32).reshape(-1) for a in arrays])
    cu_seqlens = np.zeros(len(arrays) + 1, np.int32)
    cu_seqlens[1:] = np.cumsum([a.size for a in arrays])
    shapes = np.array([a.shape for a in arrays], np.uint64).reshape(len(arrays), ndim)
    return store.ragged_append(values.ctypes.data, values.size, 4, cu_seqlens.ctypes.data,
                               cu_seqlens.size, shapes.ctypes.data, len(arrays), ndim,
                               max_record_len)


def split(result, n, ndim):
    """The arrays of a gather with header_len 8 × ndim and itemsize 4, read through cu_seqlens
    and the stored shape headers."""
    _, dst, data_total, values_offset, tail_offset = result
    cu_seqlens = dst[tail_offset:tail_offset + 4 * (n + 1)].view(np.int32)
    headers = dst[:8 * ndim * n].view(np.uint64).reshape(n, ndim)
    values = dst[values_offset:values_offset + data_total].view(np.float32)
    return [values[cu_seqlens[i]:cu_seqlens[i + 1]].reshape(tuple(int(d) for d in headers[i]))
            for i in range(n)]


def gather(store, idxs, allocator=None, header_len=0, tail_bytes=0, itemsize=0):
    return store.ragged_gather(np.asarray(idxs, np.uint64), allocator or Allocator(), header_len,
                               tail_bytes, itemsize)


# ---- the append's worked example and its checks ----

TWO_VALUES = np.arange(10, dtype=np.float32)
TWO_CU = np.array([0, 4, 10], np.int32)
TWO_SHAPES = np.array([[2, 2], [3, 2]], np.uint64)


def append_two(store, max_record_len, shapes=TWO_SHAPES, cu_seqlens=TWO_CU):
    return store.ragged_append(TWO_VALUES.ctypes.data, 10, 4, cu_seqlens.ctypes.data,
                               cu_seqlens.size, shapes.ctypes.data, 2, 2, max_record_len)


def test_two_records_of_two_dimensions(executor, store_path):
    store = create(executor, store_path)
    assert append_two(store, 64) == 0
    assert append_two(store, 40) == 2  # record 1 is exactly 16 + 24 bytes
    with pytest.raises(ValueError,
                       match=message("encoded record exceeds the 39 byte record limit")):
        append_two(store, 39)
    assert store.length() == 4
    # Without a header the records come back whole: shape, then values; 32 and 40 bytes.
    allocator = Allocator()
    whole = gather(store, [0, 1], allocator)
    assert allocator.calls == [(72, 16)]
    assert whole[2:] == (72, 0, 72)
    assert whole[1][:32].view(np.uint64)[:2].tolist() == [2, 2]
    assert np.array_equal(whole[1][16:32].view(np.float32), TWO_VALUES[:4])
    assert whole[1][32:48].view(np.uint64).tolist() == [3, 2]
    assert np.array_equal(whole[1][48:72].view(np.float32), TWO_VALUES[4:])
    first, second = split(gather(store, [2, 3], header_len=16, tail_bytes=12, itemsize=4), 2, 2)
    assert np.array_equal(first, TWO_VALUES[:4].reshape(2, 2))
    assert np.array_equal(second, TWO_VALUES[4:].reshape(3, 2))
    store.close(False)


@pytest.mark.parametrize("shapes", [[[2, 2], [5, 2]], [[2, 2], [0, 6]], [[2, 2], [3, 5]]],
                         ids=["product", "zero", "passes-part-way"])
def test_shapes_that_do_not_match_append_nothing(executor, store_path, shapes):
    store = create(executor, store_path)
    with pytest.raises(ValueError, match=message("ragged cu_seqlens do not match record shapes")):
        append_two(store, 64, np.array(shapes, np.uint64))
    assert store.length() == 0
    store.close(False)


def test_append_checks_in_order(executor, store_path):
    store = create(executor, store_path)
    values = TWO_VALUES.ctypes.data
    cu = TWO_CU.ctypes.data
    shapes = TWO_SHAPES.ctypes.data
    # Arrays that must outlive the calls that read them.
    negative_end = np.array([0, -1], np.int32)
    late_start = np.array([1, 4, 10], np.int32)
    repeated = np.array([0, 4, 4, 10], np.int32)
    three_shapes = np.array([[2, 2], [1, 1], [3, 2]], np.uint64)
    uneven = np.array([0, 6, 10], np.int32)
    cases = [
        ((0, 0, 0, 0, 0, 0, 0, 0, 0), ValueError, "ragged append CPU pointers must be nonzero"),
        ((values, 10, 4, cu, 3, 0, 2, 2, 64), ValueError,
         "ragged append CPU pointers must be nonzero"),
        ((values, 10, 0, cu, 3, shapes, 0, 0, 64), ValueError, "append needs at least one record"),
        ((values, 10, 0, cu, 3, shapes, 2, 2, 64), ValueError,
         "ragged append geometry must be nonzero"),
        ((values, 10, 4, cu, 3, shapes, 2, 0, 64), ValueError,
         "ragged append geometry must be nonzero"),
        ((values, 10, 4, cu, 4, shapes, 2, 2, 64), ValueError,
         "ragged cu_seqlens length must equal records + 1"),
        # record_count + 1 wraps to 0 and must not match; cu_seqlens is not read.
        ((values, 10, 4, 8, 0, shapes, U64 - 1, 2, 64), ValueError,
         "ragged cu_seqlens length must equal records + 1"),
        ((values, 9, 4, cu, 3, shapes, 2, 2, 64), ValueError,
         "ragged cu_seqlens must span all values"),
        # The sign of the last entry decides, not the equality.
        ((values, 2**32 - 1, 4, negative_end.ctypes.data, 2, shapes, 1, 2, 64),
         ValueError, "ragged cu_seqlens must span all values"),
        ((values, 10, 4, late_start.ctypes.data, 3, shapes, 2, 2, 64),
         ValueError, "ragged cu_seqlens must span all values"),
        ((values, 10, 4, repeated.ctypes.data, 4, three_shapes.ctypes.data, 3, 2, 64),
         ValueError, "ragged cu_seqlens must be strictly increasing"),
        ((values, 10, 4, uneven.ctypes.data, 3, shapes, 2, 2, 64),
         ValueError, "ragged cu_seqlens do not match record shapes"),
    ]
    for arguments, kind, text in cases:
        with pytest.raises(kind, match=message(text)):
            store.ragged_append(*arguments)
    assert store.length() == 0
    store.close(False)


def test_sizes_that_cannot_be_allocated(executor, store_path):
    store = create(executor, store_path)
    values = TWO_VALUES.ctypes.data
    cu = TWO_CU.ctypes.data
    shapes = TWO_SHAPES.ctypes.data
    zeros = np.zeros(1, np.int32)
    cases = [
        (values, 10, 2**62, cu, 3, shapes, 2, 2, 64),  # value bytes overflow
        # 4 × 2^62 wraps to 0, so cu_seqlens[0] and cu_seqlens[2^62] are the same int32.
        (values, 0, 4, zeros.ctypes.data, 2**62 + 1, shapes, 2**62, 2, 64),
        (values, 10, 4, cu, 3, shapes, 2, 2, 15),  # max_record_len below the header
        (values, 10, 4, cu, 3, shapes, 2, 2**61, U64 - 1),  # the header alone exceeds 64 bits
        (values, 10, 4, cu, 3, shapes, 2, 2**60, U64 - 1),  # two headers exceed 64 bits
        (values, 10, 4, cu, 3, shapes, 2, 2**59, U64 - 1),  # 2^63 header bytes: malloc fails
    ]
    for arguments in cases:
        with pytest.raises(MemoryError) as caught:
            store.ragged_append(*arguments)
        assert caught.value.args == ()
    assert store.length() == 0
    store.close(False)


def test_batch_whose_total_passes_64_bits_is_a_full_store(executor, store_path):
    store = create(executor, store_path)
    # Four elements of 2^62 - 1 bytes in records of 1 and 3; with their two 8-byte headers the
    # batch passes 2^64 - 1 bytes although each record fits max_record_len.
    cu = np.array([0, 1, 4], np.int32)
    shapes = np.array([[1], [3]], np.uint64)
    with pytest.raises(QuarvelError) as caught:
        store.ragged_append(TWO_VALUES.ctypes.data, 4, 2**62 - 1, cu.ctypes.data, 3,
                            shapes.ctypes.data, 2, 1, U64 - 1)
    assert caught.value.code == -5
    assert str(caught.value) == "store is full"
    store.close(False)


def test_engine_refusal_goes_through_check(executor, store_path):
    create(executor, store_path).close(True)
    reader, _ = Store.open(executor, store_path)
    with pytest.raises(QuarvelError) as caught:
        append_two(reader, 64)
    assert caught.value.code == -2
    names = [frame.name for frame in traceback.extract_tb(caught.value.__traceback__)]
    assert names[-2:] == ["Store.ragged_append", "_check"]
    assert reader.length() == 0
    reader.close(False)


def test_argument_binding_and_conversion(executor, store_path):
    store = create(executor, store_path)
    with pytest.raises(TypeError, match=message(
            "ragged_append() takes exactly 9 positional arguments (8 given)")):
        store.ragged_append(*range(1, 9))
    with pytest.raises(OverflowError, match=message("can't convert negative value to size_t")):
        store.ragged_append(1, 1, 1, 1, 2, 1, 1, 1, -1)
    with pytest.raises(TypeError, match=message(
            "ragged_gather() takes at least 2 positional arguments (1 given)")):
        store.ragged_gather(np.zeros(1, np.uint64))
    with pytest.raises(TypeError, match=message(
            "ragged_gather() takes at most 5 positional arguments (6 given)")):
        store.ragged_gather(np.zeros(1, np.uint64), Allocator(), 0, 0, 0, 0)
    # A required argument that keywords leave unset reports its position as the count.
    with pytest.raises(TypeError, match=message(
            "ragged_gather() takes at least 2 positional arguments (1 given)")):
        store.ragged_gather(idxs=np.zeros(1, np.uint64), itemsize=4)
    with pytest.raises(OverflowError, match=message("can't convert negative value to size_t")):
        store.ragged_gather(np.zeros(1, np.uint64), Allocator(), 0, -1)
    with pytest.raises(TypeError, match=message("an integer is required")):
        store.ragged_gather(np.zeros(1, np.uint64), Allocator(), itemsize="4")
    # Conversions come before the type test of idxs.
    with pytest.raises(TypeError, match=message(
            "Argument 'idxs' has incorrect type (expected numpy.ndarray, got list)")):
        store.ragged_gather([0], Allocator())
    assert append_two(store, 64) == 0
    result = store.ragged_gather(allocator=Allocator(), idxs=np.arange(2, dtype=np.uint64),
                                 itemsize=4, header_len=16, tail_bytes=12)
    assert result[2:] == (40, 32, 80)
    store.close(False)


# ---- the gather's worked example ----

def three_records(store):
    """Records of 8 + 12, 8 + 4 and 8 + 20 bytes: shapes (3,), (1,) and (5,) of float32."""
    arrays = [np.arange(3, dtype=np.float32), np.array([7], np.float32),
              np.arange(10, 15, dtype=np.float32)]
    assert append_arrays(store, arrays) == 0
    return arrays


def untouched(memory):
    return bool(np.all(memory == SENTINEL))


@pytest.mark.parametrize("codec", list(CODECS))
def test_three_records_with_header_and_cu_seqlens(executor, store_path, codec):
    store = create(executor, store_path, codec)
    arrays = three_records(store)
    allocator = Allocator(extra=40)
    result = gather(store, [0, 1, 2], allocator, header_len=8, tail_bytes=16, itemsize=4)
    allocation, dst, data_total, values_offset, tail_offset = result
    assert allocator.calls == [(96, 16)]
    assert (data_total, values_offset, tail_offset) == (36, 32, 80)
    assert dst.dtype == np.uint8 and dst.shape == (allocation.size,) and dst.size == 136
    assert dst[80:96].view(np.int32).tolist() == [0, 3, 4, 9]
    assert dst[:24].view(np.uint64).tolist() == [3, 1, 5]
    assert np.array_equal(dst[32:68].view(np.float32), np.concatenate(arrays))
    # The gaps after the headers and the values, and everything past the size asked.
    assert untouched(dst[24:32]) and untouched(dst[68:80]) and untouched(dst[96:])
    store.close(False)


def test_tail_sizes_and_offsets(executor, store_path):
    store = create(executor, store_path)
    three_records(store)
    for tail_bytes, asked in ((12, 92), (0, 68)):
        allocator = Allocator()
        with pytest.raises(ValueError, match=message("ragged tail is too small for cu_seqlens")):
            gather(store, [0, 1, 2], allocator, header_len=8, tail_bytes=tail_bytes, itemsize=4)
        assert allocator.calls == [(asked, 16)]
    allocator = Allocator()
    result = gather(store, [0, 1, 2], allocator, header_len=8)
    assert allocator.calls == [(68, 16)]
    assert result[2:] == (36, 32, 68)
    assert gather(store, [0, 1, 2])[2:] == (60, 0, 60)
    # A tail that carries the size past 64 bits is refused before anything is acquired, and the
    # plan is freed: the store still closes and reopens.
    allocator = Allocator()
    with pytest.raises(OverflowError,
                       match=message("ragged destination exceeds the addressable buffer")):
        gather(store, [0, 1, 2], allocator, header_len=8, tail_bytes=2**64 - 64)
    assert allocator.calls == []
    store.close(False)
    Store.open(executor, store_path)[0].close(False)


def test_a_header_of_three_dimensions_needs_no_gap(executor, store_path):
    store = create(executor, store_path)
    arrays = [np.ones((1, 2, 3), np.float32), np.zeros((2, 1, 1), np.float32)]
    append_arrays(store, arrays)
    result = gather(store, [0, 1], header_len=24, tail_bytes=12, itemsize=4)
    assert result[2:] == (32, 48, 80)
    assert [a.shape for a in split(result, 2, 3)] == [(1, 2, 3), (2, 1, 1)]
    store.close(False)


def test_cu_seqlens_checks_of_the_stored_records(executor, store_path):
    store = create(executor, store_path)
    three_records(store)
    append_two(store, 64)  # records 3 and 4: two dimensions
    # A record whose stored shape has a 0 dimension: header [0], then one float32.
    zero_dim = np.zeros(12, np.uint8)
    store.dense_append(zero_dim.ctypes.data, 12, 1)
    cases = [
        ([0, 2], (12, 12, 4), "ragged shape header is not a sequence of uint64 dimensions"),
        ([0, 1, 2], (8, 16, 8), "ragged value bytes are not divisible by dtype itemsize"),
    ]
    for idxs, (header_len, tail_bytes, itemsize), text in cases:
        with pytest.raises(ValueError, match=message(text)) as caught:
            gather(store, idxs, header_len=header_len, tail_bytes=tail_bytes, itemsize=itemsize)
        names = [frame.name for frame in traceback.extract_tb(caught.value.__traceback__)]
        assert names[-2:] == ["Store.ragged_gather", "_write_cu_seqlens"]
    # Two-dimensional records read with a one-dimension header: [2] against 6 elements.
    for idxs in ([0, 3], [0, 5]):
        with pytest.raises(ValueError, match=message(
                "stored ragged shape does not match its value length")):
            gather(store, idxs, header_len=8, tail_bytes=16, itemsize=4)
    assert not hasattr(_store, "_write_cu_seqlens")
    store.close(False)


def test_running_element_count_must_fit_int32(executor, store_path):
    # 2^30 zero bytes compress to almost nothing; gathered twice they make 2^31 elements of 1 byte.
    store = create(executor, store_path, "zstd", shards=1)
    record = np.zeros(2**30, np.uint8)
    store.dense_append(record.ctypes.data, record.size, 1)
    del record
    with pytest.raises(OverflowError, match=message(
            "ragged batch exceeds int32 cu_seqlens capacity")):
        gather(store, [0, 0], Allocator(make=lambda size, extra, shift: Allocation(
            size, fill=False)), tail_bytes=12, itemsize=1)
    store.close(False)


# ---- zero indices ----

def test_zero_indices_make_no_engine_call(executor, store_path):
    store = create(executor, store_path)
    store.close(False)  # the zero-index road never needs the handle
    allocator = Allocator()
    allocation, dst, *offsets = gather(store, np.zeros((3, 0)), allocator, tail_bytes=4,
                                       itemsize=4)
    assert allocator.calls == [(4, 16)]
    assert offsets == [0, 0, 0]
    assert dst[:4].view(np.int32).tolist() == [0] and dst.size == allocation.size == 4
    allocator = Allocator(extra=4)
    result = gather(store, [], allocator, header_len=12, tail_bytes=9)
    assert allocator.calls == [(9, 16)] and untouched(result[1])
    cases = [((0, 3, 4), "ragged tail is too small for cu_seqlens"),
             ((12, 3, 4), "ragged tail is too small for cu_seqlens"),
             ((12, 4, 4), "ragged shape header is not a sequence of uint64 dimensions")]
    for (header_len, tail_bytes, itemsize), text in cases:
        allocator = Allocator()
        with pytest.raises(ValueError, match=message(text)):
            gather(store, [], allocator, header_len, tail_bytes, itemsize)
        assert allocator.calls == [(tail_bytes, 16)]


# ---- failures while a plan exists ----

def test_engine_refusal_at_create_never_acquires(executor, store_path):
    store = create(executor, store_path)
    three_records(store)
    allocator = Allocator()
    with pytest.raises(QuarvelError) as short:
        gather(store, [0, 1], allocator, header_len=16)  # record 1 is only 12 bytes
    assert short.value.code == -7
    with pytest.raises(QuarvelError) as missing:
        gather(store, [0, 3], allocator)
    assert missing.value.code == -8
    assert allocator.calls == []
    store.close(False)


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096


def test_failing_acquire_leaves_no_plan_behind(executor, store_path):
    store = create(executor, store_path)
    three_records(store)
    store.close(True)
    reader, _ = Store.open(executor, store_path)
    # Each plan keeps 8 bytes a record: 80 failing gathers of 25,000 would hold 16 MB.
    idxs = np.zeros(25_000, np.uint64)
    failing = FailingAllocator()
    with pytest.raises(KeyError):
        gather(reader, idxs, failing)
    gc.collect()
    before = resident_bytes()
    for _ in range(80):
        with pytest.raises(KeyError, match="no memory for you"):
            gather(reader, idxs, failing, header_len=4)
    gc.collect()
    # Under a sanitizer freed memory sits in quarantine; the sanitizer judges leaks there instead.
    if not os.environ.get("TAVRILL_SANITIZED"):
        assert resident_bytes() - before < 6 * 2**20
    assert failing.calls == 81
    # The store closes and a new reader works as before.
    reader.close(False)
    again, _ = Store.open(executor, store_path)
    assert gather(again, [2, 0], header_len=8)[2] == 32
    again.close(False)


class NoView(Allocation):
    def view(self, dtype, shape):
        return None


class ReadOnly(Allocation):
    def view(self, dtype, shape):
        view = super().view(dtype, shape)
        view.flags.writeable = False
        return view


class Strided(Allocation):
    def view(self, dtype, shape):
        return np.zeros(2 * self.size, np.uint8)[::2]


class WrongDtype(Allocation):
    def view(self, dtype, shape):
        return super().view(np.int8, shape)


class Shorter(Allocation):
    def view(self, dtype, shape):
        return super().view(dtype, shape)[:-1]


class Understated(Allocation):
    def __init__(self, size, extra, shift):
        super().__init__(size, extra, shift)
        self.size = size - 1
        self.memory = self.memory[:-1]


@pytest.mark.parametrize("make, kind, text", [
    (NoView, TypeError, "Cannot convert NoneType to numpy.ndarray"),
    (Understated, ValueError, "allocation.size is 95 bytes, fewer than the 96 asked"),
    (ReadOnly, ValueError, "allocation view must be a writable C-contiguous uint8 array of "
                           "allocation.size bytes"),
    (Strided, ValueError, "allocation view must be a writable C-contiguous uint8 array of "
                          "allocation.size bytes"),
    (WrongDtype, ValueError, "allocation view must be a writable C-contiguous uint8 array of "
                             "allocation.size bytes"),
    (Shorter, ValueError, "allocation view must be a writable C-contiguous uint8 array of "
                          "allocation.size bytes"),
])
def test_destinations_that_cannot_hold_the_batch(executor, store_path, make, kind, text):
    store = create(executor, store_path)
    three_records(store)
    allocator = Allocator(make=make)
    with pytest.raises(kind, match=message(text)):
        gather(store, [0, 1, 2], allocator, header_len=8, tail_bytes=16, itemsize=4)
    assert allocator.calls == [(96, 16)]
    store.close(False)


def test_misaligned_destination_is_refused_before_the_engine_writes(executor, store_path):
    store = create(executor, store_path, "zstd")
    three_records(store)
    for shift in range(1, 16, 7):
        allocator = Allocator(shift=shift)
        with pytest.raises(ValueError, match=message(
                "allocation view must start at a multiple of 16 bytes")):
            gather(store, [0, 1, 2], allocator, header_len=8)
    with pytest.raises(ValueError, match=message(
            "allocation view must start at a multiple of 16 bytes")):
        gather(store, [], Allocator(shift=8), tail_bytes=4, itemsize=4)
    store.close(False)


def test_indices_the_engine_would_misread(executor, store_path):
    store = create(executor, store_path)
    three_records(store)
    misaligned = np.zeros(17, np.uint8)[1:].view(np.uint64)
    for idxs in (np.array([0, 1], np.int64), np.array([0, 9, 1], np.uint64)[::2],
                 np.array([0, 1], ">u8"), misaligned):
        allocator = Allocator()
        with pytest.raises(ValueError, match=message("idxs must be a C-contiguous uint64 array")):
            store.ragged_gather(idxs, allocator)
        assert allocator.calls == []
    store.ragged_gather(np.array([0, 1], np.ulonglong), Allocator())
    store.close(False)
    with pytest.raises(ValueError, match=message("store is closed")):
        gather(store, [0], Allocator())
    with pytest.raises(ValueError, match=message("store is closed")):
        append_two(store, 64)


# ---- round trips ----

def random_batches(rng):
    """Float32 arrays of random shapes: one batch per ndim from 1 to 3."""
    batches = []
    for ndim in (1, 2, 3):
        count = int(rng.integers(5, 40))
        arrays = [rng.standard_normal(tuple(int(d) for d in rng.integers(1, 9, ndim)),
                                      dtype=np.float32)
                  for _ in range(count)]
        batches.append(arrays)
    return batches


def gather_batch(store, first, arrays, picks):
    ndim = arrays[0].ndim
    n = len(picks)
    allocator = Allocator(extra=16)
    result = gather(store, [first + p for p in picks], allocator, 8 * ndim, 4 * (n + 1), 4)
    assert allocator.calls[0][0] == result[4] + 4 * (n + 1)
    assert result[3] % 16 == 0 and result[4] % 16 == 0
    return result, split(result, n, ndim)


@pytest.mark.parametrize("codec", list(CODECS))
def test_round_trip_of_random_shapes(executor, store_path, codec):
    rng = np.random.default_rng(11)
    batches = random_batches(rng)
    writer = create(executor, store_path, codec)
    firsts = [append_arrays(writer, arrays) for arrays in batches]
    assert firsts == [0, len(batches[0]), len(batches[0]) + len(batches[1])]
    writer.close(True)
    reader, _ = Store.open(executor, store_path)
    for first, arrays in zip(firsts, batches):
        picks = list(rng.permutation(len(arrays))) + [0, 0]
        _, gathered = gather_batch(reader, first, arrays, picks)
        for pick, array in zip(picks, gathered):
            assert array.shape == arrays[pick].shape
            assert np.array_equal(array, arrays[pick])
    reader.close(False)


def test_raw_and_zstd_fill_identical_buffers(executor, tmp_path):
    rng = np.random.default_rng(5)
    batches = random_batches(rng)
    picks = [3, 1, 4, 1, 0, 2]
    buffers = {}
    for codec in ("raw", "zstd"):
        store = create(executor, bytes(tmp_path / codec), codec)
        firsts = [append_arrays(store, arrays) for arrays in batches]
        buffers[codec] = [gather_batch(store, first, arrays, picks)[0][1].tobytes()
                          for first, arrays in zip(firsts, batches)]
        store.close(False)
    assert buffers["raw"] == buffers["zstd"]


def test_concurrent_gathers_and_appends(executor, store_path):
    rng = np.random.default_rng(3)
    arrays = [rng.standard_normal((int(rng.integers(1, 50)), 4), dtype=np.float32)
              for _ in range(64)]
    store = create(executor, store_path, "zstd")
    append_arrays(store, arrays)
    failures = []
    barrier = threading.Barrier(4)

    def gather_many(seed):
        local = np.random.default_rng(seed)
        barrier.wait()
        for _ in range(30):
            picks = [int(p) for p in local.integers(0, 64, 16)]
            _, gathered = gather_batch(store, 0, arrays, picks)
            if not all(np.array_equal(g, arrays[p]) for g, p in zip(gathered, picks)):
                failures.append(seed)

    def append_more():
        barrier.wait()
        for _ in range(10):
            append_arrays(store, arrays[:8])

    threads = [threading.Thread(target=gather_many, args=(s,)) for s in range(3)]
    threads.append(threading.Thread(target=append_more))
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []
    assert store.length() == 64 + 80
    store.close(False)

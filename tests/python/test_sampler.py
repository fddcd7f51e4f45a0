"""tavrill._sampler: the fillers against a pure-Python model of their algorithms, their worked
examples and properties, argument handling, the checks on `indices`, and the import rules."""

import threading

import numpy as np
import pytest

import tavrill._sampler as sampler
from tavrill._sampler import fill_cyclic, fill_iid, fill_sequential

# ---- an independent model of the three algorithms, on Python ints ----

MASK = 2**64 - 1
G, M1, M2, W = 0x9E3779B97F4A7C15, 0xBF58476D1CE4E5B9, 0x94D049BB133111EB, 0xD1B54A32D192ED03


def mix64(x):
    x = ((x ^ (x >> 30)) * M1) & MASK
    x = ((x ^ (x >> 27)) * M2) & MASK
    return x ^ (x >> 31)


def model_sequential(length, batch, step):
    return [(step * batch + i) % length for i in range(batch)]


def model_iid(length, batch, seed, step):
    threshold = (2**64 - length) % length
    out = []
    for position in range(step * batch, step * batch + batch):
        counter_seed = mix64((((position >> 64) * G) & MASK) ^ seed)
        h = (((position & MASK) * G) & MASK) ^ counter_seed
        salt = 0
        while True:
            z = mix64(h ^ salt)
            salt = (salt + W) & MASK
            if (z * length) & MASK >= threshold:
                break
        out.append((z * length) >> 64)
    return out


def model_cyclic(length, batch, seed, step):
    """The `count` values that fill_cyclic writes."""
    usable = length if length < batch else length - length % batch
    per_cycle = usable // batch if batch <= usable else 1
    cycle, cursor = divmod(step, per_cycle)
    cursor *= batch
    count = min(usable - cursor, batch)
    if length < 2:
        return [0] * count
    key = mix64(((cycle * G) & MASK) ^ seed)
    keys = [key ^ ((j * W) & MASK) for j in range(4)]
    half = ((length - 1).bit_length() + 1) // 2
    mask = (1 << half) - 1

    def round_(v, k):
        return mix64(((v * G) & MASK) ^ k)

    out = []
    for x in range(cursor, cursor + count):
        while True:
            left, right = x >> half, x & mask
            left = (left ^ round_(right, keys[0])) & mask
            right = (right ^ round_(left, keys[1])) & mask
            left = (left ^ round_(right, keys[2])) & mask
            right = (right ^ round_(left, keys[3])) & mask
            x = (left << half) | right
            if x < length:
                break
        out.append(x)
    return out


def run(fill, length, batch, seed, step, size=None, fill_value=0xAAAA):
    indices = np.full(batch if size is None else size, fill_value, dtype=np.uint64)
    fill(length, batch, seed, step, indices)
    return indices.tolist()


# ---- reference values ----

def test_model_mix64_is_the_known_mixing_function():
    # The first output of the well-known generator this mixing comes from, seeded with 0.
    assert mix64(G) == 0xE220A8397B1DCDAF
    # With seed 0 and a power-of-two length there is no rejection: entry 1 is that output >> 1.
    assert run(fill_iid, 2**63, 2, 0, 0) == [0, 0xE220A8397B1DCDAF >> 1]


def test_fixed_values():
    assert run(fill_iid, 1000, 4, 7, 3) == [61, 619, 54, 44]
    assert run(fill_cyclic, 1000, 4, 7, 3) == [4, 446, 193, 149]
    assert run(fill_cyclic, 2**64 - 1, 2, 1, 5) == [3217922265746016824, 14309624152092802874]


CASES = [
    (10, 4, 0, 0), (10, 4, 1, 2), (1000, 64, 42, 17), (3, 5, 9, 7), (1500, 100, 3, 29),
    (2**40 + 3, 16, 5, 2**50), (2**64 - 1, 8, MASK, MASK), (3 * 2**62, 32, 11, 123456789),
    (2**63 + 1, 12, 0, 2**62),
]


@pytest.mark.parametrize("length, batch, seed, step", CASES)
def test_fillers_match_the_model(length, batch, seed, step):
    assert run(fill_sequential, length, batch, seed, step) == model_sequential(length, batch, step)
    assert run(fill_iid, length, batch, seed, step) == model_iid(length, batch, seed, step)
    expected = model_cyclic(length, batch, seed, step)
    assert run(fill_cyclic, length, batch, seed, step)[:len(expected)] == expected


def test_fill_iid_crosses_the_64_bit_position_boundary():
    # Positions 3 * 2^64 - 3 .. 3 * 2^64 + 2: the upper half of the position changes mid-batch.
    assert run(fill_iid, 1000, 6, 5, MASK // 2) == model_iid(1000, 6, 5, MASK // 2)
    assert run(fill_iid, 1000, 3, 5, MASK) == model_iid(1000, 3, 5, MASK)


def test_long_batches_match_the_model():
    # Long enough to run the fillers' main loops, not only their ends.
    for length in (1000, 1500, 2**33 + 1):
        assert run(fill_cyclic, length, 1000, 2, 0) == model_cyclic(length, 1000, 2, 0)
        assert run(fill_iid, length, 1000, 2, 4) == model_iid(length, 1000, 2, 4)
    assert run(fill_sequential, 1000, 2500, 0, 3) == model_sequential(1000, 2500, 3)


# ---- worked examples and properties ----

def test_fill_sequential_examples():
    assert run(fill_sequential, 10, 4, 99, 3) == [2, 3, 4, 5]
    assert run(fill_sequential, 10, 4, 0, 2) == [8, 9, 0, 1]
    assert run(fill_sequential, 3, 2, 0, 2**63) == [1, 2]  # 2^64 mod 3 = 1
    assert run(fill_sequential, 1, 3, 0, 5) == [0, 0, 0]
    # step × 4 = 2^64 - 3 (mod 2^64 - 1): the batch wraps past the largest index.
    assert run(fill_sequential, 2**64 - 1, 4, 0, 2**63 - 1) == [2**64 - 3, 2**64 - 2, 0, 1]


def test_fill_iid_small_cases():
    assert run(fill_iid, 1, 5, 3, 8) == [0] * 5
    assert run(fill_iid, 10, 0, 3, 8, size=2) == [0xAAAA] * 2


def test_fill_iid_entry_is_its_own_one_element_batch():
    batch, step, seed = 37, 1234, 99
    whole = run(fill_iid, 123457, batch, seed, step)
    assert whole == [run(fill_iid, 123457, 1, seed, step * batch + i)[0] for i in range(batch)]


@pytest.mark.parametrize("length, width", [(16, 1), (3 * 2**62, 3 * 2**58)])
def test_fill_iid_is_uniform(length, width):
    # 3 * 2^62 rejects a quarter of the raw draws, so the retry path is counted too.
    draws = np.empty(10**6, dtype=np.uint64)
    fill_iid(length, draws.size, 20240607, 0, draws)
    observed = np.bincount((draws // np.uint64(width)).astype(np.int64), minlength=16)
    assert observed.size == 16
    expected = draws.size / 16
    chi_square = float(((observed - expected) ** 2 / expected).sum())
    assert chi_square < 37.70  # 15 degrees of freedom, p = 0.001


def cycle_values(length, batch, seed, cycle, steps_per_cycle):
    return [value for step in range(cycle * steps_per_cycle, (cycle + 1) * steps_per_cycle)
            for value in run(fill_cyclic, length, batch, seed, step)]


@pytest.mark.parametrize("length, batch", [(10, 4), (1024, 128), (1500, 64)])
def test_fill_cyclic_cycles_are_fresh_permutations(length, batch):
    per_cycle = length // batch
    first = cycle_values(length, batch, 5, 0, per_cycle)
    second = cycle_values(length, batch, 5, 1, per_cycle)
    for values in (first, second):
        assert len(set(values)) == per_cycle * batch and max(values) < length
    assert first != second
    if length % batch == 0:
        assert sorted(first) == list(range(length))


def test_fill_cyclic_short_batches():
    batches = [run(fill_cyclic, 3, 5, 8, step, fill_value=77) for step in range(12)]
    for batch in batches:
        assert sorted(batch[:3]) == [0, 1, 2] and batch[3:] == [77, 77]
    assert len({tuple(batch[:3]) for batch in batches}) > 1  # every step is a new cycle


def test_fill_cyclic_edge_lengths():
    assert run(fill_cyclic, 1, 4, 3, 9, fill_value=5) == [0, 5, 5, 5]
    assert run(fill_cyclic, 1, 1, 3, 9, fill_value=5) == [0]
    assert run(fill_cyclic, 0, 4, 3, 9, fill_value=5) == [5] * 4
    huge = run(fill_cyclic, 2**64 - 1, 64, 3, 2**40)
    assert max(huge) < 2**64 - 1 and len(set(huge)) == 64


def test_threads_fill_their_own_arrays_at_once():
    expected = [run(fill_cyclic, 100003, 4096, 1, step) for step in range(8)]
    results = [None] * 8

    def work(step):
        results[step] = run(fill_cyclic, 100003, 4096, 1, step)

    threads = [threading.Thread(target=work, args=(step,)) for step in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == expected


# ---- arguments ----

ALL = [fill_sequential, fill_iid, fill_cyclic]


@pytest.mark.parametrize("fill", ALL)
def test_binding_messages(fill):
    name = fill.__name__
    indices = np.zeros(4, dtype=np.uint64)
    with pytest.raises(TypeError, match=rf"^{name}\(\) takes exactly 5 positional arguments "
                                        r"\(0 given\)$"):
        fill()
    with pytest.raises(TypeError, match=r"\(6 given\)$"):
        fill(10, 4, 0, 0, indices, 1)
    with pytest.raises(TypeError, match=r"\(3 given\)$"):
        fill(10, 4, seed=0, indices=indices)
    with pytest.raises(TypeError,
                       match=rf"^{name}\(\) got an unexpected keyword argument 'stride'$"):
        fill(10, 4, 0, 0, indices, stride=1)
    with pytest.raises(TypeError, match=rf"^{name}\(\) got multiple values for keyword argument "
                                        r"'length'$"):
        fill(10, 4, 0, 0, indices, length=3)
    assert fill(indices=indices, step=3, seed=0, batch_size=4, length=10) is None


class Twelve:
    def __int__(self):
        return 12


class FloatInt:
    def __int__(self):
        return 1.5


@pytest.mark.parametrize("fill", ALL)
def test_integer_conversion(fill):
    indices = np.zeros(4, dtype=np.uint64)
    with pytest.raises(OverflowError, match=r"^can't convert negative value to uint64_t$"):
        fill(-1, 4, 0, 0, indices)
    with pytest.raises(OverflowError):
        fill(10, 4, 2**64, 0, indices)
    with pytest.raises(TypeError, match=r"^an integer is required$"):
        fill(10, "4", 0, 0, indices)
    with pytest.raises(TypeError, match=r"^an integer is required$"):
        fill(10, 4, 0, None, indices)
    with pytest.raises(TypeError, match=r"^__int__ returned non-int \(type float\)$"):
        fill(10, 4, FloatInt(), 0, indices)
    # Conversion comes before the type test of `indices`.
    with pytest.raises(OverflowError):
        fill(10, -4, 0, 0, None)
    a, b = np.zeros(4, np.uint64), np.zeros(4, np.uint64)
    fill(10.9, 4.2, Twelve(), True, a)
    fill(10, 4, 12, 1, b)
    assert a.tolist() == b.tolist()


@pytest.mark.parametrize("fill", ALL)
def test_indices_type_and_failure_order(fill):
    with pytest.raises(TypeError, match=r"^Argument 'indices' has incorrect type \(expected "
                                        r"numpy.ndarray, got NoneType\)$"):
        fill(10, 4, 0, 0, None)
    with pytest.raises(TypeError, match=r"got list\)$"):
        fill(0, 0, 0, 0, [0, 0])  # the type test comes before ZeroDivisionError
    with pytest.raises(ZeroDivisionError, match=r"^integer division or modulo by zero$"):
        fill(0, 0, 0, 0, np.zeros(1, np.float32))  # ... which comes before the array checks

    class Indices(np.ndarray):
        pass

    fill(10, 4, 0, 0, np.zeros(4, np.uint64).view(Indices))
    fill(10, 4, 0, 0, np.zeros(4, np.ulonglong))
    fill(10, 4, 0, 0, np.zeros((2, 2), np.uint64))


def test_division_by_zero_writes_nothing():
    indices = np.full(3, 7, dtype=np.uint64)
    for fill, length, batch in [(fill_sequential, 0, 3), (fill_iid, 0, 3), (fill_iid, 0, 0),
                                (fill_cyclic, 10, 0), (fill_cyclic, 0, 0)]:
        with pytest.raises(ZeroDivisionError):
            fill(length, batch, 0, 0, indices)
    assert indices.tolist() == [7, 7, 7]


def unusable_arrays():
    read_only = np.zeros(4, np.uint64)
    read_only.setflags(write=False)
    unaligned = np.frombuffer(bytearray(8 * 4 + 1), dtype=np.uint8)[1:].view(np.uint64)
    return {
        "int64": np.zeros(4, np.int64), "uint32": np.zeros(8, np.uint32),
        "float64": np.zeros(4, np.float64), "strided": np.zeros(8, np.uint64)[::2],
        "fortran": np.zeros((2, 2), np.uint64, order="F"), "read-only": read_only,
        "byte-swapped": np.zeros(4, ">u8"), "unaligned": unaligned,
    }


@pytest.mark.parametrize("kind", list(unusable_arrays()))
@pytest.mark.parametrize("fill", ALL)
def test_unusable_indices_are_refused_untouched(fill, kind):
    indices = unusable_arrays()[kind]
    before = indices.tobytes()
    with pytest.raises(ValueError, match=r"^indices must be a writable, aligned, C-contiguous "
                                         r"uint64 array$"):
        fill(10, 4, 0, 0, indices)
    assert indices.tobytes() == before


@pytest.mark.parametrize("fill", ALL)
def test_short_indices_are_refused_untouched(fill):
    indices = np.full(4, 7, dtype=np.uint64)
    with pytest.raises(ValueError, match=r"^indices holds 4 elements, fewer than batch_size "
                                         r"\(5\)$"):
        fill(10, 5, 0, 0, indices)
    with pytest.raises(ValueError, match=r"fewer than batch_size \(18446744073709551615\)$"):
        fill(10, 2**64 - 1, 0, 0, indices)
    assert indices.tolist() == [7] * 4
    if fill is not fill_cyclic:  # an empty batch needs no room
        fill(10, 0, 0, 0, np.zeros(0, np.uint64))


# ---- import ----

def test_namespace_holds_only_the_fillers():
    own = [name for name in vars(sampler) if not name.startswith("__")]
    assert own == ["fill_sequential", "fill_iid", "fill_cyclic"]
    assert sampler.__doc__ is None
    assert all(fill.__module__ == "tavrill._sampler" for fill in ALL)

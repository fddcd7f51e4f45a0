"""The caller's side of Store.ragged_gather's allocator protocol, backed by NumPy memory."""

import numpy as np

# What an Allocation made with fill=True holds where nobody has written.
SENTINEL = 0xAB


class Allocation:
    """Memory for one gather: `size` bytes asked plus `extra`, starting at a multiple of 16 (moved
    on by `shift` to make a misaligned one), and SENTINEL in every byte when `fill`."""

    def __init__(self, size, extra=0, shift=0, fill=False):
        self.size = size + extra
        self.backing = (np.full(self.size + 32, SENTINEL, np.uint8) if fill
                        else np.empty(self.size + 32, np.uint8))
        start = (-self.backing.ctypes.data) % 16 + shift
        self.memory = self.backing[start:start + self.size]

    def view(self, dtype, shape):
        return self.memory.view(dtype).reshape(shape)


class Allocator:
    """Hands out a fresh Allocation for every gather, as the protocol asks for."""

    def acquire(self, size, alignment):
        assert alignment == 16
        return Allocation(size)

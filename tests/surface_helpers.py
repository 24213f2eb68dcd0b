"""Messages and small helpers shared by the DeviceState and module-surface tests."""

import numpy as np

WRITABLE_MSG = "state array must be writable"
ORDINAL_MSG = "CUDA error: invalid device ordinal"


def dtype_msg(text):
    return "dtype must be 'complex64' or 'complex128', got: " + text


def device_msg(text):
    return "device must be 'cuda', 'gpu', or 'cuda:<id>', got: " + text


def same_bytes(a, b):
    """Raw copies must reproduce every bit, NaN payloads and signed zeros too."""
    return a.dtype == b.dtype and a.shape == b.shape and np.array_equal(a.view(np.uint8), b.view(np.uint8))

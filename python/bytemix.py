"""bytemix from Python: the C library's compressor, through ctypes.

    import bytemix
    packed = bytemix.compress(b"some bytes")
    assert bytemix.decompress(packed) == b"some bytes"

compress() and decompress() take any bytes-like object and return bytes;
a failure raises bytemix.Error, whose ``status`` is the library's status
code (bytemix_status in bytemix.h) and whose text is the library's message
for it. Memory grows with the data, never with what a damaged length field
claims. The shared library is the one named by the environment variable
BYTEMIX_LIBRARY (a path), or else libbytemix wherever the system's loader
finds it. Only the standard library is used.
"""
import ctypes
import ctypes.util
import os

__all__ = ["Error", "compress", "decompress", "version"]

_size_t = ctypes.c_size_t
_READ = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p, _size_t,
                         ctypes.POINTER(_size_t))
_WRITE = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p, _size_t)
_PROGRESS = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, _size_t, _size_t)
_NO_PROGRESS = _PROGRESS()  # a null function pointer


def _load():
    path = os.environ.get("BYTEMIX_LIBRARY") or ctypes.util.find_library("bytemix")
    if not path:
        raise OSError("the bytemix shared library (libbytemix) is not installed where the "
                      "loader looks; set BYTEMIX_LIBRARY to its path")
    lib = ctypes.CDLL(path)
    lib.bytemix_status_message.restype = ctypes.c_char_p
    lib.bytemix_status_message.argtypes = [ctypes.c_int]
    lib.bytemix_version.restype = ctypes.c_char_p
    lib.bytemix_version.argtypes = []
    lib.bytemix_compress_stream.restype = ctypes.c_int
    lib.bytemix_compress_stream.argtypes = [_size_t, _READ, ctypes.c_void_p, _WRITE,
                                            ctypes.c_void_p, _PROGRESS, ctypes.c_void_p]
    lib.bytemix_decompress_stream.restype = ctypes.c_int
    lib.bytemix_decompress_stream.argtypes = [_READ, ctypes.c_void_p, _WRITE, ctypes.c_void_p,
                                              _PROGRESS, ctypes.c_void_p]
    return lib


_lib = _load()


class Error(Exception):
    """A call of the library failed; ``status`` is its bytemix_status."""

    def __init__(self, status):
        self.status = status
        super().__init__(_lib.bytemix_status_message(status).decode())


def version():
    """The library's version, "MAJOR.MINOR.PATCH"."""
    return _lib.bytemix_version().decode()


def _run(call, data):
    """Runs a streaming call of the library with `data` as its input and
    returns what it wrote. A callback must not raise into the library, so
    its failures become the library's read or write error."""
    source = memoryview(data).cast("B")
    position = 0
    pieces = []

    def read(_ctx, buffer, capacity, got):
        nonlocal position
        try:
            n = min(capacity, len(source) - position)
            ctypes.memmove(buffer, bytes(source[position:position + n]), n)
            position += n
            got[0] = n
            return 0
        except Exception:  # reported to the caller as the library's read error
            return 1

    def write(_ctx, data, size):
        try:
            pieces.append(ctypes.string_at(data, size))
            return 0
        except Exception:  # reported to the caller as the library's write error
            return 1

    status = call(_READ(read), _WRITE(write), len(source))
    if status != 0:
        raise Error(status)
    return b"".join(pieces)


def compress(data):
    """The compressed form of `data` (any bytes-like object), as bytes."""
    return _run(lambda read, write, n: _lib.bytemix_compress_stream(
        n, read, None, write, None, _NO_PROGRESS, None), data)


def decompress(data):
    """The original bytes of the compressed stream `data`, which must hold
    exactly one stream."""
    return _run(lambda read, write, n: _lib.bytemix_decompress_stream(
        read, None, write, None, _NO_PROGRESS, None), data)

"""Tests of the ctypes module over the C library: the programs' exact bytes,
any bytes-like input, and failures raised with the library's status and
message. Run with BYTEMIX_LIBRARY naming the shared library:
    BYTEMIX_LIBRARY=build/libbytemix.so python3 -m unittest -v test_bytemix
"""
import hashlib
import os
import unittest

import bytemix

_ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir)
_CORPUS = os.path.join(_ROOT, "testdata", "calgary")
_PINS = os.path.join(_ROOT, "tests", "corpus_sha256.txt")


def _corpus(name):
    with open(os.path.join(_CORPUS, name), "rb") as f:
        return f.read()


def _pin(name):
    with open(_PINS) as f:
        for line in f:
            digest, file = line.split()
            if file == name + ".ari":
                return digest
    raise KeyError(name + " has no pin in " + _PINS)


class BytemixTest(unittest.TestCase):
    def test_corpus_files_give_the_programs_bytes_and_round_trip(self):
        for name in ("paper5", "obj1", "progc"):
            data = _corpus(name)
            packed = bytemix.compress(data)
            self.assertEqual(hashlib.sha256(packed).hexdigest(), _pin(name), name)
            self.assertEqual(bytemix.decompress(packed), data, name)

    def test_any_bytes_like_input(self):
        data = _corpus("paper4")[:3000]
        packed = bytemix.compress(data)
        self.assertEqual(bytemix.compress(bytearray(data)), packed)
        self.assertEqual(bytemix.compress(memoryview(data)), packed)
        self.assertEqual(bytemix.decompress(bytearray(packed)), data)
        self.assertEqual(bytemix.decompress(bytemix.compress(b"")), b"")

    def test_failures_raise_the_library_status_and_message(self):
        packed = bytemix.compress(_corpus("paper4"))
        cases = [(packed[:-1], 5, "too early"),    # BYTEMIX_TRUNCATED
                 (packed + b"\0", 7, "follow"),     # BYTEMIX_TRAILING_DATA
                 (packed[:3] + b"\x80" + packed[4:], 9, "negative"),  # BYTEMIX_NEGATIVE_LENGTH
                 (b"", 5, "too early")]
        for data, status, words in cases:
            with self.assertRaises(bytemix.Error) as caught:
                bytemix.decompress(data)
            self.assertEqual(caught.exception.status, status)
            self.assertIn(words, str(caught.exception))

    def test_version(self):
        self.assertRegex(bytemix.version(), r"^\d+\.\d+\.\d+$")


if __name__ == "__main__":
    unittest.main()

"""parse_file: paths and binary files, read once; failures come through unchanged."""
import codecs
import io
import os

import pytest

import velmora
import velmora_tools
from velmora_tools import PanicException, parse_file

TEXT = '<?xml version="1.0" encoding="ISO-8859-15"?><r><p k="\u20ac">caf\u00e9</p><p/></r>'
DATA = TEXT.encode("iso-8859-15")


class CountingReader:
    """A binary file that counts its reads and hands out everything at the first."""

    def __init__(self, data):
        self.data, self.reads = data, 0

    def read(self, size=-1):
        self.reads += 1
        data, self.data = self.data, b""
        return data


@pytest.mark.parametrize("how", ["str", "pathlib", "bytes-path", "open-file", "bytesio", "reader"])
def test_every_kind_of_source_gives_the_tree_of_the_decoded_text(how, tmp_path):
    path = tmp_path / "doc.xml"
    path.write_bytes(DATA)
    if how == "open-file":
        with open(path, "rb") as file:
            assert parse_file(file) == velmora.parse(TEXT)
        return
    source = {"str": str(path), "pathlib": path, "bytes-path": os.fsencode(path),
              "bytesio": io.BytesIO(DATA), "reader": CountingReader(DATA)}[how]
    assert parse_file(source) == velmora.parse(TEXT)
    if how == "reader":
        assert source.reads == 1


def test_text_file_is_refused(tmp_path):
    with pytest.raises(TypeError, match="binary file; read\\(\\) returned str"):
        parse_file(io.StringIO(TEXT))


@pytest.mark.parametrize("make, error", [
    (lambda tmp: tmp / "missing.xml", FileNotFoundError),
    (lambda tmp: tmp, IsADirectoryError),
], ids=["missing", "directory"])
def test_unreadable_path_raises_the_os_error(make, error, tmp_path):
    path = make(tmp_path)
    with pytest.raises(error) as info:
        parse_file(path)
    assert info.value.filename == str(path)


@pytest.mark.parametrize("data, error", [
    (codecs.BOM_UTF8 + b"<a>\xff</a>", UnicodeDecodeError),
    (b'<?xml version="1.0" encoding="nope"?><a/>', LookupError),
    ("<a><b></a>".encode(), PanicException),
], ids=["undecodable", "unknown-encoding", "malformed"])
def test_failures_are_those_of_parse_bytes(data, error, tmp_path):
    path = tmp_path / "bad.xml"
    path.write_bytes(data)
    with pytest.raises(error) as from_file:
        parse_file(path)
    with pytest.raises(error) as from_bytes:
        velmora_tools.parse_bytes(data)
    assert from_file.value.args == from_bytes.value.args


def test_panic_exception_is_the_type_parse_raises():
    with pytest.raises(BaseException) as info:
        velmora.parse("<a>")
    assert type(info.value) is velmora_tools.PanicException
    assert not issubclass(velmora_tools.PanicException, Exception)

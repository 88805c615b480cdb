"""parse_bytes: the encoding chosen from the byte order mark, the layout and the declaration."""
import array
import codecs

import pytest

import velmora
from velmora_tools import PanicException, parse_bytes
from velmora_tools.encoding import decode, declared_encoding

BODY = '<doc a="\u00e9t\u00e9"><t>caf\u00e9 \u00fc\u00df</t><e/></doc>'  # Latin-1 characters only
WIDE_BODY = '<doc><t>\u6771\u4eac \u00e9 \U0001f600</t><e k="\u0416"/></doc>'


def decl(name, quote='"'):
    return f"<?xml version={quote}1.0{quote} encoding={quote}{name}{quote}?>"


MARKS = {"utf-8": codecs.BOM_UTF8, "utf-16-le": codecs.BOM_UTF16_LE, "utf-16-be": codecs.BOM_UTF16_BE,
         "utf-32-le": codecs.BOM_UTF32_LE, "utf-32-be": codecs.BOM_UTF32_BE}

# (id, bytes, the text they hold): every way the encoding is found.
CASES = [
    *[(f"bom-{codec}", MARKS[codec] + text.encode(codec), text)
      for codec in MARKS for text in [WIDE_BODY]],
    # A byte order mark wins over a declaration that says otherwise.
    *[(f"bom-{codec}-over-latin1-declaration", MARKS[codec] + (decl("ISO-8859-1") + WIDE_BODY).encode(codec),
       decl("ISO-8859-1") + WIDE_BODY) for codec in MARKS],
    # UTF-16 and UTF-32 without a mark, recognised from how "<?xml" is laid out.
    *[(f"layout-{codec}", (decl(name) + WIDE_BODY).encode(codec), decl(name) + WIDE_BODY)
      for codec, name in [("utf-16-le", "UTF-16"), ("utf-16-be", "UTF-16"),
                          ("utf-32-le", "UTF-32"), ("utf-32-be", "utf-32")]],
    # 8-bit encodings named in the declaration, names matched as Python matches them.
    *[(f"declared-{name}", (decl(name, quote) + text).encode(codec), decl(name, quote) + text)
      for name, codec, quote, text in [
          ("ISO-8859-1", "latin-1", '"', BODY), ("latin1", "latin-1", "'", BODY),
          ("ISO_8859-1", "latin-1", '"', BODY), ("windows-1252", "cp1252", '"', BODY + "<p>\u20ac</p>"),
          ("KOI8-R", "koi8-r", "'", "<p>\u041f\u0440\u0438\u0432\u0435\u0442</p>"),
          ("Shift_JIS", "shift_jis", '"', "<p>\u6771\u4eac</p>"), ("UTF-8", "utf-8", '"', WIDE_BODY)]],
    ("declared-spacing", ("<?xml version='1.0'\n  encoding = 'iso-8859-15' standalone='yes'?>" + BODY + "\u20ac")
     .encode("iso-8859-15"), "<?xml version='1.0'\n  encoding = 'iso-8859-15' standalone='yes'?>" + BODY + "\u20ac"),
    ("ebcdic", (decl("IBM037") + BODY).encode("cp037"), decl("IBM037") + BODY),
    # UTF-8 when nothing says otherwise.
    ("no-declaration", WIDE_BODY.encode(), WIDE_BODY),
    ("declaration-without-encoding", ('<?xml version="1.0"?>' + WIDE_BODY).encode(), '<?xml version="1.0"?>' + WIDE_BODY),
    ("declaration-not-first", (BODY + decl("ISO-8859-1")).encode(), BODY + decl("ISO-8859-1")),
    ("empty", b"", ""),
    # The declaration disagrees with the bytes: the declared encoding is used all the same...
    ("declared-latin1-bytes-utf8", (decl("ISO-8859-1") + BODY).encode(),
     (decl("ISO-8859-1") + BODY).encode().decode("latin-1")),
    # ...except that an 8-bit document cannot be UTF-16 or UTF-32, whatever it declares.
    *[(f"8-bit-declaring-{name}", (decl(name) + WIDE_BODY).encode(), decl(name) + WIDE_BODY)
      for name in ["UTF-16", "utf-32-le"]],
]


@pytest.mark.parametrize("data, text", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_bytes_decode_to_the_text_they_hold(data, text):
    assert decode(data) == text.removeprefix("\ufeff")
    assert parse_bytes(data) == velmora.parse(text)


@pytest.mark.parametrize("wrap", [bytes, bytearray, memoryview, lambda b: memoryview(b"xx" + b)[2:],
                                  lambda b: memoryview(array.array("B", b))],
                         ids=["bytes", "bytearray", "memoryview", "memoryview-slice", "array"])
def test_any_byte_buffer(wrap):
    data = codecs.BOM_UTF16_LE + WIDE_BODY.encode("utf-16-le")
    assert parse_bytes(wrap(data)) == velmora.parse(WIDE_BODY)


def test_buffer_of_wider_items_is_read_as_its_bytes():
    data = WIDE_BODY.encode("utf-8")
    data += b" " * (-len(data) % 4)
    assert parse_bytes(array.array("I", data)) == velmora.parse(WIDE_BODY)


# (id, bytes, encoding in the error, offset of the first bad byte in the input)
UNDECODABLE = [
    ("utf-8-no-declaration", b"<doc>caf\xe9</doc>", "utf-8", 8),
    ("declared-utf-8", (decl("UTF-8") + "<d>").encode() + b"\xff</d>", "utf-8", len(decl("UTF-8")) + 3),
    ("utf-8-bom", codecs.BOM_UTF8 + b"<d>\xc3(</d>", "utf-8", 6),
    ("utf-16-le-bom", codecs.BOM_UTF16_LE + "<d>".encode("utf-16-le") + b"\x00\xd8" + "</d>".encode("utf-16-le"),
     "utf-16-le", 8),
    ("utf-16-be-bom-odd-length", codecs.BOM_UTF16_BE + "<d/>".encode("utf-16-be") + b"\x00", "utf-16-be", 10),
    ("utf-32-be-bom", codecs.BOM_UTF32_BE + "<d>".encode("utf-32-be") + b"\x00\x11\x00\x00", "utf-32-be", 16),
    ("utf-16-layout", (decl("UTF-16") + "<d>").encode("utf-16-le") + b"\x00\xdc", "utf-16-le",
     2 * len(decl("UTF-16") + "<d>")),
    ("declared-shift-jis", (decl("Shift_JIS") + "<d>").encode() + b"\x81\x20", "shift_jis", len(decl("x")) + 11),
]


@pytest.mark.parametrize("data, encoding, offset", [c[1:] for c in UNDECODABLE], ids=[c[0] for c in UNDECODABLE])
def test_undecodable_bytes_name_the_offset_in_the_input(data, encoding, offset):
    with pytest.raises(UnicodeDecodeError) as info:
        parse_bytes(data)
    assert (info.value.encoding, info.value.start) == (encoding, offset)
    assert f"position {offset}" in str(info.value)
    assert info.value.object[info.value.start:info.value.end] == data[offset:info.value.end]


@pytest.mark.parametrize("data, name", [
    ((decl("bogus-8") + "<a/>").encode(), "bogus-8"),
    ((decl("hex") + "<a/>").encode(), "hex"),  # a codec Python has, but not for text
    ((decl("rot13") + "<a/>").encode(), "rot13"),
    ((decl("UCS-2") + "<a/>").encode("utf-16-be"), "UCS-2"),  # where the layout decides, too
    ((decl("") + "<a/>").encode(), ""),
    ((decl("utf 8") + "<a/>").encode(), "utf 8"),
], ids=["unknown", "bytes-codec", "str-codec", "utf-16-layout", "empty", "space"])
def test_unknown_declared_encoding_is_a_lookup_error_naming_it(data, name):
    with pytest.raises(LookupError, match=f"unknown encoding '{name}'"):
        parse_bytes(data)


@pytest.mark.parametrize("head, name", [
    ('<?xml version="1.0" encoding="x-1"?>', "x-1"),
    ("<?xml version='1.0' encoding='x-1'?>", "x-1"),
    ('\n <?xml version="1.0" encoding="x-1"?>', "x-1"),
    ('<?xml version="1.0"?><a encoding="x-1"/>', None),
    ('<?xml version="1.0" encoding="x-1"', None),  # never closed
    ('<?xml-stylesheet encoding="x-1"?>', None),
    ('<a/><?xml version="1.0" encoding="x-1"?>', None),
    ('<?xml version="1.0" myencoding="x-1"?>', None),
])
def test_declared_encoding(head, name):
    assert declared_encoding(head) == name


def test_malformed_after_decoding_raises_the_parse_failure():
    data = (decl("ISO-8859-1") + "<a>\u00e9</b>").encode("latin-1")
    with pytest.raises(PanicException) as got:
        parse_bytes(data)
    with pytest.raises(PanicException) as expected:
        velmora.parse(data.decode("latin-1"))
    assert got.value.args == expected.value.args

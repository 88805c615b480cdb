"""Argument binding: every TypeError text, for `parse` and for shapes only the binder knows."""
import pytest

import _velmora_test as t
import velmora

P = velmora.parse


@pytest.mark.parametrize("call, message", [
    (lambda: P(), "parse() missing 1 required positional argument: 'xml'"),
    (lambda: P("<a/>", "x"), "parse() takes 1 positional arguments but 2 were given"),
    (lambda: P("<a/>", "x", "y"), "parse() takes 1 positional arguments but 3 were given"),
    (lambda: P("<a/>", "x", foo=1), "parse() takes 1 positional arguments but 2 were given"),
    (lambda: P(foo=1), "parse() got an unexpected keyword argument 'foo'"),
    (lambda: P("<a/>", foo=1), "parse() got an unexpected keyword argument 'foo'"),
    (lambda: P(XML="<a/>"), "parse() got an unexpected keyword argument 'XML'"),
    (lambda: P(xml="<a/>", foo=1), "parse() got an unexpected keyword argument 'foo'"),
    (lambda: P(foo=1, xml="<a/>"), "parse() got an unexpected keyword argument 'foo'"),
    (lambda: P("<a/>", xml="<b/>"), "parse() got multiple values for argument 'xml'"),
    (lambda: P(**{"x\udc80": 1}), "parse() got an unexpected keyword argument 'x\ufffd\ufffd\ufffd'"),
    (lambda: P(**{"\udc80\udcff": 1}),
     "parse() got an unexpected keyword argument '" + "\ufffd" * 6 + "'"),
], ids=["none", "two", "three", "surplus-before-keyword", "kw-only", "pos-and-kw", "case",
        "kw-after-xml", "kw-before-xml", "multiple", "surrogate-name", "two-surrogates"])
def test_parse_call_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    assert info.value.args == (message,)
    assert info.value.__cause__ is None and info.value.__context__ is None


class UnprintableName(str):
    def __str__(self):
        raise RuntimeError("no text")


def test_keyword_name_with_failing_str_shows_fallback(monkeypatch):
    reported = []
    monkeypatch.setattr("sys.unraisablehook", reported.append)
    name = UnprintableName("foo")
    with pytest.raises(TypeError) as info:
        P(**{name: 1})
    assert str(info.value) == (
        "parse() got an unexpected keyword argument '<unprintable UnprintableName object>'")
    assert [(type(r.exc_value), r.object) for r in reported] == [(RuntimeError, name)]


def test_xml_by_keyword_equals_by_position():
    assert P(xml="<a>1</a>") == P("<a>1</a>") == {"a": "1"}


def describe(positional=(), positional_only=0, required=None, keyword_only=(), cls=None, name="f"):
    return (cls, name, tuple(positional), positional_only,
            len(positional) if required is None else required, tuple(keyword_only))


def bind(desc, *args, **kwargs):
    values = args + tuple(kwargs.values())
    return t.bind(desc, values, len(args), tuple(kwargs) or None)


AB_OPT = describe(["a", "b"], required=1)
ABC = describe(["a", "b", "c"], cls="C")
KW = describe(["a"], keyword_only=[("x", True), ("y", True), ("z", False)])
POS_ONLY = describe(["a", "b", "c"], positional_only=2, required=0)

BIND_ERRORS = [
    (lambda: bind(AB_OPT, 1, 2, 3), "f() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda: bind(describe([], required=0), 1), "f() takes 0 positional arguments but 1 was given"),
    (lambda: bind(ABC), "C.f() missing 3 required positional arguments: 'a', 'b', and 'c'"),
    (lambda: bind(ABC, 1), "C.f() missing 2 required positional arguments: 'b' and 'c'"),
    (lambda: bind(ABC, 1, c=3), "C.f() missing 1 required positional argument: 'b'"),
    (lambda: bind(describe(list("abcd")), ),
     "f() missing 4 required positional arguments: 'a', 'b', 'c', and 'd'"),
    (lambda: bind(KW, 1), "f() missing 2 required keyword arguments: 'x' and 'y'"),
    (lambda: bind(KW, 1, y=2), "f() missing 1 required keyword argument: 'x'"),
    (lambda: bind(KW, x=1, y=2), "f() missing 1 required positional argument: 'a'"),
    (lambda: t.bind(KW, (1, 1, 2), 1, ("x", "x")), "f() got multiple values for argument 'x'"),
    (lambda: bind(KW, 1, a=2), "f() got multiple values for argument 'a'"),
    (lambda: bind(POS_ONLY, a=1, b=2),
     "f() got some positional-only arguments passed as keyword arguments: 'a' and 'b'"),
    (lambda: bind(POS_ONLY, b=1, c=2, a=3),
     "f() got some positional-only arguments passed as keyword arguments: 'b' and 'a'"),
    (lambda: bind(POS_ONLY, a=1, q=2), "f() got an unexpected keyword argument 'q'"),
    (lambda: t.bind(KW, (1, 2), 1, (5,)), "'int' object cannot be converted to 'PyString'"),
    (lambda: bind(KW, 1, 2, x=1), "f() takes 1 positional arguments but 2 were given"),
]


@pytest.mark.parametrize("call, message", BIND_ERRORS, ids=range(len(BIND_ERRORS)))
def test_general_description_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert info.value.args == (message,)


@pytest.mark.parametrize("call, bound", [
    (lambda: bind(AB_OPT, 1), {"a": 1}),
    (lambda: bind(AB_OPT, 1, b=2), {"a": 1, "b": 2}),
    (lambda: bind(AB_OPT, b=2, a=1), {"a": 1, "b": 2}),
    (lambda: bind(KW, 1, y=3, x=2), {"a": 1, "x": 2, "y": 3}),
    (lambda: bind(KW, a=1, x=2, y=3, z=4), {"a": 1, "x": 2, "y": 3, "z": 4}),
    (lambda: bind(POS_ONLY, 1, 2, c=3), {"a": 1, "b": 2, "c": 3}),
    # A null argument vector binds nothing and skips the positional count check.
    (lambda: t.bind(describe(["a"], required=0), None, 3, None), {}),
], ids=["optional-missing", "kw", "kw-order", "kw-only", "all-kw", "pos-only", "null-vector"])
def test_general_description_binds(call, bound):
    assert call() == bound

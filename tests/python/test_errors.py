"""Error values at the boundary: PanicException, raising, taking back, printed forms, rewrap."""
import pytest

import _velmora_test as t
import velmora

DOC_TAIL = ("Like SystemExit, this exception is derived from BaseException so that\n"
            "it will typically propagate all the way through the stack and cause the\n"
            "Python interpreter to exit.\n")


def failed_parse():
    with pytest.raises(BaseException) as info:
        velmora.parse("</a>")
    return info.value


def test_panic_exception_type():
    error = failed_parse()
    cls = type(error)
    assert (cls.__module__, cls.__name__, cls.__qualname__) == (
        "pyo3_runtime", "PanicException", "PanicException")
    assert cls.__mro__ == (cls, BaseException, object)
    assert not isinstance(error, Exception)
    assert len(error.args) == 1 and isinstance(error.args[0], str) and str(error) == error.args[0]
    assert error.__cause__ is None and error.__context__ is None
    doc = cls.__doc__.encode()
    assert len(doc) == 235
    assert doc.startswith(b"\n") and doc.endswith(b"\n\n" + DOC_TAIL.encode())
    assert type(failed_parse()) is cls


def test_failure_while_handling_keeps_context():
    try:
        raise ValueError("being handled")
    except ValueError as handled:
        error = failed_parse()
        assert error.__context__ is handled


def test_panic_type_is_made_once_and_only_when_needed(run_python):
    proc = run_python("""
        import gc, velmora
        def panic_types():
            gc.collect()
            seen, todo = set(), [BaseException]
            while todo:
                for sub in todo.pop().__subclasses__():
                    if sub not in seen:
                        seen.add(sub); todo.append(sub)
            return [c for c in seen if c.__name__ == "PanicException"]
        print(len(panic_types()))
        for _ in range(3):
            try:
                velmora.parse("</a>")
            except BaseException:
                pass
        print(len(panic_types()))
    """)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["0", "1"]


@pytest.mark.parametrize("kind", ["bad_alloc", "runtime_error", "int"])
def test_other_native_exceptions_become_panic_with_default_message(kind):
    with pytest.raises(BaseException) as info:
        t.throw_native(kind)
    assert type(info.value).__name__ == "PanicException"
    assert info.value.args == ("a failure was raised by velmora's native code",)


def test_fatal_failure_message_becomes_the_argument(capfd):
    with pytest.raises(BaseException) as info:
        t.fail("boom: \u00e9")
    assert type(info.value).__name__ == "PanicException"
    assert info.value.args == ("boom: \u00e9",)
    assert "boom: \u00e9" in capfd.readouterr().err


def test_object_creation_failure_is_fatal(capfd):
    with pytest.raises(BaseException) as info:
        t.panic_after_error()
    assert info.value.args == ("Python API call failed",)


def own_panic(message):
    """A PanicException of the test extension's own type, as Python code would see it."""
    with pytest.raises(BaseException) as info:
        t.fail(message)
    return info.value


def reraise(error):
    def f():
        raise error
    return f


class Unprintable:
    def __str__(self):
        raise RuntimeError


def test_panic_coming_back_from_python_resumes(capfd):
    error = own_panic("inner failure")
    capfd.readouterr()
    with pytest.raises(BaseException) as info:
        t.call(reraise(error))
    assert type(info.value) is type(error) and info.value is not error
    assert info.value.args == ("inner failure",)
    err = capfd.readouterr().err.splitlines()
    banner = [i for i, line in enumerate(err) if line.startswith("---") and line.endswith("---")]
    assert len(banner) == 1 and "PanicException" in err[banner[0]]
    assert err[banner[0] + 1] == "Python stack trace below:"
    assert err[-1].endswith("PanicException: inner failure")


def test_panic_with_unprintable_message_coming_back():
    error = own_panic("x")
    error.args = (Unprintable(),)
    with pytest.raises(BaseException) as info:
        t.call(reraise(error))
    assert info.value.args == ("Unwrapped panic from Python code",)


def test_ordinary_exception_taken_back_is_the_same_instance():
    error = KeyError("k")
    with pytest.raises(KeyError) as info:
        t.call(reraise(error))
    assert info.value is error


class BadRepr(Exception):
    def __repr__(self):
        raise RuntimeError


def raised(error):
    try:
        raise error
    except BaseException as e:
        return e


@pytest.mark.parametrize("error, expected", [
    (ValueError("x"), "PyErr { type: <class 'ValueError'>, value: ValueError('x'), traceback: None }"),
    (MemoryError(), "PyErr { type: <class 'MemoryError'>, value: MemoryError(), traceback: None }"),
    (BadRepr(), "PyErr { type: <class 'test_errors.BadRepr'>, value: "),
])
def test_printed_form(error, expected):
    assert t.printed_form(error) == expected


def test_printed_form_with_traceback():
    error = raised(KeyError("k"))
    text = t.printed_form(error)
    assert text.startswith("PyErr { type: <class 'KeyError'>, value: KeyError('k'), traceback: Some(")
    assert text.endswith(f"{error.__traceback__!r}) }}")


@pytest.mark.parametrize("value, expected_type, args", [
    (5, TypeError, ("exceptions must derive from BaseException",)),
    (ValueError, ValueError, ()),
    ("text", TypeError, ("exceptions must derive from BaseException",)),
])
def test_raising_a_value_that_is_not_an_instance(value, expected_type, args):
    with pytest.raises(BaseException) as info:
        t.raise_value(value)
    assert type(info.value) is expected_type and info.value.args == args


def test_raising_an_instance_raises_it_unchanged():
    error = OSError(2, "gone")
    with pytest.raises(OSError) as info:
        t.raise_value(error)
    assert info.value is error


class TypeErrorSubclass(TypeError):
    pass


def test_rewrap_restates_a_type_error_and_keeps_its_cause():
    cause = ValueError("root")
    incoming = TypeError("bad \udc80")
    incoming.__cause__ = cause
    with pytest.raises(TypeError) as info:
        t.rewrap("p", incoming)
    assert info.value is not incoming
    assert info.value.args == ("argument 'p': bad \ufffd\ufffd\ufffd",)
    assert info.value.__cause__ is cause and info.value.__suppress_context__ is True
    assert t.cause_of(info.value) is cause


@pytest.mark.parametrize("incoming", [TypeErrorSubclass("s"), ValueError("v"),
                                      UnicodeEncodeError("utf-8", "\udc80", 0, 1, "x")])
def test_rewrap_passes_other_errors_unchanged(incoming):
    with pytest.raises(BaseException) as info:
        t.rewrap("p", incoming)
    assert info.value is incoming

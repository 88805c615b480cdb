"""Runs velmora.parse and the level-by-level reference conversion on the same input and
compares results (key order included) and failure messages."""
import velmora


def ordered(value):
    """A form of a result in which key order matters to ==."""
    if isinstance(value, dict):
        return [(k, ordered(v)) for k, v in value.items()]
    if isinstance(value, list):
        return [ordered(v) for v in value]
    return value


def outcome(convert, xml):
    """('ok', ordered result) or ('panic', message); anything else propagates."""
    try:
        return ("ok", ordered(convert(xml)))
    except BaseException as e:  # PanicException derives from BaseException
        if type(e).__name__ != "PanicException":
            raise
        return ("panic", e.args[0])


def differs(xml):
    """None when both conversions agree, else a description of the difference."""
    import _velmora_test  # test builds only

    mine = outcome(velmora.parse, xml)
    ref = outcome(_velmora_test.reference_parse, xml)
    if mine == ref:
        return None
    return f"input {xml!r}:\n  parse:     {mine!r}\n  reference: {ref!r}"


FORMS = ("utf8", "latin1", "ucs2", "ucs4")


def form_differs(xml):
    """None when the text converts alike in every unit form it fits (UTF-8, and its code points
    in one, two and four bytes each) and as velmora.parse converts it, else the differences."""
    import _velmora_test  # test builds only

    mine = outcome(velmora.parse, xml)
    found = []
    for form in FORMS:
        try:
            other = outcome(lambda x: _velmora_test.parse_in_form(x, form), xml)
        except ValueError:  # a character does not fit the form
            continue
        if other != mine:
            found.append(f"  {form}: {other!r}")
    if not found:
        return None
    return f"input {xml!r}:\n  parse: {mine!r}\n" + "\n".join(found)

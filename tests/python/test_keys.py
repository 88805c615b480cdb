"""Dictionary keys: short ASCII keys are kept from call to call (made and hashed once), in every
form a str can hold, without holding on to more than a bounded number of them."""
import gc
import tracemalloc

import pytest

import velmora

# Something elsewhere in a document that moves the whole str to a wider form.
FORMS = {"ascii": "", "latin-1": "é", "two bytes": "λ", "four bytes": "\U0001F600"}


def first_key(result):
    return next(iter(result["r"]))


def doc_with_element(name, form):
    return f"<r><{name}>t</{name}><z>{FORMS[form]}</z></r>"


def doc_with_attribute(name, form):
    return f'<r {name}="v"><z>{FORMS[form]}</z></r>'


@pytest.mark.parametrize("form", FORMS)
def test_keys_are_shared_between_calls_and_forms(form):
    first = velmora.parse(doc_with_element("item", "ascii"))
    again = velmora.parse(doc_with_element("item", form))
    assert first_key(again) == "item"
    assert first_key(again) is first_key(first)
    first = velmora.parse(doc_with_attribute("id", "ascii"))
    again = velmora.parse(doc_with_attribute("id", form))
    assert first_key(again) == "@id"
    assert first_key(again) is first_key(first)


# (length of the name, kept for the next call): a key of up to 32 characters is kept, "@" counted.
ELEMENT_LENGTHS = [(1, True), (31, True), (32, True), (33, False), (200, False)]
ATTRIBUTE_LENGTHS = [(1, True), (30, True), (31, True), (32, False), (200, False)]


@pytest.mark.parametrize("form", FORMS)
@pytest.mark.parametrize("length, kept", ELEMENT_LENGTHS)
def test_element_keys_around_the_longest_kept(form, length, kept):
    name = ("n" + "abcdefghij" * 21)[:length]
    first, again = (velmora.parse(doc_with_element(name, form)) for _ in range(2))
    assert list(again["r"]) == [name, "z"]
    assert (first_key(again) is first_key(first)) is kept


@pytest.mark.parametrize("form", FORMS)
@pytest.mark.parametrize("length, kept", ATTRIBUTE_LENGTHS)
def test_attribute_keys_around_the_longest_kept(form, length, kept):
    name = ("a" + "0123456789" * 21)[:length]
    first, again = (velmora.parse(doc_with_attribute(name, form)) for _ in range(2))
    assert list(again["r"]) == ["@" + name, "z"]
    assert (first_key(again) is first_key(first)) is kept


@pytest.mark.parametrize("name", ["é", "nameé", "λόγος", "東京", "\U0001F600x"])
def test_names_that_are_not_ascii_come_back_equal(name):
    for _ in range(2):
        assert velmora.parse(doc_with_element(name, "ascii"))["r"][name] == "t"
        assert velmora.parse(doc_with_attribute(name, "two bytes"))["r"]["@" + name] == "v"


def churn(first, count, per_doc=50):
    """Results of documents that each use `per_doc` names of their own, `count` names in all."""
    results = []
    for start in range(first, first + count, per_doc):
        names = [f"k{n}" for n in range(start, start + per_doc)]
        xml = "<r " + " ".join(f'{n}="{n}"' for n in names) + ">" + "".join(f"<{n}>{n}</{n}>" for n in names) + "</r>"
        results.append((names, velmora.parse(xml)))
    return results


def test_keys_replaced_in_the_cache_stay_valid_in_earlier_results():
    early = churn(0, 2000)
    churn(2000, 20000)  # takes every slot over many times
    for names, result in early:
        assert list(result["r"]) == ["@" + n for n in names] + names
        assert all(result["r"][n] == n and result["r"]["@" + n] == n for n in names)


def test_memory_held_for_kept_keys_is_bounded():
    churn(0, 5000)
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        churn(100_000, 40_000)
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    # 80,000 new keys went through a cache of a bounded size: what it holds was replaced, not added.
    assert grown < 64 * 1024, grown

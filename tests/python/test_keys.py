"""Dictionary keys: short ASCII keys are kept from call to call (made and hashed once), in every
form a str can hold, without holding on to more than a bounded number of them."""
import gc
import signal
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


def shared(make_doc, names, form, key_of):
    """How many of `names` gave a key that the next call, in `form`, got again as the same object.
    A key is kept in one slot of its hash, which another key of the same document may take over
    (about one chance in a thousand for two keys), so a kept name is shown by most of its
    siblings being shared, and a name that is not kept by none of them being."""
    count = 0
    for name in names:
        first = velmora.parse(make_doc(name, "ascii"))
        again = velmora.parse(make_doc(name, form))
        assert key_of(name) in again["r"]
        count += first_key(again) is first_key(first)
    return count


def named(length, count=5):
    return [(letter + "abcdefghij" * 21)[:length] for letter in "pqrstuvwxy"[:count]]


@pytest.mark.parametrize("form", FORMS)
def test_keys_are_shared_between_calls_and_forms(form):
    assert shared(doc_with_element, ["item", "name", "value", "entry", "id"], form, str) >= 3
    assert shared(doc_with_attribute, ["id", "href", "type", "lang", "n"], form, lambda n: "@" + n) >= 3


# (length of the name, kept for the next call): a key of up to 32 characters is kept, "@" counted.
ELEMENT_LENGTHS = [(1, True), (31, True), (32, True), (33, False), (200, False)]
ATTRIBUTE_LENGTHS = [(1, True), (30, True), (31, True), (32, False), (200, False)]


@pytest.mark.parametrize("form", FORMS)
@pytest.mark.parametrize("length, kept", ELEMENT_LENGTHS)
def test_element_keys_around_the_longest_kept(form, length, kept):
    names = named(length)
    for name in names:
        assert list(velmora.parse(doc_with_element(name, form))["r"]) == [name, "z"]
    found = shared(doc_with_element, names, form, str)
    assert found >= 3 if kept else found == 0


@pytest.mark.parametrize("form", FORMS)
@pytest.mark.parametrize("length, kept", ATTRIBUTE_LENGTHS)
def test_attribute_keys_around_the_longest_kept(form, length, kept):
    names = named(length)
    for name in names:
        assert list(velmora.parse(doc_with_attribute(name, form))["r"]) == ["@" + name, "z"]
    found = shared(doc_with_attribute, names, form, lambda n: "@" + n)
    assert found >= 3 if kept else found == 0


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


def test_keys_held_by_a_conversion_stay_valid_through_one_made_inside_it():
    """A conversion made by a signal handler while another is under way meets names of its own
    in the slots of the kept keys that the outer one holds for its open elements (stored only
    when they close). Those keys stay kept until both have ended, so the outer result is intact."""
    outer = [f"n{i}" for i in range(2000)]
    inner = [f"m{i}" for i in range(8000)]
    filler = "<!---->" * (2 << 20)  # past a few of the conversion's signal checks
    doc = "<r>" + "".join(f"<{n}>" for n in outer) + filler + "t" + "".join(f"</{n}>" for n in reversed(outer)) + "</r>"
    inner_doc = "<q>" + "".join(f"<{n}>{n}</{n}>" for n in inner) + "</q>"
    inner_results = []

    def convert_inside(signum, frame):
        inner_results.append(velmora.parse(inner_doc))

    velmora.parse(doc)  # the outer names' keys are kept, and held by nothing else
    previous = signal.signal(signal.SIGALRM, convert_inside)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.005)
        result = velmora.parse(doc)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert len(inner_results) == 1
    assert list(inner_results[0]["q"]) == inner and all(inner_results[0]["q"][n] == n for n in inner)
    node = result["r"]
    for name in outer:
        assert list(node) == [name]
        node = node[name]
    assert node == "t"


@pytest.mark.parametrize("form", FORMS)
def test_names_met_again_get_their_own_keys_after_the_keys_were_replaced(form):
    """A call that meets a name earlier calls used finds its key again without its text; once
    that key was replaced in the cache (by other names), the name gets a key of its own text."""
    names = [f"k{n}" for n in range(0, 3000, 10)] + ["id", "di", "ib", "@x"[1:]]
    for name in names:
        velmora.parse(doc_with_element(name, form))
        velmora.parse(doc_with_attribute(name, form))
    churn(100_000, 20_000)  # takes every slot over many times
    for name in names:
        assert list(velmora.parse(doc_with_element(name, form))["r"]) == [name, "z"]
        assert list(velmora.parse(doc_with_attribute(name, form))["r"]) == ["@" + name, "z"]
        both = f'<r {name}="a"><{name}>b</{name}><z>{FORMS[form]}</z></r>'
        assert velmora.parse(both)["r"] == {"@" + name: "a", name: "b", "z": FORMS[form] or {}}

"""The one-pass conversion against the level-by-level reference, and the same text read in each
unit form (UTF-8, and code points of one, two and four bytes), on generated documents, their
mutations, every document of the other tests, and inputs that once differed."""
import json
import pathlib

import pytest

pytest.importorskip("_velmora_test")

import differential  # noqa: E402
import xmlgen  # noqa: E402

HERE = pathlib.Path(__file__).parent
REGRESSIONS = HERE / "regressions.jsonl"


def project_documents():
    import test_walk

    docs = [xml for xml, _ in test_walk.RESULTS] + [xml for xml, _ in test_walk.FAILURES]
    docs += [(HERE.parent.parent / "samples" / "catalog.xml").read_text(encoding="utf-8")]
    if REGRESSIONS.exists():
        docs += [json.loads(line)["input"] for line in REGRESSIONS.read_text(encoding="utf-8").split("\n") if line]
    return docs


@pytest.mark.parametrize("xml", project_documents())
def test_project_documents_agree(xml):
    assert differential.differs(xml) is None


@pytest.mark.parametrize("seed", range(8))
def test_generated_documents_agree(seed):
    gen = xmlgen.Generator(seed)
    failures = [d for d in (differential.differs(gen.case()) for _ in range(500)) if d]
    assert failures == []


@pytest.mark.parametrize("xml", project_documents())
def test_project_documents_agree_in_every_form(xml):
    assert differential.form_differs(xml) is None


@pytest.mark.parametrize("seed", range(8))
def test_generated_documents_agree_in_every_form(seed):
    gen = xmlgen.Generator(1000 + seed)
    failures = [d for d in (differential.form_differs(gen.case()) for _ in range(500)) if d]
    assert failures[:3] == []

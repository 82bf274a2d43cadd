"""Fixtures of the integration tests: RestApi on the stand-in engine."""

import pytest

qen_engine = pytest.importorskip("qen_engine")
from qen_engine.samples import make_sample_engine  # noqa: E402
from rest_loader import import_rest_with  # noqa: E402


@pytest.fixture(scope="session")
def rest():
    """qen_api.rest initialised against the stand-in engine qen_engine."""
    return import_rest_with(qen_engine)


@pytest.fixture
def api(rest):
    return rest.RestApi


@pytest.fixture
def engine():
    """A fresh engine holding the sample documents."""
    return make_sample_engine("integration")


@pytest.fixture
def Order(engine):
    return engine.classes["order"]


@pytest.fixture
def Customer(engine):
    return engine.classes["customer"]

import pytest

from qen_engine.samples import make_sample_engine


@pytest.fixture
def engine():
    return make_sample_engine("test")


@pytest.fixture
def Order(engine):
    return engine.classes["order"]


@pytest.fixture
def Customer(engine):
    return engine.classes["customer"]

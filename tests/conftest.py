import pytest

import fake_engine
from rest_loader import import_rest_with


@pytest.fixture(scope="session")
def fake():
    """The recording fake engine module (one per session)."""
    return fake_engine.build()


@pytest.fixture(scope="session")
def rest(fake):
    """qen_api.rest bound to the recording fake engine."""
    return import_rest_with(fake)


@pytest.fixture
def log(fake):
    """The fake engine's call log, empty at the start of each test."""
    fake.LOG.clear()
    fake.Batch.commit_result = (True, "committed")
    yield fake.LOG
    fake.LOG.clear()


@pytest.fixture
def api(rest, log):
    return rest.RestApi


Acl = fake_engine.Acl

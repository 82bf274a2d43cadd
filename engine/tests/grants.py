"""Test helper: an ACL holding the given grants."""

from qen_engine import Acl


def acl(*grants):
    return Acl(content=list(grants))

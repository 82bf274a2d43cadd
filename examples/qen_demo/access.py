"""The caller's ACL: the X-API-Key header looked up at the authorization service."""

import requests
from qen_api.permgate import Permgate
from qen_engine import Acl

from .params import RequestError

API_KEY_HEADER = "X-API-Key"


class AclSource:
    """Asks the authorization service for the ACL of every request's API key.

    One lookup per request, nothing cached: a key revoked at the service is
    refused at once.
    """

    def __init__(self, api_root):
        self.gate = Permgate(api_root=api_root)

    def acl_for(self, api_key):
        """The engine ACL granted to `api_key`; raises RequestError for a refusal."""
        if not api_key:
            raise RequestError(f"Missing {API_KEY_HEADER} header", 401, "AuthorizationError")
        try:
            body, status = self.gate.get_api_acl(api_key)
        except requests.RequestException as error:
            raise RequestError(f"Authorization service unreachable: {error}", 503,
                               "ServiceUnavailable") from None
        if status != 200:
            raise Refusal(body, status)
        grants = body.get("acl") if isinstance(body, dict) else None
        if not isinstance(grants, list) or not all(isinstance(g, str) for g in grants):
            raise RequestError("Authorization service answer carries no list of grants", 502,
                               "BadGateway")
        return Acl(content=grants)


class Refusal(RequestError):
    """The authorization service's own refusal, passed on with its status and body."""

    def __init__(self, body, status):
        message = body.get("message") if isinstance(body, dict) else None
        super().__init__(str(message or body), status if status >= 400 else 502,
                         "AuthorizationError")
        self.service_body = body if isinstance(body, dict) else None

    def body(self):
        return self.service_body or super().body()

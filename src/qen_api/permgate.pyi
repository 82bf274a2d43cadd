"""Client of the authorization service: Permgate."""

from types import ModuleType
from typing import Any

requests: ModuleType

class Permgate:
    """Client of the authorization service.

    The default ``api_root`` is a placeholder that a deployment replaces
    with the API root of its own service.
    """

    app_name: str
    api_root: str
    user_root: str
    role_root: str
    matrix_root: str

    def __init__(
        self,
        api_root: str = "https://auth.example.com/api/",
        app_name: str = "qen-auth",
    ) -> None: ...
    def get_api_acl(self, api_key: str, api_id: str = "") -> tuple[Any, int]:
        """Get Access Control List of API

        Args:
            api_key: API Key
            api_id: API ID

        Returns:
            API Detail or Error Message
        """

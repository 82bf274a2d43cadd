"""A small web service over `qen_api`: the URL model of `RestApi` on real HTTP.

    routes.py        Flask app: URL model -> RestApi operations -> HTTP answers
    params.py        query parameters and JSON bodies -> operation arguments
    access.py        X-API-Key -> engine ACL, through `Permgate`
    auth_service.py  the local authorization service with scripted keys
    servers.py       both servers on loopback, in threads
    __main__.py      `python -m qen_demo`: start everything with sample data
"""

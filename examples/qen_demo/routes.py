"""The Flask app: the URL model of `RestApi`, one route per URL level.

    POST   /api/v1/                              root_post (batch)
    GET    /api/v1/<resource>                    collection_get
    POST   /api/v1/<resource>                    collection_post
    DELETE /api/v1/<resource>                    collection_delete
    POST   /api/v1/<resource>/_analyze           collection_analyze
    GET    /api/v1/<resource>/<path_to_doc>      document_get
    POST   /api/v1/<resource>/<path_to_doc>      document_post
    DELETE /api/v1/<resource>/<path_to_doc>      document_delete
    PUT    /api/v1/<resource>/<path_to_doc>      document_put
    PATCH  /api/v1/<resource>/<path_to_doc>      document_patch
    POST   /api/v1/<resource>/<path_to_doc>/_/<field_path>/<action>   action_post
    POST   /api/v1/<resource>/_/<action>         action_post, collection action

`_analyze` cannot name a document: a one-piece document path has no
field/value pair, and field names beginning with "_" are never criteria.
"""

import json

from flask import Flask, Response, g, request
from qen_api.rest import RestApi
from werkzeug.exceptions import HTTPException

from .access import API_KEY_HEADER
from .params import RequestError, allow_only, flag, json_body, json_param, whole_number

PREFIX = "/api/v1"
ANALYZE = "_analyze"
DOC_VERBS = ["GET", "POST", "DELETE", "PUT", "PATCH"]


def create_app(classes, acl_source):
    """The demo app over `classes` ({collection name: document class}); callers' ACLs come
    from `acl_source.acl_for(api_key)`."""
    app = Flask("qen_demo")
    resources = {cls.__name__.lower(): cls for cls in classes.values()}

    @app.before_request
    def caller_acl():
        g.acl = acl_source.acl_for(request.headers.get(API_KEY_HEADER))

    @app.post(f"{PREFIX}/")
    def root():
        allow_only(request.args, ())
        return answer(RestApi.root_post(class_dict=dict(classes),
                                        payload=json_body(request), acl=g.acl))

    @app.route(f"{PREFIX}/<resource>", methods=["GET", "POST", "DELETE"])
    def collection(resource):
        return answer(collection_call(request.method, doc_class_of(resources, resource)))

    @app.route(f"{PREFIX}/<resource>/<path:rest>", methods=DOC_VERBS)
    def document(resource, rest):
        doc_class = doc_class_of(resources, resource)
        if rest == ANALYZE:
            return answer(analyze_call(request.method, doc_class))
        doc_path, action_path = split_action(rest)
        if action_path is not None:
            return answer(action_call(request.method, doc_class, doc_path, action_path))
        return answer(document_call(request.method, doc_class, doc_path))

    @app.errorhandler(RequestError)
    def refused(error):
        return json_response(error.body(), error.status)

    @app.errorhandler(HTTPException)
    def http_error(error):
        return json_response({"type": error.name, "message": error.description}, error.code)

    @app.errorhandler(Exception)
    def crashed(error):
        return json_response({"type": type(error).__name__, "message": str(error)}, 500)

    return app


def doc_class_of(resources, resource):
    doc_class = resources.get(resource.lower())
    if doc_class is None:
        raise RequestError(f"Unknown resource {resource}", 404, "NotFoundError")
    return doc_class


def split_action(rest):
    """(doc_path, action_path) at the first "/_/"; action_path None for a document route.
    A path starting "_/" is a collection action: doc_path ""."""
    if rest.startswith("_/"):
        return "", rest[2:]
    doc_path, separator, action_path = rest.partition("/_/")
    return doc_path, (action_path if separator else None)


def collection_call(verb, doc_class):
    args = request.args
    if verb == "GET":
        allow_only(args, ("q", "limit", "id_only", "catalog", "lazy", "show_hidden"))
        return RestApi.collection_get(
            doc_class=doc_class, payload=json_param(args, "q"), acl=g.acl,
            limit=whole_number(args, "limit"), id_only=flag(args, "id_only", False),
            catalog=args.get("catalog"), **display_flags(args))
    if verb == "POST":
        allow_only(args, ())
        return RestApi.collection_post(doc_class=doc_class, payload=json_body(request),
                                       acl=g.acl)
    allow_only(args, ("drop",))
    return RestApi.collection_delete(doc_class=doc_class, acl=g.acl,
                                     drop=flag(args, "drop", False))


def display_flags(args):
    return {"lazy": flag(args, "lazy", True), "show_hidden": flag(args, "show_hidden", False)}


def analyze_call(verb, doc_class):
    if verb != "POST":
        raise RequestError(f"{ANALYZE} takes POST with the analytic request as body", 405,
                           "MethodNotAllowed")
    allow_only(request.args, ())
    return RestApi.collection_analyze(doc_class=doc_class,
                                      analytic_request=json_body(request), acl=g.acl)


def action_call(verb, doc_class, doc_path, action_path):
    if verb != "POST":
        raise RequestError("Actions take POST", 405, "MethodNotAllowed")
    allow_only(request.args, ())
    result = RestApi.action_post(doc_class=doc_class, payload=json_body(request),
                                 doc_path=doc_path, action_path=action_path, acl=g.acl)
    if len(result) == 3:                  # the action triple; failures come as a pair
        value, owner, name = result
        return {"result": value, "class": owner.__name__, "action": name}, 200
    return result


def document_call(verb, doc_class, doc_path):
    args, common = request.args, {"doc_class": doc_class, "doc_path": doc_path, "acl": g.acl}
    if verb == "GET":
        allow_only(args, ("catalog", "lazy", "show_hidden"))
        return RestApi.document_get(**common, catalog=args.get("catalog"),
                                    **display_flags(args))
    if verb == "DELETE":
        allow_only(args, ())
        return RestApi.document_delete(**common)
    if verb == "PATCH":
        allow_only(args, ("catalog",))
        return RestApi.document_patch(**common, payload=json_body(request),
                                      catalog=args.get("catalog"))
    if verb == "PUT":
        allow_only(args, ("create",))
        return RestApi.document_put(**common, payload=json_body(request),
                                    create=flag(args, "create", False))
    allow_only(args, ())
    return RestApi.document_post(**common, payload=json_body(request))


def answer(pair):
    body, status = pair
    if status == 204:                     # no body by HTTP rule: the id list is not echoed
        return Response(status=204)
    return json_response(body, status)


def json_response(body, status):
    return Response(json.dumps(body, default=_display), status=status,
    mimetype="application/json")


def _display(value):
    """Engine objects that an action may return, in their display form."""
    if hasattr(value, "get_display_data"):
        return value.get_display_data()
    raise TypeError(f"{type(value).__name__} is not JSON-ready")

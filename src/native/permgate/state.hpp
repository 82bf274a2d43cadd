// Module state of qen_api.permgate: everything imported or built once at
// import, so that a lookup only reads it.
#pragma once

#include "core/function.hpp"

namespace qen::permgate {

// Attribute names, keys and literal texts, interned once. X(field, "text").
#define QEN_PERMGATE_NAMES(X)                 \
  X(post, "post")                             \
  X(json, "json")                             \
  X(status_code, "status_code")               \
  X(content, "content")                       \
  X(decode, "decode")                         \
  X(endswith, "endswith")                     \
  X(args, "args")                             \
  X(app_name, "app_name")                     \
  X(api_root, "api_root")                     \
  X(user_root, "user_root")                   \
  X(role_root, "role_root")                   \
  X(matrix_root, "matrix_root")               \
  X(api_key, "api_key")                       \
  X(id, "id")                                 \
  X(message, "message")                       \
  X(trace, "trace")                           \
  X(slash, "/")                               \
  X(user, "user")                             \
  X(role, "role")                             \
  X(matrix, "matrix")                         \
  X(slash_user, "/user")                      \
  X(slash_role, "/role")                      \
  X(slash_matrix, "/matrix")                  \
  X(lookup_path, "/_/get_api_acl")            \
  X(utf_8, "utf-8")                           \
  X(replace, "replace")

// Objects imported or built at import, besides names. X(field).
#define QEN_PERMGATE_OBJECTS(X)                    \
  X(requests)      /* the imported HTTP client */  \
  X(function_type) /* type of our two methods */   \
  X(kw_json)       /* ("json",) */                 \
  X(status_200) X(status_300) X(status_401)

struct State {
  PyObject* module = nullptr;  // borrowed: the state lives inside it

#define QEN_X(field, ...) ref field;
  QEN_PERMGATE_NAMES(QEN_X)
  QEN_PERMGATE_OBJECTS(QEN_X)
#undef QEN_X
};

// Visits every reference the state owns (GC traversal and clearing).
template <typename F>
void for_each_ref(State& st, F&& visit) {
#define QEN_X(field, ...) visit(st.field);
  QEN_PERMGATE_NAMES(QEN_X)
  QEN_PERMGATE_OBJECTS(QEN_X)
#undef QEN_X
}

inline State& state_of(void* ctx) { return *static_cast<State*>(ctx); }

// Bodies of the two methods of Permgate; args[0] is the instance.
ref permgate_init(void* ctx, PyObject* const* args);
ref get_api_acl(void* ctx, PyObject* const* args);

}  // namespace qen::permgate

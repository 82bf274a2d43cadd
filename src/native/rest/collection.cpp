// Collection operations: catalog, search, analysis, creation, deletion.
#include <vector>

#include "rest/ops.hpp"

namespace qen::rest {
namespace {

// (body, status): every public operation answers with such a pair.
ref pair(PyObject* body, PyObject* status) {
  return tuple_of({body, status});
}

// The items of a list of ids, held by us: the engine may change the list
// while it runs, and the ids must stay alive for the whole call.
class HeldIds {
 public:
  HeldIds() = default;
  HeldIds(const HeldIds&) = delete;
  HeldIds& operator=(const HeldIds&) = delete;
  ~HeldIds() {
    for (Py_ssize_t i = 0; i < size_; ++i) Py_DECREF(items_[i]);
  }

  // Takes every item of `list`; false (nothing held) when one is not a str.
  bool take_strings(PyObject* list) {
    const Py_ssize_t n = PyList_GET_SIZE(list);
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (!PyUnicode_Check(PyList_GET_ITEM(list, i))) return false;
    }
    if (n > kSmall) {
      large_.resize(static_cast<size_t>(n));
      items_ = large_.data();
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
      items_[i] = Py_NewRef(PyList_GET_ITEM(list, i));
    }
    size_ = n;
    return true;
  }

  PyObject* const* data() const { return items_; }
  Py_ssize_t size() const { return size_; }

 private:
  static constexpr Py_ssize_t kSmall = 16;
  PyObject* small_[kSmall];
  std::vector<PyObject*> large_;
  PyObject** items_ = small_;
  Py_ssize_t size_ = 0;
};

// `[doc.get_display_data(lazy=, catalog=, show_hidden=) for doc in documents]`.
ref display_all(State& st, PyObject* documents, PyObject* lazy,
                PyObject* catalog, PyObject* show_hidden) {
  ref result = check(PyList_New(0));
  auto show = [&](PyObject* doc) {
    ref shown = call_method(doc, st.get_display_data.get(), st.kw_display.get(),
                            {lazy, catalog, show_hidden});
    check_status(PyList_Append(result.get(), shown.get()));
  };
  if (PyList_CheckExact(documents)) {
    // By position, as list iteration goes: the length is read at every step,
    // so a list that the engine changes meanwhile is followed the same way.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(documents); ++i) {
      show(ref::borrow(PyList_GET_ITEM(documents, i)).get());
    }
    return result;
  }
  ref it = check(PyObject_GetIter(documents));
  while (ref doc = ref::steal(PyIter_Next(it.get()))) show(doc.get());
  if (PyErr_Occurred()) fail();
  return result;
}

// `ignored[collection][result] += 1`, both levels starting empty.
void count_refusal(PyObject* ignored, PyObject* collection, PyObject* result) {
  ref errors = ref::borrow(PyDict_GetItemWithError(ignored, collection));
  if (!errors) {
    if (PyErr_Occurred()) fail();
    errors = check(PyDict_New());
  }
  PyObject* seen = PyDict_GetItemWithError(errors.get(), result);
  Py_ssize_t count = 1;
  if (seen) {
    count += PyLong_AsSsize_t(seen);  // our own counters: exact ints
    if (PyErr_Occurred()) fail();
  } else if (PyErr_Occurred()) {
    fail();
  }
  ref counter = check(PyLong_FromSsize_t(count));
  check_status(PyDict_SetItem(errors.get(), result, counter.get()));
  check_status(PyDict_SetItem(ignored, collection, errors.get()));
}

}  // namespace

// args: cls, catalog.
ref parse_catalog(void* ctx, PyObject* const* args) {
  PyObject* catalog = args[1];
  if (catalog == Py_None || PyDict_Check(catalog)) return ref::borrow(catalog);
  return check(PyObject_CallOneArg(state_of(ctx).json_loads.get(), catalog));
}

// args: cls, doc_class, payload, acl, limit, id_only, catalog, lazy, show_hidden.
ref collection_get(void* ctx, PyObject* const* args) {
  State& st = state_of(ctx);
  PyObject* cls = args[0];
  PyObject* doc_class = args[1];
  PyObject* acl = args[3];
  PyObject* id_only = args[5];
  PyObject* lazy = args[7];
  PyObject* show_hidden = args[8];

  // A list of ids asked back as ids: nothing to search.
  if (PyList_Check(args[2]) && truth(id_only)) return pair(args[2], st.status_204.get());

  ref payload = ref::borrow(args[2]);
  if (!truth(payload.get())) payload = check(PyDict_New());

  PyObject* raw_catalog = args[6];
  ref catalog = call_op(st, Op::parse_catalog, cls, &raw_catalog, 1, nullptr);

  ref limit = ref::borrow(args[4]);
  if (limit.get() == Py_None) limit = check(PyLong_FromLong(truth(id_only) ? 1000 : 50));

  ref documents;
  if (PyDict_Check(payload.get())) {
    PyObject* fixed[] = {acl, limit.get(), id_only};
    documents = call_method_spread(doc_class, st.objects.get(), nullptr, 0,
                                   Keywords{st.kw_search.get(), fixed}, payload.get());
  } else if (PyList_Check(payload.get())) {
    HeldIds ids;
    if (!ids.take_strings(payload.get())) {
      return pair(st.msg_id_not_string.get(), st.status_400.get());
    }
    PyObject* fixed[] = {acl, limit.get()};
    documents = call_method_spread(doc_class, st.objects.get(), ids.data(), ids.size(),
                                   Keywords{st.kw_search_ids.get(), fixed}, nullptr);
  } else {
    return pair(st.msg_payload_form.get(), st.status_400.get());
  }

  ref result = truth(id_only)
                   ? check(PySequence_List(documents.get()))
                   : display_all(st, documents.get(), lazy, catalog.get(), show_hidden);
  return pair(result.get(), st.status_200.get());
}

// args: cls, doc_class, analytic_request, acl.
ref collection_analyze(void* ctx, PyObject* const* args) {
  State& st = state_of(ctx);
  ref request = ref::borrow(args[2]);
  if (!truth(request.get())) request = check(PyDict_New());
  ref result = call_method(args[1], st.analyze.get(), st.kw_analyze.get(),
                           {request.get(), args[3]});
  return pair(result.get(), st.status_200.get());
}

// args: cls, doc_class, payload, acl.
ref collection_post(void* ctx, PyObject* const* args) {
  State& st = state_of(ctx);
  PyObject* doc_class = args[1];
  PyObject* acl = args[3];

  // Each document is saved as soon as it is built; what save returned is kept.
  ref saved = check(PyList_New(0));
  ref it = check(PyObject_GetIter(args[2]));
  while (ref item = ref::steal(PyIter_Next(it.get()))) {
    ref new_doc = call_spread(st, doc_class, st.from_display.get(), item.get());
    ref kept = call_method(new_doc.get(), st.save.get(), st.kw_acl.get(), {acl});
    check_status(PyList_Append(saved.get(), kept.get()));
  }
  if (PyErr_Occurred()) fail();

  // Displayed only after the last save.
  const Py_ssize_t n = PyList_GET_SIZE(saved.get());
  ref result = check(PyList_New(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    ref shown = call_noargs(PyList_GET_ITEM(saved.get(), i), st.get_display_data.get());
    PyList_SET_ITEM(result.get(), i, shown.release());
  }
  return pair(result.get(), st.status_200.get());
}

// args: cls, doc_class, acl, drop.
ref collection_delete(void* ctx, PyObject* const* args) {
  State& st = state_of(ctx);
  PyObject* doc_class = args[1];
  PyObject* acl = args[2];
  PyObject* msg_class = st.QenCollectionDeleteMsg.get();

  ref delete_msg;
  if (truth(args[3])) {
    call_method(doc_class, st.drop.get(), st.kw_acl.get(), {acl});
    ref name = call_noargs(doc_class, st.get_collection_name.get());
    delete_msg = call_method(msg_class, st.from_display.get(), st.kw_drop_msg.get(),
                             {name.get(), Py_True});
  } else {
    ref results = call_method(doc_class, st.delete_all.get(), st.kw_acl.get(), {acl});
    ref deleted = check(PyList_New(0));
    ref ignored = check(PyDict_New());
    ref it = check(PyObject_GetIter(results.get()));
    while (ref item = ref::steal(PyIter_Next(it.get()))) {
      // Subscripts as `item["result"]` does: a missing key is a KeyError.
      ref result = check(PyObject_GetItem(item.get(), st.result.get()));
      if (check_status(PyObject_RichCompareBool(result.get(), st.status_200.get(), Py_EQ))) {
        check_status(PyList_Append(deleted.get(), item.get()));
        continue;
      }
      ref collection = check(PyObject_GetItem(item.get(), st.collection.get()));
      count_refusal(ignored.get(), collection.get(), result.get());
    }
    if (PyErr_Occurred()) fail();
    ref name = call_noargs(doc_class, st.get_collection_name.get());
    delete_msg = call_method(msg_class, st.from_display.get(), st.kw_delete_msg.get(),
                             {name.get(), Py_False, deleted.get(), ignored.get()});
  }
  ref body = call_noargs(delete_msg.get(), st.get_display_data.get());
  return pair(body.get(), st.status_200.get());
}

}  // namespace qen::rest

// Batch writes on the API root: every payload line is registered in one
// engine batch, committed once after the last line.
#include "rest/ops.hpp"

namespace qen::rest {
namespace {

// A refused request: (message, 400), returned, not raised.
ref refusal(State& st, PyObject* message) {
  return tuple_of({message, st.status_400.get()});
}

// `prefix + format(value, "") + suffix`; the suffix may be NULL.
ref join_formatted(State& st, PyObject* prefix, PyObject* value, PyObject* suffix) {
  ref text = check(PyObject_Format(value, st.empty.get()));
  ref joined = check(PyUnicode_Concat(prefix, text.get()));
  if (suffix == nullptr) return joined;
  return check(PyUnicode_Concat(joined.get(), suffix));
}

// `key in mapping`, as the `in` operator does it.
bool contains(PyObject* mapping, PyObject* key) {
  return check_status(PySequence_Contains(mapping, key)) != 0;
}

ref item(PyObject* mapping, PyObject* key) {
  return check(PyObject_GetItem(mapping, key));
}

// The class under `name` in `class_dict`, or an empty ref when it has none.
ref class_of(PyObject* class_dict, PyObject* name) {
  if (PyDict_CheckExact(class_dict)) {
    PyObject* cls = PyDict_GetItemWithError(class_dict, name);
    if (cls == nullptr && PyErr_Occurred()) fail();
    return ref::borrow(cls);
  }
  if (!contains(class_dict, name)) return ref();
  return item(class_dict, name);
}

// The engine of the batch: `_engine` of the class under the first key.
ref first_engine(State& st, PyObject* class_dict) {
  ref it = check(PyObject_GetIter(class_dict));
  ref key = ref::steal(PyIter_Next(it.get()));
  if (!key) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_IndexError, "list index out of range");
    fail();
  }
  ref cls = item(class_dict, key.get());
  return getattr(cls.get(), st._engine.get());
}

void set_id(State& st, PyObject* doc, PyObject* id) {
  check_status(PyObject_SetAttr(doc, st._id.get(), id));
}

ref blank(PyObject* cls) { return check(PyObject_CallNoArgs(cls)); }

enum class Code { I, S, U, D, other };

Code code_of(State& st, PyObject* op) {
  PyObject* codes[] = {st.op_I.get(), st.op_S.get(), st.op_U.get(), st.op_D.get()};
  for (int i = 0; i < 4; ++i) {
    if (check_status(PyObject_RichCompareBool(op, codes[i], Py_EQ))) {
      return static_cast<Code>(i);
    }
  }
  return Code::other;
}

// Registers one line in the batch; returns a refusal pair, or an empty ref.
ref register_line(State& st, PyObject* class_dict, PyObject* line,
                  PyObject* batch, PyObject* acl) {
  for (PyObject* key : {st.name.get(), st.id.get(), st.op.get()}) {
    if (!contains(line, key)) return refusal(st, st.batch_wrong_line.get());
  }
  ref name = item(line, st.name.get());
  ref cls = class_of(class_dict, name.get());
  if (!cls) {
    ref message = join_formatted(st, st.batch_class_prefix.get(), name.get(),
                                 st.batch_not_found_suffix.get());
    return refusal(st, message.get());
  }
  ref op = item(line, st.op.get());
  const Code code = code_of(st, op.get());
  if (code == Code::other) {
    ref message = join_formatted(st, st.batch_op_prefix.get(), op.get(),
                                 st.not_supported.get());
    return refusal(st, message.get());
  }
  ref content;
  if (code != Code::D) {
    // A line that would write content must carry it: refuse it like any
    // other malformed line rather than fail half-way through the batch.
    if (!contains(line, st.content.get())) {
      PyObject* codes[] = {st.op_I.get(), st.op_S.get(), st.op_U.get()};
      ref message = check(PyUnicode_Concat(st.batch_no_content.get(),
                                           codes[static_cast<int>(code)]));
      return refusal(st, message.get());
    }
    content = item(line, st.content.get());
  }

  switch (code) {
    case Code::I: {
      ref doc = call_spread(st, cls.get(), st.from_display.get(), content.get());
      call_method(doc.get(), st.save.get(), st.kw_batch_acl.get(), {batch, acl});
      break;
    }
    case Code::S: {
      ref doc = call_spread(st, cls.get(), st.from_display.get(), content.get());
      ref key_fields = getattr(doc.get(), st._key_fields.get());
      ref id = truth(key_fields.get())
                   ? check(PyObject_CallMethodNoArgs(doc.get(), st.calculate_id.get()))
                   : item(line, st.id.get());
      set_id(st, doc.get(), id.get());
      call_method(doc.get(), st.save.get(), st.kw_batch_acl.get(), {batch, acl});
      break;
    }
    case Code::U: {
      ref doc = blank(cls.get());
      set_id(st, doc.get(), item(line, st.id.get()).get());
      PyObject* fixed[] = {batch, acl};
      call_method_spread(doc.get(), st.update.get(), nullptr, 0,
                         Keywords{st.kw__batch__acl.get(), fixed}, content.get());
      break;
    }
    case Code::D: {
      ref doc = blank(cls.get());
      set_id(st, doc.get(), item(line, st.id.get()).get());
      call_method(doc.get(), st.delete_.get(), st.kw_batch_acl.get(), {batch, acl});
      break;
    }
    case Code::other:
      break;
  }
  return ref();
}

}  // namespace

// root_post(cls, class_dict, payload, acl)
ref root_post(void* ctx, PyObject* const* args) {
  State& st = state_of(ctx);
  PyObject* class_dict = args[1];
  PyObject* payload = args[2];
  PyObject* acl = args[3];

  if (!truth(class_dict)) return refusal(st, st.batch_no_class_mapping.get());

  ref engine = first_engine(st, class_dict);
  PyObject* batch_args[] = {engine.get()};
  ref batch = check(PyObject_Vectorcall(st.Batch.get(), batch_args, 0, st.kw_engine.get()));

  ref lines = check(PyObject_GetIter(payload));
  while (ref line = ref::steal(PyIter_Next(lines.get()))) {
    ref refused = register_line(st, class_dict, line.get(), batch.get(), acl);
    if (refused) return refused;  // the batch is dropped uncommitted
  }
  if (PyErr_Occurred()) fail();

  ref committed = check(PyObject_CallMethodNoArgs(batch.get(), st.commit.get()));
  auto [ok, message] = unpack2(committed.get());
  if (truth(ok.get())) return tuple_of({st.empty.get(), st.status_200.get()});
  return tuple_of({message.get(), st.status_500.get()});
}

}  // namespace qen::rest

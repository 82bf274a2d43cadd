// Document path resolution: /_id/<id> or /field/value/... to one load().
//
// A str path is split here over the string's own buffer: only the id (or the
// names and values of the criteria) become Python strings, plus one kwnames
// tuple for the field form. Anything else is split by its own `split("/")`,
// as the equivalent Python code would.
#include <cstring>
#include <iterator>
#include <vector>

#include "rest/ops.hpp"

namespace qen::rest {
namespace {

// Beyond this many pairs the criteria go through a dict (linear merging of
// duplicate names) instead of the stack.
constexpr Py_ssize_t kStackPairs = 16;

struct Span {
  Py_ssize_t start, end;
};

// Positions of the non-empty pieces of a str, in order.
class Pieces {
 public:
  explicit Pieces(PyObject* text)
      : text_(text), kind_(PyUnicode_KIND(text)), data_(PyUnicode_DATA(text)) {
    const Py_ssize_t len = PyUnicode_GET_LENGTH(text);
    switch (kind_) {
      case PyUnicode_1BYTE_KIND: scan(static_cast<const Py_UCS1*>(data_), len); break;
      case PyUnicode_2BYTE_KIND: scan(static_cast<const Py_UCS2*>(data_), len); break;
      default: scan(static_cast<const Py_UCS4*>(data_), len); break;
    }
  }

  Py_ssize_t size() const { return static_cast<Py_ssize_t>(spans_.size()); }
  const Span& operator[](Py_ssize_t i) const { return spans_[static_cast<size_t>(i)]; }

  Py_UCS4 first_char(const Span& s) const { return PyUnicode_READ(kind_, data_, s.start); }

  bool is_id_marker(const Span& s) const {
    return s.end - s.start == 3 && first_char(s) == '_' &&
           PyUnicode_READ(kind_, data_, s.start + 1) == 'i' &&
           PyUnicode_READ(kind_, data_, s.start + 2) == 'd';
  }

  bool same_text(const Span& a, const Span& b) const {
    const Py_ssize_t n = a.end - a.start;
    if (n != b.end - b.start) return false;
    const char* base = static_cast<const char*>(data_);
    return std::memcmp(base + a.start * kind_, base + b.start * kind_,
                       static_cast<size_t>(n * kind_)) == 0;
  }

  // Whether the piece reads exactly as `text` (an exact str). Equal texts
  // share their storage kind, so kind, length and bytes decide.
  bool equals(const Span& s, PyObject* text) const {
    const Py_ssize_t n = s.end - s.start;
    if (PyUnicode_KIND(text) != kind_ || PyUnicode_GET_LENGTH(text) != n) return false;
    const char* base = static_cast<const char*>(data_);
    return std::memcmp(base + s.start * kind_, PyUnicode_DATA(text),
                       static_cast<size_t>(n * kind_)) == 0;
  }

  ref text_of(const Span& s) const {
    return check(PyUnicode_Substring(text_, s.start, s.end));
  }

 private:
  template <typename Ch>
  void scan(const Ch* data, Py_ssize_t len) {
    Py_ssize_t i = 0;
    while (i < len) {
      while (i < len && data[i] == '/') ++i;
      const Py_ssize_t start = i;
      while (i < len && data[i] != '/') ++i;
      if (i > start) spans_.push_back({start, i});
    }
  }

  PyObject* text_;
  int kind_;
  const void* data_;
  // Reserved inline so that ordinary paths need no allocation.
  struct SmallSpans {
    Span inline_[2 * kStackPairs + 2];
    std::vector<Span> heap_;
    size_t n_ = 0;
    void push_back(Span s) {
      if (n_ < std::size(inline_)) {
        inline_[n_++] = s;
        return;
      }
      if (heap_.empty()) heap_.assign(inline_, inline_ + n_);
      heap_.push_back(s);
      ++n_;
    }
    size_t size() const { return n_; }
    const Span& operator[](size_t i) const {
      return heap_.empty() ? inline_[i] : heap_[i];
    }
  } spans_;
};

[[noreturn]] void invalid_path(State& st, PyObject* doc_path) {
  raise_joined(PyExc_ValueError, {st.msg_invalid_path.get(), doc_path});
}

// `doc_class.load(id, _acl=acl)`.
ref load_by_id(State& st, PyObject* doc_class, PyObject* id, PyObject* acl) {
  PyObject* stack[] = {doc_class, id, acl};
  return check(PyObject_VectorcallMethod(st.load.get(), stack,
                                         2 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                         st.kw__acl.get()));
}

// `doc_class.load(_acl=acl, **criteria)`.
ref load_by_dict(State& st, PyObject* doc_class, PyObject* acl, PyObject* criteria) {
  return call_method_spread(doc_class, st.load.get(), nullptr, 0,
                            Keywords{st.kw__acl.get(), &acl}, criteria);
}

// ("_acl", *names) as a kwnames tuple: one of the recent shapes when the
// same fields come back, else a new one (names interned) that replaces the
// oldest shape.
ref field_kwnames(State& st, const Pieces& p, const Span* names, Py_ssize_t m) {
  for (ref& shape : st.field_kwnames) {
    if (!shape || PyTuple_GET_SIZE(shape.get()) != 1 + m) continue;
    Py_ssize_t i = 0;
    while (i < m && p.equals(names[i], PyTuple_GET_ITEM(shape.get(), 1 + i))) ++i;
    if (i == m) return ref::borrow(shape.get());
  }
  ref kwnames = check(PyTuple_New(1 + m));
  PyTuple_SET_ITEM(kwnames.get(), 0, Py_NewRef(PyTuple_GET_ITEM(st.kw__acl.get(), 0)));
  for (Py_ssize_t i = 0; i < m; ++i) {
    PyObject* name = p.text_of(names[i]).release();
    PyUnicode_InternInPlace(&name);
    PyTuple_SET_ITEM(kwnames.get(), 1 + i, name);
  }
  st.field_kwnames[st.next_field_shape] = ref::borrow(kwnames.get());
  st.next_field_shape = (st.next_field_shape + 1) % State::kFieldShapes;
  return kwnames;
}

// The field form with few pairs: names merged on the stack, one kwnames tuple.
ref load_by_fields(State& st, PyObject* doc_class, PyObject* acl, const Pieces& p) {
  Span names[kStackPairs], values[kStackPairs];
  Py_ssize_t m = 0;
  for (Py_ssize_t k = 0; k < p.size() / 2; ++k) {
    const Span& name = p[2 * k];
    if (p.first_char(name) == '_') continue;
    Py_ssize_t at = 0;
    while (at < m && !p.same_text(names[at], name)) ++at;
    if (at == m) names[m++] = name;  // a later duplicate keeps the first place
    values[at] = p[2 * k + 1];
  }

  PyObject* stack[2 + kStackPairs] = {doc_class, acl};
  if (m == 0) {
    return check(PyObject_VectorcallMethod(st.load.get(), stack,
                                           1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                           st.kw__acl.get()));
  }
  ref kwnames = field_kwnames(st, p, names, m);
  ref owned[kStackPairs];
  for (Py_ssize_t i = 0; i < m; ++i) {
    owned[i] = p.text_of(values[i]);
    stack[2 + i] = owned[i].get();
  }
  return check(PyObject_VectorcallMethod(st.load.get(), stack,
                                         1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                         kwnames.get()));
}

// The field form with many pairs: a dict merges duplicates in linear time.
ref load_by_many_fields(State& st, PyObject* doc_class, PyObject* acl, const Pieces& p) {
  ref criteria = check(PyDict_New());
  for (Py_ssize_t k = 0; k < p.size() / 2; ++k) {
    const Span& name = p[2 * k];
    if (p.first_char(name) == '_') continue;
    check_status(PyDict_SetItem(criteria.get(), p.text_of(name).get(),
                                p.text_of(p[2 * k + 1]).get()));
  }
  return load_by_dict(st, doc_class, acl, criteria.get());
}

// The id of an ASCII path in the id form ("/_id/7", "_id//7/x"), found
// without scanning the rest of the path; an empty ref for any other path.
ref ascii_id(PyObject* doc_path) {
  if (!PyUnicode_IS_ASCII(doc_path)) return ref();
  const char* s = static_cast<const char*>(PyUnicode_DATA(doc_path));
  const Py_ssize_t n = PyUnicode_GET_LENGTH(doc_path);
  Py_ssize_t i = 0;
  while (i < n && s[i] == '/') ++i;
  if (n - i < 3 || s[i] != '_' || s[i + 1] != 'i' || s[i + 2] != 'd') return ref();
  i += 3;
  if (i < n && s[i] != '/') return ref();
  while (i < n && s[i] == '/') ++i;
  Py_ssize_t end = i;
  while (end < n && s[end] != '/') ++end;
  if (end == i) return ref();
  return check(_PyUnicode_FromASCII(s + i, end - i));
}

ref resolve_str(State& st, PyObject* doc_class, PyObject* doc_path, PyObject* acl) {
  check_status(PyUnicode_READY(doc_path));
  if (ref id = ascii_id(doc_path)) return load_by_id(st, doc_class, id.get(), acl);
  const Pieces p(doc_path);
  if (p.size() == 0) invalid_path(st, doc_path);
  if (p.is_id_marker(p[0])) {
    if (p.size() < 2) invalid_path(st, doc_path);
    return load_by_id(st, doc_class, p.text_of(p[1]).get(), acl);
  }
  if (p.size() / 2 <= kStackPairs) return load_by_fields(st, doc_class, acl, p);
  return load_by_many_fields(st, doc_class, acl, p);
}

// Any other path object, read exactly as
//   paths = [p for p in doc_path.split("/") if p]
// and the pieces compared and tested through their own methods.
ref resolve_generic(State& st, PyObject* doc_class, PyObject* doc_path, PyObject* acl) {
  PyObject* split_args[] = {doc_path, st.slash.get()};
  ref split = check(PyObject_VectorcallMethod(
      st.split.get(), split_args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  ref iter = check(PyObject_GetIter(split.get()));
  ref paths = check(PyList_New(0));
  while (ref piece = ref::steal(PyIter_Next(iter.get()))) {
    if (truth(piece.get())) check_status(PyList_Append(paths.get(), piece.get()));
  }
  if (PyErr_Occurred()) fail();

  const Py_ssize_t n = PyList_GET_SIZE(paths.get());
  if (n == 0) invalid_path(st, doc_path);
  ref is_id = check(PyObject_RichCompare(PyList_GET_ITEM(paths.get(), 0),
                                         st.id_marker.get(), Py_EQ));
  if (truth(is_id.get())) {
    if (n < 2) invalid_path(st, doc_path);
    return load_by_id(st, doc_class, PyList_GET_ITEM(paths.get(), 1), acl);
  }
  ref criteria = check(PyDict_New());
  for (Py_ssize_t k = 0; k < n / 2; ++k) {
    ref name = ref::borrow(PyList_GET_ITEM(paths.get(), 2 * k));
    ref value = ref::borrow(PyList_GET_ITEM(paths.get(), 2 * k + 1));
    PyObject* sw_args[] = {name.get(), st.underscore.get()};
    ref hidden = check(PyObject_VectorcallMethod(
        st.startswith.get(), sw_args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (truth(hidden.get())) continue;
    check_status(PyDict_SetItem(criteria.get(), name.get(), value.get()));
  }
  return load_by_dict(st, doc_class, acl, criteria.get());
}

}  // namespace

ref get_document_from_path(void* ctx, PyObject* const* args) {
  State& st = state_of(ctx);
  PyObject* doc_class = args[1];
  PyObject* doc_path = args[2];
  PyObject* acl = args[3];
  if (PyUnicode_CheckExact(doc_path)) return resolve_str(st, doc_class, doc_path, acl);
  return resolve_generic(st, doc_class, doc_path, acl);
}

}  // namespace qen::rest

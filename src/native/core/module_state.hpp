// Module state kept in a multi-phase module: built in place at exec, visited
// by the GC, cleared and destroyed with the module.
//
// `State` has a member `PyObject* module` (set once the state is built) and a
// function `for_each_ref(State&, visit)` that visits every `ref` it owns.
#pragma once

#include <new>

#include "core/ref.hpp"

namespace qen {

template <typename State, void (*Exec)(State&)>
struct ModuleState {
  static State* of(PyObject* module) {
    State* st = static_cast<State*>(PyModule_GetState(module));
    return st && st->module ? st : nullptr;  // NULL until exec built it
  }

  static int exec(PyObject* module) {
    return guard([&] {
      State& st = *new (PyModule_GetState(module)) State{};
      st.module = module;
      Exec(st);
      return 0;
    }, -1);
  }

  static int traverse(PyObject* module, visitproc visit, void* arg) {
    State* st = of(module);
    if (!st) return 0;
    int err = 0;
    for_each_ref(*st, [&](ref& r) {
      if (!err && r) err = visit(r.get(), arg);
    });
    return err;
  }

  static int clear(PyObject* module) {
    if (State* st = of(module)) for_each_ref(*st, [](ref& r) { r.reset(); });
    return 0;
  }

  static void free(void* module) {
    if (State* st = of(static_cast<PyObject*>(module))) st->~State();
  }
};

}  // namespace qen

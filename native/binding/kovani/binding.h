// The binding layer: the one place that turns C++ bodies into Python callables.
//
// Every function a module publishes, and every loop body or mapped function it hands to
// JAX, is an instance of one small heap type with vectorcall. It carries `__doc__`,
// `__annotations__`, `__name__`, `__qualname__` and `__module__` exactly as declared,
// gives `inspect.signature`, pickles by qualified name, and is weak-referenceable, which
// JAX needs: `jax.jit` and the caches behind `jax.lax.fori_loop` key on weak references.
//
// This layer alone parses positional and keyword arguments, raises the argument
// TypeErrors, and converts `int` and `float` parameters, in parameter order, before a
// body runs. Bodies receive the converted arguments and run with the GIL held.
#pragma once

#include <nanobind/nanobind.h>

#include <functional>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace kovani {

namespace nb = nanobind;

enum class Conv { Plain, Int, Float };

struct Param {
    std::string name;
    std::string annotation;  // empty: the parameter carries no annotation
    Conv conv = Conv::Plain;
};

struct Function;

// Converted arguments in parameter order; a body may move out of them.
using Args = std::vector<nb::object>;
using Body = std::function<nb::object(Function &self, Args &args)>;

// A published function. Its documentation string begins with the signature line that
// the binding layer writes from the declaration: the name, each parameter as "name:
// annotation" ("int " before an `int` parameter, "double " before a `float` one), then
// " -> " and the result's annotation; `doc`, where given, follows after an empty line.
struct Declaration {
    std::string name;
    std::vector<Param> params;
    std::string returns;  // annotation of the result; empty: none
    std::string doc;      // the documentation after the signature line; empty: none
    Body body;
};


// Makes a nested function of `parent` (a loop body, a mapped function): same type, same
// globals, qualified name "<parent>.<locals>.<name>", plain parameters.
nb::object closure(Function &parent, const std::string &name,
                   std::vector<std::string> params, Body body);

// Looks `name` up in the function's module namespace, as a Python function would read a
// global at run time, so that replacing a module attribute takes effect on the next call.
nb::object global(Function &self, const char *name);

// The exec step of a module: registers it with nanobind, then runs `init`. A Python
// error raised by `init` (a failed import, say) is left set exactly as raised.
int exec_module(PyObject *module, void (*init)(nb::module_ module));

// What PyInit_<name> returns: the definition of the module `name` (a string literal),
// made by multi-phase initialisation, whose exec step is exec_module with `init`.
template <void (*init)(nb::module_ module)>
PyObject *define_module(const char *name) {
    static PyModuleDef_Slot slots[] = {
        {Py_mod_exec, (void *) +[](PyObject *module) { return exec_module(module, init); }}, {0, nullptr}};
    static PyModuleDef definition = {PyModuleDef_HEAD_INIT, name, nullptr, 0, nullptr, slots,
                                     nullptr, nullptr, nullptr};
    return PyModuleDef_Init(&definition);
}

// Imports `jax`, `jax.numpy` as `jnp` and `numpy` as `np` into the module's namespace, in
// this order.
void import_array_modules(nb::handle module);

// Publishes the functions `declarations` make, in order: each an object of one new
// callable type of the module (every function holds a strong reference to the type, so the
// module keeps none of its own), whose globals are the module's namespace, bound there
// under its name.
void publish_all(nb::handle module, std::initializer_list<Declaration (*)()> declarations);

// `from <package>.<name> import <attr>`, relative to `module`'s package `level` levels up,
// as a Python module's `from ..name import attr` would do it.
nb::object import_from(nb::handle module, const char *name, const char *attr, int level);

// A compiled core declared once: its parameters in order, each static (part of jit's cache
// key, a Python value while the core is traced) or an array. The static_argnums follow
// from the list, bodies read their arguments by name and callers pass them by name.
struct CoreParam {
    const char *name;
    bool is_static = false;
};

class CoreArgs {
  public:
    CoreArgs(const std::vector<CoreParam> &params, Args &values) : params_(params), values_(values) {}
    // The argument of the declared parameter `name`; RuntimeError for an undeclared one.
    nb::object operator[](const char *name) const;

  private:
    const std::vector<CoreParam> &params_;
    Args &values_;
};

using CoreBody = nb::object (*)(Function &self, const CoreArgs &a);

struct Core {
    const char *name;
    std::vector<CoreParam> params;
    CoreBody body;
};

// Calls `core`, compiled on first use and kept by `self` (in storage the function object
// owns, visible to the garbage collector) under its name, with every declared parameter
// given once by name (in any order). Arguments hold their values, so a list of them may be
// built ahead of the call. A core is traced at full matrix-product precision (HIGHEST)
// whatever the device. It runs inside `context` (a Python context manager: a device, a
// limit on threads) where one is given, and has finished when the context is left; jit
// puts it on JAX's default device, or the one a `jax.default_device` context names.
using CoreArg = std::pair<const char *, nb::object>;
nb::object call_core(Function &self, const Core &core, const std::vector<CoreArg> &args,
                     nb::handle context = nb::none());

// A dict kept by `self` under `name`, beside its compiled cores (same storage, same
// lifetime), made empty on first use: a cache of arrays a function reuses across calls.
nb::dict kept_dict(Function &self, const char *name);

// f() inside the Python context manager `context`: entered before, exited after, also
// when f throws (the exception then propagates unchanged).
template <class F>
nb::object within(nb::handle context, F &&f) {
    nb::object exit = context.attr("__exit__");
    context.attr("__enter__")();
    nb::object result;
    try {
        result = f();
    } catch (...) {
        exit(nb::none(), nb::none(), nb::none());
        throw;
    }
    exit(nb::none(), nb::none(), nb::none());
    return result;
}

// Whether `value` is the function this module published as `name`: an object of the
// module's own function type, declared under that name, with the module's namespace. A
// caller's replacement, a nested function, or another published function bound under the
// name is not.
bool is_published(Function &self, nb::handle value, const char *name);

// Python comparison `a <op> b` (op: Py_LT, Py_GE, ...); errors propagate.
bool compare(nb::handle a, nb::handle b, int op);

// bool(value), as Python tests truth (a NumPy or JAX boolean included); errors propagate.
bool truthy(nb::handle value);

// int(value) as a C++ integer; OverflowError when it does not fit in 64 bits.
long long to_int64(nb::handle value);

// Raise a Python exception of `type` with a fixed message.
[[noreturn]] void raise(PyObject *type, const char *message);

}  // namespace kovani

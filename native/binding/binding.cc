#include "kovani/binding.h"

#include <structmember.h>

#include <cstring>
#include <memory>
#include <new>
#include <typeinfo>
#include <utility>

namespace kovani {

// The C++ side of a function. Owned by exactly one Function object; `globals` and
// `store` are visited by the garbage collector, since a module's namespace holds its
// functions and a function's store may hold objects that refer back to it.
struct Impl {
    std::string name;
    std::vector<Param> params;
    Body body;
    nb::object globals;
    nb::object store;
    bool published = false;
};

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject *dict;
    PyObject *weaklist;
    Impl *impl;
};

void raise(PyObject *type, const char *message) {
    PyErr_SetString(type, message);
    throw nb::python_error();
}

namespace {

// ---------------------------------------------------------------- argument parsing

[[noreturn]] void raise_count(const Impl &f, Py_ssize_t given) {
    Py_ssize_t expected = (Py_ssize_t) f.params.size();
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 f.name.c_str(), "exactly", expected, expected == 1 ? "" : "s", given);
    throw nb::python_error();
}

Py_ssize_t param_index(const Impl &f, PyObject *key) {
    for (size_t i = 0; i < f.params.size(); ++i)
        if (PyUnicode_CompareWithASCIIString(key, f.params[i].name.c_str()) == 0)
            return (Py_ssize_t) i;
    return -1;
}

// Binds positional and keyword arguments to parameters. Every parameter is required.
// Order of complaints: too many positional arguments; the first parameter left without
// a value (counting the parameters supplied before it); then the keywords in call order.
Args bind(const Impl &f, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    const Py_ssize_t n_params = (Py_ssize_t) f.params.size();
    const Py_ssize_t n_kw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs > n_params || (n_kw == 0 && nargs != n_params))
        raise_count(f, nargs);

    Args values(n_params);
    for (Py_ssize_t i = 0; i < nargs; ++i)
        values[i] = nb::borrow(args[i]);
    if (n_kw == 0)
        return values;

    Py_ssize_t unused = n_kw;
    for (Py_ssize_t i = nargs; i < n_params; ++i) {
        for (Py_ssize_t k = 0; k < n_kw; ++k) {
            PyObject *key = PyTuple_GET_ITEM(kwnames, k);
            if (PyUnicode_Check(key) &&
                PyUnicode_CompareWithASCIIString(key, f.params[i].name.c_str()) == 0) {
                values[i] = nb::borrow(args[nargs + k]);
                --unused;
                break;
            }
        }
        if (!values[i].is_valid())
            raise_count(f, i);
    }
    if (unused == 0)
        return values;

    for (Py_ssize_t k = 0; k < n_kw; ++k) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", f.name.c_str());
            throw nb::python_error();
        }
        Py_ssize_t i = param_index(f, key);
        if (i >= nargs)
            continue;
        if (i >= 0)
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         f.name.c_str(), key);
        else
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         f.name.c_str(), key);
        throw nb::python_error();
    }
    return values;
}

// An exact int passes unchanged; anything else with an integer conversion in its number
// protocol (float, NumPy scalars, 0-d arrays) goes through int(); the rest is refused.
nb::object to_int(const Param &p, nb::handle value) {
    PyObject *o = value.ptr();
    if (PyLong_CheckExact(o))
        return nb::borrow(o);
    PyNumberMethods *number = Py_TYPE(o)->tp_as_number;
    if (!number || (!number->nb_int && !number->nb_index)) {
        PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                     p.name.c_str(), "int", Py_TYPE(o)->tp_name);
        throw nb::python_error();
    }
    return nb::steal(PyNumber_Long(o));
}

nb::object to_float(nb::handle value) {
    if (PyFloat_CheckExact(value.ptr()))
        return nb::borrow(value);
    double d = PyFloat_AsDouble(value.ptr());
    if (d == -1.0 && PyErr_Occurred())
        throw nb::python_error();
    return nb::steal(PyFloat_FromDouble(d));
}

void convert(const Impl &f, Args &values) {
    for (size_t i = 0; i < values.size(); ++i) {
        switch (f.params[i].conv) {
            case Conv::Plain: break;
            case Conv::Int: values[i] = to_int(f.params[i], values[i]); break;
            case Conv::Float: values[i] = to_float(values[i]); break;
        }
        if (!values[i].is_valid())
            throw nb::python_error();
    }
}

// ---------------------------------------------------------------- the type's slots

PyObject *builtin_type(const nb::builtin_exception &e) {
    switch (e.type()) {
        case nb::exception_type::stop_iteration: return PyExc_StopIteration;
        case nb::exception_type::index_error: return PyExc_IndexError;
        case nb::exception_type::key_error: return PyExc_KeyError;
        case nb::exception_type::value_error: return PyExc_ValueError;
        case nb::exception_type::type_error: return PyExc_TypeError;
        case nb::exception_type::buffer_error: return PyExc_BufferError;
        case nb::exception_type::import_error: return PyExc_ImportError;
        case nb::exception_type::attribute_error: return PyExc_AttributeError;
        default: return PyExc_RuntimeError;
    }
}

PyObject *function_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf,
                              PyObject *kwnames) {
    Function &fn = *reinterpret_cast<Function *>(self);
    try {
        Args values = bind(*fn.impl, args, PyVectorcall_NARGS(nargsf), kwnames);
        convert(*fn.impl, values);
        // Keep the body alive while it runs, even if the function is rebound meanwhile.
        nb::object keep = nb::borrow(self);
        nb::object result = fn.impl->body(fn, values);
        if (!result.is_valid() && !PyErr_Occurred())
            PyErr_Format(PyExc_SystemError, "%.200s() returned no value", fn.impl->name.c_str());
        return result.release().ptr();
    } catch (nb::python_error &e) {
        e.restore();
    } catch (nb::builtin_exception &e) {
        PyErr_SetString(builtin_type(e), e.what());
    } catch (std::bad_cast &e) {
        // A nanobind cast that the value does not fit, e.g. an int beyond 64 bits.
        PyErr_SetString(PyExc_TypeError, "value cannot be converted to the expected C++ type");
    } catch (std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        // Nothing may unwind into the interpreter, which would end the process.
        PyErr_Format(PyExc_RuntimeError, "%.200s(): unexpected C++ exception", fn.impl->name.c_str());
    }
    return nullptr;
}

int function_traverse(PyObject *self, visitproc visit, void *arg) {
    Function *fn = reinterpret_cast<Function *>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(fn->dict);
    if (fn->impl) {
        Py_VISIT(fn->impl->globals.ptr());
        Py_VISIT(fn->impl->store.ptr());
    }
    return 0;
}

int function_clear(PyObject *self) {
    Function *fn = reinterpret_cast<Function *>(self);
    Py_CLEAR(fn->dict);
    if (fn->impl) {
        // Move out before dropping, so that finalisers that run meanwhile see the slots empty.
        nb::object globals = std::move(fn->impl->globals);
        nb::object store = std::move(fn->impl->store);
    }
    return 0;
}

void function_dealloc(PyObject *self) {
    Function *fn = reinterpret_cast<Function *>(self);
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (fn->weaklist)
        PyObject_ClearWeakRefs(self);
    function_clear(self);
    delete fn->impl;
    fn->impl = nullptr;
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject *function_repr(PyObject *self) {
    PyObject *qualname = PyObject_GetAttrString(self, "__qualname__");
    if (!qualname)
        return nullptr;
    // __qualname__ lives in the instance dict and may have been rebound to any object: %S
    // formats it with str(), where %U would read a non-string as one.
    PyObject *r = PyUnicode_FromFormat("<function %S>", qualname);
    Py_DECREF(qualname);
    return r;
}

// Acting as a non-data descriptor that returns itself makes pydoc document the object
// as a routine (with its signature); like a builtin, it never binds as a method.
PyObject *function_descr_get(PyObject *self, PyObject *, PyObject *) {
    return Py_NewRef(self);
}

PyObject *function_reduce(PyObject *self, PyObject *) {
    return PyObject_GetAttrString(self, "__qualname__");
}

PyObject *function_signature(PyObject *self, void *) {
    try {
        Function &fn = *reinterpret_cast<Function *>(self);
        nb::module_ inspect = nb::module_::import_("inspect");
        nb::object parameter = inspect.attr("Parameter");
        nb::object empty = parameter.attr("empty");
        nb::object annotations = nb::steal(PyObject_GetAttrString(self, "__annotations__"));
        if (!annotations.is_valid())
            PyErr_Clear();
        auto annotation = [&](const char *name) -> nb::object {
            if (annotations.is_valid() && PyDict_Check(annotations.ptr())) {
                PyObject *a = PyDict_GetItemString(annotations.ptr(), name);
                if (a)
                    return nb::borrow(a);
            }
            return empty;
        };
        nb::list params;
        for (const Param &p : fn.impl->params)
            params.append(parameter(p.name.c_str(), parameter.attr("POSITIONAL_OR_KEYWORD"),
                                    nb::arg("annotation") = annotation(p.name.c_str())));
        return inspect.attr("Signature")(params, nb::arg("return_annotation") = annotation("return"))
            .release()
            .ptr();
    } catch (nb::python_error &e) {
        e.restore();
    } catch (std::exception &e) {
        // No C++ exception may cross back into the interpreter.
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__signature__", function_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(Function, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(Function, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(Function, weaklist), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, (void *) function_dealloc},
    {Py_tp_traverse, (void *) function_traverse},
    {Py_tp_clear, (void *) function_clear},
    {Py_tp_call, (void *) PyVectorcall_Call},
    {Py_tp_repr, (void *) function_repr},
    {Py_tp_descr_get, (void *) function_descr_get},
    {Py_tp_methods, function_methods},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {0, nullptr},
};

nb::object make(PyTypeObject *type, Impl *impl, nb::handle globals, const std::string &qualname,
                nb::handle annotations, const std::string &doc) {
    std::unique_ptr<Impl> owned(impl);
    if (!globals.is_valid())
        raise(PyExc_RuntimeError, "cannot make a function: its module namespace was cleared");
    nb::object self = nb::steal(type->tp_alloc(type, 0));
    if (!self.is_valid())
        throw nb::python_error();
    Function *fn = reinterpret_cast<Function *>(self.ptr());
    fn->vectorcall = function_vectorcall;
    fn->impl = owned.release();
    fn->impl->globals = nb::borrow(globals);

    nb::object module_name = nb::borrow(PyDict_GetItemString(globals.ptr(), "__name__"));
    self.attr("__name__") = nb::str(fn->impl->name.c_str());
    self.attr("__qualname__") = nb::str(qualname.c_str());
    self.attr("__module__") = module_name.is_valid() ? module_name : nb::none();
    self.attr("__doc__") = doc.empty() ? nb::none() : nb::object(nb::str(doc.c_str()));
    self.attr("__annotations__") = annotations;
    return self;
}

// The callable type of one extension module. Each function holds a strong reference to
// its type, so the module keeps no reference of its own.
nb::object make_function_type(nb::handle module) {
    nb::str module_name = nb::borrow<nb::str>(nb::getattr(module, "__name__"));
    // tp_name must outlive the type; heap types copy the part after the last dot only.
    static const std::string name = "kovani_function";
    std::string full = std::string(module_name.c_str()) + "." + name;
    PyType_Spec type_spec = {
        full.c_str(),
        (int) sizeof(Function),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
            Py_TPFLAGS_DISALLOW_INSTANTIATION,
        function_slots,
    };
    PyObject *type = PyType_FromModuleAndSpec(module.ptr(), &type_spec, nullptr);
    if (!type)
        throw nb::python_error();
    return nb::steal(type);
}

// The documentation string of a published function (binding.h: Declaration).
std::string docstring(const Declaration &decl) {
    std::string line = decl.name + "(";
    for (size_t i = 0; i < decl.params.size(); ++i) {
        const Param &p = decl.params[i];
        line += i ? ", " : "";
        line += p.conv == Conv::Int ? "int " : p.conv == Conv::Float ? "double " : "";
        line += p.name;
        if (!p.annotation.empty())
            line += ": " + p.annotation;
    }
    line += ")";
    if (!decl.returns.empty())
        line += " -> " + decl.returns;
    return decl.doc.empty() ? line : line + "\n\n" + decl.doc;
}

// A function of `type` whose globals are the namespace of `module`, bound there under its
// name.
nb::object publish(nb::handle module, nb::handle type, Declaration decl) {
    nb::dict annotations;
    for (const Param &p : decl.params)
        if (!p.annotation.empty())
            annotations[p.name.c_str()] = nb::str(p.annotation.c_str());
    if (!decl.returns.empty())
        annotations["return"] = nb::str(decl.returns.c_str());

    const std::string doc = docstring(decl);
    auto *impl = new Impl{decl.name, std::move(decl.params), std::move(decl.body), {}, {}, true};
    nb::object fn = make((PyTypeObject *) type.ptr(), impl, nb::getattr(module, "__dict__"),
                         decl.name, annotations, doc);
    nb::setattr(module, decl.name.c_str(), fn);
    return fn;
}

}  // namespace

nb::object closure(Function &parent, const std::string &name, std::vector<std::string> params,
                   Body body) {
    std::vector<Param> plain;
    for (std::string &p : params)
        plain.push_back(Param{std::move(p), {}, Conv::Plain});
    auto *impl = new Impl{name, std::move(plain), std::move(body), {}, {}, false};
    nb::object parent_qualname = nb::getattr(nb::handle((PyObject *) &parent), "__qualname__");
    std::string qualname = std::string(nb::str(parent_qualname).c_str()) + ".<locals>." + name;
    return make(Py_TYPE((PyObject *) &parent), impl, parent.impl->globals, qualname, nb::dict(), "");
}

nb::object global(Function &self, const char *name) {
    // The garbage collector empties `globals` when it breaks a cycle through the function;
    // a finaliser may still call it then.
    if (!self.impl->globals.is_valid())
        raise(PyExc_RuntimeError, "function called after its module namespace was cleared");
    PyObject *value = PyDict_GetItemString(self.impl->globals.ptr(), name);
    if (!value) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        throw nb::python_error();
    }
    return nb::borrow(value);
}

namespace {

// The dict of compiled cores `self` keeps, keyed by name.
nb::dict cores(Function &self) {
    nb::object &store = self.impl->store;
    if (!store.is_valid())
        store = nb::dict();
    return nb::borrow<nb::dict>(store);
}

}  // namespace

nb::dict kept_dict(Function &self, const char *name) {
    nb::dict store = cores(self);
    if (!store.contains(name))
        store[name] = nb::dict();
    return nb::borrow<nb::dict>(store[name]);
}

nb::object CoreArgs::operator[](const char *name) const {
    for (size_t i = 0; i < params_.size(); ++i)
        if (std::strcmp(params_[i].name, name) == 0)
            return values_[i];
    PyErr_Format(PyExc_RuntimeError, "compiled core has no parameter '%s'", name);
    throw nb::python_error();
}

nb::object call_core(Function &self, const Core &core, const std::vector<CoreArg> &args, nb::handle context) {
    const size_t n = core.params.size();
    if (args.size() != n)
        raise(PyExc_RuntimeError, (std::string(core.name) + ": wrong number of arguments").c_str());
    nb::dict store = cores(self);
    nb::object jitted;
    if (store.contains(core.name)) {
        jitted = store[core.name];
    } else {
        std::vector<std::string> names;
        nb::list static_argnums;
        for (size_t i = 0; i < n; ++i) {
            names.emplace_back(core.params[i].name);
            if (core.params[i].is_static)
                static_argnums.append(i);
        }
        std::vector<CoreParam> params = core.params;
        CoreBody body = core.body;
        // Traced at the working type's full precision: every product and solve of the core
        // (and of the kernels it calls) carries HIGHEST, whatever the device's default for
        // float32 (reduced on GPUs, where a covariance can lose positive definiteness).
        nb::object fn = closure(self, core.name, std::move(names), [params, body](Function &f, Args &a) {
            return within(global(f, "jax").attr("default_matmul_precision")("highest"),
                          [&] { return body(f, CoreArgs(params, a)); });
        });
        jitted = global(self, "jax").attr("jit")(fn, nb::arg("static_argnums") = nb::tuple(static_argnums));
        store[core.name] = jitted;
    }
    // Positional, in declared order: the fastest way through jit's dispatch.
    nb::list ordered;
    for (size_t i = 0; i < n; ++i) {
        // Callers mostly list the arguments in declared order: one comparison each then.
        const CoreArg *found = std::strcmp(args[i].first, core.params[i].name) == 0 ? &args[i] : nullptr;
        for (size_t k = 0; !found && k < n; ++k)
            if (std::strcmp(args[k].first, core.params[i].name) == 0)
                found = &args[k];
        if (!found)
            raise(PyExc_RuntimeError,
                  (std::string(core.name) + ": no argument for parameter " + core.params[i].name).c_str());
        ordered.append(found->second);
    }
    auto run = [&] {
        nb::object result = nb::steal(PyObject_Call(jitted.ptr(), nb::tuple(ordered).ptr(), nullptr));
        if (!result.is_valid())
            throw nb::python_error();
        return result;
    };
    if (context.is_none())
        return run();
    // Finished inside the context: the CPU client dispatches asynchronously, and what the
    // context sets (BLAS threads) must hold while the computation runs, not just while it
    // is enqueued.
    return within(context, [&] { return global(self, "jax").attr("block_until_ready")(run()); });
}

bool is_published(Function &self, nb::handle value, const char *name) {
    if (Py_TYPE(value.ptr()) != Py_TYPE((PyObject *) &self))
        return false;
    const Impl *impl = reinterpret_cast<Function *>(value.ptr())->impl;
    return impl && impl->published && impl->name == name && impl->globals.is(self.impl->globals);
}

bool compare(nb::handle a, nb::handle b, int op) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
    if (r < 0)
        throw nb::python_error();
    return r == 1;
}

bool truthy(nb::handle value) {
    const int r = PyObject_IsTrue(value.ptr());
    if (r < 0)
        throw nb::python_error();
    return r == 1;
}

long long to_int64(nb::handle value) {
    nb::object as_int = nb::steal(PyNumber_Long(value.ptr()));
    if (!as_int.is_valid())
        throw nb::python_error();
    long long v = PyLong_AsLongLong(as_int.ptr());
    if (v == -1 && PyErr_Occurred())
        throw nb::python_error();
    return v;
}

int exec_module(PyObject *module, void (*init)(nb::module_ module)) {
    if (!nb::register_module(module))
        return -1;
    try {
        init(nb::borrow<nb::module_>(module));
        return 0;
    } catch (nb::python_error &e) {
        e.restore();
    } catch (std::exception &e) {
        PyErr_SetString(PyExc_ImportError, e.what());
    }
    return -1;
}

void import_array_modules(nb::handle module) {
    nb::setattr(module, "jax", nb::module_::import_("jax"));
    nb::setattr(module, "jnp", nb::module_::import_("jax.numpy"));
    nb::setattr(module, "np", nb::module_::import_("numpy"));
}

void publish_all(nb::handle module, std::initializer_list<Declaration (*)()> declarations) {
    nb::object type = make_function_type(module);
    for (Declaration (*declare)() : declarations)
        publish(module, type, declare());
}

nb::object import_from(nb::handle module, const char *name, const char *attr, int level) {
    nb::object globals = nb::getattr(module, "__dict__");
    nb::object fromlist = nb::make_tuple(attr);
    nb::object source = nb::steal(PyImport_ImportModuleLevel(name, globals.ptr(), nullptr,
                                                             fromlist.ptr(), level));
    if (!source.is_valid())
        throw nb::python_error();
    PyObject *value = PyObject_GetAttrString(source.ptr(), attr);
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            throw nb::python_error();
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%U'", attr,
                     nb::getattr(source, "__name__").ptr());
        throw nb::python_error();
    }
    return nb::steal(value);
}

}  // namespace kovani

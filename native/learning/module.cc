// Module `learning`: imports its collaborators, then publishes its functions in order.
#include "learning.h"

namespace kovani::learning {
namespace {

void init(nb::module_ m) {
    m.attr("Literal") = nb::module_::import_("typing").attr("Literal");
    m.attr("jax") = nb::module_::import_("jax");
    m.attr("jnp") = nb::module_::import_("jax.numpy");
    m.attr("np") = nb::module_::import_("numpy");
    m.attr("KovaniModel") = import_from(m, "kovani_io", "KovaniModel", 3);

    nb::object type = make_function_type(m);
    for (Declaration (*declare)() : {jax_dtype_from_numpy, pg_expected_omega, pg_binary_update,
                                     build_logits, softmax_fit, softmax_update})
        publish(m, type, declare());
}

int exec(PyObject *m) { return exec_module(m, init); }

PyModuleDef_Slot slots[] = {{Py_mod_exec, (void *) exec}, {0, nullptr}};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "learning", nullptr, 0, nullptr, slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace kovani::learning

extern "C" NB_EXPORT PyObject *PyInit_learning() {
    return PyModuleDef_Init(&kovani::learning::definition);
}

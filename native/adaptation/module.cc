// Module `adaptation`: imports its collaborators, then publishes its functions in order.
#include "adaptation.h"

namespace kovani::adaptation {
namespace {

void init(nb::module_ m) {
    m.attr("jax") = nb::module_::import_("jax");
    m.attr("jnp") = nb::module_::import_("jax.numpy");
    m.attr("np") = nb::module_::import_("numpy");
    m.attr("KovaniModel") = import_from(m, "kovani_io", "KovaniModel", 3);

    nb::object type = make_function_type(m);
    for (Declaration (*declare)() : {softmax_update_fixed_prior})
        publish(m, type, declare());
}

int exec(PyObject *m) { return exec_module(m, init); }

PyModuleDef_Slot slots[] = {{Py_mod_exec, (void *) exec}, {0, nullptr}};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "adaptation", nullptr, 0, nullptr, slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace kovani::adaptation

extern "C" NB_EXPORT PyObject *PyInit_adaptation() {
    return PyModuleDef_Init(&kovani::adaptation::definition);
}

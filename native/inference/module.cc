// Module `inference`: imports its collaborators, then publishes its functions in order.
#include "inference.h"

namespace kovani::inference {
namespace {

void init(nb::module_ m) {
    m.attr("jax") = nb::module_::import_("jax");
    m.attr("jnp") = nb::module_::import_("jax.numpy");
    m.attr("np") = nb::module_::import_("numpy");
    m.attr("KovaniModel") = import_from(m, "kovani_io", "KovaniModel", 3);
    m.attr("kovani_softmax") = import_from(m, "kovani_math", "kovani_softmax", 3);

    nb::object type = make_function_type(m);
    for (Declaration (*declare)() : {logits_from_beta, softmax_predict_proba, softmax_predict,
                                     softmax_predict_samples})
        publish(m, type, declare());
}

int exec(PyObject *m) { return exec_module(m, init); }

PyModuleDef_Slot slots[] = {{Py_mod_exec, (void *) exec}, {0, nullptr}};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "inference", nullptr, 0, nullptr, slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace kovani::inference

extern "C" NB_EXPORT PyObject *PyInit_inference() {
    return PyModuleDef_Init(&kovani::inference::definition);
}

// Module `learning`: imports its collaborators, then publishes its functions in order.
#include "learning.h"

namespace kovani::learning {
namespace {

void init(nb::module_ m) {
    m.attr("Literal") = nb::module_::import_("typing").attr("Literal");
    import_array_modules(m);
    m.attr("KovaniModel") = import_from(m, "kovani_io", "KovaniModel", 3);
    publish_all(m, {jax_dtype_from_numpy, pg_expected_omega, pg_binary_update, build_logits, softmax_fit,
                    softmax_update, softmax_evidence, race_update});
}

}  // namespace
}  // namespace kovani::learning

extern "C" NB_EXPORT PyObject *PyInit_learning() { return kovani::define_module<kovani::learning::init>("learning"); }

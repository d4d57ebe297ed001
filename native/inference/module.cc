// Module `inference`: imports its collaborators, then publishes its functions in order.
#include "inference.h"

namespace kovani::inference {
namespace {

void init(nb::module_ m) {
    import_array_modules(m);
    m.attr("KovaniModel") = import_from(m, "kovani_io", "KovaniModel", 3);
    m.attr("kovani_softmax") = import_from(m, "kovani_math", "kovani_softmax", 3);
    publish_all(m, {logits_from_beta, softmax_predict_proba, softmax_predict, softmax_predict_samples});
}

}  // namespace
}  // namespace kovani::inference

extern "C" NB_EXPORT PyObject *PyInit_inference() { return kovani::define_module<kovani::inference::init>("inference"); }

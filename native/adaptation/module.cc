// Module `adaptation`: imports its collaborators, then publishes its functions in order.
#include "adaptation.h"

namespace kovani::adaptation {
namespace {

void init(nb::module_ m) {
    import_array_modules(m);
    m.attr("KovaniModel") = import_from(m, "kovani_io", "KovaniModel", 3);
    publish_all(m, {softmax_update_fixed_prior});
}

}  // namespace
}  // namespace kovani::adaptation

extern "C" NB_EXPORT PyObject *PyInit_adaptation() { return kovani::define_module<kovani::adaptation::init>("adaptation"); }

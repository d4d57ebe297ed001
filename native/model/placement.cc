#include "model/placement.h"

namespace kovani::model {
namespace {

// kovani_bci.placement as sys.modules holds it (imported the first time): a lookup there
// costs far less than the import statement's machinery on every call. Its attributes are
// read anew on every call, so a replaced function or setting takes effect at once.
nb::object placement_module() {
    PyObject *module = PyImport_GetModule(nb::str("kovani_bci.placement").ptr());
    if (module)
        return nb::steal(module);
    if (PyErr_Occurred())
        throw nb::python_error();
    return nb::module_::import_("kovani_bci.placement");
}

}  // namespace

Placement place(double work, bool keep_on_host, long long size) {
    nb::object decided = placement_module().attr("core_context")(work, nb::bool_(keep_on_host), nb::int_(size));
    return {decided[0], truthy(decided[1])};
}

}  // namespace kovani::model

#include "model/placement.h"

namespace kovani::model {

Placement place(double work, bool keep_on_host) {
    nb::object decided =
        nb::module_::import_("kovani_bci.placement").attr("core_placement")(work, nb::bool_(keep_on_host));
    return {decided[0], truthy(decided[1])};
}

}  // namespace kovani::model

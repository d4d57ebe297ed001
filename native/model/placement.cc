#include "model/placement.h"

namespace kovani::model {

Placement place(double work, bool keep_on_host, bool solves) {
    nb::object decided = nb::module_::import_("kovani_bci.placement")
                             .attr("core_context")(work, nb::bool_(keep_on_host), nb::bool_(solves));
    return {decided[0], truthy(decided[1])};
}

}  // namespace kovani::model

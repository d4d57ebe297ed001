#include "model/placement.h"

namespace kovani::model {

Placement place(double work, bool keep_on_host, long long size) {
    nb::object decided = nb::module_::import_("kovani_bci.placement")
                             .attr("core_context")(work, nb::bool_(keep_on_host), nb::int_(size));
    return {decided[0], truthy(decided[1])};
}

}  // namespace kovani::model

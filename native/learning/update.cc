// Online update: the trials checked and the record read on the host (model/record.h),
// classes grown at the hyper-prior, then the sweeps over the batch with each row's running
// estimate as its prior (model/sweeps.h), and the record's copy with six entries replaced.
#include "learning.h"
#include "model/update.h"

namespace kovani::learning {
namespace {

enum UpdateArg { MODEL, X, Y };

nb::object update(Function &self, Args &a) {
    Jax j(self);
    auto working_type = [&](nb::handle Xn) { return global(self, "_jax_dtype_from_numpy")(Xn); };
    model::Update u = model::read_running_update(j, a[MODEL], a[X], a[Y], working_type);
    model::Coefficients posterior = model::running_update_sweeps(self, j, model::sweep_inputs(j, u),
                                                                 model::module_kernels(self));
    return model::updated_model(self, j, a[MODEL], u, posterior);
}

}  // namespace

Declaration softmax_update() {
    return {"kovani_softmax_update",
            {{"model", "KovaniModel"}, {"X", "np.ndarray"}, {"y", "np.ndarray"}},
            "KovaniModel",
            "Update a softmax model with additional labeled observations.",
            update};
}

}  // namespace kovani::learning

// An online update whose sweeps hold the received posterior as the prior of every class
// step. The training module's update takes each row's running estimate as the prior of
// the next sweep, so a batch is counted once per sweep; here, as in the batch fit, the
// prior stays fixed (per row: the record's mean and factor) and only the approximation
// runs, so a batch counts once whatever the number of sweeps, and a widened posterior
// weighs exactly as much as it was widened to.
//
// The trials, the record's reads and checks, class growth and the new record are the
// update's (model/update.h); the sweeps are the fit's, with per-row priors
// (model/sweeps.h).
#include "adaptation.h"
#include "model/update.h"

namespace kovani::adaptation {
namespace {

enum UpdateArg { MODEL, X, Y };

nb::object update(Function &self, Args &a) {
    Jax j(self);
    model::Update u = model::read_fixed_prior_update(j, a[MODEL], a[X], a[Y]);
    model::Coefficients posterior = model::fixed_prior_sweeps(self, j, model::sweep_inputs(j, u));
    return model::updated_model(self, j, a[MODEL], u, posterior);
}

}  // namespace

Declaration softmax_update_fixed_prior() {
    return {"kovani_softmax_update_fixed_prior",
            {{"model", "KovaniModel"}, {"X", "np.ndarray"}, {"y", "np.ndarray"}},
            "KovaniModel",
            "Update a softmax model with labeled observations, its posterior held as the prior.\n"
            "\n"
            "Every sweep takes the model's posterior as received as the prior of each class\n"
            "step, and refines only the running approximation (as the batch fit does from\n"
            "the hyper-prior), so the batch counts once whatever num_steps is. A posterior\n"
            "widened before the call therefore weighs exactly as much as it was widened to.\n"
            "Labels beyond the model's classes add classes at the stored hyper-prior.\n"
            "\n"
            "Args:\n"
            "    model: KovaniModel whose posterior is the prior of the update.\n"
            "    X: Feature matrix of shape (n_trials, n_features).\n"
            "    y: Integer labels of shape (n_trials,), counted from the model's label_base.\n"
            "\n"
            "Returns:\n"
            "    A new KovaniModel; the model passed in is left unchanged.\n"
            "\n"
            "Raises:\n"
            "    ValueError: If inputs have invalid shapes or labels, the feature count\n"
            "        differs from the model's, or the record is inconsistent.",
            update};
}

}  // namespace kovani::adaptation

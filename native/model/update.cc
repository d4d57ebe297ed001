#include "model/update.h"

#include "model/finite.h"
#include "model/memory.h"
#include "model/working_type.h"

#include <string>

namespace kovani::model {

namespace {

// Every class step of a sweep works on the logits of all classes, so an update costs about
// K'^2 class-logit products per trial and sweep: a stray label of 30000 on a 3-class model
// would grow 29 998 empty classes and run for minutes although it fits in memory. (A growth
// that does not fit is the memory guard's MemoryError, checked first.)
void check_growth(const UpdateSettings &s) {
    const long long added = s.new_n_classes - s.old_n_classes;
    if (added <= kMaxAddedClasses)
        return;
    raise(PyExc_ValueError, ("update: label " + std::to_string(s.new_n_classes - 1 + s.label_base) +
                             " would add " + std::to_string(added) + " classes to a model of " +
                             std::to_string(s.old_n_classes) + "; an update adds at most " +
                             std::to_string(kMaxAddedClasses) + " classes (labels above " +
                             std::to_string(s.old_n_classes - 1 + kMaxAddedClasses + s.label_base) +
                             " are refused)")
                                .c_str());
}

// The trials, the settings, the working type and the stored posterior, in this order.
Update read_update(const Jax &j, nb::handle model, nb::handle X, nb::handle y, const WorkingType &working_type) {
    Update u;
    u.trials = convert_trials(j, X, y);
    u.n_trials = to_int64(u.trials.Xn.attr("shape")[0]);
    u.n_features = to_int64(u.trials.Xn.attr("shape")[1]);
    const Reader record = Reader::of_model(model);
    u.settings = read_update_settings(j, record, u.trials);
    u.dtype = working_type(u.trials.Xn);
    u.np_dtype = j.np.attr("dtype")(u.dtype);
    u.rows = read_update_rows(j, record, u.settings, u.np_dtype);
    return u;
}

// The memory guard (check_sweeps_memory with `matrices` per row), the growth bound, then
// class growth and the counts after the batch.
void prepare_sweeps(const Jax &j, Update &u, double matrices) {
    check_sweeps_memory("update", matrices, u.settings.new_n_classes - 1, u.n_features + 1, padded_rows(u.n_trials),
                        item_size(j, u.np_dtype));
    check_growth(u.settings);
    grow_classes(j, u.settings, u.rows, u.n_features);
    u.counts = counts_after(j, u.settings, u.rows);
}

}  // namespace

Update read_running_update(const Jax &j, nb::handle model, nb::handle X, nb::handle y,
                           const WorkingType &working_type) {
    Update u = read_update(j, model, X, y, working_type);
    prepare_sweeps(j, u, 2);
    return u;
}

Update read_fixed_prior_update(const Jax &j, nb::handle model, nb::handle X, nb::handle y) {
    Update u = read_update(j, model, X, y, [&](nb::handle Xn) { return training_type(j, Xn.attr("dtype")); });
    const long long d_aug = to_int64(u.rows.beta_mean.attr("shape")[1]);
    if (d_aug != u.n_features + 1)
        raise(PyExc_ValueError, ("X has " + std::to_string(u.n_features) + " features, but the model has " +
                                 std::to_string(d_aug - 1) + " (beta_mean has n_features + 1 columns)")
                                    .c_str());
    prepare_sweeps(j, u, 3);
    return u;
}

UpdateInputs sweep_inputs(const Jax &j, const Update &u) {
    return {u.dtype,
            padded_batch(j, u.trials.Xn, u.settings.y0, u.np_dtype),
            u.settings.non_ref.attr("astype")(j.np.attr("int32")),
            u.rows.beta_mean,
            u.rows.beta_cov_chol,
            u.settings.alpha,
            u.settings.num_steps};
}

nb::object updated_model(Function &self, const Jax &j, nb::handle model, const Update &u, const Coefficients &c) {
    check_finite_posterior(j, "update", c.beta_mean, c.beta_cov_chol, u.dtype);
    return updated_record(self, j, model, u.settings.new_n_classes, u.settings.non_ref, c.beta_mean,
                          c.beta_cov_chol, u.counts);
}

}  // namespace kovani::model

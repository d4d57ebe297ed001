// The steps both online updates take around their sweeps: the trials checked and the
// record read and checked in the documented order, the memory guard, class growth and the
// counts; after the sweeps, the finiteness check and the new record.
#pragma once

#include "kovani/jax.h"
#include "model/record.h"
#include "model/sweeps.h"

#include <functional>

namespace kovani::model {

struct Update {
    Trials trials;
    long long n_trials, n_features;
    UpdateSettings settings;
    nb::object dtype, np_dtype;  // the working type, and its NumPy type
    UpdateRows rows;
    nb::object counts;           // class_counts after the batch (prepare_sweeps)
};

// The working type from the float64 trials; called after the settings are read and checked.
using WorkingType = std::function<nb::object(nb::handle Xn)>;

// The trials, the settings, the working type and the stored posterior, in this order.
Update read_update(const Jax &j, nb::handle model, nb::handle X, nb::handle y, const WorkingType &working_type);

// Classes an update may add: a label beyond old K - 1 + kMaxAddedClasses (+ label_base) is
// refused with ValueError before anything grows.
inline constexpr long long kMaxAddedClasses = 1000;

// The memory guard (check_sweeps_memory with `matrices` per row), the growth bound
// (kMaxAddedClasses), then class growth and the counts after the batch.
void prepare_sweeps(const Jax &j, Update &u, double matrices);

// Each update's steps before its sweeps. The running update: read_update with
// `working_type`, then prepare_sweeps with two matrices per row. The fixed-prior update:
// read_update in the training type, the batch's features checked against the model's
// (said so rather than failing in an array operation), then prepare_sweeps with a third
// matrix per row (its fixed prior).
Update read_running_update(const Jax &j, nb::handle model, nb::handle X, nb::handle y,
                           const WorkingType &working_type);
Update read_fixed_prior_update(const Jax &j, nb::handle model, nb::handle X, nb::handle y);

// What the sweeps take: the padded batch and the grown posterior.
UpdateInputs sweep_inputs(const Jax &j, const Update &u);

// The posterior checked for finiteness, then the new model: the old record's copy with
// six entries replaced (updated_record).
nb::object updated_model(Function &self, const Jax &j, nb::handle model, const Update &u, const Coefficients &c);

}  // namespace kovani::model

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

// Classes an update may add: a label beyond old K - 1 + kMaxAddedClasses (+ label_base) is
// refused with ValueError before anything grows.
inline constexpr long long kMaxAddedClasses = 1000;

// Each update's steps before its sweeps: the trials, the settings, the working type and the
// stored posterior read in this order, then the memory guard, the growth bound
// (kMaxAddedClasses), class growth and the counts after the batch. The running update reads
// in `working_type` and holds two matrices per row; the fixed-prior update reads in the
// training type, checks the batch's features against the model's (saying so rather than
// failing in an array operation), and holds a third matrix per row (its fixed prior).
Update read_running_update(const Jax &j, nb::handle model, nb::handle X, nb::handle y,
                           const WorkingType &working_type);
Update read_fixed_prior_update(const Jax &j, nb::handle model, nb::handle X, nb::handle y);

// What the sweeps take: the padded batch and the grown posterior.
UpdateInputs sweep_inputs(const Jax &j, const Update &u);

// The posterior checked for finiteness, then the new model: the old record's copy with
// six entries replaced (updated_record).
nb::object updated_model(Function &self, const Jax &j, nb::handle model, const Update &u, const Coefficients &c);

}  // namespace kovani::model

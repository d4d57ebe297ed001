// The finiteness checks: a result holding NaN or infinity is refused with ValueError
// rather than returned as a model that looks fitted, or as labels picked or drawn from
// arbitrary probabilities. They run after every documented check.
#pragma once

#include "kovani/jax.h"

namespace kovani::model {

// Whether every entry of the host array `a` is finite. Float32 and float64 arrays in C
// order are read in place (NumPy would make a temporary of the array's size first).
bool all_finite(const Jax &j, nb::handle a);

// Refuses a posterior (host arrays) holding NaN or infinity, naming the entry. `what`
// names the call, `dtype` the working type.
void check_finite_posterior(const Jax &j, const char *what, nb::handle beta_mean, nb::handle beta_cov_chol,
                            nb::handle dtype);

// Refuses probabilities of the working type `dtype` that were found not all finite.
void check_finite_probabilities(bool finite, nb::handle dtype);

}  // namespace kovani::model

#include "model/finite.h"

#include "model/factors.h"
#include "model/host_arrays.h"

#include <string>

namespace kovani::model {

bool all_finite(const Jax &j, nb::handle a) {
    const std::string kind = nb::str(a.attr("dtype").attr("char")).c_str();
    if ((kind == "f" || kind == "d") && truthy(a.attr("flags")["C_CONTIGUOUS"])) {
        HostArray h(a, false);
        bool ok = true;
        typed({&h}, [&](auto zero) { ok = all_finite(h.data<decltype(zero)>(), (std::int64_t) h.count()); });
        return ok;
    }
    return truthy(j.np.attr("isfinite")(a).attr("all")());
}

void check_finite_posterior(const Jax &j, const char *what, nb::handle beta_mean, nb::handle beta_cov_chol,
                            nb::handle dtype) {
    const bool mean_ok = all_finite(j, beta_mean), chol_ok = all_finite(j, beta_cov_chol);
    if (mean_ok && chol_ok)
        return;
    std::string where = !mean_ok && !chol_ok ? "beta_mean and beta_cov_chol"
                        : !mean_ok           ? "beta_mean"
                                             : "beta_cov_chol";
    std::string message = std::string(what) + " produced a non-finite posterior (NaN or infinity in " + where +
                          "): the inputs hold NaN or infinity, or the features or prior scales are too "
                          "extreme for the working type " +
                          nb::str(j.np.attr("dtype")(dtype)).c_str() +
                          " and a covariance lost positive definiteness";
    raise(PyExc_ValueError, message.c_str());
}

void check_finite_probabilities(bool finite, nb::handle dtype) {
    if (finite)
        return;
    raise(PyExc_ValueError, (std::string("prediction produced non-finite class probabilities: X or the "
                                         "model's coefficients hold NaN or infinity, or the logits overflow "
                                         "the working type ") +
                             nb::str(dtype).c_str())
                                .c_str());
}

}  // namespace kovani::model

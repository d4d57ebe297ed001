#include "model/prior.h"

#include <cmath>
#include <string>

namespace kovani::model {

namespace {

nb::object host_vector(const Jax &j, long long F, double w, double b) {
    nb::object np = j.np, float64 = np.attr("float64");
    return np.attr("concatenate")(nb::make_tuple(np.attr("full")(F, w, nb::arg("dtype") = float64),
                                                 np.attr("full")(1, b, nb::arg("dtype") = float64)));
}

}  // namespace

nb::object HyperPrior::mean(const Jax &j, long long F) const { return host_vector(j, F, w_loc, b_loc); }

nb::object HyperPrior::scales(const Jax &j, long long F) const { return host_vector(j, F, w_scale, b_scale); }

nb::object HyperPrior::precisions(const Jax &j, long long F) const {
    return host_vector(j, F, 1.0 / (w_scale * w_scale), 1.0 / (b_scale * b_scale));
}

nb::object HyperPrior::variances(const Jax &j, long long F) const {
    return host_vector(j, F, w_scale * w_scale, b_scale * b_scale);
}

nb::object HyperPrior::factor(const Jax &j, long long F) const { return j.np.attr("diag")(scales(j, F)); }

void HyperPrior::check_usable(const char *call) const {
    auto refuse = [call](const char *key, const char *what, double value) {
        std::string message = std::string(call) + ": the record's " + key + " must be " + what +
                              " (got " + nb::repr(nb::float_(value)).c_str() + ")";
        raise(PyExc_ValueError, message.c_str());
    };
    if (!std::isfinite(w_loc))
        refuse("w_loc", "finite", w_loc);
    if (!(std::isfinite(w_scale) && w_scale > 0))
        refuse("w_scale", "finite and > 0", w_scale);
    if (!std::isfinite(b_loc))
        refuse("b_loc", "finite", b_loc);
    if (!(std::isfinite(b_scale) && b_scale > 0))
        refuse("b_scale", "finite and > 0", b_scale);
}

}  // namespace kovani::model

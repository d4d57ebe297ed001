#include "training.h"

#include "kovani/checks.h"

#include <string>

namespace kovani::learning {

Trials convert_trials(const Jax &j, nb::handle X, nb::handle y) {
    nb::object Xn = j.np.attr("asarray")(X, nb::arg("dtype") = j.np.attr("float64"));
    nb::object yn = j.np.attr("asarray")(y);
    if (nb::cast<long>(Xn.attr("ndim")) != 2)
        raise(PyExc_ValueError, "X must be 2D: (n_trials, n_features)");
    if (nb::cast<long>(yn.attr("ndim")) != 1)
        raise(PyExc_ValueError, "y must be 1D: (n_trials,)");
    if (!Xn.attr("shape")[0].equal(yn.attr("shape")[0]))
        raise(PyExc_ValueError, "X and y must have same number of rows");
    return {Xn, yn};
}

bool less_than(nb::handle value, long bound) { return compare(value, nb::int_(bound), Py_LT); }

nb::object augment(const Jax &j, nb::handle Xj) {
    nb::object n = Xj.attr("shape")[0];
    nb::object ones = j.jnp.attr("ones")(nb::make_tuple(n, 1), nb::arg("dtype") = Xj.attr("dtype"));
    return j.jnp.attr("concatenate")(nb::make_tuple(Xj, ones), nb::arg("axis") = 1);
}

ClassTarget class_target(const Jax &j, nb::handle X_aug, nb::handle beta_mean, nb::handle ref0,
                         nb::handle one_s, nb::handle yj, nb::handle non_ref_j, nb::handle i) {
    nb::object jnp = j.jnp;
    // Logits of every non-reference class from the current means; rows already updated
    // in this sweep take part with their new values.
    nb::object eta = j.matmul(X_aug, beta_mean.attr("T"));
    nb::object all_logits = jnp.attr("concatenate")(nb::make_tuple(eta, ref0), nb::arg("axis") = 1);
    nb::object logZ = j.jax.attr("nn").attr("logsumexp")(all_logits, nb::arg("axis") = 1);
    nb::object eta_i = eta[nb::make_tuple(all(), i)];
    nb::object p = jnp.attr("exp")(eta_i - logZ);
    // log(1 - p) floored at eps keeps the offset finite when p rounds to 1.
    nb::object eps = j.eps(one_s.attr("dtype"));
    nb::object offset = logZ + jnp.attr("log")(jnp.attr("maximum")(nb::borrow(one_s) - p, eps));
    nb::object z = (yj.attr("__eq__")(non_ref_j[i])).attr("astype")(one_s.attr("dtype"));
    return {offset, z};
}

nb::object damp(nb::handle one_s, nb::handle alpha, nb::handle old, nb::handle step) {
    return (nb::borrow(one_s) - alpha) * old + nb::borrow(alpha) * step;
}

nb::object int64_scalar(const Jax &j, nb::handle value) {
    return j.np.attr("array")(value, nb::arg("dtype") = j.np.attr("int64"));
}

nb::object float64_scalar(const Jax &j, nb::handle value) {
    return j.np.attr("array")(value, nb::arg("dtype") = j.np.attr("float64"));
}

nb::object backend_tag(const Jax &j) {
    return j.np.attr("array")("pg_softmax_ref", nb::arg("dtype") = nb::handle((PyObject *) &PyBaseObject_Type));
}

void check_core_memory(const char *what, long long rows, long long d_aug, long long n, long long itemsize) {
    const double d = (double) d_aug, r = (double) rows, trials = (double) n;
    const double elements = (2.0 * r + 2.0) * d * d + 4.0 * trials * d + 3.0 * trials * (r + 1.0);
    check_memory(what, (double) itemsize * elements,
                 std::to_string(n) + " trials and " + std::to_string(rows) + " coefficient rows of " +
                     std::to_string(d_aug) + " coefficients");
}

void check_finite_result(const Jax &j, const char *what, nb::handle beta_mean,
                         nb::handle beta_cov_chol, nb::handle dtype) {
    auto finite = [&](nb::handle a) {
        return PyObject_IsTrue(j.np.attr("isfinite")(a).attr("all")().ptr()) == 1;
    };
    const bool mean_ok = finite(beta_mean), chol_ok = finite(beta_cov_chol);
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

nb::object make_model(Function &self, nb::handle params) {
    return global(self, "KovaniModel")(nb::arg("model_type") = "kovani_softmax",
                                       nb::arg("params") = params);
}

}  // namespace kovani::learning

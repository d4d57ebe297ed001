#include "class_step.h"

namespace kovani::adaptation {
namespace {

// E[PG(1, c)] = tanh(c / 2) / (2 c), with c floored at eps (its limit at 0 is 1/4).
nb::object expected_omega(const Jax &j, nb::handle c, nb::handle half, nb::handle eps) {
    nb::object c1 = j.jnp.attr("maximum")(c, eps);
    return (nb::borrow(half) / c1) * j.jnp.attr("tanh")(nb::borrow(half) * c1);
}

}  // namespace

BinaryProblem binary_problem(const Jax &j, nb::handle X_aug, nb::handle beta_mean, nb::handle yj,
                             nb::handle non_ref_j, nb::handle i) {
    nb::object jnp = j.jnp;
    nb::object dtype = X_aug.attr("dtype");
    nb::object one = jnp.attr("array")(1, nb::arg("dtype") = dtype);
    nb::object eta = j.matmul(X_aug, beta_mean.attr("T"));
    nb::object ref0 = jnp.attr("zeros")(nb::make_tuple(X_aug.attr("shape")[0], 1), nb::arg("dtype") = dtype);
    nb::object all_logits = jnp.attr("concatenate")(nb::make_tuple(eta, ref0), nb::arg("axis") = 1);
    nb::object logZ = j.jax.attr("nn").attr("logsumexp")(all_logits, nb::arg("axis") = 1);
    nb::object p = jnp.attr("exp")(eta[nb::make_tuple(all(), i)] - logZ);
    nb::object offset = logZ + jnp.attr("log")(jnp.attr("maximum")(one - p, j.eps(dtype)));
    nb::object z = yj.attr("__eq__")(non_ref_j[i]).attr("astype")(dtype);
    return {offset, z};
}

Gaussian pg_class_step(const Jax &j, nb::handle X_aug, const BinaryProblem &problem, nb::handle m0,
                       nb::handle prec0, nb::handle m, nb::handle S) {
    nb::object jnp = j.jnp;
    nb::object dtype = X_aug.attr("dtype");
    nb::object one = jnp.attr("array")(1, nb::arg("dtype") = dtype);
    nb::object half = one / (one + one);
    nb::object eps = j.eps(dtype);

    // 1. Moments of each trial's predictor under N(m, S); the variances are row sums of
    //    (X_aug S) * X_aug, never the n x n matrix X_aug S X_aug^T.
    nb::object psi_mean = j.matmul(X_aug, m) - problem.offset;
    nb::object psi_var = jnp.attr("sum")(j.matmul(X_aug, S) * X_aug, nb::arg("axis") = 1);
    nb::object omega = expected_omega(j, jnp.attr("sqrt")(psi_mean * psi_mean + psi_var + eps), half, eps);

    // 2. Precision and linear term of prior times likelihood bound.
    nb::object XT = X_aug.attr("T");
    nb::object prec = nb::borrow(prec0) + j.matmul(XT, X_aug * j.column(omega));
    nb::object b = j.matmul(prec0, m0) + j.matmul(XT, (problem.z - half) + omega * problem.offset);

    // 3. One factorisation serves the mean and the covariance.
    nb::object cho_solve = j.jax.attr("scipy").attr("linalg").attr("cho_solve");
    nb::object factor = nb::make_tuple(jnp.attr("linalg").attr("cholesky")(prec), true);
    nb::object eye = jnp.attr("eye")(prec.attr("shape")[0], nb::arg("dtype") = dtype);
    return {cho_solve(factor, b), cho_solve(factor, eye)};
}

Gaussian damp(nb::handle alpha, const Gaussian &old, const Gaussian &step) {
    nb::object keep = nb::int_(1) - nb::borrow(alpha);
    return {keep * old.mean + nb::borrow(alpha) * step.mean, keep * old.cov + nb::borrow(alpha) * step.cov};
}

}  // namespace kovani::adaptation

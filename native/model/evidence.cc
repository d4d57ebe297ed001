#include "model/evidence.h"

#include "model/design.h"

#include <limits>

namespace kovani::model {
namespace {

// The bound of the posterior (beta_mean, L) on the trials (X_aug, yj); see evidence.h.
nb::object evidence_core(Function &self, const CoreArgs &a) {
    Jax j(self);
    nb::object jnp = j.jnp, dtype = a["dtype"];
    nb::object X_aug = augmented(j, j.asarray(a["Xn"], dtype));
    nb::object m = j.asarray(a["beta_mean"], dtype), L = j.asarray(a["beta_cov_chol"], dtype);
    nb::object m0 = j.asarray(a["prior_mean"], dtype), v0 = j.asarray(a["prior_variance"], dtype);
    nb::object one = jnp.attr("ones")(nb::make_tuple(), nb::arg("dtype") = dtype);
    nb::object half = one / (one + one);
    const long long rows = nb::cast<long long>(m.attr("shape")[0]);

    // 1. Every row's offset: the log-sum-exp of all logits but its own, the reference's 0
    //    among them, formed as such (log(1 - p) would lose it where p rounds to 1).
    nb::object eta = j.matmul(X_aug, m.attr("T"));  // (n, rows)
    nb::object logits = jnp.attr("concatenate")(
        nb::make_tuple(eta, jnp.attr("zeros_like")(eta[nb::make_tuple(all(), nb::slice((Py_ssize_t) 0, (Py_ssize_t) 1, (Py_ssize_t) 1))])),
        nb::arg("axis") = 1);  // (n, rows + 1)
    nb::object own = jnp.attr("eye")(rows, rows + 1, nb::arg("dtype") = jnp.attr("bool_"));
    nb::object others = jnp.attr("where")(own, nb::float_(-std::numeric_limits<double>::infinity()), jnp.attr("expand_dims")(logits, 1));
    nb::object offset = j.jax.attr("nn").attr("logsumexp")(others, nb::arg("axis") = -1);  // (n, rows)

    // 2. The predictors' means and second moments; x S x^T = |L^T x|^2.
    nb::object psi_mean = eta - offset;
    nb::object projected = j.matmul(X_aug, L);  // (rows, n, d_aug)
    nb::object psi_var = jnp.attr("sum")(projected * projected, nb::arg("axis") = -1).attr("T");
    nb::object c = jnp.attr("sqrt")(psi_mean * psi_mean + psi_var);

    // 3. The likelihood terms, log(2 cosh(c/2)) as logaddexp(c/2, -c/2).
    nb::object z = jnp.attr("equal")(j.column(a["yj"]), a["non_ref_j"]).attr("astype")(dtype);
    nb::object kappa = z - half;
    nb::object h = half * c;
    nb::object likelihood = jnp.attr("sum")(kappa * psi_mean - jnp.attr("logaddexp")(h, jnp.attr("negative")(h)));

    // 4. Each row's KL divergence from the prior:
    //    (tr(V0^-1 S) + (m - m0)^T V0^-1 (m - m0) - d + log det V0 - log det S) / 2.
    nb::object diag_S = jnp.attr("sum")(L * L, nb::arg("axis") = -1);  // (rows, d_aug)
    nb::object gap = m - m0;
    nb::object log_diag = jnp.attr("log")(jnp.attr("abs")(jnp.attr("diagonal")(L, nb::arg("axis1") = -2,
                                                                                 nb::arg("axis2") = -1)));
    nb::object kl = half * jnp.attr("sum")((diag_S + gap * gap) / v0 + jnp.attr("log")(v0) - one - (log_diag + log_diag));
    return likelihood - kl;
}

const Core evidence_compiled = {"_evidence_core",
                                {{"dtype", true},
                                 {"Xn"},
                                 {"yj"},
                                 {"non_ref_j"},
                                 {"beta_mean"},
                                 {"beta_cov_chol"},
                                 {"prior_mean"},
                                 {"prior_variance"}},
                                evidence_core};

}  // namespace

nb::object evidence(Function &self, const Jax &j, const EvidenceInputs &in) {
    const long long F = nb::cast<long long>(in.Xn.attr("shape")[1]);
    return call_core(self, evidence_compiled,
                     {{"dtype", in.dtype},
                      {"Xn", in.Xn},
                      {"yj", in.yj},
                      {"non_ref_j", in.non_ref_j},
                      {"beta_mean", in.beta_mean},
                      {"beta_cov_chol", in.beta_cov_chol},
                      {"prior_mean", in.prior.mean(j, F)},
                      {"prior_variance", in.prior.variances(j, F)}});
}

}  // namespace kovani::model

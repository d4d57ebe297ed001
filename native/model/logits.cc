#include "model/logits.h"

#include "model/design.h"
#include "model/memory.h"

namespace kovani::model {

nb::object full_logits(const Jax &j, nb::handle lead, nb::handle scores, nb::handle non_ref, nb::handle ref_class,
                       nb::handle n_classes, nb::handle dtype) {
    nb::object jnp = j.jnp;
    nb::object shape = lead + nb::make_tuple(n_classes);
    nb::object logits = jnp.attr("zeros")(shape, nb::arg("dtype") = dtype);
    logits = Jax::set_at(logits, nb::make_tuple(nb::ellipsis(), non_ref), scores.attr("astype")(dtype));
    nb::object zeros = jnp.attr("zeros")(lead, nb::arg("dtype") = dtype);
    return Jax::set_at(logits, nb::make_tuple(nb::ellipsis(), ref_class), zeros);
}

ClassTarget class_target(const Jax &j, nb::handle eta, nb::handle ref0, nb::handle one_s, nb::handle yj,
                         nb::handle non_ref_j, nb::handle i) {
    nb::object jnp = j.jnp;
    nb::object all_logits = jnp.attr("concatenate")(nb::make_tuple(eta, ref0), nb::arg("axis") = 1);
    nb::object logZ = j.jax.attr("nn").attr("logsumexp")(all_logits, nb::arg("axis") = 1);
    nb::object p = jnp.attr("exp")(eta[nb::make_tuple(all(), i)] - logZ);
    nb::object eps = j.eps(one_s.attr("dtype"));
    nb::object offset = logZ + jnp.attr("log")(jnp.attr("maximum")(nb::borrow(one_s) - p, eps));
    nb::object z = yj.attr("__eq__")(non_ref_j[i]).attr("astype")(one_s.attr("dtype"));
    return {offset, z};
}

bool trials_first(double n, double S) { return 2.0 * n <= S; }

namespace {

// One contracted and one batch axis on each side; the result has the batch axis first,
// then the free axes of `a`, then those of `b`.
nb::object batched_dot(const Jax &j, nb::handle a, int a_contract, int a_batch, nb::handle b, int b_contract,
                       int b_batch) {
    auto axes = [](int x, int y) { return nb::make_tuple(nb::make_tuple(x), nb::make_tuple(y)); };
    return j.lax().attr("dot_general")(a, b, nb::make_tuple(axes(a_contract, b_contract), axes(a_batch, b_batch)));
}

}  // namespace

nb::object standard_noise(const Jax &j, nb::handle key, nb::handle S, nb::handle rows, nb::handle d_aug,
                          nb::handle dtype) {
    return j.jax.attr("random").attr("normal")(key, nb::arg("shape") = nb::make_tuple(S, rows, d_aug),
                                               nb::arg("dtype") = dtype);
}

nb::object logits_of_noise(const Jax &j, nb::handle eps, nb::handle Xj, nb::handle beta_mean,
                           nb::handle beta_cov_chol, nb::handle non_ref, nb::handle ref_class, nb::handle n_classes,
                           bool projected) {
    nb::object jnp = j.jnp, einsum = jnp.attr("einsum");
    nb::object S = eps.attr("shape")[0], n = Xj.attr("shape")[0], d_aug = beta_mean.attr("shape")[1];
    const long long rows = to_int64(n_classes) - 1;
    nb::object X_aug = augmented(j, Xj);
    // Scores of every sampled class row for every trial, as (S, n, K-1).
    nb::object scores;
    if (projected || trials_first(as_size(n), as_size(S))) {
        // Through the trials: x_aug . beta_mean[k] + (L_k^T x_aug) . eps[s, k]. Both
        // products batch over the class rows; contracting L_k's row index without that
        // batch makes XLA transpose every factor first.
        nb::object through = nb::borrow(beta_cov_chol);
        if (!projected) {
            nb::object X_rows = jnp.attr("broadcast_to")(X_aug, nb::make_tuple(rows, n, d_aug));
            through = batched_dot(j, X_rows, 2, 0, beta_cov_chol, 1, 0);  // (K-1, n, d_aug)
        }
        nb::object noise = batched_dot(j, eps, 2, 1, through, 2, 0);  // (K-1, S, n)
        nb::object at_mean = j.matmul(X_aug, jnp.attr("transpose")(beta_mean));  // (n, K-1)
        scores = jnp.attr("expand_dims")(at_mean, 0) + jnp.attr("transpose")(noise, nb::make_tuple(1, 2, 0));
    } else {
        // Through the coefficient sets.
        nb::object beta_s = jnp.attr("expand_dims")(beta_mean, 0) + einsum("kij,skj->ski", beta_cov_chol, eps);
        nb::object eta = einsum("nd,skd->skn", X_aug, beta_s);
        scores = jnp.attr("transpose")(eta, nb::make_tuple(0, 2, 1));
    }
    return full_logits(j, nb::make_tuple(S, n), scores, non_ref, ref_class, n_classes, Xj.attr("dtype"));
}

nb::object sampled_logits(const Jax &j, nb::handle key, nb::handle S, nb::handle Xj, nb::handle beta_mean,
                          nb::handle beta_cov_chol, nb::handle non_ref, nb::handle ref_class,
                          nb::handle n_classes) {
    // The same draws whichever way the scores are formed.
    nb::object eps = standard_noise(j, key, S, nb::int_(to_int64(n_classes) - 1), beta_mean.attr("shape")[1],
                                    beta_mean.attr("dtype"));
    return logits_of_noise(j, eps, Xj, beta_mean, beta_cov_chol, non_ref, ref_class, n_classes);
}

}  // namespace kovani::model

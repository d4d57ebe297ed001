// The logits of all K classes, the reference class's fixed at 0: every class but the
// reference has a row of coefficients, row j belonging to class non_ref[j]; its logit is
// x_aug . beta[j].
#pragma once

#include "kovani/jax.h"

namespace kovani::model {

// The logits of `dtype` and shape lead + (K,), lead (n,) or (S, n), from the scores
// (lead + (K-1,)) of the coefficient rows: column non_ref[j] takes scores[..., j], then
// the reference column is set to zero, last, so that it is zero whatever non_ref lists.
// Repeated or out-of-range indices follow JAX's scatter rules (negative ones wrap, ones
// past the end are dropped).
nb::object full_logits(const Jax &j, nb::handle lead, nb::handle scores, nb::handle non_ref, nb::handle ref_class,
                       nb::handle n_classes, nb::handle dtype);

// A class step's binary problem for coefficient row i, from the logits `eta` (n, rows) of
// every row under the current means (rows already updated in the sweep take part with
// their new means): the offset, log-sum-exp of every other class's logit with the
// reference's 0 among them (log(1 - p) floored at eps, so that it stays finite when p
// rounds to 1), and the 0/1 target z, where yj is the class of row i. `ref0` is the (n, 1)
// column of zeros, `one_s` the 1 of the working type.
struct ClassTarget {
    nb::object offset, z;
};
ClassTarget class_target(const Jax &j, nb::handle eta, nb::handle ref0, nb::handle one_s, nb::handle yj,
                         nb::handle non_ref_j, nb::handle i);

// How the sampled scores x_aug . beta_s of n trials under S coefficient sets are formed.
// Either through the sets, beta_s = beta_mean + L eps_s, which costs S (K-1) d_aug^2; or
// through the trials, x_aug . beta_mean + (L^T x_aug) . eps_s, which costs (K-1) n d_aug^2.
// Both add S (K-1) n d_aug for the scores and use the same noise, so they differ by
// rounding only. Measured, the product over trials runs at about half the rate of the one
// over samples (its batch is the class rows, not the samples), so the trials go first when
// 2 n <= S: a live loop's single trial always does.
bool trials_first(double n, double S);

// The standard-normal noise of S coefficient sets, (S, rows, d_aug) of `dtype`, drawn with
// `key` unsplit. It depends on nothing but these arguments.
nb::object standard_noise(const Jax &j, nb::handle key, nb::handle S, nb::handle rows, nb::handle d_aug,
                          nb::handle dtype);

// The (S, n, K) logits of the coefficient sets beta_s[s, k] = beta_mean[k] + L_k eps[s, k]
// for the noise `eps` (S, K-1, d_aug). With `projected`, `beta_cov_chol` holds the trials
// already carried through the factors, x_aug L_k (K-1, n, d_aug), and the scores go
// through the trials.
nb::object logits_of_noise(const Jax &j, nb::handle eps, nb::handle Xj, nb::handle beta_mean,
                           nb::handle beta_cov_chol, nb::handle non_ref, nb::handle ref_class, nb::handle n_classes,
                           bool projected = false);

// The (S, n, K) logits of S coefficient sets drawn through the factors with `key`:
// beta_s[s, k] = beta_mean[k] + L_k eps[s, k] with standard-normal eps of shape
// (S, K-1, d_aug), which is N(beta_mean[k], L_k L_k^T).
nb::object sampled_logits(const Jax &j, nb::handle key, nb::handle S, nb::handle Xj, nb::handle beta_mean,
                          nb::handle beta_cov_chol, nb::handle non_ref, nb::handle ref_class,
                          nb::handle n_classes);

}  // namespace kovani::model

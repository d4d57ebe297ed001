// The class step of the Polya-Gamma variational sweeps. For one non-reference class it
// sets up the binary problem of that class against all the others (logits.h:
// class_target) and takes one closed-form step from a Gaussian prior, with each trial's
// Polya-Gamma variable replaced by its expectation under the current approximation; the
// result is damped by the learning rate. The fit and the fixed-prior update hold a fixed
// prior and carry the approximation's covariance; the running update takes each row's
// current estimate as the prior of its next step and carries its Cholesky factor.
//
// Everything here runs while JAX traces a sweep: array operations only, with constants
// made in the working type of the design, so that every result stays in that type.
#pragma once

#include "kovani/jax.h"
#include "model/logits.h"

#include <functional>

namespace kovani::model {

// The kernels' constants in `dtype`: one, two = one + one, half = one / two and the
// machine epsilon. No constant of another type enters their arithmetic.
struct Constants {
    nb::object one, two, half, eps;
    Constants(const Jax &j, nb::handle dtype);
};

// E[PG(1, c)] = tanh(c / 2) / (2 c), elementwise, with c floored at eps (not |c|): its
// limit at 0 is 1/4.
nb::object expected_omega(const Jax &j, nb::handle c);

// How a class step evaluates E[PG(1, c)] and takes its step: the model's own maths, or the
// published kernels of the training module as they are now.
using Omega = std::function<nb::object(nb::handle c)>;
using PgUpdate = std::function<nb::object(nb::handle Xa, nb::handle z, nb::handle offset, nb::handle m0,
                                          nb::handle prec0, nb::handle m, nb::handle S)>;

// The Gaussian likelihood terms of a step, exp(kappa psi - omega psi^2 / 2) with
// kappa = z - 1/2 and omega = E[PG(1, c)] at c = sqrt(psi_mean^2 + psi_var + eps),
// combined with the prior N(m0, prec0^-1):
//     prec = prec0 + sum_t omega_t x_t x_t^T,  b = prec0 m0 + Xa^T (kappa + omega * offset),
// the term omega_t offset_t coming from the expansion of psi^2 with the offset.
struct Natural {
    nb::object prec, b;
};
Natural pg_natural(const Jax &j, const Omega &omega, nb::handle Xa, nb::handle z, nb::handle offset,
                   nb::handle psi_mean, nb::handle psi_var, nb::handle m0, nb::handle prec0);

// One step of a binary logistic model with predictor psi = Xa beta - offset, from the
// prior N(m0, prec0^-1), the Polya-Gamma expectations taken under N(m, S): returns the pair
// (m_new, S_new), S_new the full covariance prec^-1. O(n d^2 + d^3); no n x n matrix.
nb::object pg_step(const Jax &j, const Omega &omega, nb::handle Xa, nb::handle z, nb::handle offset, nb::handle m0,
                   nb::handle prec0, nb::handle m, nb::handle S);

// The model's own step, with its own expectation.
PgUpdate own_pg_update(const Jax &j);

// The kernels a class step of the training module calls: `_pg_binary_update` and
// `_pg_expected_omega` looked up in the module's namespace now, and whether both are still
// the module's own. Only then may a fit or an update take a fast path; otherwise the
// general path calls the replacement exactly as documented.
struct Kernels {
    nb::object update, omega;
    bool own;
};
Kernels module_kernels(Function &self);

// A published (or replacing) `_pg_binary_update` as a step.
PgUpdate python_pg_update(nb::handle update);

// (1 - alpha) * old + alpha * step
nb::object damp(nb::handle one_s, nb::handle alpha, nb::handle old, nb::handle step);

// What every class step of a sweep shares, in the working type: the trials' class
// indices yj (n,), the class of each row non_ref_j, the learning rate, the constant 1
// and the reference class's (n, 1) column of zero logits.
struct Loop {
    nb::object yj, non_ref_j, alpha, one_s, ref0;
};
Loop loop_of(const Jax &j, nb::handle dtype, nb::handle yj, nb::handle non_ref_j, nb::handle alpha, nb::handle n);

// The step of row i on a design (the trials, or their n-dimensional form), given the
// row's binary problem, its current mean and its second state entry (a covariance or a
// factor); returns the pair of new values.
using RowStep = std::function<nb::object(nb::handle design, const ClassTarget &target, nb::handle i,
                                         nb::handle mean, nb::handle second)>;

// A fixed prior N(mean, prec^-1): one for every row (mean (d,), prec (d, d)), or one per
// row (mean (rows, d), prec (rows, d, d)).
struct FixedPrior {
    nb::object mean, prec;
    std::pair<nb::object, nb::object> of_row(nb::handle i) const;
};

// The fit's step: from the fixed prior, the approximation N(m_i, S_i) for the Polya-Gamma
// expectations, the result damped; the state carries covariances.
RowStep fixed_prior_step(const Loop &loop, const PgUpdate &update, const FixedPrior &prior);

// The running update's step: the row's estimate N(m_i, L_i L_i^T) is the prior and the
// approximation alike; the damped covariance is refactorised, so the state carries lower
// Cholesky factors.
RowStep running_step(const Jax &j, const Loop &loop, const PgUpdate &update, nb::handle dtype);

// `num_steps` sweeps through jax.lax.fori_loop, each visiting rows 0 .. rows - 1 in order
// with `class_step` (a nested function of `self` taking (i, state)); returns the state.
nb::object sweeps(Function &self, const Jax &j, nb::handle num_steps, nb::handle rows, nb::handle state,
                  nb::handle class_step);

// The sweeps in the coefficients' d-dimensional space: the state is (means (rows, d),
// second (rows, ...)), the logits of a step those of the design X_aug under the means.
nb::object sweeps_in_d(Function &self, const Jax &j, const Loop &loop, nb::handle num_steps, nb::handle X_aug,
                       nb::handle state, const RowStep &step);

// Where the sweeps in the n-dimensional space start: every row at theta ~ N(0, I_n), the
// state (means (rows, n), I_n as every row's covariance or factor), and that Gaussian as
// a fixed prior of the steps there.
struct StandardStart {
    nb::object state;
    FixedPrior prior;
};
StandardStart standard_start(const Jax &j, nb::handle rows, nb::handle n, nb::handle dtype);

// The sweeps in the n-dimensional space of a batch of n < d trials (reduced.h): the state
// is (mu (rows, n), second (rows, n, n)); every row has the design `designs` (n, n) and
// the logits `Xm0` (n,) at its starting mean, or each its own: designs (rows, n, n) and
// Xm0 (n, rows).
nb::object sweeps_in_n(Function &self, const Jax &j, const Loop &loop, nb::handle num_steps, nb::handle designs,
                       nb::handle Xm0, nb::handle state, const RowStep &step);

}  // namespace kovani::model

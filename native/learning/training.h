// Pieces the fit and the online update share: trial conversion and checks, the
// augmented design, the class step's offset and target, damping, and the record.
#pragma once

#include "kovani/jax.h"

namespace kovani::learning {

// X as a float64 NumPy array and y with its element type kept, after the shape checks
// common to fit and update ("X must be 2D", "y must be 1D", equal row counts).
struct Trials {
    nb::object Xn, yn;
};
Trials convert_trials(const Jax &j, nb::handle X, nb::handle y);

// Python-level comparisons of an already-converted number with a small constant.
bool less_than(nb::handle value, long bound);

// X_aug: Xj followed by a column of ones, the intercept last.
nb::object augment(const Jax &j, nb::handle Xj);

// The kernels' constants in `dtype`: one, two = one + one, half = one / two and the
// machine epsilon. No constant of another type enters their arithmetic.
struct Constants {
    nb::object one, two, half, eps;
    Constants(const Jax &j, nb::handle dtype)
        : one(j.jnp.attr("array")(1, nb::arg("dtype") = dtype)),
          two(one + one),
          half(one / two),
          eps(j.eps(dtype)) {}
};

// For row i of the carry, from the logits `eta` (n, rows) of every non-reference class
// under the current means: the offset logZ_minus (log-sum-exp of every other class's
// logit, the reference logit 0 included) and the 0/1 target z, in the working type.
struct ClassTarget {
    nb::object offset, z;
};
ClassTarget class_target(const Jax &j, nb::handle eta, nb::handle ref0, nb::handle one_s, nb::handle yj,
                         nb::handle non_ref_j, nb::handle i);

// The Gaussian likelihood terms of a Polya-Gamma step combined with the prior, from the
// predictor moments under the current approximation: omega = E[PG(1, c)] at
// c = sqrt(psi_mean^2 + psi_var + eps), then
//     prec = prec0 + sum_t omega_t x_t x_t^T,  b = prec0 m0 + Xa^T (kappa + omega * offset).
struct Natural {
    nb::object prec, b;
};
Natural pg_natural(const Jax &j, nb::handle omega, nb::handle Xa, nb::handle z, nb::handle offset,
                   nb::handle psi_mean, nb::handle psi_var, nb::handle m0, nb::handle prec0);

// One Polya-Gamma step of a binary logistic model with offset: the maths of the published
// `_pg_binary_update`, returning (m_new, S_new). `omega` evaluates E[PG(1, c)]: the
// module's `_pg_expected_omega` as looked up by the caller.
nb::object pg_step(const Jax &j, nb::handle omega, nb::handle Xa, nb::handle z, nb::handle offset, nb::handle m0,
                   nb::handle prec0, nb::handle m, nb::handle S);

// Whether `_pg_binary_update` and `_pg_expected_omega` are both still the module's own. Only
// then may a fit or an update take a fast path: otherwise it calls the replacement exactly
// as the general path does.
bool own_kernels(Function &self);

// `num_steps` sweeps through jax.lax.fori_loop, each visiting rows 0 .. rows - 1 in order
// with `class_step` (a nested function of `self` taking (i, state)); returns the state.
nb::object sweeps(Function &self, const Jax &j, nb::handle num_steps, nb::handle rows, nb::handle state,
                  nb::handle class_step);

// (1 - alpha) * old + alpha * step
nb::object damp(nb::handle one_s, nb::handle alpha, nb::handle old, nb::handle step);

// The record's value types: 0-d int64, 0-d float64, the backend tag.
nb::object int64_scalar(const Jax &j, nb::handle value);
nb::object float64_scalar(const Jax &j, nb::handle value);
nb::object backend_tag(const Jax &j);

// Refuses, with MemoryError, a core whose working set cannot fit in this machine's memory
// (see check_memory): `rows` covariance matrices of d_aug x d_aug (the carry, twice over
// while the loop runs, plus two for a class step), n x d_aug designs and the n x (rows + 1)
// logits of a class step, of `itemsize` bytes each. `what` names the call.
void check_core_memory(const char *what, long long rows, long long d_aug, long long n, long long itemsize);

// Refuses, with ValueError, a result holding NaN or infinity: it would be returned as a
// model that looks fitted and predicts garbage. `what` names the call; `dtype` is the
// working type, named in the message.
void check_finite_result(const Jax &j, const char *what, nb::handle beta_mean,
                         nb::handle beta_cov_chol, nb::handle dtype);

// A C-contiguous NumPy array with the values of `a` whose data starts on a 64-byte
// boundary: `a` itself where it already is one, else a copy. jit hands such an array to
// XLA on the CPU without copying it (it copies any other, at several times the cost of a
// plain copy), so the large arrays of the records this module writes are made so, and
// large stored arrays that are not are copied once on the host. Arrays under 256 KiB are
// returned as they are.
nb::object aligned(const Jax &j, nb::handle a);

// An uninitialised C-contiguous NumPy array of `shape` and `dtype`, its data aligned as
// `aligned` makes it.
nb::object empty_aligned(const Jax &j, nb::handle shape, nb::handle dtype);

// The device array `a` as a new NumPy array, aligned where it is large (see `aligned`).
nb::object host_copy(const Jax &j, nb::handle a);

// Whether every matrix of the NumPy array `L` (..., d, d) of float32 or float64 is zero
// above its diagonal: a pass over the upper triangles only.
bool lower_triangular(const Jax &j, nb::handle L);

// A new KovaniModel(model_type="kovani_softmax", params=params).
nb::object make_model(Function &self, nb::handle params);

}  // namespace kovani::learning

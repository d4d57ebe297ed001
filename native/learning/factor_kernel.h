// The update of Cholesky factors by a rank-n change (factor_update.h) inside compiled
// cores: the CPU kernel registered with XLA where the module was built with it, and a
// portable form in jax.numpy everywhere else.
#pragma once

#include "kovani/jax.h"

namespace kovani::learning {

// The name the CPU kernel is registered under with XLA.
inline constexpr const char *kFactorKernel = "kovani_bci_rank_n_factor_update";

// Registers the CPU kernel with `jax`, once per process (from the module's load). False
// where the module was built without XLA's headers, or where the environment variable
// KOVANI_BCI_PORTABLE_FACTOR is set (not to 0): then the portable form serves everywhere.
bool register_factor_kernel(nb::handle jax);

// Whether the kernel was registered, so that compiled cores may call it.
bool factor_kernel_registered();

// Inside a core of `self`: the lower Cholesky factors, with positive diagonal, of
// L0 (I + sum_k (s_k - 1) u_k u_k^T) L0^T, for lower-triangular L0 (R, d, d), orthonormal
// rows u_k of U (R, n, d) and s (R, n) > 0. On the CPU the registered kernel computes it
// (one pass over each L0, in place where XLA can donate it); elsewhere a jax.numpy form
// that applies the n rank-1 factors in turn.
nb::object rank_n_factor_update(Function &self, const Jax &j, nb::handle L0, nb::handle U, nb::handle s);

// The jax.numpy form on its own (every platform), for tests of the kernel against it.
nb::object portable_factor_update(Function &self, const Jax &j, nb::handle L0, nb::handle U, nb::handle s);

}  // namespace kovani::learning

// The evidence of a fitted model on labelled trials: the variational lower bound on the
// log marginal likelihood that the Polya-Gamma mean-field posterior q(beta) q(omega)
// attains, in closed form.
//
// Row j's class step is a binary logistic model of its class against all the others,
// with predictor psi = x_aug . beta_j - offset, under the prior N(m0, V0) of the
// hyper-prior (V0 diagonal). With q(beta_j) = N(m_j, S_j) and every q(omega_t) at its
// optimum for it, PG(1, c_t) with c_t^2 = E[psi_t^2], the omega terms collapse to
//     sum_t [ kappa_t E[psi_t] - log(2 cosh(c_t / 2)) ]  -  KL(N(m_j, S_j) || N(m0, V0)),
// kappa_t = z_t - 1/2, E[psi_t] = x_t . m_j - offset_t, E[psi_t^2] = E[psi_t]^2 + x_t S_j x_t^T,
// and the evidence is the sum over rows, the offsets taken at the posterior means, as the
// class steps take them. With two classes the offset is 0 and this is the bound on the
// log marginal likelihood of the logistic model; each sweep of an undamped fit raises it
// (every class step maximises it over q(beta) for q(omega) fixed). With more, it is the sum
// of the class steps' bounds.
#pragma once

#include "kovani/jax.h"
#include "model/prior.h"

namespace kovani::model {

// The trials, the posterior of a record and its hyper-prior, as the evidence core takes
// them: float64 NumPy trials, int32 class indices, the stored coefficients.
struct EvidenceInputs {
    nb::object dtype;                     // the working type
    nb::object Xn;                        // (n, F) float64
    nb::object yj;                        // (n,) int32 0-based class indices
    nb::object non_ref_j;                 // (K-1,) int32 class of each row
    nb::object beta_mean, beta_cov_chol;  // (K-1, d_aug), (K-1, d_aug, d_aug)
    HyperPrior prior;
};

// The bound as a 0-d array of the working type, computed by a core compiled once per
// shape and working type and kept by `self`.
nb::object evidence(Function &self, const Jax &j, const EvidenceInputs &in);

}  // namespace kovani::model

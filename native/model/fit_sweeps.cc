// The fit's sweeps: from the hyper-prior, over all trials.
#include "model/sweeps.h"

#include "model/host_arrays.h"
#include "model/placement.h"
#include "model/reduced.h"
#include "model/working_type.h"

#include <vector>

namespace kovani::model {
namespace {

// What every fit core starts from, in the working type: the design, the loop constants and
// the prior's mean.
struct FitCore {
    nb::object dtype, X_aug, m_prior;
    Loop loop;
    long long rows;
};

FitCore fit_core(const Jax &j, const CoreArgs &a) {
    nb::object dtype = a["dtype"];
    nb::object X_aug = augmented(j, j.asarray(a["Xn"], dtype));
    return {dtype, X_aug, j.asarray(a["prior_mean"], dtype),
            loop_of(j, dtype, a["yj"], a["non_ref_j"], a["alpha"], X_aug.attr("shape")[0]),
            nb::cast<long long>(a["n_classes"]) - 1};
}

// The general core, through the module's kernels as they are now (a caller's replacement
// included): returns (beta_mean, beta_cov_chol) after num_steps sweeps from the prior,
// whose precision and covariance are diagonal.
nb::object general_core(Function &self, const CoreArgs &a) {
    Jax j(self);
    nb::object jnp = j.jnp;
    FitCore f = fit_core(j, a);
    FixedPrior prior{f.m_prior, jnp.attr("diag")(j.asarray(a["prior_precision"], f.dtype))};
    nb::object mean0 = jnp.attr("tile")(f.m_prior, nb::make_tuple(f.rows, 1));
    nb::object cov0 = jnp.attr("tile")(jnp.attr("diag")(j.asarray(a["prior_variance"], f.dtype)),
                                       nb::make_tuple(f.rows, 1, 1));
    nb::object state = sweeps_in_d(self, j, f.loop, a["num_steps"], f.X_aug, nb::make_tuple(mean0, cov0),
                                   fixed_prior_step(f.loop, python_pg_update(a["pg_update"]), prior));
    return nb::make_tuple(state[0], jnp.attr("linalg").attr("cholesky")(state[1]));
}

std::vector<CoreParam> fit_params(std::vector<CoreParam> statics, std::vector<CoreParam> prior) {
    for (CoreParam &p : statics)
        p.is_static = true;
    statics.insert(statics.end(), {{"Xn"}, {"yj"}, {"non_ref_j"}, {"prior_mean"}});
    statics.insert(statics.end(), prior.begin(), prior.end());
    statics.push_back({"alpha"});
    return statics;
}

// pg_omega is part of the cache key only: the kernel looks it up while it is traced.
const Core general_fit = {"_fit_core",
                          fit_params({{"pg_update"}, {"pg_omega"}, {"dtype"}, {"n_classes"}, {"num_steps"}},
                                     {{"prior_precision"}, {"prior_variance"}}),
                          general_core};

// The same sweeps for fewer trials than coefficients, in the trials' n-dimensional space
// (reduced.h), where the prior is N(0, I_n) for every row: class steps of O(n^3). Returns
// the means and the directions the d x d factors need, which are formed once, on the host.
nb::object reduced_core(Function &self, const CoreArgs &a) {
    Jax j(self);
    FitCore f = fit_core(j, a);
    // The prior covariance is diagonal: whitening scales the columns of the design.
    nb::object scale = j.asarray(a["prior_scale"], f.dtype);
    Reduced r = reduce(j, f.X_aug * scale);
    nb::object Xm0 = j.matmul(f.X_aug, f.m_prior);  // (n,), the same for every row
    StandardStart start = standard_start(j, nb::int_(f.rows), f.X_aug.attr("shape")[0], f.dtype);
    nb::object state = sweeps_in_n(self, j, f.loop, a["num_steps"], r.design, Xm0, start.state,
                                   fixed_prior_step(f.loop, own_pg_update(j), start.prior));
    // beta = m_prior + D^(1/2) Q mu, and S = D^(1/2) (I + Q (Sigma - I) Q^T) D^(1/2) from
    // Sigma's eigen-decomposition (its singular values: Sigma is positive semi-definite).
    nb::object means = f.m_prior + scale * j.matmul(state[0], r.Q.attr("T"));
    Singular svd = singular(j, state[1]);
    Directions dir = directions(j, r.Q, svd.s, svd.P);
    return nb::make_tuple(means, dir.U, dir.s);
}

const Core reduced_fit = {"_fit_reduced_core", fit_params({{"dtype"}, {"n_classes"}, {"num_steps"}}, {{"prior_scale"}}),
                          reduced_core};

// For as many trials as coefficients or more, undamped (learning rate 1): a class step's
// covariance is then the inverse of its precision, so the state holds the precision's
// Cholesky factor Lp instead of the covariance, and no step inverts a precision. The
// predictor variances are |Lp^-1 x_t|^2, through the factor's triangular inverse (d^3 / 3)
// and one product over the trials (XLA runs it faster than a triangular solve against all
// n trials); each covariance factor is formed once at the end.
nb::object precision_core(Function &self, const CoreArgs &a) {
    Jax j(self);
    nb::object jnp = j.jnp;
    FitCore f = fit_core(j, a);
    nb::object prec_diag = j.asarray(a["prior_precision"], f.dtype);
    nb::object prec0 = jnp.attr("diag")(prec_diag);
    nb::object eye = jnp.attr("eye")(f.X_aug.attr("shape")[1], nb::arg("dtype") = f.dtype);
    nb::object linalg = jnp.attr("linalg"), scipy = j.jax.attr("scipy").attr("linalg");
    nb::object solve_triangular = scipy.attr("solve_triangular");
    Omega omega = [j](nb::handle c) { return expected_omega(j, c); };
    Loop loop = f.loop;
    nb::object X_aug = f.X_aug, m_prior = f.m_prior;

    nb::object beta_mean = jnp.attr("tile")(f.m_prior, nb::make_tuple(f.rows, 1));
    nb::object Lp = jnp.attr("tile")(jnp.attr("diag")(jnp.attr("sqrt")(prec_diag)), nb::make_tuple(f.rows, 1, 1));
    nb::object update_one = closure(self, "update_one", {"i", "st"}, [=](Function &, Args &s) {
        nb::object i = s[0], beta_mean = s[1][0], Lp = s[1][1];
        // X [Lp^-T | beta_mean^T]: the whitened trials and every class's logits in one
        // pass over the trials.
        nb::object inverse = solve_triangular(Lp[i], eye, nb::arg("lower") = true);
        nb::object both = j.matmul(
            X_aug, jnp.attr("concatenate")(nb::make_tuple(inverse.attr("T"), beta_mean.attr("T")), nb::arg("axis") = 1));
        nb::object d = eye.attr("shape")[0];
        nb::object whitened = both[nb::make_tuple(all(), nb::slice(nb::none(), d, nb::none()))];
        nb::object eta = both[nb::make_tuple(all(), nb::slice(d, nb::none(), nb::none()))];
        ClassTarget t = class_target(j, eta, loop.ref0, loop.one_s, loop.yj, loop.non_ref_j, i);
        nb::object psi_var = jnp.attr("sum")(whitened * whitened, nb::arg("axis") = 1);
        nb::object psi_mean = eta[nb::make_tuple(all(), i)] - t.offset;
        Natural nat = pg_natural(j, omega, X_aug, t.z, t.offset, psi_mean, psi_var, m_prior, prec0);
        nb::object L = linalg.attr("cholesky")(nat.prec);
        nb::object m_new = scipy.attr("cho_solve")(nb::make_tuple(L, true), nat.b);
        return nb::object(nb::make_tuple(Jax::set_at(beta_mean, i, m_new), Jax::set_at(Lp, i, L)));
    });
    nb::object state = sweeps(self, j, a["num_steps"], nb::int_(f.rows), nb::make_tuple(beta_mean, Lp), update_one);
    // The covariance S = P^-1 of the precision P = Lp Lp^T, as its lower factor: with J the
    // exchange matrix and J P J = M M^T, S = (J M^-T J)(J M^-T J)^T, and J M^-T J is lower
    // triangular. One factorisation and one triangular inverse per row.
    nb::object P = j.matmul(state[1], jnp.attr("swapaxes")(state[1], -1, -2));
    nb::object M = linalg.attr("cholesky")(jnp.attr("flip")(P, nb::make_tuple(-2, -1)));
    nb::object M_inv = solve_triangular(M, jnp.attr("broadcast_to")(eye, M.attr("shape")), nb::arg("lower") = true);
    nb::object factors = jnp.attr("flip")(jnp.attr("swapaxes")(M_inv, -1, -2), nb::make_tuple(-2, -1));
    return nb::make_tuple(state[0], factors);
}

const Core precision_fit = {"_fit_precision_core",
                            fit_params({{"dtype"}, {"n_classes"}, {"num_steps"}}, {{"prior_precision"}}),
                            precision_core};

// Whether `n` trials are cheaper in their own space than in the coefficients': a step
// there costs O(n^3), in the coefficients' O(n d^2) (measured on a 2-core CPU, K = 4, 10
// sweeps: the two meet at d near 1.2 n).
bool reduced_pays(long long n, long long d_aug) { return 5 * d_aug > 6 * n; }

// Whether the precision's factor pays for an undamped fit: its extra triangular solve per
// step costs more than it saves below some 100 coefficients (same measurements).
bool precision_pays(long long d_aug) { return d_aug >= 100; }

}  // namespace

Coefficients fit_sweeps(Function &self, const Jax &j, const FitInputs &in, const Kernels &kernels) {
    nb::object np = j.np, shape = in.Xn.attr("shape");
    const long long n = to_int64(shape[0]), F = to_int64(shape[1]), d_aug = F + 1;
    std::vector<CoreArg> args = {{"dtype", in.dtype},          {"n_classes", nb::int_(in.n_classes)},
                                 {"num_steps", in.num_steps},  {"Xn", in.Xn},
                                 {"yj", in.yj},                {"non_ref_j", in.non_ref_j},
                                 {"prior_mean", in.prior.mean(j, F)}, {"alpha", in.alpha}};
    const long long K = in.n_classes;
    const Placement where = place((double) n * (double) (d_aug * d_aug) * (double) (K - 1) *
                                      nb::cast<double>(in.num_steps),
                                  false, d_aug);
    if (kernels.own && where.on_host && reduced_pays(n, d_aug)) {
        nb::object scales = in.prior.scales(j, F);
        args.emplace_back("prior_scale", scales);
        nb::object out = call_core(self, reduced_fit, args, where.context);
        nb::object working = np.attr("dtype")(in.dtype);
        Directions dir{np.attr("asarray")(out[1]), np.attr("asarray")(out[2])};
        return {host_copy(j, out[0]), lifted_factors(j, scales.attr("astype")(working), dir)};
    }
    args.emplace_back("prior_precision", in.prior.precisions(j, F));
    const bool precision = kernels.own && nb::cast<double>(in.alpha) == 1.0 && precision_pays(d_aug);
    if (!precision) {
        args.emplace_back("prior_variance", in.prior.variances(j, F));
        args.emplace_back("pg_update", kernels.update);
        args.emplace_back("pg_omega", kernels.omega);
    }
    nb::object out = call_core(self, precision ? precision_fit : general_fit, args, where.context);
    return {host_copy(j, out[0]), host_copy(j, out[1])};
}

}  // namespace kovani::model

// Batch fit: checks and class bookkeeping on the host, then the sweeps in a compiled core.
#include "learning.h"
#include "reduced.h"
#include "training.h"

#include <cmath>
#include <utility>
#include <vector>

namespace kovani::learning {
namespace {

enum FitArg { X, Y, N_CLASSES, LABEL_BASE, W_LOC, W_SCALE, B_LOC, B_SCALE, RNG_SEED, LEARNING_RATE, NUM_STEPS };

// What every fit core starts from, in the working type: the design, the prior (mean and
// the diagonal of its precision) and the loop constants.
struct FitState {
    nb::object dtype, X_aug, yj, non_ref_j, m_prior, prec_diag, alpha, one_s, ref0;
    long long K;
};

FitState fit_state(const Jax &j, const CoreArgs &a) {
    nb::object jnp = j.jnp, dtype = a["dtype"];
    auto in_type = [&](nb::handle v) { return jnp.attr("asarray")(v, nb::arg("dtype") = dtype); };
    nb::object Xj = in_type(a["Xn"]);
    nb::object n = Xj.attr("shape")[0], F = Xj.attr("shape")[1];
    auto features_then_intercept = [&](nb::handle w, nb::handle b) {
        return jnp.attr("concatenate")(
            nb::make_tuple(jnp.attr("full")(nb::make_tuple(F), in_type(w), nb::arg("dtype") = dtype),
                           jnp.attr("full")(nb::make_tuple(1), in_type(b), nb::arg("dtype") = dtype)));
    };
    return {dtype,
            augment(j, Xj),
            a["yj"],
            a["non_ref_j"],
            features_then_intercept(a["w_loc"], a["b_loc"]),
            features_then_intercept(a["w_prec"], a["b_prec"]),
            in_type(a["alpha"]),
            in_type(nb::int_(1)),
            jnp.attr("zeros")(nb::make_tuple(n, 1), nb::arg("dtype") = dtype),
            nb::cast<long long>(a["n_classes"])};
}

// A class step of the fit on whatever design it is given: the fixed prior (m0, prec0), the
// row's current (m_i, S_i) for the predictor moments, the result damped.
nb::object fixed_prior_step(const FitState &f, nb::handle pg_update, nb::handle design, const ClassTarget &t,
                            nb::handle m0, nb::handle prec0, nb::handle m_i, nb::handle S_i) {
    nb::object step = pg_update(design, t.z, t.offset, m0, prec0, m_i, S_i);
    return nb::make_tuple(damp(f.one_s, f.alpha, m_i, step[0]), damp(f.one_s, f.alpha, S_i, step[1]));
}

// The general core, in the coefficients' d-dimensional space, through the module's kernels
// as they are now (a caller's replacement included):
//   returns (beta_mean, beta_cov_chol) after num_steps sweeps from the prior.
nb::object general_core(Function &self, const CoreArgs &a) {
    Jax j(self);
    nb::object jnp = j.jnp;
    FitState f = fit_state(j, a);
    nb::object pg_update = a["pg_update"];
    nb::object prec0 = jnp.attr("diag")(f.prec_diag);
    nb::object d_aug = f.X_aug.attr("shape")[1];
    nb::object L0 = jnp.attr("linalg").attr("cholesky")(prec0);
    nb::object S0 = j.jax.attr("scipy").attr("linalg").attr("cho_solve")(
        nb::make_tuple(L0, true), jnp.attr("eye")(d_aug, nb::arg("dtype") = f.dtype));

    // Every non-reference class starts at the prior.
    nb::object beta_mean = jnp.attr("tile")(f.m_prior, nb::make_tuple(f.K - 1, 1));
    nb::object beta_cov = jnp.attr("tile")(S0, nb::make_tuple(f.K - 1, 1, 1));
    nb::object update_one = closure(self, "update_one", {"i", "st"}, [j, f, pg_update, prec0](Function &, Args &s) {
        nb::object i = s[0], beta_mean = s[1][0], beta_cov = s[1][1];
        nb::object eta = j.matmul(f.X_aug, beta_mean.attr("T"));
        ClassTarget t = class_target(j, eta, f.ref0, f.one_s, f.yj, f.non_ref_j, i);
        nb::object step = fixed_prior_step(f, pg_update, f.X_aug, t, f.m_prior, prec0, beta_mean[i], beta_cov[i]);
        return nb::object(nb::make_tuple(Jax::set_at(beta_mean, i, step[0]), Jax::set_at(beta_cov, i, step[1])));
    });
    nb::object final_state = sweeps(self, j, a["num_steps"], nb::int_(f.K - 1), nb::make_tuple(beta_mean, beta_cov),
                                    update_one);
    nb::object beta_cov_chol = jnp.attr("linalg").attr("cholesky")(final_state[1]);
    return nb::make_tuple(final_state[0], beta_cov_chol);
}

const std::vector<CoreParam> fit_arrays = {{"Xn"}, {"yj"}, {"non_ref_j"}, {"w_loc"}, {"b_loc"},
                                           {"w_prec"}, {"b_prec"}, {"alpha"}};

std::vector<CoreParam> fit_params(std::vector<CoreParam> statics) {
    for (CoreParam &p : statics)
        p.is_static = true;
    statics.insert(statics.end(), fit_arrays.begin(), fit_arrays.end());
    return statics;
}

// pg_omega is part of the cache key only: the kernel looks it up while it is traced.
const Core general_fit = {"_fit_core",
                          fit_params({{"pg_update"}, {"pg_omega"}, {"dtype"}, {"n_classes"}, {"num_steps"}}),
                          general_core};

// The same sweeps for fewer trials than coefficients, in the trials' n-dimensional space
// (reduced.h), where the prior is N(0, I_n) for every row: class steps of O(n^3). Returns
// the means and what the d x d factors need, which are formed once, on the host. Taken
// only while the module's own kernels are in place.
nb::object reduced_core(Function &self, const CoreArgs &a) {
    Jax j(self);
    nb::object jnp = j.jnp;
    FitState f = fit_state(j, a);
    // The prior covariance is diagonal: whitening scales the columns of the design.
    nb::object scale = jnp.attr("sqrt")(f.one_s / f.prec_diag);
    Reduced r = reduce(j, f.X_aug * scale);
    nb::object Xm0 = j.matmul(f.X_aug, f.m_prior);  // (n,), the same for every row
    nb::object n = f.X_aug.attr("shape")[0];
    nb::object pg_update = global(self, "_pg_binary_update");
    nb::object eye = jnp.attr("eye")(n, nb::arg("dtype") = f.dtype);
    nb::object zero = jnp.attr("zeros")(nb::make_tuple(n), nb::arg("dtype") = f.dtype);

    nb::object mu = jnp.attr("zeros")(nb::make_tuple(f.K - 1, n), nb::arg("dtype") = f.dtype);
    nb::object Sigma = jnp.attr("tile")(eye, nb::make_tuple(f.K - 1, 1, 1));
    nb::object update_one =
        closure(self, "update_one", {"i", "st"}, [j, f, r, Xm0, pg_update, eye, zero](Function &, Args &s) {
            nb::object i = s[0], mu = s[1][0], Sigma = s[1][1];
            nb::object eta = j.column(Xm0) + j.matmul(r.design, mu.attr("T"));
            ClassTarget t = class_target(j, eta, f.ref0, f.one_s, f.yj, f.non_ref_j, i);
            t.offset = t.offset - Xm0;
            nb::object step = fixed_prior_step(f, pg_update, r.design, t, zero, eye, mu[i], Sigma[i]);
            return nb::object(nb::make_tuple(Jax::set_at(mu, i, step[0]), Jax::set_at(Sigma, i, step[1])));
        });
    nb::object final_state = sweeps(self, j, a["num_steps"], nb::int_(f.K - 1), nb::make_tuple(mu, Sigma), update_one);

    // beta = m_prior + D^(1/2) Q mu, and S = D^(1/2) (I + Q (Sigma - I) Q^T) D^(1/2) from
    // Sigma's eigen-decomposition (its singular values: Sigma is positive semi-definite),
    // the factors formed on the host.
    nb::object means = f.m_prior + scale * j.matmul(final_state[0], r.Q.attr("T"));
    nb::object svd = jnp.attr("linalg").attr("svd")(final_state[1]);
    Directions dir = directions(j, r.Q, svd[1], svd[0]);
    return nb::make_tuple(means, dir.U, dir.s, scale);
}

const Core reduced_fit = {"_fit_reduced_core", fit_params({{"dtype"}, {"n_classes"}, {"num_steps"}}),
                          reduced_core};

// For as many trials as coefficients or more, undamped (learning rate 1): a class step's
// covariance is then the inverse of its precision, so the carry holds the precision's
// Cholesky factor Lp instead of the covariance, and no step inverts a precision. The
// predictor variances are |Lp^-1 x_t|^2, through the factor's triangular inverse (d^3 / 3)
// and one product over the trials (XLA runs it faster than a triangular solve against all
// n trials); each covariance factor is formed once at the end (covariance_factors).
// Taken only while the module's own kernels are in place.
nb::object precision_core(Function &self, const CoreArgs &a) {
    Jax j(self);
    nb::object jnp = j.jnp;
    FitState f = fit_state(j, a);
    nb::object prec0 = jnp.attr("diag")(f.prec_diag);
    nb::object d_aug = f.X_aug.attr("shape")[1];
    nb::object eye = jnp.attr("eye")(d_aug, nb::arg("dtype") = f.dtype);
    nb::object omega = global(self, "_pg_expected_omega");
    nb::object linalg = jnp.attr("linalg"), solve_triangular = j.jax.attr("scipy").attr("linalg").attr("solve_triangular");

    nb::object beta_mean = jnp.attr("tile")(f.m_prior, nb::make_tuple(f.K - 1, 1));
    nb::object Lp = jnp.attr("tile")(jnp.attr("diag")(jnp.attr("sqrt")(f.prec_diag)), nb::make_tuple(f.K - 1, 1, 1));
    nb::object update_one =
        closure(self, "update_one", {"i", "st"}, [j, f, prec0, eye, omega, solve_triangular](Function &, Args &s) {
            nb::object jnp = j.jnp;
            nb::object i = s[0], beta_mean = s[1][0], Lp = s[1][1];
            // X [Lp^-T | beta_mean^T]: the whitened trials and every class's logits in one
            // pass over the trials.
            nb::object inverse = solve_triangular(Lp[i], eye, nb::arg("lower") = true);
            nb::object both = j.matmul(f.X_aug, jnp.attr("concatenate")(
                                                    nb::make_tuple(inverse.attr("T"), beta_mean.attr("T")),
                                                    nb::arg("axis") = 1));
            nb::object d = eye.attr("shape")[0];
            nb::object whitened = both[nb::make_tuple(all(), nb::slice(nb::none(), d, nb::none()))];
            nb::object eta = both[nb::make_tuple(all(), nb::slice(d, nb::none(), nb::none()))];
            ClassTarget t = class_target(j, eta, f.ref0, f.one_s, f.yj, f.non_ref_j, i);
            nb::object psi_var = jnp.attr("sum")(whitened * whitened, nb::arg("axis") = 1);
            nb::object psi_mean = eta[nb::make_tuple(all(), i)] - t.offset;
            Natural nat = pg_natural(j, omega, f.X_aug, t.z, t.offset, psi_mean, psi_var, f.m_prior, prec0);
            nb::object L = jnp.attr("linalg").attr("cholesky")(nat.prec);
            nb::object m_new = j.jax.attr("scipy").attr("linalg").attr("cho_solve")(nb::make_tuple(L, true), nat.b);
            return nb::object(nb::make_tuple(Jax::set_at(beta_mean, i, m_new), Jax::set_at(Lp, i, L)));
        });
    nb::object final_state = sweeps(self, j, a["num_steps"], nb::int_(f.K - 1), nb::make_tuple(beta_mean, Lp),
                                    update_one);
    // The covariance S = P^-1 of the precision P = Lp Lp^T, as its lower factor: with J the
    // exchange matrix and J P J = M M^T, S = (J M^-T J)(J M^-T J)^T, and J M^-T J is lower
    // triangular. One factorisation and one triangular inverse per row.
    nb::object P = j.matmul(final_state[1], jnp.attr("swapaxes")(final_state[1], -1, -2));
    nb::object flipped = jnp.attr("flip")(P, nb::make_tuple(-2, -1));
    nb::object M = linalg.attr("cholesky")(flipped);
    nb::object M_inv = solve_triangular(M, jnp.attr("broadcast_to")(eye, M.attr("shape")), nb::arg("lower") = true);
    nb::object factors = jnp.attr("flip")(jnp.attr("swapaxes")(M_inv, -1, -2), nb::make_tuple(-2, -1));
    return nb::make_tuple(final_state[0], factors);
}

const Core precision_fit = {"_fit_precision_core", fit_params({{"dtype"}, {"n_classes"}, {"num_steps"}}),
                            precision_core};

// Whether `n` trials are cheaper in their own space than in the coefficients': a step
// there costs O(n^3), in the coefficients' O(n d^2) (measured on a 2-core CPU, K = 4, 10
// sweeps: the two meet at d near 1.2 n).
bool reduced_pays(long long n, long long d_aug) { return 5 * d_aug > 6 * n; }

// Whether the precision's factor pays for an undamped fit: its extra triangular solve per
// step costs more than it saves below some 100 coefficients (same measurements).
bool precision_pays(long long d_aug) { return d_aug >= 100; }

void check_hyperparameters(Args &a) {
    if (less_than(a[N_CLASSES], 2))
        raise(PyExc_ValueError, "n_classes must be >= 2");
    nb::handle label_base = a[LABEL_BASE];
    if (!label_base.equal(nb::int_(0)) && !label_base.equal(nb::int_(1)))
        raise(PyExc_ValueError, "label_base must be 0 or 1");
    // Written as "unless > 0" so that NaN scales are refused too: a NaN prior would give a
    // model of NaNs that looks like a successful fit.
    if (!(nb::cast<double>(a[W_SCALE]) > 0))
        raise(PyExc_ValueError, "w_scale must be > 0");
    if (!(nb::cast<double>(a[B_SCALE]) > 0))
        raise(PyExc_ValueError, "b_scale must be > 0");
    double learning_rate = nb::cast<double>(a[LEARNING_RATE]);
    if (!(learning_rate > 0 && learning_rate <= 1))
        raise(PyExc_ValueError, "learning_rate must be in (0, 1]");
    if (less_than(a[NUM_STEPS], 1))
        raise(PyExc_ValueError, "num_steps must be >= 1");
    // An infinite scale or a non-finite prior mean also ends in a model of NaNs; these come
    // after the checks above so that those keep their order.
    for (auto [index, message] : {std::pair{W_LOC, "w_loc must be finite"}, {W_SCALE, "w_scale must be finite"},
                                  {B_LOC, "b_loc must be finite"}, {B_SCALE, "b_scale must be finite"}})
        if (!std::isfinite(nb::cast<double>(a[index])))
            raise(PyExc_ValueError, message);
}

nb::object fit(Function &self, Args &a) {
    Jax j(self);
    nb::object np = j.np, int64 = np.attr("int64");

    // Checks, in order.
    Trials trials = convert_trials(j, a[X], a[Y]);
    check_hyperparameters(a);
    nb::object label_base = nb::steal(PyNumber_Long(a[LABEL_BASE].ptr()));
    if (!label_base.is_valid())
        throw nb::python_error();
    nb::object y0 = trials.yn.attr("astype")(int64) - label_base;
    if (less_than(y0.attr("min")(), 0) || compare(y0.attr("max")(), a[N_CLASSES], Py_GE))
        raise(PyExc_ValueError, "y out of range for n_classes/label_base");

    // Class bookkeeping: the most frequent class (lowest index on ties) is the reference.
    const long long K = to_int64(a[N_CLASSES]);
    // Before anything of size K or d_aug^2 is made; 4 bytes, float32, is the smallest
    // working type.
    nb::object shape = trials.Xn.attr("shape");
    check_core_memory("fit", K - 1, to_int64(shape[1]) + 1, to_int64(shape[0]), 4);
    nb::object counts = np.attr("bincount")(y0, nb::arg("minlength") = K).attr("astype")(int64);
    const long long ref_class = to_int64(np.attr("argmax")(counts));
    nb::list others;
    for (long long k = 0; k < K; ++k)
        if (k != ref_class)
            others.append(k);
    nb::object non_ref = np.attr("array")(others, nb::arg("dtype") = int64);

    // The sweeps, compiled once per shape.
    nb::object dtype = global(self, "_jax_dtype_from_numpy")(trials.Xn);
    double w_scale = nb::cast<double>(a[W_SCALE]), b_scale = nb::cast<double>(a[B_SCALE]);
    nb::object int32 = np.attr("int32");
    nb::object yj = y0.attr("astype")(int32), non_ref_j = non_ref.attr("astype")(int32);
    nb::object w_prec = nb::float_(1.0 / (w_scale * w_scale)), b_prec = nb::float_(1.0 / (b_scale * b_scale));
    const long long n = to_int64(shape[0]), d_aug = to_int64(shape[1]) + 1;
    const bool own = own_kernels(self);
    std::vector<CoreArg> args = {{"dtype", dtype}, {"n_classes", nb::int_(K)}, {"num_steps", a[NUM_STEPS]},
                                 {"Xn", trials.Xn}, {"yj", yj}, {"non_ref_j", non_ref_j}, {"w_loc", a[W_LOC]},
                                 {"b_loc", a[B_LOC]}, {"w_prec", w_prec}, {"b_prec", b_prec},
                                 {"alpha", a[LEARNING_RATE]}};
    nb::object beta_mean, beta_cov_chol;
    if (own && reduced_pays(n, d_aug)) {
        nb::object out = call_core(self, reduced_fit, args);
        beta_mean = host_copy(j, out[0]);
        beta_cov_chol = lifted_factors(j, np.attr("asarray")(out[3]),
                                       Directions{np.attr("asarray")(out[1]), np.attr("asarray")(out[2])});
    } else {
        const bool precision = own && nb::cast<double>(a[LEARNING_RATE]) == 1.0 && precision_pays(d_aug);
        nb::object pg_update = global(self, "_pg_binary_update"), pg_omega = global(self, "_pg_expected_omega");
        if (!precision) {
            args.emplace_back("pg_update", pg_update);
            args.emplace_back("pg_omega", pg_omega);
        }
        nb::object out = call_core(self, precision ? precision_fit : general_fit, args);
        beta_mean = host_copy(j, out[0]);
        beta_cov_chol = host_copy(j, out[1]);
    }
    check_finite_result(j, "fit", beta_mean, beta_cov_chol, dtype);

    // The record, in its fixed order; every value a NumPy array.
    nb::dict params;
    params["backend"] = backend_tag(j);
    params["n_classes"] = int64_scalar(j, nb::int_(K));
    params["label_base"] = int64_scalar(j, label_base);
    params["ref_class"] = int64_scalar(j, nb::int_(ref_class));
    params["non_ref_classes"] = non_ref;
    params["beta_mean"] = beta_mean;
    params["beta_cov_chol"] = beta_cov_chol;
    params["w_loc"] = float64_scalar(j, a[W_LOC]);
    params["w_scale"] = float64_scalar(j, a[W_SCALE]);
    params["b_loc"] = float64_scalar(j, a[B_LOC]);
    params["b_scale"] = float64_scalar(j, a[B_SCALE]);
    params["rng_seed"] = int64_scalar(j, a[RNG_SEED]);
    params["learning_rate"] = float64_scalar(j, a[LEARNING_RATE]);
    params["num_steps"] = int64_scalar(j, a[NUM_STEPS]);
    params["class_counts"] = counts;
    return make_model(self, params);
}

}  // namespace

Declaration softmax_fit() {
    return {"kovani_softmax_fit",
            {{"X", "np.ndarray"},
             {"y", "np.ndarray"},
             {"n_classes", "int", Conv::Int},
             {"label_base", "Literal[0, 1]"},
             {"w_loc", "float", Conv::Float},
             {"w_scale", "float", Conv::Float},
             {"b_loc", "float", Conv::Float},
             {"b_scale", "float", Conv::Float},
             {"rng_seed", "int", Conv::Int},
             {"learning_rate", "float", Conv::Float},
             {"num_steps", "int", Conv::Int}},
            "KovaniModel",
            "Fit Bayesian multinomial softmax regression using Polya-Gamma VI.\n"
            "\n"
            "This uses a reference-class softmax model and iteratively updates each\n"
            "class's parameters using a coupled one-vs-rest Polya-Gamma update.\n"
            "\n"
            "Args:\n"
            "    X: Feature matrix of shape (n_trials, n_features).\n"
            "    y: Integer labels of shape (n_trials,). Labels must be in\n"
            "        {label_base, ..., label_base + n_classes - 1}.\n"
            "    n_classes: Number of classes.\n"
            "    label_base: 0 or 1, describing the minimum label value in y.\n"
            "    w_loc: Scalar prior mean for weights (broadcast per feature).\n"
            "    w_scale: Prior weight scale (>0).\n"
            "    b_loc: Scalar prior mean for bias.\n"
            "    b_scale: Prior bias scale (>0).\n"
            "    rng_seed: Seed reserved for future use.\n"
            "    learning_rate: Damping factor in (0, 1].\n"
            "    num_steps: Number of coordinate sweeps (>=1).\n"
            "\n"
            "Returns:\n"
            "    KovaniModel containing a Gaussian posterior approximation per class.\n"
            "\n"
            "Raises:\n"
            "    ValueError: If inputs have invalid shapes, label ranges, or hyperparameters.",
            fit};
}

}  // namespace kovani::learning

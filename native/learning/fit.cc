// Batch fit: checks and class bookkeeping on the host, then the sweeps in a compiled core.
#include "learning.h"
#include "training.h"

#include <cmath>
#include <utility>

namespace kovani::learning {
namespace {

enum FitArg { X, Y, N_CLASSES, LABEL_BASE, W_LOC, W_SCALE, B_LOC, B_SCALE, RNG_SEED, LEARNING_RATE, NUM_STEPS };

// The numeric core, traced once per shape, working type and set of kernels:
//   core(pg_update, pg_omega, dtype, n_classes, num_steps,        -- static
//        Xn, yj, non_ref_j, w_loc, b_loc, w_prec, b_prec, alpha)  -- arrays and scalars
// returns (beta_mean, beta_cov_chol). `pg_omega` is only part of the cache key: the
// update kernel looks it up on the module while it is traced.
nb::object fit_core(Function &self, Args &a) {
    Jax j(self);
    nb::object jnp = j.jnp;
    nb::object pg_update = a[0], dtype = a[2];
    const long long K = nb::cast<long long>(a[3]);
    nb::object num_steps = a[4];
    nb::object yj = a[6], non_ref_j = a[7];

    // Design and prior, in the working type.
    nb::object Xj = jnp.attr("asarray")(a[5], nb::arg("dtype") = dtype);
    nb::object X_aug = augment(j, Xj);
    nb::object n = Xj.attr("shape")[0], F = Xj.attr("shape")[1];
    auto in_type = [&](nb::handle v) { return jnp.attr("asarray")(v, nb::arg("dtype") = dtype); };
    auto features_then_intercept = [&](nb::handle w, nb::handle b) {
        return jnp.attr("concatenate")(nb::make_tuple(
            jnp.attr("full")(nb::make_tuple(F), in_type(w), nb::arg("dtype") = dtype),
            jnp.attr("full")(nb::make_tuple(1), in_type(b), nb::arg("dtype") = dtype)));
    };
    nb::object m_prior = features_then_intercept(a[8], a[9]);
    nb::object prec0 = jnp.attr("diag")(features_then_intercept(a[10], a[11]));
    nb::object d_aug = X_aug.attr("shape")[1];
    nb::object L0 = jnp.attr("linalg").attr("cholesky")(prec0);
    nb::object S0 = j.jax.attr("scipy").attr("linalg").attr("cho_solve")(
        nb::make_tuple(L0, true), jnp.attr("eye")(d_aug, nb::arg("dtype") = dtype));

    // Every non-reference class starts at the prior.
    nb::object beta_mean = jnp.attr("tile")(m_prior, nb::make_tuple(K - 1, 1));
    nb::object beta_cov = jnp.attr("tile")(S0, nb::make_tuple(K - 1, 1, 1));
    nb::object alpha = in_type(a[12]);
    nb::object one_s = in_type(nb::int_(1));
    nb::object ref0 = jnp.attr("zeros")(nb::make_tuple(n, 1), nb::arg("dtype") = dtype);

    // One damped Polya-Gamma step for the class of row i, against all other classes.
    nb::object update_one = closure(self, "update_one", {"i", "st"}, [=](Function &, Args &s) {
        nb::object i = s[0];
        nb::object beta_mean = s[1][0], beta_cov = s[1][1];
        ClassTarget t = class_target(j, X_aug, beta_mean, ref0, one_s, yj, non_ref_j, i);
        nb::object m_i = beta_mean[i], S_i = beta_cov[i];
        nb::object step = pg_update(X_aug, t.z, t.offset, m_prior, prec0, m_i, S_i);
        nb::object m_new = damp(one_s, alpha, m_i, step[0]);
        nb::object S_new = damp(one_s, alpha, S_i, step[1]);
        return nb::object(nb::make_tuple(Jax::set_at(beta_mean, i, m_new), Jax::set_at(beta_cov, i, S_new)));
    });
    nb::object sweep = closure(self, "sweep", {"_", "state"}, [=](Function &, Args &s) {
        return j.lax().attr("fori_loop")(0, K - 1, update_one, s[1]);
    });

    nb::object final_state = j.lax().attr("fori_loop")(0, num_steps, sweep, nb::make_tuple(beta_mean, beta_cov));
    nb::object beta_cov_chol = jnp.attr("linalg").attr("cholesky")(final_state[1]);
    return nb::make_tuple(final_state[0], beta_cov_chol);
}

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
    nb::object core = compiled_core(
        self, "_fit_core",
        {"pg_update", "pg_omega", "dtype", "n_classes", "num_steps", "Xn", "yj", "non_ref_j",
         "w_loc", "b_loc", "w_prec", "b_prec", "alpha"},
        nb::make_tuple(0, 1, 2, 3, 4), fit_core);
    nb::object int32 = np.attr("int32");
    nb::object result = core(global(self, "_pg_binary_update"), global(self, "_pg_expected_omega"),
                             dtype, nb::int_(K), a[NUM_STEPS], trials.Xn, y0.attr("astype")(int32),
                             non_ref.attr("astype")(int32), a[W_LOC], a[B_LOC],
                             nb::float_(1.0 / (w_scale * w_scale)), nb::float_(1.0 / (b_scale * b_scale)),
                             a[LEARNING_RATE]);

    nb::object beta_mean = np.attr("array")(result[0]), beta_cov_chol = np.attr("array")(result[1]);
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
            "kovani_softmax_fit(X: np.ndarray, y: np.ndarray, int n_classes: int, label_base: "
            "Literal[0, 1], double w_loc: float, double w_scale: float, double b_loc: float, "
            "double b_scale: float, int rng_seed: int, double learning_rate: float, int num_steps: "
            "int) -> KovaniModel\n"
            "\n"
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

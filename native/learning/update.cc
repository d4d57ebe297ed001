// Online update: checks and record reads on the host, class growth in float64 NumPy,
// then the sweeps over the batch in a compiled core.
#include "learning.h"
#include "training.h"

#include "kovani/checks.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

namespace kovani::learning {
namespace {

enum UpdateArg { MODEL, X, Y };

// ---------------------------------------------------------------- record reads
//
// Every read fetches `model.params` anew and indexes it, so a missing key fails with the
// mapping's own KeyError at the read that needs it.

nb::object entry(nb::handle model, const char *key) { return model.attr("params")[key]; }

long long read_int(const Jax &j, nb::handle model, const char *key) {
    return to_int64(j.np.attr("asarray")(entry(model, key), nb::arg("dtype") = j.np.attr("int64")));
}

double read_float(const Jax &j, nb::handle model, const char *key) {
    nb::object v = j.np.attr("asarray")(entry(model, key), nb::arg("dtype") = j.np.attr("float64"));
    double d = PyFloat_AsDouble(v.ptr());
    if (d == -1.0 && PyErr_Occurred())
        throw nb::python_error();
    return d;
}

// An added class starts at the stored hyper-prior; a non-finite or non-positive scale
// there would give rows of NaN or inf that look like a successful update.
void check_prior_for_growth(double w_loc, double w_scale, double b_loc, double b_scale) {
    auto refuse = [](const char *key, const char *what, double value) {
        std::string message = std::string("cannot add classes: the record's ") + key + " must be " +
                              what + " (got " + nb::repr(nb::float_(value)).c_str() + ")";
        raise(PyExc_ValueError, message.c_str());
    };
    if (!std::isfinite(w_loc))
        refuse("w_loc", "finite", w_loc);
    if (!(std::isfinite(w_scale) && w_scale > 0))
        refuse("w_scale", "finite and > 0", w_scale);
    if (!std::isfinite(b_loc))
        refuse("b_loc", "finite", b_loc);
    if (!(std::isfinite(b_scale) && b_scale > 0))
        refuse("b_scale", "finite and > 0", b_scale);
}

// ---------------------------------------------------------------- batch padding
//
// The core is compiled per shape, and online batches differ in size from call to call. The
// batch is therefore padded to a bucket size with all-zero rows, the intercept column
// included, labelled -1. Such a row adds nothing to a class step: its Gram term x x^T and
// its right-hand-side term x (kappa + omega * offset) are exactly zero. Its logits are 0,
// so while the state is finite its offset (log K') and its omega are finite as well, and
// its label matches no class, so its target is 0. (A non-finite state makes the unpadded
// result non-finite already.)
//
// Buckets: 16, 32, 64, then multiples of an eighth of the next power of two (80, 96, 112,
// 128, 160, ...). A live loop with 1 to 64 trials per batch needs three executables, and
// beyond 64 trials the padding adds less than a quarter of the batch.
long long padded_rows(long long n) {
    if (n <= 16)
        return 16;
    long long p = 32;
    while (p < n)
        p *= 2;
    if (p <= 64)
        return p;
    long long step = p / 8;
    return (n + step - 1) / step * step;
}

// ---------------------------------------------------------------- the numeric core

// The sweeps, traced once per padded shape, working type, sweep count and set of kernels:
//   core(pg_update, pg_omega, dtype, num_steps,                  -- static
//        X_aug, yj, non_ref_j, beta_mean, beta_cov_chol, alpha)  -- arrays and a scalar
// returns (beta_mean, beta_cov_chol). The carry holds Cholesky factors; each class step
// takes its row's running estimate as the prior and refactorises the damped covariance.
// `pg_omega` is only part of the cache key: the kernel looks it up while it is traced.
nb::object update_core(Function &self, Args &a) {
    Jax j(self);
    nb::object jnp = j.jnp;
    nb::object pg_update = a[0], dtype = a[2], num_steps = a[3];
    auto in_type = [&](nb::handle v) { return jnp.attr("asarray")(v, nb::arg("dtype") = dtype); };
    nb::object X_aug = in_type(a[4]), yj = a[5], non_ref_j = a[6];
    nb::object beta_mean = in_type(a[7]), beta_cov_chol = in_type(a[8]);
    nb::object alpha = in_type(a[9]);
    nb::object one_s = in_type(nb::int_(1));
    nb::object n = X_aug.attr("shape")[0], d_aug = X_aug.attr("shape")[1];
    nb::object rows = beta_mean.attr("shape")[0];
    nb::object ref0 = jnp.attr("zeros")(nb::make_tuple(n, 1), nb::arg("dtype") = dtype);
    nb::object eye = jnp.attr("eye")(d_aug, nb::arg("dtype") = dtype);
    nb::object cholesky = jnp.attr("linalg").attr("cholesky");
    nb::object cho_solve = j.jax.attr("scipy").attr("linalg").attr("cho_solve");

    // One damped Polya-Gamma step for the class of row i, its current posterior as prior.
    nb::object update_one = closure(self, "update_one", {"i", "st"}, [=](Function &, Args &s) {
        nb::object i = s[0];
        nb::object beta_mean = s[1][0], beta_cov_chol = s[1][1];
        ClassTarget t = class_target(j, X_aug, beta_mean, ref0, one_s, yj, non_ref_j, i);
        nb::object m0 = beta_mean[i], Lcov = beta_cov_chol[i];
        nb::object S0 = j.matmul(Lcov, Lcov.attr("T"));
        nb::object prec0 = cho_solve(nb::make_tuple(Lcov, true), eye);
        nb::object m_i = beta_mean[i];
        nb::object step = pg_update(X_aug, t.z, t.offset, m0, prec0, m_i, S0);
        nb::object m_new = damp(one_s, alpha, m_i, step[0]);
        nb::object S_i = damp(one_s, alpha, S0, step[1]);
        return nb::object(nb::make_tuple(Jax::set_at(beta_mean, i, m_new),
                                         Jax::set_at(beta_cov_chol, i, cholesky(S_i))));
    });
    nb::object sweep = closure(self, "sweep", {"_", "state"}, [=](Function &, Args &s) {
        return j.lax().attr("fori_loop")(0, rows, update_one, s[1]);
    });

    nb::object final_state =
        j.lax().attr("fori_loop")(0, num_steps, sweep, nb::make_tuple(beta_mean, beta_cov_chol));
    return nb::make_tuple(final_state[0], final_state[1]);
}

// ---------------------------------------------------------------- the entry point

nb::object update(Function &self, Args &a) {
    Jax j(self);
    nb::object np = j.np, int64 = np.attr("int64"), int32 = np.attr("int32");
    nb::handle model = a[MODEL];

    // 1-4. Trial conversion and shape checks.
    Trials trials = convert_trials(j, a[X], a[Y]);

    // 5-12. Record reads, interleaved with the checks; the learning-rate and sweep checks
    // come after every scalar read.
    const long long label_base = read_int(j, model, "label_base");
    nb::object y0 = trials.yn.attr("astype")(int64) - nb::int_(label_base);
    if (less_than(y0.attr("min")(), 0))
        raise(PyExc_ValueError, "y out of range for label_base");
    const long long old_n_classes = read_int(j, model, "n_classes");
    const long long top = to_int64(y0.attr("max")());
    // (Saturated: an absurd label then fails in NumPy's allocation, not in an overflow.)
    const long long new_n_classes =
        top < old_n_classes ? old_n_classes : top + (top < std::numeric_limits<long long>::max());
    const long long ref_class = read_int(j, model, "ref_class");
    // A copy: the new record must not share this array with the old one.
    nb::object non_ref = np.attr("array")(entry(model, "non_ref_classes"), nb::arg("dtype") = int64);
    const double w_loc = read_float(j, model, "w_loc");
    const double w_scale = read_float(j, model, "w_scale");
    const double b_loc = read_float(j, model, "b_loc");
    const double b_scale = read_float(j, model, "b_scale");
    const double alpha = read_float(j, model, "learning_rate");
    const long long num_steps = read_int(j, model, "num_steps");
    if (!(alpha > 0 && alpha <= 1))
        raise(PyExc_ValueError, "learning_rate must be in (0, 1]");
    if (num_steps < 1)
        raise(PyExc_ValueError, "num_steps must be >= 1");

    // 13-17. Working type; the stored posterior converted to it (a float64 record is
    // narrowed when the 64-bit mode is off, a float32 one widened when it is on).
    nb::object dtype = global(self, "_jax_dtype_from_numpy")(trials.Xn);
    nb::object np_dtype = np.attr("dtype")(dtype);
    const long long n = to_int64(trials.Xn.attr("shape")[0]);
    const long long F = to_int64(trials.Xn.attr("shape")[1]);
    const long long d_aug = F + 1;
    nb::object stored_mean = entry(model, "beta_mean");
    nb::object beta_mean = np.attr("asarray")(stored_mean, nb::arg("dtype") = np_dtype);
    nb::object stored_chol = entry(model, "beta_cov_chol");
    nb::object beta_cov_chol = np.attr("asarray")(stored_chol, nb::arg("dtype") = np_dtype);
    nb::object class_counts = np.attr("asarray")(entry(model, "class_counts"), nb::arg("dtype") = int64);
    // Beyond the documented checks: the record's entries must agree with one another.
    check_record(old_n_classes, ref_class, non_ref, beta_mean, beta_cov_chol);
    check_record_types(j, stored_mean, stored_chol, false);
    // A shorter class_counts would be broadcast into the batch's counts, not refused.
    nb::object counts_shape = class_counts.attr("shape");
    if (nb::len(counts_shape) != 1 || !counts_shape[0].equal(nb::int_(old_n_classes)))
        raise(PyExc_ValueError, ("inconsistent model record: class_counts of shape " +
                                 std::string(nb::repr(counts_shape).c_str()) +
                                 ", expected (n_classes,) with n_classes " + std::to_string(old_n_classes))
                                    .c_str());
    check_core_memory("update", new_n_classes - 1, d_aug, padded_rows(n), to_int64(np_dtype.attr("itemsize")));

    // 18-20. Class growth: every index below the new class count that is neither the
    // reference nor has a row gets one, appended in ascending order, at the hyper-prior.
    if (new_n_classes > old_n_classes) {
        nb::object present = np.attr("append")(non_ref, ref_class);
        nb::object add = np.attr("setdiff1d")(np.attr("arange")(new_n_classes, nb::arg("dtype") = int64), present);
        const size_t n_add = nb::len(add);
        if (n_add > 0) {
            check_prior_for_growth(w_loc, w_scale, b_loc, b_scale);
            nb::object float64 = np.attr("float64");
            non_ref = np.attr("concatenate")(nb::make_tuple(non_ref, add)).attr("astype")(int64);
            auto features_then_intercept = [&](double w, double b) {
                return np.attr("concatenate")(nb::make_tuple(
                    np.attr("full")(F, w, nb::arg("dtype") = float64),
                    np.attr("full")(1, b, nb::arg("dtype") = float64)));
            };
            // The hyper-prior, on the host in float64: the covariance is the inverse of the
            // precision, solved through the precision's factor, and is stored as a factor.
            nb::object m_prior = features_then_intercept(w_loc, b_loc);
            nb::object prec0_np = np.attr("diag")(
                features_then_intercept(1.0 / (w_scale * w_scale), 1.0 / (b_scale * b_scale)));
            nb::object linalg = np.attr("linalg");
            nb::object L0 = linalg.attr("cholesky")(prec0_np);
            nb::object A = linalg.attr("solve")(L0, np.attr("eye")(d_aug, nb::arg("dtype") = float64));
            nb::object S0 = linalg.attr("solve")(L0.attr("T"), A);
            nb::object chol0 = linalg.attr("cholesky")(S0);
            nb::object reps = nb::int_(n_add);
            beta_mean = np.attr("concatenate")(nb::make_tuple(
                beta_mean, np.attr("tile")(m_prior.attr("astype")(np_dtype), nb::make_tuple(reps, 1))));
            beta_cov_chol = np.attr("concatenate")(nb::make_tuple(
                beta_cov_chol, np.attr("tile")(chol0.attr("astype")(np_dtype), nb::make_tuple(reps, 1, 1))));
        }
        const long long stored = (long long) nb::len(class_counts);
        if (new_n_classes > stored)
            class_counts = np.attr("concatenate")(nb::make_tuple(
                class_counts, np.attr("zeros")(new_n_classes - stored, nb::arg("dtype") = int64)));
    }

    // 21. Counts of the batch added to the stored ones.
    nb::object new_counts =
        class_counts + np.attr("bincount")(y0, nb::arg("minlength") = new_n_classes).attr("astype")(int64);

    // 22-24. The sweeps over the padded batch, in the compiled core.
    const long long rows = padded_rows(n);
    nb::object head = nb::slice(n);  // the batch's own rows
    nb::object X_aug = np.attr("zeros")(nb::make_tuple(rows, d_aug), nb::arg("dtype") = np_dtype);
    X_aug[nb::make_tuple(head, nb::slice(F))] = trials.Xn;
    X_aug[nb::make_tuple(head, nb::int_(F))] = nb::int_(1);
    nb::object yj = np.attr("full")(rows, -1, nb::arg("dtype") = int32);
    yj[head] = y0;
    nb::object core = compiled_core(
        self, "_update_core",
        {"pg_update", "pg_omega", "dtype", "num_steps", "X_aug", "yj", "non_ref_j", "beta_mean",
         "beta_cov_chol", "alpha"},
        nb::make_tuple(0, 1, 2, 3), update_core);
    nb::object result = core(global(self, "_pg_binary_update"), global(self, "_pg_expected_omega"),
                             dtype, nb::int_(num_steps), X_aug, yj, non_ref.attr("astype")(int32),
                             beta_mean, beta_cov_chol, nb::float_(alpha));

    nb::object beta_mean_u = np.attr("array")(result[0]), beta_cov_u = np.attr("array")(result[1]);
    check_finite_result(j, "update", beta_mean_u, beta_cov_u, dtype);

    // 25-27. A shallow copy of the record with six entries replaced; the old one is untouched.
    nb::object old_params = model.attr("params");
    nb::object params = PyDict_Check(old_params.ptr())
                            ? nb::steal(PyDict_Copy(old_params.ptr()))
                            : nb::handle((PyObject *) &PyDict_Type)(old_params);
    if (!params.is_valid())
        throw nb::python_error();
    params["backend"] = backend_tag(j);
    params["n_classes"] = int64_scalar(j, nb::int_(new_n_classes));
    params["non_ref_classes"] = non_ref;
    params["beta_mean"] = beta_mean_u;
    params["beta_cov_chol"] = beta_cov_u;
    params["class_counts"] = new_counts;
    return make_model(self, params);
}

}  // namespace

Declaration softmax_update() {
    return {"kovani_softmax_update",
            {{"model", "KovaniModel"}, {"X", "np.ndarray"}, {"y", "np.ndarray"}},
            "KovaniModel",
            "kovani_softmax_update(model: KovaniModel, X: np.ndarray, y: np.ndarray) -> KovaniModel\n"
            "\n"
            "Update a softmax model with additional labeled observations.",
            update};
}

}  // namespace kovani::learning

// An online update whose sweeps hold the received posterior as the prior of every class
// step. The training module's update takes each row's running estimate as the prior of
// the next sweep, so a batch is counted once per sweep; here, as in the batch fit, the
// prior stays fixed (per row: the record's mean and factor) and only the approximation
// runs, so a batch counts once whatever the number of sweeps, and a widened posterior
// weighs exactly as much as it was widened to.
//
// Host side: checks and record reads in the update's order, class growth at the stored
// hyper-prior, counts. Then the sweeps over the padded batch in a compiled core, and a
// shallow copy of the record with six entries replaced.
#include "adaptation.h"
#include "class_step.h"

#include "kovani/checks.h"

#include <cmath>
#include <limits>
#include <string>

namespace kovani::adaptation {
namespace {

enum UpdateArg { MODEL, X, Y };

// ---------------------------------------------------------------- record reads
//
// Every read indexes `model.params` anew, so a missing key fails with the mapping's own
// KeyError at the read that needs it.

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

[[noreturn]] void value_error(const std::string &message) { raise(PyExc_ValueError, message.c_str()); }

std::string text(nb::handle value) { return nb::repr(value).c_str(); }

// The hyper-prior of an added class, (w_loc, ..., w_loc, b_loc) and the diagonal factor
// (w_scale, ..., w_scale, b_scale), in float64. A non-finite or non-positive entry would
// give rows of NaN or inf that look like a successful update.
struct HyperPrior {
    double w_loc, w_scale, b_loc, b_scale;

    void check_usable() const {
        auto refuse = [](const char *key, const char *what, double value) {
            value_error(std::string("cannot add classes: the record's ") + key + " must be " + what +
                        " (got " + text(nb::float_(value)) + ")");
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

    nb::object features_then_intercept(const Jax &j, long long F, double w, double b) const {
        nb::object float64 = j.np.attr("float64");
        return j.np.attr("concatenate")(nb::make_tuple(j.np.attr("full")(F, w, nb::arg("dtype") = float64),
                                                       j.np.attr("full")(1, b, nb::arg("dtype") = float64)));
    }
    nb::object mean(const Jax &j, long long F) const { return features_then_intercept(j, F, w_loc, b_loc); }
    nb::object factor(const Jax &j, long long F) const {
        return j.np.attr("diag")(features_then_intercept(j, F, w_scale, b_scale));
    }
};

// Online batches differ in size from call to call and the core is compiled per shape, so
// the batch is padded with all-zero rows (the intercept column included) labelled -1. Such
// a row adds nothing to a class step: its terms in the precision and in the linear term
// are x x^T and x (...), exactly zero; its label matches no class. Buckets: 16, 32, 64,
// then multiples of an eighth of the next power of two.
long long padded_rows(long long n) {
    if (n <= 16)
        return 16;
    long long p = 32;
    while (p < n)
        p *= 2;
    if (p <= 64)
        return p;
    const long long step = p / 8;
    return (n + step - 1) / step * step;
}

// ---------------------------------------------------------------- the numeric core

// The sweeps, traced once per padded shape, working type and sweep count:
//   core(dtype, num_steps,                                       -- static
//        X_aug, yj, non_ref_j, beta_mean, beta_cov_chol, alpha)  -- arrays and a scalar
// returns (beta_mean, beta_cov_chol). The received rows are the fixed prior of every
// sweep (their precisions solved once, before the sweeps); the carry is the running
// approximation as full covariances, factorised once after the last sweep.
nb::object fixed_prior_core(Function &self, Args &a) {
    Jax j(self);
    nb::object jnp = j.jnp;
    nb::object dtype = a[0], num_steps = a[1];
    auto in_type = [&](nb::handle v) { return jnp.attr("asarray")(v, nb::arg("dtype") = dtype); };
    nb::object X_aug = in_type(a[2]), yj = a[3], non_ref_j = a[4];
    nb::object prior_mean = in_type(a[5]), prior_chol = in_type(a[6]);
    nb::object alpha = in_type(a[7]);
    nb::object rows = prior_mean.attr("shape")[0], d_aug = prior_mean.attr("shape")[1];

    nb::object eye = jnp.attr("eye")(d_aug, nb::arg("dtype") = dtype);
    nb::object prior_prec = j.jax.attr("scipy").attr("linalg").attr("cho_solve")(
        nb::make_tuple(prior_chol, true), jnp.attr("broadcast_to")(eye, prior_chol.attr("shape")));
    nb::object prior_cov = j.matmul(prior_chol, jnp.attr("swapaxes")(prior_chol, -1, -2));

    nb::object update_one = closure(self, "update_one", {"i", "st"}, [=](Function &, Args &s) {
        nb::object i = s[0];
        Gaussian current{s[1][0], s[1][1]};
        BinaryProblem problem = binary_problem(j, X_aug, current.mean, yj, non_ref_j, i);
        Gaussian row{current.mean[i], current.cov[i]};
        Gaussian step = pg_class_step(j, X_aug, problem, prior_mean[i], prior_prec[i], row.mean, row.cov);
        Gaussian next = damp(alpha, row, step);
        return nb::object(nb::make_tuple(Jax::set_at(current.mean, i, next.mean),
                                         Jax::set_at(current.cov, i, next.cov)));
    });
    nb::object sweep = closure(self, "sweep", {"_", "state"}, [=](Function &, Args &s) {
        return j.lax().attr("fori_loop")(0, rows, update_one, s[1]);
    });

    nb::object final_state = j.lax().attr("fori_loop")(0, num_steps, sweep, nb::make_tuple(prior_mean, prior_cov));
    return nb::make_tuple(final_state[0], jnp.attr("linalg").attr("cholesky")(final_state[1]));
}

// ---------------------------------------------------------------- the entry point

nb::object update(Function &self, Args &a) {
    Jax j(self);
    nb::object np = j.np, int64 = np.attr("int64"), int32 = np.attr("int32");
    nb::handle model = a[MODEL];

    // Trials, converted and shape-checked, the caller's arrays never written.
    nb::object Xn = np.attr("asarray")(a[X], nb::arg("dtype") = np.attr("float64"));
    nb::object yn = np.attr("asarray")(a[Y]);
    if (nb::cast<long>(Xn.attr("ndim")) != 2)
        value_error("X must be 2D: (n_trials, n_features)");
    if (nb::cast<long>(yn.attr("ndim")) != 1)
        value_error("y must be 1D: (n_trials,)");
    if (!Xn.attr("shape")[0].equal(yn.attr("shape")[0]))
        value_error("X and y must have same number of rows");

    // Record reads interleaved with the checks, in the update's order; the learning-rate
    // and sweep checks come after every scalar read.
    const long long label_base = read_int(j, model, "label_base");
    nb::object y0 = yn.attr("astype")(int64) - nb::int_(label_base);
    if (compare(y0.attr("min")(), nb::int_(0), Py_LT))
        value_error("y out of range for label_base");
    const long long old_n_classes = read_int(j, model, "n_classes");
    const long long top = to_int64(y0.attr("max")());
    // (Saturated: an absurd label then fails in NumPy's allocation, not in an overflow.)
    const long long new_n_classes =
        top < old_n_classes ? old_n_classes : top + (top < std::numeric_limits<long long>::max());
    const long long ref_class = read_int(j, model, "ref_class");
    // A copy: the new record must not share this array with the old one.
    nb::object non_ref = np.attr("array")(entry(model, "non_ref_classes"), nb::arg("dtype") = int64);
    HyperPrior hyper{read_float(j, model, "w_loc"), read_float(j, model, "w_scale"),
                     read_float(j, model, "b_loc"), read_float(j, model, "b_scale")};
    const double alpha = read_float(j, model, "learning_rate");
    const long long num_steps = read_int(j, model, "num_steps");
    if (!(alpha > 0 && alpha <= 1))
        value_error("learning_rate must be in (0, 1]");
    if (num_steps < 1)
        value_error("num_steps must be >= 1");

    // Working type: float64 while JAX's 64-bit mode is on (the flag read on every call),
    // float32 otherwise, as for training.
    const bool x64 = PyObject_IsTrue(j.jax.attr("config").attr("jax_enable_x64").ptr()) == 1;
    nb::object dtype = j.jnp.attr(x64 ? "float64" : "float32");
    nb::object np_dtype = np.attr("dtype")(dtype);
    const long long n = to_int64(Xn.attr("shape")[0]);
    const long long F = to_int64(Xn.attr("shape")[1]);
    const long long d_aug = F + 1;
    nb::object stored_mean = entry(model, "beta_mean"), stored_chol = entry(model, "beta_cov_chol");
    nb::object beta_mean = np.attr("asarray")(stored_mean, nb::arg("dtype") = np_dtype);
    nb::object beta_cov_chol = np.attr("asarray")(stored_chol, nb::arg("dtype") = np_dtype);
    nb::object class_counts = np.attr("asarray")(entry(model, "class_counts"), nb::arg("dtype") = int64);

    // The record's entries must agree with one another and with the batch.
    check_record(old_n_classes, ref_class, non_ref, beta_mean, beta_cov_chol);
    check_record_types(j, stored_mean, stored_chol, false);
    nb::object counts_shape = class_counts.attr("shape");
    if (nb::len(counts_shape) != 1 || !counts_shape[0].equal(nb::int_(old_n_classes)))
        value_error("inconsistent model record: class_counts of shape " + text(counts_shape) +
                    ", expected (n_classes,) with n_classes " + std::to_string(old_n_classes));
    if (!beta_mean.attr("shape")[1].equal(nb::int_(d_aug)))
        value_error("X has " + std::to_string(F) + " features, but the model has " +
                    std::to_string(to_int64(beta_mean.attr("shape")[1]) - 1) +
                    " (beta_mean has n_features + 1 columns)");
    const long long rows = padded_rows(n);
    {
        // The carry twice over while the loop runs, the fixed prior (means, factors,
        // precisions), two matrices for a class step, the designs and the logits.
        const double d = (double) d_aug, r = (double) (new_n_classes - 1), t = (double) rows;
        const double elements = (3.0 * r + 2.0) * d * d + 4.0 * t * d + 3.0 * t * (r + 1.0);
        check_memory("update", elements * (double) to_int64(np_dtype.attr("itemsize")),
                     std::to_string(n) + " trials and " + std::to_string(new_n_classes - 1) +
                         " coefficient rows of " + std::to_string(d_aug) + " coefficients");
    }

    // Class growth: every index below the new class count that is neither the reference
    // nor has a row gets one, appended in ascending order, at the hyper-prior.
    if (new_n_classes > old_n_classes) {
        nb::object present = np.attr("append")(non_ref, ref_class);
        nb::object add = np.attr("setdiff1d")(np.attr("arange")(new_n_classes, nb::arg("dtype") = int64), present);
        if (nb::len(add) > 0) {
            hyper.check_usable();
            nb::object reps = nb::int_(nb::len(add));
            non_ref = np.attr("concatenate")(nb::make_tuple(non_ref, add)).attr("astype")(int64);
            beta_mean = np.attr("concatenate")(nb::make_tuple(
                beta_mean, np.attr("tile")(hyper.mean(j, F).attr("astype")(np_dtype), nb::make_tuple(reps, 1))));
            beta_cov_chol = np.attr("concatenate")(nb::make_tuple(
                beta_cov_chol,
                np.attr("tile")(hyper.factor(j, F).attr("astype")(np_dtype), nb::make_tuple(reps, 1, 1))));
        }
        class_counts = np.attr("concatenate")(nb::make_tuple(
            class_counts, np.attr("zeros")(new_n_classes - old_n_classes, nb::arg("dtype") = int64)));
    }
    nb::object new_counts =
        class_counts + np.attr("bincount")(y0, nb::arg("minlength") = new_n_classes).attr("astype")(int64);

    // The sweeps over the padded batch, in the compiled core.
    nb::object head = nb::slice(n);
    nb::object X_aug = np.attr("zeros")(nb::make_tuple(rows, d_aug), nb::arg("dtype") = np_dtype);
    X_aug[nb::make_tuple(head, nb::slice(F))] = Xn;
    X_aug[nb::make_tuple(head, nb::int_(F))] = nb::int_(1);
    nb::object yj = np.attr("full")(rows, -1, nb::arg("dtype") = int32);
    yj[head] = y0;
    nb::object core = compiled_core(
        self, "_fixed_prior_core",
        {"dtype", "num_steps", "X_aug", "yj", "non_ref_j", "beta_mean", "beta_cov_chol", "alpha"},
        nb::make_tuple(0, 1), fixed_prior_core);
    nb::object result = core(dtype, nb::int_(num_steps), X_aug, yj, non_ref.attr("astype")(int32), beta_mean,
                             beta_cov_chol, nb::float_(alpha));
    nb::object beta_mean_u = np.attr("array")(result[0]), beta_cov_u = np.attr("array")(result[1]);
    auto finite = [&](nb::handle v) { return PyObject_IsTrue(np.attr("isfinite")(v).attr("all")().ptr()) == 1; };
    if (!finite(beta_mean_u) || !finite(beta_cov_u))
        value_error("update produced a non-finite posterior: the inputs hold NaN or infinity, or the "
                    "features or the posterior's scales are too extreme for the working type " +
                    std::string(nb::str(np_dtype).c_str()));

    // A shallow copy of the record with six entries replaced; the old one is untouched.
    nb::object old_params = model.attr("params");
    nb::object params = PyDict_Check(old_params.ptr()) ? nb::steal(PyDict_Copy(old_params.ptr()))
                                                       : nb::handle((PyObject *) &PyDict_Type)(old_params);
    if (!params.is_valid())
        throw nb::python_error();
    params["backend"] = np.attr("array")("pg_softmax_ref", nb::arg("dtype") = nb::handle((PyObject *) &PyBaseObject_Type));
    params["n_classes"] = np.attr("array")(new_n_classes, nb::arg("dtype") = int64);
    params["non_ref_classes"] = non_ref;
    params["beta_mean"] = beta_mean_u;
    params["beta_cov_chol"] = beta_cov_u;
    params["class_counts"] = new_counts;
    return global(self, "KovaniModel")(nb::arg("model_type") = "kovani_softmax", nb::arg("params") = params);
}

}  // namespace

Declaration softmax_update_fixed_prior() {
    return {"kovani_softmax_update_fixed_prior",
            {{"model", "KovaniModel"}, {"X", "np.ndarray"}, {"y", "np.ndarray"}},
            "KovaniModel",
            "Update a softmax model with labeled observations, its posterior held as the prior.\n"
            "\n"
            "Every sweep takes the model's posterior as received as the prior of each class\n"
            "step, and refines only the running approximation (as the batch fit does from\n"
            "the hyper-prior), so the batch counts once whatever num_steps is. A posterior\n"
            "widened before the call therefore weighs exactly as much as it was widened to.\n"
            "Labels beyond the model's classes add classes at the stored hyper-prior.\n"
            "\n"
            "Args:\n"
            "    model: KovaniModel whose posterior is the prior of the update.\n"
            "    X: Feature matrix of shape (n_trials, n_features).\n"
            "    y: Integer labels of shape (n_trials,), counted from the model's label_base.\n"
            "\n"
            "Returns:\n"
            "    A new KovaniModel; the model passed in is left unchanged.\n"
            "\n"
            "Raises:\n"
            "    ValueError: If inputs have invalid shapes or labels, the feature count\n"
            "        differs from the model's, or the record is inconsistent.",
            update};
}

}  // namespace kovani::adaptation

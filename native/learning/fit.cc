// Batch fit: the trials and settings checked on the host, the class bookkeeping, the
// sweeps from the hyper-prior (model/sweeps.h), and the new record.
#include "learning.h"
#include "model/finite.h"
#include "model/memory.h"
#include "model/record.h"
#include "model/sweeps.h"
#include "model/working_type.h"

#include <cmath>
#include <utility>

namespace kovani::learning {
namespace {

enum FitArg { X, Y, N_CLASSES, LABEL_BASE, W_LOC, W_SCALE, B_LOC, B_SCALE, RNG_SEED, LEARNING_RATE, NUM_STEPS };

bool less_than(nb::handle value, long bound) { return compare(value, nb::int_(bound), Py_LT); }

// The settings, in their documented order.
void check_settings(Args &a) {
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

// The classes: the trials of each, and the reference, the most frequent (the lowest index
// on ties); the other indices, ascending, have the coefficient rows.
struct Classes {
    nb::object counts, non_ref;
    long long ref_class;
};

Classes bookkeeping(const Jax &j, nb::handle y0, long long K) {
    nb::object np = j.np, int64 = np.attr("int64");
    nb::object counts = np.attr("bincount")(y0, nb::arg("minlength") = K).attr("astype")(int64);
    const long long ref_class = to_int64(np.attr("argmax")(counts));
    nb::object non_ref = np.attr("delete")(np.attr("arange")(K, nb::arg("dtype") = int64), ref_class);
    return {counts, non_ref, ref_class};
}

nb::object fit(Function &self, Args &a) {
    Jax j(self);
    nb::object np = j.np;

    // 1. The trials, the settings and the labels, checked in order.
    model::Trials trials = model::convert_trials(j, a[X], a[Y]);
    check_settings(a);
    nb::object label_base = nb::steal(PyNumber_Long(a[LABEL_BASE].ptr()));
    if (!label_base.is_valid())
        throw nb::python_error();
    nb::object y0 = trials.yn.attr("astype")(np.attr("int64")) - label_base;
    if (less_than(y0.attr("min")(), 0) || compare(y0.attr("max")(), a[N_CLASSES], Py_GE))
        raise(PyExc_ValueError, "y out of range for n_classes/label_base");

    // 2. Before anything of size K or d_aug^2 is made: room for the sweeps.
    const long long K = to_int64(a[N_CLASSES]);
    const long long n = to_int64(trials.Xn.attr("shape")[0]), F = to_int64(trials.Xn.attr("shape")[1]);
    model::check_sweeps_memory("fit", 2, K - 1, F + 1, n,
                               model::item_size(j, model::training_type(j, trials.Xn.attr("dtype"))));

    // 3. The classes, then the sweeps in the working type, compiled once per shape.
    Classes classes = bookkeeping(j, y0, K);
    nb::object dtype = global(self, "_jax_dtype_from_numpy")(trials.Xn);
    nb::object int32 = np.attr("int32");
    model::HyperPrior prior{nb::cast<double>(a[W_LOC]), nb::cast<double>(a[W_SCALE]), nb::cast<double>(a[B_LOC]),
                            nb::cast<double>(a[B_SCALE])};
    model::Coefficients posterior = model::fit_sweeps(
        self, j,
        {dtype, trials.Xn, y0.attr("astype")(int32), classes.non_ref.attr("astype")(int32), prior, a[LEARNING_RATE],
         K, a[NUM_STEPS]},
        model::module_kernels(self));
    model::check_finite_posterior(j, "fit", posterior.beta_mean, posterior.beta_cov_chol, dtype);

    // 4. The record.
    return model::fit_record(self, j,
                             {K, classes.ref_class, label_base, a[W_LOC], a[W_SCALE], a[B_LOC], a[B_SCALE],
                              a[RNG_SEED], a[LEARNING_RATE], a[NUM_STEPS], classes.non_ref, posterior.beta_mean,
                              posterior.beta_cov_chol, classes.counts});
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

// The evidence of a model on labelled trials: the trials checked and the record read on
// the host, the bound computed by the model's core (model/evidence.h).
#include "learning.h"
#include "model/design.h"
#include "model/evidence.h"
#include "model/record.h"
#include "model/record_rule.h"

#include <string>

namespace kovani::learning {
namespace {

enum EvidenceArg { MODEL, X, Y };

nb::object evidence(Function &self, Args &a) {
    Jax j(self);
    nb::object np = j.np;

    // 1. The trials, then the record: labels within its classes, features of its width.
    model::Trials trials = model::convert_trials(j, a[X], a[Y]);
    model::Reader record = model::Reader::of_params(a[MODEL].attr("params"));
    const long long label_base = record.read_int(j, "label_base");
    model::Posterior p = model::read_posterior(j, record);
    nb::object y0 = trials.yn.attr("astype")(np.attr("int64")) - nb::int_(label_base);
    const long long n = to_int64(trials.Xn.attr("shape")[0]), F = to_int64(trials.Xn.attr("shape")[1]);
    if (n > 0 && (to_int64(y0.attr("min")()) < 0 || to_int64(y0.attr("max")()) >= p.n_classes))
        raise(PyExc_ValueError, "y out of range for n_classes/label_base");
    const long long d_aug = to_int64(p.beta_mean.attr("shape")[1]);
    if (F + 1 != d_aug) {
        std::string message = "X has " + std::to_string(F) + " features, but the model has " +
                              std::to_string(d_aug - 1);
        raise(PyExc_ValueError, message.c_str());
    }
    model::HyperPrior prior{record.read_float(j, "w_loc"), record.read_float(j, "w_scale"),
                            record.read_float(j, "b_loc"), record.read_float(j, "b_scale")};
    prior.check_usable("cannot compute the evidence");
    model::check_factors(j, p.beta_cov_chol);

    // 2. The bound in the working type of the trials, as the fit and the updates choose it.
    nb::object dtype = global(self, "_jax_dtype_from_numpy")(trials.Xn);
    nb::object int32 = np.attr("int32");
    nb::object bound = model::evidence(self, j,
                                       {dtype, trials.Xn, y0.attr("astype")(int32), p.non_ref.attr("astype")(int32),
                                        p.beta_mean, p.beta_cov_chol, prior});
    return nb::float_(nb::cast<double>(nb::float_(bound)));
}

}  // namespace

Declaration softmax_evidence() {
    return {"kovani_softmax_evidence",
            {{"model", "KovaniModel"}, {"X", "np.ndarray"}, {"y", "np.ndarray"}},
            "float",
            "Variational lower bound on the log marginal likelihood of the trials.\n"
            "\n"
            "The bound that the model's Gaussian posterior attains under its hyper-prior\n"
            "(w_loc, w_scale, b_loc, b_scale), each trial's Polya-Gamma variable at its\n"
            "optimum for that posterior. With more than two classes it is the sum of the\n"
            "bounds of the one-vs-rest class steps, the offsets at the posterior means.\n"
            "Higher is better; compare values on the same trials only.\n"
            "\n"
            "Args:\n"
            "    model: A fitted KovaniModel.\n"
            "    X: Feature matrix of shape (n_trials, n_features).\n"
            "    y: Integer labels of shape (n_trials,), counted from the record's label_base.\n"
            "\n"
            "Returns:\n"
            "    The bound, in nats, as a float.\n"
            "\n"
            "Raises:\n"
            "    ValueError: If inputs have invalid shapes or labels, or the record is invalid.",
            evidence};
}

}  // namespace kovani::learning

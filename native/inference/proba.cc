// Class probabilities and labels: the checks and the record's reads on the host, then a
// compiled core that takes the plug-in path for one sample and the Monte-Carlo path for
// more.
#include "inference.h"
#include "model/proba.h"
#include "model/record.h"

namespace kovani::inference {
namespace {

enum PredictArg { MODEL, X, NUM_POSTERIOR_SAMPLES, RNG_SEED };

nb::object predict_proba(Function &self, Args &a) {
    Jax j(self);
    // The plug-in path's collaborator, looked up only where it is used.
    nb::object logits_from_beta =
        a[NUM_POSTERIOR_SAMPLES].equal(nb::int_(1)) ? global(self, "_logits_from_beta") : nb::none();
    model::ProbaCall call = model::proba_call(self, j, a[MODEL], a[X], a[NUM_POSTERIOR_SAMPLES], a[RNG_SEED],
                                              global(self, "kovani_softmax"), logits_from_beta);
    return model::proba_result(j, call, call_core(self, model::proba_core, call.args, call.where.context));
}

nb::object predict(Function &self, Args &a) {
    Jax j(self);
    nb::object probs = global(self, "kovani_softmax_predict_proba")(a[MODEL], a[X], a[NUM_POSTERIOR_SAMPLES],
                                                                    a[RNG_SEED]);
    // Read only now: a record without it fails after the probabilities.
    const long long label_base = model::Reader::of_params(a[MODEL].attr("params")).read_int(j, "label_base");
    // argmax keeps the first of equal maxima: ties go to the lowest class index.
    nb::object index = j.np.attr("argmax")(probs, nb::arg("axis") = 1).attr("astype")(j.np.attr("int64"));
    return index + nb::int_(label_base);
}

}  // namespace

Declaration softmax_predict_proba() {
    return {"kovani_softmax_predict_proba", predict_params(), "np.ndarray",
            "Predict class probabilities for Bayesian multinomial softmax regression.", predict_proba};
}

Declaration softmax_predict() {
    return {"kovani_softmax_predict", predict_params(), "np.ndarray",
            "Predict the most likely class label for each row of X.", predict};
}

}  // namespace kovani::inference

// Module `inference`: the prediction side. Each declaration is published in the order
// module.cc lists them.
#pragma once

#include "kovani/binding.h"

#include <vector>

namespace kovani::inference {

// The parameters of every prediction entry point, in order.
inline const std::vector<Param> &predict_params() {
    static const std::vector<Param> params = {{"model", "KovaniModel"},
                                              {"X", "np.ndarray"},
                                              {"num_posterior_samples", "int", Conv::Int},
                                              {"rng_seed", "int", Conv::Int}};
    return params;
}

Declaration logits_from_beta();
Declaration softmax_predict_proba();
Declaration softmax_predict();
Declaration softmax_predict_samples();

}  // namespace kovani::inference

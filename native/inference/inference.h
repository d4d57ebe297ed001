// Module `inference`: the prediction side. Each declaration is published in the order
// module.cc lists them.
#pragma once

#include "kovani/binding.h"

namespace kovani::inference {

Declaration logits_from_beta();
Declaration softmax_predict_proba();
Declaration softmax_predict();
Declaration softmax_predict_samples();

}  // namespace kovani::inference

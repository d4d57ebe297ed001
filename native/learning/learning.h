// Module `learning`: the training side. Each declaration is published in the order
// module.cc lists them.
#pragma once

#include "kovani/binding.h"

namespace kovani::learning {

Declaration jax_dtype_from_numpy();
Declaration pg_expected_omega();
Declaration pg_binary_update();
Declaration build_logits();
Declaration softmax_fit();
Declaration softmax_update();
Declaration softmax_evidence();
Declaration race_update();

}  // namespace kovani::learning

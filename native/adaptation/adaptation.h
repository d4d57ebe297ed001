// Module `adaptation`: record-to-record capabilities for adapting a fitted model (to a new
// session, to drift) that the training module's functions lack. Each declaration is
// published in the order module.cc lists them.
#pragma once

#include "kovani/binding.h"

namespace kovani::adaptation {

Declaration softmax_update_fixed_prior();

}  // namespace kovani::adaptation

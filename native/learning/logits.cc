#include "learning.h"

namespace kovani::learning {

Declaration build_logits() {
    return {"_build_logits", {}, "", "", [](Function &, Args &) -> nb::object {
                raise(PyExc_NotImplementedError, "_build_logits is not built yet");
            }};
}

}  // namespace kovani::learning

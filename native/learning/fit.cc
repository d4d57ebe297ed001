#include "learning.h"

namespace kovani::learning {

Declaration softmax_fit() {
    return {"kovani_softmax_fit", {}, "", "", [](Function &, Args &) -> nb::object {
                raise(PyExc_NotImplementedError, "kovani_softmax_fit is not built yet");
            }};
}

}  // namespace kovani::learning

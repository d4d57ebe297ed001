#include "learning.h"

namespace kovani::learning {

Declaration softmax_update() {
    return {"kovani_softmax_update", {}, "", "", [](Function &, Args &) -> nb::object {
                raise(PyExc_NotImplementedError, "kovani_softmax_update is not built yet");
            }};
}

}  // namespace kovani::learning

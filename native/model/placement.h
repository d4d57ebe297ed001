// Where and how a compiled core runs, as kovani_bci.placement decides it (that module says
// how): the context to hand call_core (its device, its BLAS threads), and whether the core
// runs on the CPU, the only place where the fast paths' host loops may run.
#pragma once

#include "kovani/jax.h"

namespace kovani::model {

struct Placement {
    nb::object context;  // a Python context manager, or None: as JAX would run it
    bool on_host;
};

// For a core of about `work` multiply-adds; `keep_on_host`: the call has a CPU form that
// costs less than the accelerator's; `size`: rows of the largest matrix the core
// factorises or solves, 0 for none.
Placement place(double work, bool keep_on_host, long long size);

}  // namespace kovani::model

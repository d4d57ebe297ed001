// Where a compiled core runs, as kovani_bci.placement decides it (that module says how):
// the device to hand call_core, and whether the core runs on the CPU, the only place where
// the fast paths' host loops may run.
#pragma once

#include "kovani/jax.h"

namespace kovani::model {

struct Placement {
    nb::object device;  // a jax.Device, or None: JAX's own placement
    bool on_host;
};

// For a core of about `work` multiply-adds; `keep_on_host`: the call has a CPU form that
// costs less than the accelerator's.
Placement place(double work, bool keep_on_host = false);

}  // namespace kovani::model

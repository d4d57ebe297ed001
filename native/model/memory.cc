#include "model/memory.h"

#include "model/working_type.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>

namespace kovani::model {

double as_size(nb::handle value) {
    double d = PyFloat_AsDouble(value.ptr());
    if (d == -1.0 && PyErr_Occurred()) {
        // An integer beyond a double: as large as can be.
        PyErr_Clear();
        return HUGE_VAL;
    }
    return d;
}

namespace {

// Read once: sysconf asks the kernel (a system call) on every call, and the guards run on
// every call of the live loop.
double physical_memory() {
    static const double bytes = (double) sysconf(_SC_PHYS_PAGES) * (double) sysconf(_SC_PAGESIZE);
    return bytes;
}

}  // namespace

void check_memory(const char *what, double bytes, const std::string &detail) {
    const double have = physical_memory();
    if (!(have > 0) || bytes <= have)
        return;
    const double gib = 1024.0 * 1024.0 * 1024.0;
    char sizes[2][32];
    std::snprintf(sizes[0], sizeof sizes[0], "%.1f", bytes / gib);
    std::snprintf(sizes[1], sizeof sizes[1], "%.1f", have / gib);
    raise(PyExc_MemoryError, (std::string(what) + " needs at least " + sizes[0] + " GiB for " + detail +
                              ", more than this machine's " + sizes[1] + " GiB of memory")
                                 .c_str());
}

double logits_bytes(const Jax &j, nb::handle n, nb::handle K, nb::handle dtype) {
    const double rows = as_size(n), cols = as_size(K);
    if (!(rows > 0 && cols > 0))
        return 0;
    return rows * cols * item_size(j, dtype);
}

void check_sweeps_memory(const char *what, double matrices, long long rows, long long d_aug, long long n,
                         double item_size) {
    const double d = (double) d_aug, r = (double) rows, trials = (double) n;
    const double elements = (matrices * r + 2.0) * d * d + 4.0 * trials * d + 3.0 * trials * (r + 1.0);
    check_memory(what, item_size * elements,
                 std::to_string(n) + " trials and " + std::to_string(rows) + " coefficient rows of " +
                     std::to_string(d_aug) + " coefficients");
}

}  // namespace kovani::model

#include "model/working_type.h"

namespace kovani::model {

nb::object training_type(const Jax &j, nb::handle input_dtype) {
    const bool wide = nb::borrow(input_dtype).equal(j.np.attr("float64")) &&
                      truthy(j.jax.attr("config").attr("jax_enable_x64"));
    return j.jnp.attr(wide ? "float64" : "float32");
}

nb::object held_type(const Jax &j, nb::handle dtype) {
    return j.jax.attr("dtypes").attr("canonicalize_dtype")(dtype);
}

double item_size(const Jax &j, nb::handle dtype) {
    return nb::cast<double>(j.np.attr("dtype")(held_type(j, dtype)).attr("itemsize"));
}

}  // namespace kovani::model

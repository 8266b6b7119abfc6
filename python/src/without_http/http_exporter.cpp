// The module built without the HTTP exporter library: HttpExporter and BarrierRequest are absent,
// so that `hasattr(quillon_monitoring, "HttpExporter")` tells whether this build serves HTTP.
#include "../bindings.hpp"

namespace Quillon::Core::Monitoring::Python {

void bindHttpExporter(pybind11::module_& /*module*/) {}

}  // namespace Quillon::Core::Monitoring::Python

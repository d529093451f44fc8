// torvex.dto.snib: the pivot record Snib.
#include <cstddef>

#include "core/records.hpp"
#include "python/record.hpp"

namespace torvex::dto::snib {

namespace record = py::record;

extern PyModuleDef module;

struct SnibObject {
  PyObject_HEAD core::Snib value;
};

constexpr record::Field fields[] = {
    record::int32_field("n", offsetof(SnibObject, value.n)),
    record::int32_field("m", offsetof(SnibObject, value.m)),
    record::float64_field("price", offsetof(SnibObject, value.price)),
    record::float64_field("close_at_pivot", offsetof(SnibObject, value.close_at_pivot)),
    record::int32_field("bar_index_at_pivot", offsetof(SnibObject, value.bar_index_at_pivot)),
    record::int32_field("bar_time_at_pivot", offsetof(SnibObject, value.bar_time_at_pivot)),
    record::boolean_field("is_high", offsetof(SnibObject, value.is_high)),
    record::boolean_field("is_trending", offsetof(SnibObject, value.is_trending)),
    record::boolean_field("used", offsetof(SnibObject, value.used)),
    record::float64_field("close_avg_percent", offsetof(SnibObject, value.close_avg_percent)),
};
// close_avg_percent comes before used in the call, unlike in storage.
constexpr const char* params[] = {
    "n",
    "m",
    "price",
    "close_at_pivot",
    "bar_index_at_pivot",
    "bar_time_at_pivot",
    "is_high",
    "is_trending",
    "close_avg_percent",
    "used",
};
constexpr auto param_fields = record::fields_of(fields, params);
constexpr auto state = record::alphabetical(fields);

constexpr record::RecordClass snib_class{
    .name = "torvex.dto.snib.Snib",
    .summary = "One confirmed pivot: its bar, time, price and the context it was admitted in.",
    .module = &module,
    .index = 0,
    .basicsize = sizeof(SnibObject),
    .fields = fields,
    .params = params,
    .param_fields = param_fields,
    .required = 9,
    .state = state,
    .checksums = {0xb1885ec, 0x7e5df58, 0x1f49317},
    .reconstructor = "__pyx_unpickle_Snib",
    .copyable = true,
    .methods = {},
};

constexpr record::RecordModule records{.names = {}};

PyMethodDef functions[] = {record::reconstructor<snib_class>(), {nullptr, nullptr, 0, nullptr}};

PyModuleDef module = record::ModuleHolder::definition<record::exec<records, snib_class>>(
    "torvex.dto.snib", "The pivot record Snib.", functions);

}  // namespace torvex::dto::snib

PyMODINIT_FUNC PyInit_snib() {
  return PyModuleDef_Init(&torvex::dto::snib::module);
}

#include "sparkplug_payload.h"

#include "sparkplug_b.pb-c.h"

#include <cstdlib>
#include <memory>
#include <stdexcept>

namespace gateway::sparkplug {

namespace {

using PbPayload = Kiv__Sparkplug__Payload;
using PbMetric = Kiv__Sparkplug__Metric;
using PbPropertySet = Kiv__Sparkplug__PropertySet;
using PbPropertyValue = Kiv__Sparkplug__PropertyValue;

// The value field a type is written in.
enum class Field { none, int_value, long_value, float_value, double_value, boolean_value, string_value };

Field field_of(DataType t)
{
    switch (t) {
    case DataType::Int8: case DataType::Int16: case DataType::Int32:
    case DataType::UInt8: case DataType::UInt16:
        return Field::int_value;
    // UInt32 does not fit a signed 32-bit int, which many hosts read
    // int_value as.
    case DataType::Int64: case DataType::UInt32: case DataType::UInt64: case DataType::DateTime:
        return Field::long_value;
    case DataType::Float: return Field::float_value;
    case DataType::Double: return Field::double_value;
    case DataType::Boolean: return Field::boolean_value;
    case DataType::String: case DataType::Text: case DataType::UUID:
        return Field::string_value;
    default:
        return Field::none;
    }
}

// protobuf-c writes from char *, and never through it.
char *text(const std::string &s) { return const_cast<char *>(s.c_str()); }

template <class T>
const T &alternative(const Metric &m)
{
    if (const T *v = std::get_if<T>(&m.value))
        return *v;
    throw std::invalid_argument("sparkplug metric \"" + m.name + "\": the value is not of its type");
}

void set_value(PbMetric &pb, const Metric &m)
{
    switch (field_of(m.type)) {
    case Field::int_value:
        pb.value_case = KIV__SPARKPLUG__METRIC__VALUE_INT_VALUE;
        // A signed type's two's complement, cut to 32 bits as hosts expect.
        pb.int_value = static_cast<std::uint32_t>(alternative<std::uint64_t>(m));
        return;
    case Field::long_value:
        pb.value_case = KIV__SPARKPLUG__METRIC__VALUE_LONG_VALUE;
        pb.long_value = alternative<std::uint64_t>(m);
        return;
    case Field::float_value:
        pb.value_case = KIV__SPARKPLUG__METRIC__VALUE_FLOAT_VALUE;
        pb.float_value = static_cast<float>(alternative<double>(m));
        return;
    case Field::double_value:
        pb.value_case = KIV__SPARKPLUG__METRIC__VALUE_DOUBLE_VALUE;
        pb.double_value = alternative<double>(m);
        return;
    case Field::boolean_value:
        pb.value_case = KIV__SPARKPLUG__METRIC__VALUE_BOOLEAN_VALUE;
        pb.boolean_value = alternative<bool>(m);
        return;
    case Field::string_value:
        pb.value_case = KIV__SPARKPLUG__METRIC__VALUE_STRING_VALUE;
        pb.string_value = text(alternative<std::string>(m));
        return;
    case Field::none:
        break;
    }
    throw std::invalid_argument("sparkplug metric \"" + m.name + "\": a type this encoder does not write");
}

// The C structures of one metric's properties, alive while it is packed.
struct Properties {
    PbPropertySet set;
    std::vector<char *> keys;
    std::vector<PbPropertyValue> values;
    std::vector<PbPropertyValue *> value_pointers;

    explicit Properties(const Metric &m)
    {
        kiv__sparkplug__property_set__init(&set);
        values.resize(m.properties.size());
        for (std::size_t i = 0; i < m.properties.size(); ++i) {
            keys.push_back(text(m.properties[i].first));
            PbPropertyValue &v = values[i];
            kiv__sparkplug__property_value__init(&v);
            v.has_type = true;
            v.type = static_cast<std::uint32_t>(DataType::String);
            v.value_case = KIV__SPARKPLUG__PROPERTY_VALUE__VALUE_STRING_VALUE;
            v.string_value = text(m.properties[i].second);
            value_pointers.push_back(&v);
        }
        set.n_keys = keys.size();
        set.keys = keys.data();
        set.n_values = value_pointers.size();
        set.values = value_pointers.data();
    }
};

void fill(PbMetric &pb, const Metric &m, std::vector<std::unique_ptr<Properties>> &properties)
{
    kiv__sparkplug__metric__init(&pb);
    if (!m.name.empty())
        pb.name = text(m.name);
    pb.has_alias = m.alias != 0;
    pb.alias = m.alias;
    pb.has_timestamp = m.timestamp != 0;
    pb.timestamp = m.timestamp;
    pb.has_datatype = true;
    pb.datatype = static_cast<std::uint32_t>(m.type);
    pb.has_is_historical = m.historical;
    pb.is_historical = m.historical;
    if (m.is_null) {
        pb.has_is_null = true;
        pb.is_null = true;
    } else {
        set_value(pb, m);
    }
    if (!m.properties.empty()) {
        properties.push_back(std::make_unique<Properties>(m));
        pb.properties = &properties.back()->set;
    }
}

// protobuf-c allocates what it unpacks through this: a payload that would
// need more than the budget is refused, whatever its bytes claim.
struct Budget {
    std::size_t left;
};

void *budgeted_alloc(void *data, std::size_t size)
{
    auto *budget = static_cast<Budget *>(data);
    if (size > budget->left)
        return nullptr;
    budget->left -= size;
    return std::malloc(size == 0 ? 1 : size);
}

void budgeted_free(void *, void *pointer)
{
    std::free(pointer);
}

// Far above what a command to one gateway holds, far below what hurts it.
constexpr std::size_t decode_budget = 4u << 20;

// The type of a value that came without a datatype.
DataType type_of(Kiv__Sparkplug__Metric__ValueCase c)
{
    switch (c) {
    case KIV__SPARKPLUG__METRIC__VALUE_INT_VALUE: return DataType::Int32;
    case KIV__SPARKPLUG__METRIC__VALUE_LONG_VALUE: return DataType::UInt64;
    case KIV__SPARKPLUG__METRIC__VALUE_FLOAT_VALUE: return DataType::Float;
    case KIV__SPARKPLUG__METRIC__VALUE_DOUBLE_VALUE: return DataType::Double;
    case KIV__SPARKPLUG__METRIC__VALUE_BOOLEAN_VALUE: return DataType::Boolean;
    case KIV__SPARKPLUG__METRIC__VALUE_STRING_VALUE: return DataType::String;
    default: return DataType::Unknown;
    }
}

bool signed_32(DataType t)
{
    return t == DataType::Int8 || t == DataType::Int16 || t == DataType::Int32;
}

// The value of a received metric; false when it contradicts its type.
bool read_value(const PbMetric &pb, Metric &m)
{
    const Field want = field_of(m.type);
    if (m.is_null || want == Field::none || pb.value_case == KIV__SPARKPLUG__METRIC__VALUE__NOT_SET) {
        m.is_null = true;
        return true;
    }
    switch (pb.value_case) {
    case KIV__SPARKPLUG__METRIC__VALUE_INT_VALUE:
        // Some hosts write a UInt32 in int_value.
        if (want != Field::int_value && m.type != DataType::UInt32)
            return false;
        m.value = signed_32(m.type) ? static_cast<std::uint64_t>(static_cast<std::int32_t>(pb.int_value))
                                    : std::uint64_t{pb.int_value};
        return true;
    case KIV__SPARKPLUG__METRIC__VALUE_LONG_VALUE:
        if (want != Field::long_value)
            return false;
        m.value = pb.long_value;
        return true;
    case KIV__SPARKPLUG__METRIC__VALUE_FLOAT_VALUE:
        if (want != Field::float_value)
            return false;
        m.value = double{pb.float_value};
        return true;
    case KIV__SPARKPLUG__METRIC__VALUE_DOUBLE_VALUE:
        if (want != Field::double_value)
            return false;
        m.value = pb.double_value;
        return true;
    case KIV__SPARKPLUG__METRIC__VALUE_BOOLEAN_VALUE:
        if (want != Field::boolean_value)
            return false;
        m.value = pb.boolean_value != 0;
        return true;
    case KIV__SPARKPLUG__METRIC__VALUE_STRING_VALUE:
        if (want != Field::string_value)
            return false;
        m.value = std::string(pb.string_value);
        return true;
    default:
        return false;
    }
}

} // namespace

std::string encode(const Payload &p)
{
    std::vector<PbMetric> metrics(p.metrics.size());
    std::vector<PbMetric *> metric_pointers;
    std::vector<std::unique_ptr<Properties>> properties;
    for (std::size_t i = 0; i < p.metrics.size(); ++i) {
        fill(metrics[i], p.metrics[i], properties);
        metric_pointers.push_back(&metrics[i]);
    }
    PbPayload pb;
    kiv__sparkplug__payload__init(&pb);
    pb.has_timestamp = p.timestamp != 0;
    pb.timestamp = p.timestamp;
    pb.has_seq = p.seq.has_value();
    pb.seq = p.seq.value_or(0);
    pb.n_metrics = metric_pointers.size();
    pb.metrics = metric_pointers.data();
    std::string out(kiv__sparkplug__payload__get_packed_size(&pb), '\0');
    kiv__sparkplug__payload__pack(&pb, reinterpret_cast<std::uint8_t *>(out.data()));
    return out;
}

std::optional<Payload> decode(std::string_view bytes)
{
    if (bytes.size() > max_decoded_bytes)
        return std::nullopt;
    Budget budget{decode_budget};
    ProtobufCAllocator allocator{budgeted_alloc, budgeted_free, &budget};
    PbPayload *pb = kiv__sparkplug__payload__unpack(&allocator, bytes.size(),
                                                    reinterpret_cast<const std::uint8_t *>(bytes.data()));
    if (pb == nullptr)
        return std::nullopt;
    auto release = [&allocator](PbPayload *q) { kiv__sparkplug__payload__free_unpacked(q, &allocator); };
    std::unique_ptr<PbPayload, decltype(release)> owner(pb, release);

    Payload p;
    p.timestamp = pb->has_timestamp ? pb->timestamp : 0;
    if (pb->has_seq)
        p.seq = pb->seq;
    p.metrics.reserve(pb->n_metrics);
    for (std::size_t i = 0; i < pb->n_metrics; ++i) {
        const PbMetric &in = *pb->metrics[i];
        Metric m;
        if (in.name != nullptr)
            m.name = in.name;
        m.alias = in.has_alias ? in.alias : 0;
        m.timestamp = in.has_timestamp ? in.timestamp : 0;
        m.type = in.has_datatype ? static_cast<DataType>(in.datatype) : type_of(in.value_case);
        m.is_null = in.has_is_null && in.is_null;
        m.historical = in.has_is_historical && in.is_historical;
        if (!read_value(in, m))
            return std::nullopt;
        p.metrics.push_back(std::move(m));
    }
    return p;
}

std::string with_seq(std::string encoded_without_seq, std::uint64_t seq)
{
    std::string out = std::move(encoded_without_seq);
    out += static_cast<char>(0x18);  // field 3, varint
    do {
        auto byte = static_cast<unsigned char>(seq & 0x7f);
        seq >>= 7;
        if (seq != 0)
            byte |= 0x80;
        out += static_cast<char>(byte);
    } while (seq != 0);
    return out;
}

} // namespace gateway::sparkplug

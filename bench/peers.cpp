#include "peers.hpp"

#include <charconv>
#include <optional>
#include <string>
#include <string_view>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <nlohmann/json.hpp>

namespace Quillon::Bench {
namespace {

namespace qm = Core::Monitoring;
using RapidWriter = rapidjson::Writer<rapidjson::StringBuffer>;

void key(RapidWriter& writer, std::string_view name) {
  writer.Key(name.data(), static_cast<rapidjson::SizeType>(name.size()));
}

void string(RapidWriter& writer, std::string_view text) {
  writer.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
}

void optionalString(RapidWriter& writer, const std::optional<std::string>& text) {
  if (text) {
    string(writer, *text);
  } else {
    writer.Null();
  }
}

void stringMap(RapidWriter& writer, const qm::AttributeMap& map) {
  writer.StartObject();
  for (const auto& [name, value] : map) {
    key(writer, name);
    string(writer, value);
  }
  writer.EndObject();
}

void number17(RapidWriter& writer, double value) {
  char text[64];
  const auto end = std::to_chars(text, text + sizeof text, value, std::chars_format::general, 17);
  writer.RawValue(text, static_cast<std::size_t>(end.ptr - text), rapidjson::kNumberType);
}

nlohmann::ordered_json optionalJson(const std::optional<std::string>& text) {
  return text ? nlohmann::ordered_json(*text) : nlohmann::ordered_json(nullptr);
}

}  // namespace

std::string rapidjsonObservationDocument(const qm::Observation& record) {
  rapidjson::StringBuffer buffer;
  RapidWriter writer(buffer);
  writer.StartObject();
  key(writer, "declared");
  if (const auto& declared = record.declared) {
    writer.StartObject();
    key(writer, "attributes");
    stringMap(writer, declared->attributes);
    key(writer, "config_hash");
    string(writer, declared->config_hash);
    key(writer, "type");
    string(writer, declared->type);
    writer.EndObject();
  } else {
    writer.Null();
  }
  key(writer, "entity");
  writer.StartObject();
  key(writer, "id");
  string(writer, record.entity.id);
  key(writer, "kind");
  string(writer, qm::toString(record.entity.kind));
  key(writer, "parent");
  optionalString(writer, record.entity.parent);
  writer.EndObject();
  key(writer, "epoch");
  writer.Uint64(record.epoch);
  key(writer, "extensions");
  stringMap(writer, record.extensions);
  key(writer, "logical_time");
  writer.Int64(record.logical_time);
  key(writer, "observed");
  if (const auto& observed = record.observed) {
    writer.StartObject();
    key(writer, "attributes");
    stringMap(writer, observed->attributes);
    key(writer, "health");
    string(writer, qm::toString(observed->health));
    key(writer, "last_observed_ns");
    writer.Uint64(observed->last_observed_ns);
    key(writer, "lifecycle");
    string(writer, qm::toString(observed->lifecycle));
    key(writer, "pressure");
    number17(writer, observed->pressure);
    key(writer, "ready");
    writer.Bool(observed->ready);
    writer.EndObject();
  } else {
    writer.Null();
  }
  key(writer, "observed_at_ns");
  writer.Uint64(record.observed_at_ns);
  key(writer, "planned");
  if (const auto& planned = record.planned) {
    writer.StartObject();
    key(writer, "attributes");
    stringMap(writer, planned->attributes);
    key(writer, "device_id");
    optionalString(writer, planned->device_id);
    key(writer, "host_id");
    optionalString(writer, planned->host_id);
    key(writer, "placement_hash");
    string(writer, planned->placement_hash);
    writer.EndObject();
  } else {
    writer.Null();
  }
  key(writer, "schema");
  string(writer, record.schema);
  key(writer, "sequence");
  writer.Uint64(record.sequence);
  key(writer, "system_id");
  string(writer, record.system_id);
  writer.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize());
}

std::string nlohmannObservationDocument(const qm::Observation& record) {
  using Json = nlohmann::ordered_json;
  Json document = Json::object();
  if (const auto& declared = record.declared) {
    document["declared"] = Json{{"attributes", declared->attributes},
                                {"config_hash", declared->config_hash},
                                {"type", declared->type}};
  } else {
    document["declared"] = nullptr;
  }
  document["entity"] = Json{{"id", record.entity.id},
                            {"kind", qm::toString(record.entity.kind)},
                            {"parent", optionalJson(record.entity.parent)}};
  document["epoch"] = record.epoch;
  document["extensions"] = record.extensions;
  document["logical_time"] = record.logical_time;
  if (const auto& observed = record.observed) {
    document["observed"] = Json{{"attributes", observed->attributes},
                                {"health", qm::toString(observed->health)},
                                {"last_observed_ns", observed->last_observed_ns},
                                {"lifecycle", qm::toString(observed->lifecycle)},
                                {"pressure", observed->pressure},
                                {"ready", observed->ready}};
  } else {
    document["observed"] = nullptr;
  }
  document["observed_at_ns"] = record.observed_at_ns;
  if (const auto& planned = record.planned) {
    document["planned"] = Json{{"attributes", planned->attributes},
                               {"device_id", optionalJson(planned->device_id)},
                               {"host_id", optionalJson(planned->host_id)},
                               {"placement_hash", planned->placement_hash}};
  } else {
    document["planned"] = nullptr;
  }
  document["schema"] = record.schema;
  document["sequence"] = record.sequence;
  document["system_id"] = record.system_id;
  return document.dump();
}

std::string byteAtATimeJsonString(std::string_view text) {
  constexpr std::string_view hex = "0123456789abcdef";
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (byte) {
      case '"':
        out.append("\\\"");
        break;
      case '\\':
        out.append("\\\\");
        break;
      case '\b':
        out.append("\\b");
        break;
      case '\t':
        out.append("\\t");
        break;
      case '\n':
        out.append("\\n");
        break;
      case '\f':
        out.append("\\f");
        break;
      case '\r':
        out.append("\\r");
        break;
      default:
        if (byte < 0x20) {
          out.append("\\u00");
          out.push_back(hex[byte >> 4]);
          out.push_back(hex[byte & 0xF]);
        } else {
          out.push_back(c);
        }
    }
  }
  out.push_back('"');
  return out;
}

}  // namespace Quillon::Bench

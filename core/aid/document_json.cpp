#include "core/aid/document_json.hpp"

#include <optional>
#include <utility>

#include "core/json/reader.hpp"
#include "core/json/writer.hpp"

namespace quorvex::aid {

Result<std::string> document_to_json(const AidDocument& document) {
  return json::to_json(document, json::Layout::Pretty);
}

Result<AidDocument> document_from_json(std::string_view text) {
  return json::read<AidDocument>(text);
}

Result<nlohmann::json> metadata_object(const AgentMetadata& metadata) {
  nlohmann::json object = nlohmann::json::object();
  object["name"] = metadata.name;
  const auto optional_member = [&](const char* name, const std::optional<std::string>& value) {
    if (value) object[name] = *value;
  };
  optional_member("description", metadata.description);
  optional_member("model", metadata.model);
  optional_member("runtime", metadata.runtime);
  optional_member("configAttestation", metadata.config_attestation);
  // The writer is the judge of what may go into JSON text.
  std::string scratch;
  json::Writer w(scratch);
  w.generic(object);
  if (auto written = w.finish(); !written) return fail(written.error());
  return object;
}

}  // namespace quorvex::aid

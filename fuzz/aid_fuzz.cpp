// AID document JSON, parsed and then validated as AID.from_json does.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/aid/document.hpp"
#include "core/aid/document_json.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto document = quorvex::aid::document_from_json(text);
  if (document) static_cast<void>(quorvex::aid::validate_aid_document(*document));
  return 0;
}

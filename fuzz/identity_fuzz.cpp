// An identity directory's two files, as load_identity parses them: the input is the text of
// secret.key, a NUL byte, then the text of aid.json.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/aid/document.hpp"
#include "core/aid/document_json.hpp"
#include "core/crypto/encoding.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::size_t split = text.find('\0');
  static_cast<void>(quorvex::crypto::hex_decode(text.substr(0, split)));
  if (split == std::string_view::npos) return 0;
  auto document = quorvex::aid::document_from_json(text.substr(split + 1));
  if (document) static_cast<void>(quorvex::aid::validate_aid_document(*document));
  return 0;
}

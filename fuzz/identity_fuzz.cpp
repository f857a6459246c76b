// An identity directory's two files, as load_identity parses them: the input is the text of
// secret.key, a NUL byte, then the text of aid.json.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/aid/document.hpp"
#include "core/aid/document_json.hpp"
#include "core/aid/store.hpp"
#include "core/base/text.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::size_t split = text.find('\0');
  // load_identity refuses a key file that is not UTF-8 before decoding it.
  const std::string_view key_text = text.substr(0, split);
  if (quorvex::valid_utf8(key_text) == key_text) {
    static_cast<void>(quorvex::aid::key_from_text(key_text));
  }
  if (split == std::string_view::npos) return 0;
  auto document = quorvex::aid::document_from_json(text.substr(split + 1));
  if (document) static_cast<void>(quorvex::aid::validate_aid_document(*document));
  return 0;
}

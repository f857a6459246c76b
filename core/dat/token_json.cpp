#include "core/dat/token_json.hpp"

#include "core/json/reader.hpp"
#include "core/json/writer.hpp"

namespace quorvex::dat {

Result<void> append_header_json(std::string& out, const DatHeader& header) {
  json::Writer w(out);
  json::write_record(w, header);
  return w.finish();
}

Result<void> append_claims_json(std::string& out, const DatClaims& claims) {
  json::Writer w(out);
  json::write_record(w, claims);
  return w.finish();
}

std::string encode_header(const DatHeader& header) {
  std::string out;
  out.reserve(64 + header.alg.size() + header.typ.size() + header.kid.size());
  static_cast<void>(append_header_json(out, header));
  return out;
}

std::string encode_claims(const DatClaims& claims) {
  std::string out;
  out.reserve(1024);
  static_cast<void>(append_claims_json(out, claims));
  return out;
}

Result<DatHeader> decode_header(std::string_view json) { return json::read<DatHeader>(json); }

Result<DatClaims> decode_claims(std::string_view json) { return json::read<DatClaims>(json); }

}  // namespace quorvex::dat

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/aid/builder.hpp"
#include "core/aid/document.hpp"
#include "core/aid/document_json.hpp"
#include "core/aid/identifier.hpp"
#include "core/crypto/encoding.hpp"
#include "core/tests/aid_test_util.hpp"

namespace quorvex::aid {
namespace {

using test_util::expect_error;
using test_util::kCreated;
using test_util::key;
using test_util::to_json;

AidDocument built(AidBuilder builder) {
  auto document = builder.build(kCreated);
  EXPECT_TRUE(document.has_value());
  return std::move(*document);
}

AidBuilder alice_builder() {
  AidBuilder b;
  b.id("did:aid:agents.test:alice");
  b.controller("did:aid:agents.test:controller");
  b.name("alice");
  b.add_ed25519_key(key(7));
  return b;
}

AidDocument minimal() {
  AidDocument d;
  d.context = {"c"};
  d.id = "did:aid:x.y:a";
  d.controller = "did:x";
  d.verification_method = {{"#k", "t", "", "z"}};
  d.authentication = {"#k"};
  return d;
}

TEST(AidIdentifierTest, ParsesDomainAndLocalName) {
  const std::vector<std::array<std::string_view, 3>> cases = {
      {"did:aid:agents.test:my-agent-01", "agents.test", "my-agent-01"},
      {"did:aid:.:x", ".", "x"},
      {"did:aid:Ab.CD:x", "Ab.CD", "x"},
      {"did:aid:a b.é:---", "a b.é", "---"},
  };
  for (const auto& [text, domain, name] : cases) {
    auto id = parse_aid_identifier(text);
    ASSERT_TRUE(id.has_value()) << text;
    EXPECT_EQ(id->domain, domain);
    EXPECT_EQ(id->local_name, name);
  }
  EXPECT_EQ(format_aid_identifier("d.e", "n"), "did:aid:d.e:n");
}

TEST(AidIdentifierTest, NamesTheFirstBrokenRule) {
  const std::vector<std::pair<std::string_view, std::string_view>> cases = {
      {"", "expected did:aid:{domain}:{name}, got: "},
      {"did:key:abc", "expected did:aid:{domain}:{name}, got: did:key:abc"},
      {"did:aid:x.y", "expected did:aid:{domain}:{name}, got: did:aid:x.y"},
      {"did:web:agents.test:agent", "expected did:aid:..., got: did:web:agents.test:agent"},
      {"DID:aid:agents.test:agent", "expected did:aid:..., got: DID:aid:agents.test:agent"},
      {"did:AID:a.b:c", "expected did:aid:..., got: did:AID:a.b:c"},
      {"did:aid:localhost:agent", "invalid domain: localhost"},
      {"did:aid::agent", "invalid domain: "},
      {"did:aid:localhost:Bad_Name", "invalid domain: localhost"},  // domain first
      {"did:aid:agents.test:", "local name must be lowercase alphanumeric with hyphens: "},
      {"did:aid:agents.test:Agent",
       "local name must be lowercase alphanumeric with hyphens: Agent"},
      {"did:aid:agents.test:my_agent",
       "local name must be lowercase alphanumeric with hyphens: my_agent"},
      {"did:aid:agents.test:café", "local name must be lowercase alphanumeric with hyphens: café"},
      {"did:aid:agents.test:a.b", "local name must be lowercase alphanumeric with hyphens: a.b"},
      {"did:aid:agents.test:a:b", "local name must be lowercase alphanumeric with hyphens: a:b"},
  };
  for (const auto& [text, detail] : cases) {
    expect_error(parse_aid_identifier(text), ErrorKind::InvalidAid,
                 "invalid AID identifier: " + std::string(detail));
  }
}

TEST(AidDocumentTest, ValidationOrderAndMessages) {
  const auto with = [](auto change) {
    AidDocument d = minimal();
    change(d);
    return d;
  };
  EXPECT_TRUE(validate_aid_document(minimal()).has_value());
  EXPECT_TRUE(validate_aid_document(with([](AidDocument& d) { d.controller = "did:"; })));
  EXPECT_TRUE(validate_aid_document(with([](AidDocument& d) { d.authentication.clear(); })));
  const std::string v = "AID document validation failed: ";
  const std::vector<std::pair<AidDocument, std::string>> cases = {
      {with([](AidDocument& d) {
         d.id = "did:aid:localhost:a";
         d.controller = "x";
       }),
       "invalid AID identifier: invalid domain: localhost"},
      {with([](AidDocument& d) { d.controller = "DID:aid:x.y:z"; }),
       v + "controller must be a valid DID"},
      {with([](AidDocument& d) { d.controller = ""; }), v + "controller must be a valid DID"},
      {with([](AidDocument& d) { d.controller = "did"; }), v + "controller must be a valid DID"},
      {with([](AidDocument& d) {
         d.verification_method.clear();
         d.authentication.clear();
       }),
       v + "at least one verification method required"},
      {with([](AidDocument& d) {
         d.verification_method[0].id = "did:aid:x.y:a#key-1";
         d.authentication = {"#key-1"};
       }),
       v + "authentication reference #key-1 not found in verification methods"},
      {with([](AidDocument& d) {
         d.authentication = {"#k", "\"q\"", "#z"};
       }),
       v + "authentication reference \"q\" not found in verification methods"},
  };
  for (const auto& [document, display] : cases) {
    const auto result = validate_aid_document(document);
    ASSERT_FALSE(result.has_value()) << display;
    EXPECT_EQ(result.error().kind(), display.starts_with("invalid AID") ? ErrorKind::InvalidAid
                                                                        : ErrorKind::AidValidation);
    EXPECT_EQ(result.error().display(), display);
  }
}

TEST(AidDocumentTest, WritesOnlyPresentMembersInOrder) {
  std::vector<std::string> members;
  const auto parsed = nlohmann::ordered_json::parse(to_json(minimal()));
  for (const auto& [name, value] : parsed.items()) members.push_back(name);
  EXPECT_EQ(members, (std::vector<std::string>{"@context", "id", "controller", "verificationMethod",
                                               "authentication"}));
  AidDocument d = minimal();
  d.context.clear();
  d.authentication.clear();
  d.service = std::vector<AidService>{};
  d.proof = AidProof{"Ed", Instant{0, 0}, "#k", "sig"};
  const std::string text = to_json(d);
  EXPECT_NE(text.find("\"@context\": [],\n"), std::string::npos);
  EXPECT_NE(text.find("\"authentication\": [],\n  \"service\": [],\n  \"proof\": {\n    \"type\": "
                      "\"Ed\",\n    \"created\": \"1970-01-01T00:00:00Z\",\n"),
            std::string::npos);
  d.controller = "\xff";
  expect_error(document_to_json(d), ErrorKind::Serialization,
               "serialization error: invalid UTF-8 byte at index 0: 0xff");
}

TEST(AidDocumentTest, BuilderDocumentHasItsExactForm) {
  AidBuilder b = alice_builder();
  b.trust_level("L0");
  std::string expected = R"({
  "@context": [
    "https://www.w3.org/ns/did/v1",
    "https://quorvex.dev/ns/aid/v1"
  ],
  "id": "did:aid:agents.test:alice",
  "controller": "did:aid:agents.test:controller",
  "verificationMethod": [
    {
      "id": "#key-ed25519",
      "type": "Ed25519VerificationKey2020",
      "controller": "did:aid:agents.test:controller",
      "publicKeyMultibase": "KEY"
    }
  ],
  "authentication": [
    "#key-ed25519"
  ],
  "service": [
    {
      "id": "#quorvex-metadata",
      "type": "QuorvexAgentMetadata",
      "serviceEndpoint": {
        "name": "alice"
      }
    }
  ],
  "trustLevel": "L0",
  "version": 1,
  "created": "2026-01-05T09:30:00.123456700Z",
  "updated": "2026-01-05T09:30:00.123456700Z"
})";
  expected.replace(expected.find("KEY"), 3, crypto::multibase_base58btc(key(7).public_key_bytes()));
  EXPECT_EQ(to_json(built(std::move(b))), expected);
}

TEST(AidDocumentTest, ParsesAndWritesBack) {
  const std::string builder_text = to_json(built(alice_builder()));
  auto parsed = document_from_json(builder_text);
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(to_json(*parsed), builder_text);

  // An unknown member vanishes, null is absent, [] stays, offsets fold into UTC,
  // endpoints keep any value with object members sorted at every depth.
  auto document = document_from_json(R"({"extra": {"a": [1]}, "@context": [],
    "id": "did:aid:x.y:a", "controller": "did:x", "verificationMethod": [], "authentication": [],
    "service": [], "trustLevel": null, "version": 4294967295,
    "created": "2026-01-05T10:30:00+01:00", "updated": "2026-01-05T09:30:00.5Z",
    "proof": {"type": "t", "created": "2026-01-05T09:30:00.000001Z", "verificationMethod": "v",
      "proofValue": "p", "more": 1}})");
  ASSERT_TRUE(document.has_value()) << document.error().display();
  const std::string text = to_json(*document);
  EXPECT_EQ(text.find("extra"), std::string::npos);
  EXPECT_EQ(text.find("trustLevel"), std::string::npos);
  EXPECT_NE(text.find("  \"service\": [],\n  \"version\": 4294967295,\n"
                      "  \"created\": \"2026-01-05T09:30:00Z\",\n"
                      "  \"updated\": \"2026-01-05T09:30:00.500Z\",\n"),
            std::string::npos);
  EXPECT_NE(text.find("\"created\": \"2026-01-05T09:30:00.000001Z\""), std::string::npos);

  AidDocument d = minimal();
  d.created = Instant{0, 1};
  d.service = std::vector<AidService>{{"s", "t", nlohmann::json::parse(R"([{"b": {"z": 1,
    "a": "é\u0000"}, "a": null}, 1.5, -2, true, "x"])")}};
  const std::string endpoint_text = to_json(d);
  EXPECT_NE(endpoint_text.find("\"created\": \"1970-01-01T00:00:00.000000001Z\""),
            std::string::npos);
  EXPECT_NE(endpoint_text.find("      \"serviceEndpoint\": [\n        {\n          \"a\": null,\n"
                               "          \"b\": {\n            \"a\": \"é\\u0000\",\n"
                               "            \"z\": 1\n          }\n        },\n        1.5,\n"
                               "        -2,\n        true,\n        \"x\"\n      ]\n"),
            std::string::npos)
      << endpoint_text;
  auto again = document_from_json(endpoint_text);
  ASSERT_TRUE(again.has_value());
  EXPECT_EQ(to_json(*again), endpoint_text);
}

TEST(AidDocumentTest, ParseErrorsCarryTheirPosition) {
  const std::string head = R"({"@context": [], "id": "did:aid:x.y:a", "controller": "did:x",)";
  const std::string tail = R"("verificationMethod": [], "authentication": []})";
  const auto with = [&](std::string_view member) { return head + std::string(member) + tail; };
  const std::string s = "serialization error: ";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"{}", "missing field `@context` at line 1 column 2"},
      {"",
       "syntax error while parsing value - unexpected end of input; expected '[', '{', or a "
       "literal at line 1 column 1"},
      {with("") + " {}",
       "syntax error while parsing value - unexpected '{'; expected end of input "
       "at line 1 column 111"},
      {with(R"("version": -1,)"), "invalid value: integer `-1`, expected u32 at line 1 column 76"},
      {with(R"("version": 4294967296,)"),
       "invalid value: integer `4294967296`, expected u32 at line 1 column 84"},
      {with(R"("version": "1",)"), "invalid type: string \"1\", expected u32 at line 1 column 76"},
      {with(R"("created": 5,)"),
       "invalid type: integer `5`, expected an RFC 3339 formatted date and time string at line 1 "
       "column 75"},
      {with(R"("updated": "2026-01-05",)"),
       "invalid value: string \"2026-01-05\", expected an RFC 3339 formatted date and time string "
       "at line 1 column 85"},
      {with(R"("id": "x",)"), "duplicate field `id` at line 1 column 66"},
      {head + "\n" + R"("verificationMethod": [{"id": "a", "type": "b", "controller": "c"}],)" +
           R"("authentication": []})",
       "missing field `publicKeyMultibase` at line 2 column 66"},
      {with(R"("service": [{"id": "a", "type": "b"}],)"),
       "missing field `serviceEndpoint` at line 1 column 98"},
      {with(R"("proof": {"type": "a"},)"), "missing field `created` at line 1 column 84"},
      {R"([[], "did:aid:x.y:a", "did:x", [], []])",
       "invalid length 5, expected struct AidDocument with 11 elements at line 1 column 38"},
      {R"(["c"])", "invalid type: string \"c\", expected a sequence at line 1 column 4"},
  };
  for (const auto& [text, description] : cases) {
    expect_error(document_from_json(text), ErrorKind::Serialization, s + description);
  }
  auto array_form = document_from_json(
      R"([["c"], "did:aid:x.y:a", "did:x", [["#k", "t", "", "z"]], ["#k"], [["s", "t", {}]],
          "L1", 2, null, null, null])");
  ASSERT_TRUE(array_form.has_value()) << array_form.error().display();
  EXPECT_EQ(array_form->trust_level, "L1");
  EXPECT_EQ(array_form->version, 2U);
  EXPECT_EQ(array_form->verification_method[0].public_key_multibase, "z");
}

TEST(AidBuilderTest, BuildsAValidatedDocument) {
  const AidDocument d = built(alice_builder());
  EXPECT_EQ(d.context,
            (std::vector<std::string>{std::string(kDidCoreContext), std::string(kAidContext)}));
  EXPECT_EQ(d.authentication, std::vector<std::string>{"#key-ed25519"});
  ASSERT_TRUE(d.service.has_value());
  ASSERT_EQ(d.service->size(), 1U);
  EXPECT_EQ((*d.service)[0].service_endpoint, nlohmann::json({{"name", "alice"}}));
  EXPECT_FALSE(d.trust_level.has_value());
  EXPECT_FALSE(d.proof.has_value());
  EXPECT_EQ(d.version, 1U);
  EXPECT_EQ(d.created->seconds, kCreated.seconds);
  EXPECT_EQ(d.updated->nanos, kCreated.nanos);

  AidBuilder b = alice_builder();
  b.trust_level("gold");
  b.runtime("r");
  b.model("m");
  b.description("d");
  b.name("bob");  // the last call wins
  b.add_ed25519_key(key(7));
  const AidDocument two = built(std::move(b));
  EXPECT_EQ(two.trust_level, "gold");
  EXPECT_EQ(two.verification_method.size(), 2U);
  EXPECT_EQ(two.authentication, (std::vector<std::string>{"#key-ed25519", "#key-ed25519"}));
  EXPECT_EQ((*two.service)[0].service_endpoint.dump(),
            R"({"description":"d","model":"m","name":"bob","runtime":"r"})");
}

TEST(AidBuilderTest, KeyControllerIsTakenWhenTheKeyIsAdded) {
  AidBuilder b;
  b.add_ed25519_key(key(1));
  b.id("did:aid:a.b:c");
  b.add_ed25519_key(key(2));
  b.controller("did:ctl");
  b.add_ed25519_key(key(3));
  b.id("did:aid:a.b:d");
  b.name("n");
  const AidDocument d = built(std::move(b));
  ASSERT_EQ(d.verification_method.size(), 3U);
  EXPECT_EQ(d.verification_method[0].controller, "");
  EXPECT_EQ(d.verification_method[1].controller, "did:aid:a.b:c");
  EXPECT_EQ(d.verification_method[2].controller, "did:ctl");
  EXPECT_EQ(d.verification_method[2].public_key_multibase,
            crypto::multibase_base58btc(key(3).public_key_bytes()));
}

TEST(AidBuilderTest, FailsInOrderAndIsEmptiedByEveryBuild) {
  const std::string v = "AID document validation failed: ";
  AidBuilder b;
  expect_error(b.build(kCreated), ErrorKind::AidValidation, v + "id is required");
  b.id("");  // empty text counts as set
  expect_error(b.build(kCreated), ErrorKind::AidValidation, v + "controller is required");
  b.id("");
  b.controller("did:");
  expect_error(b.build(kCreated), ErrorKind::AidValidation, v + "name is required");
  b.id("");
  b.controller("");
  b.name("");
  expect_error(b.build(kCreated), ErrorKind::AidValidation,
               v + "at least one verification method required");
  b.id("");
  b.name("n");
  b.add_ed25519_key(key(1));
  expect_error(b.build(kCreated), ErrorKind::AidValidation, v + "controller is required");

  const std::vector<std::pair<std::pair<std::string, std::string>, std::string>> invalid = {
      {{"did:aid:localhost:bot", "did:x"}, "invalid AID identifier: invalid domain: localhost"},
      {{"did:aid:a.b:c", "alice"}, v + "controller must be a valid DID"},
  };
  for (const auto& [fields, display] : invalid) {
    b.id(fields.first);
    b.controller(fields.second);
    b.name("n");
    b.add_ed25519_key(key(1));
    const auto result = b.build(kCreated);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().display(), display);
  }
  b = alice_builder();
  EXPECT_TRUE(b.build(kCreated).has_value());
  expect_error(b.build(kCreated), ErrorKind::AidValidation, v + "id is required");

  b = alice_builder();
  b.description("\xc3");
  expect_error(b.build(kCreated), ErrorKind::Serialization,
               "serialization error: invalid UTF-8 byte at index 0: 0xc3");
}

}  // namespace
}  // namespace quorvex::aid

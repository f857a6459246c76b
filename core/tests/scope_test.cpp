#include "core/dat/scope.hpp"

#include <gtest/gtest.h>

#include <string>

namespace quorvex::dat {
namespace {

Scope must_parse(std::string_view text) {
  auto scope = Scope::parse(text);
  EXPECT_TRUE(scope.has_value()) << text;
  return scope ? *scope : *Scope::parse("x:x:x:x");
}

bool covers(std::string_view granted, std::string_view requested) {
  return must_parse(granted).covers(must_parse(requested));
}

TEST(ScopeTest, ParsesFourPartsKeepingEmptyOnes) {
  const Scope scope = must_parse("mcp:tool:filesystem:read");
  EXPECT_EQ(scope.namespace_part(), "mcp");
  EXPECT_EQ(scope.protocol(), "tool");
  EXPECT_EQ(scope.resource(), "filesystem");
  EXPECT_EQ(scope.action(), "read");

  const Scope empty = must_parse(":::");
  EXPECT_EQ(empty.namespace_part(), "");
  EXPECT_EQ(empty.action(), "");
  EXPECT_EQ(empty.text(), ":::");
  EXPECT_EQ(empty.debug_text(), "Scope(':::')");

  const Scope odd = must_parse(" a :B*:ü:'q'");
  EXPECT_EQ(odd.text(), " a :B*:ü:'q'");
  EXPECT_EQ(odd.debug_text(), "Scope(' a :B*:ü:'q'')");
  EXPECT_EQ(must_parse(odd.text()).resource(), "ü");
}

TEST(ScopeTest, RejectsAnyOtherNumberOfPieces) {
  for (const std::string text : {"", "mcp:tool:read", "a:b:c:d:e", "a:b:c:d:", ":a:b:c:d",
                                 "a::b:c:d", "::::", "a:b:c:d:e:f"}) {
    const auto scope = Scope::parse(text);
    ASSERT_FALSE(scope.has_value()) << text;
    EXPECT_EQ(scope.error().kind(), ErrorKind::ScopeNotPermitted);
    EXPECT_EQ(scope.error().text(),
              "scope must have 4 parts (namespace:protocol:resource:action), got: " + text);
    EXPECT_FALSE(Scope::parses(text)) << text;
  }
  EXPECT_EQ(Scope::parse("mcp:tool:read").error().display(),
            "scope not permitted: scope must have 4 parts (namespace:protocol:resource:action), "
            "got: mcp:tool:read");
  EXPECT_TRUE(Scope::parses(":::"));
  EXPECT_TRUE(Scope::parses("a:b:c:d"));
}

TEST(ScopeTest, WildcardOnlyAsWholeGrantedPart) {
  EXPECT_TRUE(covers("mcp:tool:*:read", "mcp:tool:filesystem:read"));
  EXPECT_FALSE(covers("mcp:tool:*:read", "mcp:tool:filesystem:write"));
  EXPECT_FALSE(covers("mcp:tool:filesystem:read", "mcp:tool:*:read"));
  EXPECT_TRUE(covers("mcp:tool:*:read", "mcp:tool:*:read"));
  EXPECT_FALSE(covers("mcp:tool:fs*:read", "mcp:tool:fs1:read"));
  EXPECT_FALSE(covers("mcp:tool:**:read", "mcp:tool:x:read"));
  EXPECT_TRUE(covers("*:*:*:*", "a:b:c:d"));
  EXPECT_TRUE(covers("*:*:*:*", ":::"));
  EXPECT_TRUE(covers("a:b:c:d", "a:b:c:d"));
}

TEST(ScopeTest, LiteralPartsCompareExactly) {
  EXPECT_FALSE(covers("MCP:tool:x:read", "mcp:tool:x:read"));
  EXPECT_FALSE(covers("mcp:tool:files:read", "mcp:tool:files/tmp:read"));
  EXPECT_FALSE(covers("mcp:tool:x:read", "mcp:tool:x:read-write"));
  EXPECT_FALSE(covers("mcp:tool:x:", "mcp:tool:x:read"));
  EXPECT_FALSE(covers("x:tool:x:read", "mcp:tool:x:read"));  // first part decides too
}

}  // namespace
}  // namespace quorvex::dat

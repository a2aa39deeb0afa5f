// Guards against a command line split into the wrong arguments: quotes kept or
// lost, blanks missed, an empty argument counted, a two-byte character broken.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "programs/varnock/CommandLine.h"

namespace varnock {
namespace {

using Arguments = std::vector<std::string>;

bool NoLeadBytes(std::uint8_t) { return false; }
// A code page whose two-byte characters start with 0x81..0x9F.
bool TestLeadBytes(std::uint8_t byte) { return byte >= 0x81 && byte <= 0x9F; }

struct SplitCase {
  std::string line;
  Arguments expected;
};

void ExpectSplits(const std::vector<SplitCase>& cases, LeadBytePredicate is_lead_byte) {
  for (const SplitCase& c : cases) {
    EXPECT_EQ(SplitCommandLine(c.line, is_lead_byte), c.expected)
        << "line: " << ::testing::PrintToString(c.line);
  }
}

TEST(SplitCommandLine, QuotesGroupAndVanish) {
  ExpectSplits(
      {
          {"varnock old new patch", {"old", "new", "patch"}},
          {"  varnock   old  new patch  ", {"old", "new", "patch"}},
          {"\"C:\\Program Files\\varnock.exe\" a b", {"a", "b"}},
          {"varnock \"old file\" new patch", {"old file", "new", "patch"}},
          // a, then a quoted b-blank-c, then d: one argument of five bytes.
          {"varnock a\"b c\"d", {"ab cd"}},
          {"varnock \"ab\"\"cd\" x", {"abcd", "x"}},
          {"varnock a\"\"b", {"ab"}},
          // No escape: the quote after the backslash closes the stretch.
          {"varnock \"C:\\dir\\\" new patch", {"C:\\dir\\", "new", "patch"}},
          {"varnock a\\\"b c\"", {"a\\b c"}},
          // An unclosed quote takes the rest of the line, blanks and all.
          {"varnock old \"new  patch\tx", {"old", "new  patch\tx"}},
          {"varnock \" \" x", {" ", "x"}},
          {"varnock", {}},
          {"", {}},
          {"   ", {}},
      },
      NoLeadBytes);
}

// An empty quoted argument vanishes wherever it stands, and never ends the count early.
TEST(SplitCommandLine, EmptyQuotedArgumentsAreSkipped) {
  ExpectSplits(
      {
          {"varnock old \"\" new patch", {"old", "new", "patch"}},
          {"varnock \"\" old new patch", {"old", "new", "patch"}},
          {"varnock old new patch \"\"", {"old", "new", "patch"}},
          {"varnock old \"\"\"\" \"\" new", {"old", "new"}},
          {"varnock \"\"old", {"old"}},
          {"varnock \"\"\"a b\" c", {"a b", "c"}},
          // What is left is a lone quote: an empty argument, found at the end.
          {"varnock old \"", {"old"}},
          {"varnock old \"\"\"", {"old"}},
      },
      NoLeadBytes);
}

TEST(SplitCommandLine, EveryControlByteSeparates) {
  for (int byte = 1; byte <= 255; ++byte) {
    if (byte == '"') continue;
    std::string line = std::string("varnock a") + static_cast<char>(byte) + "b";
    Arguments expected = byte <= ' ' ? Arguments{"a", "b"} : Arguments{line.substr(8)};
    EXPECT_EQ(SplitCommandLine(line, NoLeadBytes), expected) << "byte " << byte;
  }
}

TEST(SplitCommandLine, ZeroByteEndsTheLine) {
  EXPECT_EQ(SplitCommandLine(std::string("varnock a\0b c", 13), NoLeadBytes), Arguments{"a"});
  EXPECT_EQ(SplitCommandLine(std::string("varnock \"a\0b\" c", 15), NoLeadBytes), Arguments{"a"});
  EXPECT_EQ(SplitCommandLine(std::string("vark\0 a b", 9), NoLeadBytes), Arguments{});
}

// The second byte of a two-byte character is never a quote or a blank.
TEST(SplitCommandLine, TwoByteCharactersStayWhole) {
  ExpectSplits(
      {
          {"varnock \x81\" x", {"\x81\"", "x"}},
          {"varnock \x81  x", {"\x81 ", "x"}},
          {"varnock a\x9F\tb", {"a\x9F\tb"}},
          {"varnock \"\x81\" c\" d", {"\x81\" c", "d"}},
          {"varnock \x81\x81\" x", {"\x81\x81 x"}},
          {"varnock \xA0\" x\"", {"\xA0 x"}},
          {"varnock a\x81", {"a\x81"}},
      },
      TestLeadBytes);
  EXPECT_EQ(SplitCommandLine(std::string("varnock \x81\0x y", 13), TestLeadBytes), Arguments{"\x81"});
  // Without a lead byte the same quote opens a stretch.
  EXPECT_EQ(SplitCommandLine("varnock \x81\" x", NoLeadBytes), Arguments{"\x81 x"});
}

TEST(DeliveredArguments, EmptyArgumentsAreDroppedWhereverTheyStand) {
  const char* argv[] = {"varnock", "", "old file", "", "new", "patch", ""};
  EXPECT_EQ(DeliveredArguments(7, argv), (Arguments{"old file", "new", "patch"}));
  const char* only_name[] = {""};
  EXPECT_EQ(DeliveredArguments(1, only_name), Arguments{});
  const char* quotes[] = {"varnock", "\"\"", " "};
  EXPECT_EQ(DeliveredArguments(3, quotes), (Arguments{"\"\"", " "}));
}

TEST(CommandLine, ArgumentCountsFromOneAndIsEmptyOutside) {
  CommandLine line({"old", "new", "patch"});
  EXPECT_EQ(line.ArgumentCount(), 3);
  const std::vector<std::pair<int, std::string>> cases = {
      {1, "old"}, {2, "new"}, {3, "patch"}, {0, ""}, {4, ""}, {-1, ""}, {INT_MAX, ""}, {INT_MIN, ""}};
  for (const auto& [position, expected] : cases) EXPECT_EQ(line.Argument(position), expected) << position;
  EXPECT_EQ(CommandLine({}).Argument(1), "");
}

}  // namespace
}  // namespace varnock

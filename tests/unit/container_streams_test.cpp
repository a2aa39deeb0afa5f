// Guards against the container's streams laid out other than the decoder
// reads them: offsets not taken from the cursor, a cursor that does not move
// on with literals, differences against the wrong source byte or past its end,
// and a length written where the opcode already tells it.
#include <gtest/gtest.h>

#include <vector>

#include "format/ContainerStreams.h"

namespace varnock::container {
namespace {

TEST(StreamBuilder, LaysInstructionsOutFromTheCursor) {
  const Bytes source = {10, 20, 30, 40};
  StreamBuilder builder(source, 1);
  BlockForms forms;
  const Bytes literal = {25, 30};
  builder.AddLiteral(forms, 2, literal.size());     // a short literal: the opcode is its length
  builder.AddLiteralBytes(forms, literal);          // against source[1] and source[2]
  builder.AddCopy(forms, opcode::kCopy16_8, 0, 2);  // 3 bytes back from the cursor
  const Bytes long_literal = {41, 47, 7};
  builder.AddLiteral(forms, opcode::kLiteral16, long_literal.size());
  builder.AddLiteralBytes(forms, long_literal);  // against source[2], then past its end
  builder.AddCopy(forms, opcode::kCopy32_8, 300, 0x80);
  builder.AddStop(forms);

  struct Case {
    Form form;
    Bytes expected;
  };
  const Case cases[] = {
      {Form::kOpcodes, {2, opcode::kCopy16_8, opcode::kLiteral16, opcode::kCopy32_8, opcode::kStop}},
      {Form::kLengths, {2, 3, 0x80, 0x01}},
      // Zigzag: -3 is 5; 300 - 5 = 295 is 590, 0xCE 0x04 as a varint.
      {Form::kOffsets, {5, 0xCE, 0x04}},
      {Form::kPlainLiterals, {25, 30, 41, 47, 7}},
      {Form::kDifferenceLiterals, {5, 0, 11, 7, 7}},
  };
  for (const Case& c : cases) EXPECT_EQ(forms[c.form], c.expected) << static_cast<int>(c.form);
  EXPECT_EQ(builder.Cursor(), 300u + 0x80);
}

}  // namespace
}  // namespace varnock::container

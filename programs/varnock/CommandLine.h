// The program's arguments, by position, however the OS hands them over.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace varnock {

using LeadBytePredicate = bool (*)(std::uint8_t);

// Splits a whole command line the Windows way and returns the arguments after
// the program's own name, up to the first empty one. Blanks are bytes 1..32;
// double quotes group and are dropped; a pair of them where an argument would
// start is skipped; there is no escape character; a lead byte and the byte
// after it form one character, never taken for a quote or a blank.
std::vector<std::string> SplitCommandLine(std::string_view line, LeadBytePredicate is_lead_byte);

// Arguments already split by the shell: taken as delivered, empty ones dropped.
std::vector<std::string> DeliveredArguments(int argc, const char* const* argv);

class CommandLine {
 public:
  explicit CommandLine(std::vector<std::string> arguments) : arguments_(std::move(arguments)) {}

  std::int32_t ArgumentCount() const { return static_cast<std::int32_t>(arguments_.size()); }
  // Position counts from 1; empty when there are fewer arguments.
  std::string Argument(int position) const;

 private:
  std::vector<std::string> arguments_;
};

// This process's arguments, split by the rules above where the OS hands over
// one string (`argv` unused), taken from `argv` where it hands them over split.
// Allocates, so it runs under the program's error handler.
CommandLine ProcessCommandLine(int argc, const char* const* argv);

}  // namespace varnock

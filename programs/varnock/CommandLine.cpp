#include "programs/varnock/CommandLine.h"

#include "internal/Platform.h"

namespace varnock {
namespace {

bool IsBlank(std::uint8_t byte) { return byte >= 1 && byte <= ' '; }

class Splitter {
 public:
  Splitter(std::string_view line, LeadBytePredicate is_lead_byte)
      : line_(line), is_lead_byte_(is_lead_byte) {}

  std::string NextArgument() {
    SkipToArgument();
    std::string argument;
    bool quoted = false;
    while (std::uint8_t byte = At(pos_)) {
      if (IsBlank(byte) && !quoted) break;
      if (byte == '"') {
        quoted = !quoted;
        ++pos_;
      } else if (is_lead_byte_(byte) && At(pos_ + 1) != 0) {
        argument.append(line_.substr(pos_, 2));
        pos_ += 2;
      } else {
        argument.push_back(static_cast<char>(byte));
        ++pos_;
      }
    }
    return argument;
  }

 private:
  // A zero byte ends the line as its end does.
  std::uint8_t At(std::size_t index) const {
    return index < line_.size() ? static_cast<std::uint8_t>(line_[index]) : 0;
  }

  void SkipToArgument() {
    for (;;) {
      while (IsBlank(At(pos_))) ++pos_;
      if (At(pos_) != '"' || At(pos_ + 1) != '"') return;
      pos_ += 2;
    }
  }

  std::string_view line_;
  LeadBytePredicate is_lead_byte_;
  std::size_t pos_ = 0;
};

}  // namespace

std::vector<std::string> SplitCommandLine(std::string_view line, LeadBytePredicate is_lead_byte) {
  Splitter splitter(line, is_lead_byte);
  splitter.NextArgument();  // the program's own name
  std::vector<std::string> arguments;
  for (std::string argument = splitter.NextArgument(); !argument.empty();
       argument = splitter.NextArgument()) {
    arguments.push_back(std::move(argument));
  }
  return arguments;
}

std::vector<std::string> DeliveredArguments(int argc, const char* const* argv) {
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) {
    if (argv[i][0] != '\0') arguments.emplace_back(argv[i]);
  }
  return arguments;
}

CommandLine ProcessCommandLine(int argc, const char* const* argv) {
  std::optional<std::string> line = platform::CommandLineString();
  return CommandLine(line ? SplitCommandLine(*line, platform::IsLeadByte) : DeliveredArguments(argc, argv));
}

std::string CommandLine::Argument(int position) const {
  if (position < 1 || position > ArgumentCount()) return {};
  return arguments_[static_cast<std::size_t>(position - 1)];
}

}  // namespace varnock

#include "programs/varnock-diff/DiffCommandLine.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

namespace varnock::diff {
namespace {

constexpr unsigned kMostThreads = 1024;

// A count of bytes as the manual gives it: a whole number with an optional K,
// M or G (powers of 1024, any case). CLI11's own size parser takes decimals,
// two dozen units and negative numbers, and names none of it in its messages.
std::string ParseSize(std::string& text) {
  static constexpr std::string_view kShape = "a whole number of bytes with an optional K, M or G";
  std::uint64_t value = 0;
  std::size_t digits = 0;
  for (; digits < text.size() && text[digits] >= '0' && text[digits] <= '9'; ++digits) {
    const auto digit = static_cast<std::uint64_t>(text[digits] - '0');
    if (value > (UINT64_MAX - digit) / 10) return "\"" + text + "\" is too large";
    value = value * 10 + digit;
  }
  unsigned shift = 0;
  const std::string_view suffix = std::string_view(text).substr(digits);
  if (suffix == "K" || suffix == "k") shift = 10;
  if (suffix == "M" || suffix == "m") shift = 20;
  if (suffix == "G" || suffix == "g") shift = 30;
  if (digits == 0 || (!suffix.empty() && shift == 0)) return "\"" + text + "\" is not " + std::string(kShape);
  if (value > UINT64_MAX >> shift) return "\"" + text + "\" is too large";
  text = std::to_string(value << shift);
  return {};
}

// A thread count: digits first, so that "abc" is not called out of range.
std::string CheckThreads(const std::string& text) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
    return "\"" + text + "\" is not a whole number";
  return CLI::Range(0u, kMostThreads)(text);
}

void DescribeOptions(CLI::App& app, DiffCommand& command, bool& no_verify) {
  app.add_option("source", command.source_name, "The older file")->required()->type_name("");
  app.add_option("target", command.target_name, "The newer file, which the patch rebuilds from the source")
      ->required()
      ->type_name("");
  app.add_option("patch", command.patch_name, "The patch file to write; - writes it to standard output")
      ->required()
      ->type_name("");
  app.add_flag("-f,--force", command.options.force, "Replace an existing patch file");
  app.add_flag("-q,--quiet", command.quiet, "Print no progress bar and no notes, only errors");
  app.add_flag("--no-verify", no_verify,
               "Do not apply the patch in memory to check it before it is put in place");
  app.add_flag("--compressible", command.options.maker.compressible,
               "Aim at the smallest patch after compression (xz, zstd) rather than as stored");
  app.add_flag("-z,--container", command.options.maker.container,
               "Write the patch in a container: several times smaller, read by varnock as a patch is "
               "(see the manual)");
  // Described here so that --help lists it; a command line with it is parsed
  // by ParseInfoCommandLine instead.
  app.add_flag("--info", command.info,
               "varnock-diff --info PATCH [SOURCE]: tell what the patch holds (kind, source and target "
               "lengths and CRC-32s, copies and literals) and whether SOURCE is the file it was made for");
  app.add_option(
         "-T,--threads", command.options.maker.threads,
         "Threads that find matches (0 to 1024); 0, the default, takes one per core. The patch is the same "
         "for any number")
      ->check(CLI::Validator(CheckThreads, "", "threads"))
      ->type_name("N");
  // -1 to -9, one entry in the help; the last given counts.
  for (unsigned level = kLowestMakerLevel; level <= kDefaultMakerLevel; ++level) {
    CLI::Option* flag = app.add_flag_callback(
        "-" + std::to_string(level), [&command, level] { command.options.maker.level = level; },
        "-1 ... -9: the level. -9, the default, makes the smallest patch; each level down takes a smaller, "
        "faster index that finds fewer matches (see the manual)");
    if (level != kLowestMakerLevel) flag->group("");
  }
  app.add_option("--memory", command.options.maker.memory_limit,
                 "Memory the maker may use besides the inputs (suffixes K, M, G: powers of 1024); past it "
                 "a smaller index is used. 0, the default, sets no limit")
      ->transform(CLI::Validator(ParseSize, "", "size"))
      ->type_name("SIZE");
}

// CLI11 reports a missing name before an option it does not know, so that
// "-V" alone would be told "source is required": unknown options come first.
void RefuseUnknownOptions(const CLI::App& app, const std::vector<std::string>& arguments) {
  for (auto argument = arguments.begin(); argument != arguments.end(); ++argument) {
    if (*argument == "--") return;
    if (argument->size() < 2 || (*argument)[0] != '-') continue;
    const bool is_long = (*argument)[1] == '-';
    const std::string name = is_long ? argument->substr(0, argument->find('=')) : argument->substr(0, 2);
    if (name == "-h" || name == "--help" || name == "--version") continue;
    const CLI::Option* option = app.get_option_no_throw(name);
    if (option == nullptr) throw EUsageError("unknown option " + name);
    // Its value, when it is the next argument, may start with "-".
    const bool value_apart = is_long ? name.size() == argument->size() : argument->size() == 2;
    if (option->get_type_size() != 0 && value_apart && argument + 1 != arguments.end()) ++argument;
  }
}

// Runs `app` over the arguments; help and version become the text to print.
void ParseInto(CLI::App& app, const std::vector<std::string>& arguments, DiffCommand& command) {
  try {
    RefuseUnknownOptions(app, arguments);
    // CLI11 takes the arguments last first.
    std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());
    app.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    command.text_to_print = app.help();
  } catch (const CLI::CallForVersion& version) {
    command.text_to_print = std::string(version.what()) + "\n";
  } catch (const CLI::ParseError& error) {
    throw EUsageError(error.what());
  }
}

// --info PATCH [SOURCE], with -q.
DiffCommand ParseInfoCommandLine(const std::vector<std::string>& arguments) {
  DiffCommand command;
  command.info = true;
  CLI::App app("Tells what <patch> holds and whether <source> is the file it was made for.",
               std::string(kProgramName) + " --info");
  app.allow_windows_style_options(false);
  bool info = false;
  app.add_flag("--info", info, "Describe a patch rather than make one")->required();
  app.add_option("patch", command.patch_name, "The patch: raw, a container, or compressed by xz or zstd")
      ->required()
      ->type_name("");
  app.add_option("source", command.source_name, "A file to check against the patch's source")->type_name("");
  app.add_flag("-q,--quiet", command.quiet, "Print no progress bar");
  ParseInto(app, arguments, command);
  return command;
}

}  // namespace

DiffCommand ParseDiffCommandLine(const std::vector<std::string>& arguments) {
  for (const std::string& argument : arguments) {
    if (argument == "--") break;
    if (argument == "--info") return ParseInfoCommandLine(arguments);
  }
  DiffCommand command;
  CLI::App app("Writes a patch that rebuilds <target> from <source>, for varnock to apply.", kProgramName);
  app.set_version_flag("--version", std::string(kProgramName) + " " VARNOCK_VERSION);
  // Built for Windows, CLI11 would take an argument beginning with '/' (such
  // as "/f", or a name "/data/old.bin") for an option; options are the same
  // on every OS.
  app.allow_windows_style_options(false);
  bool no_verify = false;
  DescribeOptions(app, command, no_verify);
  ParseInto(app, arguments, command);
  command.options.verify = !no_verify;
  return command;
}

}  // namespace varnock::diff

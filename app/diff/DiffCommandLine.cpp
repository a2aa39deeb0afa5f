#include "app/diff/DiffCommandLine.h"

#include <CLI/CLI.hpp>
#include <algorithm>

namespace varnock::diff {
namespace {

constexpr unsigned kMostThreads = 1024;

// The size parser would wrap a negative number around to a huge one.
std::string NotNegative(const std::string& text) {
  return text.find('-') == std::string::npos ? std::string() : "a size is not negative";
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
  app.add_option(
         "-T,--threads", command.options.maker.threads,
         "Threads that find matches (0 to 1024); 0, the default, takes one per core. The patch is the same "
         "for any number")
      ->check(CLI::Range(0u, kMostThreads).description(""))
      ->type_name("N");
  app.add_option("--memory", command.options.maker.memory_limit,
                 "Memory the maker may use besides the inputs (suffixes K, M, G: powers of 1024); past it "
                 "a smaller index is used. 0, the default, sets no limit")
      ->check(NotNegative)
      ->transform(CLI::AsSizeValue(false).description(""))
      ->type_name("SIZE");
}

}  // namespace

DiffCommand ParseDiffCommandLine(const std::vector<std::string>& arguments) {
  DiffCommand command;
  CLI::App app("Writes a patch that rebuilds <target> from <source>, for varnock to apply.", kProgramName);
  app.set_version_flag("--version", std::string(kProgramName) + " " VARNOCK_VERSION);
  // Built for Windows, CLI11 would take an argument beginning with '/' (such
  // as "/f", or a name "/data/old.bin") for an option; options are the same
  // on every OS.
  app.allow_windows_style_options(false);
  bool no_verify = false;
  DescribeOptions(app, command, no_verify);
  try {
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
  command.options.verify = !no_verify;
  return command;
}

}  // namespace varnock::diff

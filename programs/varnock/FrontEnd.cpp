#include "programs/varnock/FrontEnd.h"

#include <new>
#include <span>

#include "internal/Errors.h"
#include "internal/Platform.h"
#include "programs/varnock/ApplyPatch.h"
#include "programs/varnock/MemoryReserve.h"
#include "programs/varnock/StandardOutput.h"

namespace varnock {
namespace {

constexpr const char* kBanner[] = {
    "Varnock [version " VARNOCK_VERSION " alpha] Binary files patch applicator",
    "Copyright (C) 2026 The Varnock developers",
};

constexpr const char* kUsage[] = {
    "",
    "Usage:",
    "  varnock <source> <target> <patch>",
    "",
    "Where:",
    "  <source> - name of older file for which the patch have to be generated",
    "  <target> - name of newer file to create using source file",
    "  <patch>  - name of patch file to use",
};

constexpr const char* kErrorPrefix = "Brevane ERROR: ";

// Whatever the error path needs is in place before the run starts: the
// output buffer is a member and the texts are constants, so the error line
// is written, also when memory has run out, without allocating.
class ConsoleFrontEnd : public FrontEnd {
 public:
  void TakeCommandLine(CommandLine command_line) { command_line_ = std::move(command_line); }
  std::int32_t ArgumentCount() const { return command_line_.ArgumentCount(); }
  std::string Argument(int position) const override { return command_line_.Argument(position); }
  void WriteText(std::string_view text) override { output_.WriteText(text); }
  void WriteLine(std::string_view text) override { output_.WriteLine(text); }

  [[noreturn]] void Exit(ExitCode code) {
    output_.Flush();
    platform::ExitProcess(code);
  }

  [[noreturn]] void ExitWithError(std::string_view message) {
    output_.WriteLine();  // ends the line of progress markers
    output_.WriteLine({kErrorPrefix, message});
    Exit(kExitError);
  }

  // An input shortened by another process under the run. Called from a signal
  // handler, where no exception can be raised: it ends the process without
  // unwinding.
  [[noreturn]] void ExitOnInputFault(const char* input_name) {
    output_.WriteLine();
    output_.WriteLine(
        {kErrorPrefix, "Input file \"", input_name, "\" was shortened while it was being read"});
    output_.Flush();
    platform::ExitProcessAtOnce(kExitError);
  }

 private:
  CommandLine command_line_{std::vector<std::string>()};
  StandardOutputWriter output_;
};

ConsoleFrontEnd* running_front_end = nullptr;

void ReportInputFault(const char* input_name) { running_front_end->ExitOnInputFault(input_name); }

void WriteLines(FrontEnd& front_end, std::span<const char* const> lines) {
  for (const char* line : lines) front_end.WriteLine(line);
}

}  // namespace

void RunProgram(int argc, const char* const* argv) {
  const bool memory_reserved = ReserveMemoryForErrors();
  ConsoleFrontEnd front_end;
  running_front_end = &front_end;
  platform::SetInputFaultHandler(ReportInputFault);
  try {
    WriteLines(front_end, kBanner);
    if (!memory_reserved) front_end.ExitWithError(kOutOfMemoryMessage);
    front_end.TakeCommandLine(ProcessCommandLine(argc, argv));
    if (front_end.ArgumentCount() != 3) {
      WriteLines(front_end, kUsage);
      front_end.Exit(kExitUsage);
    }
    ApplyPatch(front_end);
  } catch (const Exception& error) {
    front_end.ExitWithError(error.Message());
  } catch (const std::bad_alloc&) {
    front_end.ExitWithError(kOutOfMemoryMessage);
  }
  front_end.Exit(kExitSuccess);
}

}  // namespace varnock

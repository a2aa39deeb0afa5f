#include "programs/varnock-diff/DiffProgram.h"

#include <cstdint>
#include <new>
#include <string>
#include <string_view>

#include "internal/Make.h"
#include "internal/Platform.h"
#include "programs/common/Console.h"
#include "programs/varnock-diff/DiffCommandLine.h"
#include "programs/varnock-diff/InspectCommand.h"
#include "programs/varnock-diff/ProgressBar.h"

namespace varnock::diff {
namespace {

enum ExitCode : int { kExitSuccess = 0, kExitUsage = 1, kExitError = 2 };

void PrintMessage(std::string_view message) {
  WriteStandardError(std::string(kProgramName) + ": " + std::string(message) + "\n");
}

// Runs inside the bus-error handler: writes without allocating, then ends the
// process (the platform has already removed the unfinished patch).
void ReportInputFault(const char* input_name) {
  const std::string_view pieces[] = {kProgramName, ": the input \"", input_name,
                                     "\" was shortened while it was being read\n"};
  for (std::string_view piece : pieces) WriteStandardError(piece);
  platform::ExitProcessAtOnce(kExitError);
}

// The help or the version: a failed write (a full disk, a closed pipe) fails
// the run, as it would for any other output.
void PrintText(std::string_view text) {
  platform::StandardOutput output = platform::OpenStandardOutput();
  if (output.handle == platform::kInvalidHandle) throw Exception("There is no standard output to write to");
  if (!platform::WriteStandardOutput(output.handle, text.data(), text.size()))
    RaiseLastOSError("Cannot write to standard output");
}

// The patch name that stands for standard output.
constexpr std::string_view kStandardOutputName = "-";

platform::Handle OpenStandardOutputForPatch() {
  platform::StandardOutput output = platform::OpenStandardOutput();
  if (output.handle == platform::kInvalidHandle)
    throw Exception("There is no standard output to write the patch to");
  return output.handle;
}

void MakePatch(const DiffCommand& command, ProgressBar& bar) {
  if (!command.quiet && platform::IsTerminal(platform::StandardErrorHandle())) bar.Enable();
  const ProgressReport show = [&bar](Stage stage, std::uint64_t done, std::uint64_t total) {
    bar.Show(stage, done, total);
  };
  MakerReport report =
      command.patch_name == kStandardOutputName
          ? MakePatchToStream(command.source_name, command.target_name, OpenStandardOutputForPatch,
                              "standard output", command.options, show)
          : MakePatchFile(command.source_name, command.target_name, command.patch_name, command.options,
                          show);
  bar.Clear();
  if (command.quiet) return;
  if (report.used_small_index) {
    PrintMessage(
        "note: the memory limit left no room for the full index; a smaller one was used, and the "
        "patch may be larger");
  }
  if (report.machine_too_small) {
    PrintMessage("note: the default index needs " + Mebibytes(report.memory_needed, Rounding::kDown) +
                 " and this machine has " + Mebibytes(report.memory_available, Rounding::kDown) +
                 " free; a smaller index was used, so the patch may be larger and differ from one made on a "
                 "larger machine (--memory fixes the choice)");
  }
}

}  // namespace

void RunDiffProgram(const std::vector<std::string>& arguments) {
  platform::PrepareProcess();
  platform::SetInputFaultHandler(ReportInputFault);
  platform::CatchTerminationSignals();
  ProgressBar bar;
  int exit_code = kExitSuccess;
  try {
    DiffCommand command = ParseDiffCommandLine(arguments);
    if (!command.text_to_print.empty()) {
      PrintText(command.text_to_print);
    } else if (command.info) {
      if (!command.quiet && platform::IsTerminal(platform::StandardErrorHandle())) bar.Enable();
      const InspectVerdict verdict = InspectPatchFile(command.patch_name, command.source_name, bar);
      PrintText(verdict.text);
      if (!verdict.source_fits) exit_code = kExitError;
    } else {
      MakePatch(command, bar);
    }
  } catch (const EUsageError& error) {
    PrintMessage(error.Message());
    PrintMessage(std::string("try '") + kProgramName + " --help' for more information");
    exit_code = kExitUsage;
  } catch (const EPatchExists& error) {
    bar.Clear();
    PrintMessage(error.Message() + " (-f replaces it)");
    exit_code = kExitError;
  } catch (const Exception& error) {
    bar.Clear();
    PrintMessage(error.Message());
    exit_code = kExitError;
  } catch (const std::bad_alloc&) {
    bar.Clear();
    PrintMessage(kOutOfMemoryMessage);
    exit_code = kExitError;
  } catch (const std::exception& error) {
    // The maker turns what it knows into its own errors; anything else from
    // the C++ runtime still ends the run with a message, never an abort.
    bar.Clear();
    PrintMessage(std::string("Internal error: ") + error.what());
    exit_code = kExitError;
  }
  platform::ExitProcess(exit_code);
}

}  // namespace varnock::diff

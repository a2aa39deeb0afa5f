#include "app/CommandLine.h"
#include "app/FrontEnd.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  varnock::platform::PrepareProcess();
  auto line = varnock::platform::CommandLineString();
  varnock::CommandLine command_line(line ? varnock::SplitCommandLine(*line, varnock::platform::IsLeadByte)
                                         : varnock::DeliveredArguments(argc, argv));
  varnock::RunProgram(command_line);
}

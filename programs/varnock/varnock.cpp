#include "programs/varnock/FrontEnd.h"
#include "internal/Platform.h"

int main(int argc, char** argv) {
  varnock::platform::PrepareProcess();
  varnock::RunProgram(argc, argv);
}

#include "programs/common/Console.h"
#include "programs/varnock/FrontEnd.h"

int main(int argc, char** argv) {
  varnock::platform::PrepareProcess();
  varnock::RunProgram(argc, argv);
}

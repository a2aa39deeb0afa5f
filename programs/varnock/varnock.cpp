#include "app/FrontEnd.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  varnock::platform::PrepareProcess();
  varnock::RunProgram(argc, argv);
}

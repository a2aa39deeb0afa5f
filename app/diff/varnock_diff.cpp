#include <string>
#include <vector>

#include "app/diff/DiffProgram.h"

int main(int argc, char** argv) {
  varnock::diff::RunDiffProgram(std::vector<std::string>(argv + 1, argv + argc));
}

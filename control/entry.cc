// The program entry of vxupdater: hands the command line to the main procedure and ends
// the process with its result.
#include <string>

#include "control/control.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  const std::u16string commandLine = platform::CommandLineFromArguments(argc, argv);
  platform::ExitProcess(control::WinMain(commandLine.c_str()));
}

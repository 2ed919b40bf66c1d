// The parts of the platform layer that read the same on every system.
#include "platform.h"

namespace orvex::platform {

std::string HostDescription() {
  HostFacts f = GetHostFacts();
  std::string out;
  out += "CPU: " + f.cpuName + " (" + std::to_string(f.cores) + " cores)\r\n";
  out += "RAM: " + std::to_string(f.totalMemory / (1024 * 1024)) + " MB\r\n";
  out += "OS: " + f.systemName + "\r\n";
  out += "Computer: " + f.computerName + "  User: " + f.userName + "\r\n";
  return out;
}

}  // namespace orvex::platform

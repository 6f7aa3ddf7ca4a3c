// The server address of -U: "http://host:port" with the seven-character
// scheme prefix skipped unchecked. Any argument either makes a client for a
// non-empty host and a port from 1 to 65535, or is refused with a message
// naming it.
#include <cstdlib>
#include <cstring>
#include <string>

#include "driver/driver.h"
#include "host/host.h"
#include "tests/fuzz/harness.h"

namespace fuzz {

Outcome serverAddress(const uint8_t* data, size_t size) {
  std::string address(reinterpret_cast<const char*>(data), strnlen(reinterpret_cast<const char*>(data), size));
  std::string argument = address;
  static ReconParams p;
  char program[] = "korvan", option[] = "-U";
  char* argv[] = {program, option, &argument[0], nullptr};

  const Outcome outcome = runInput([&] {
    initReconParams(p);
    scanner::reset();
    parseArguments(p, 3, argv);
  });

  if (outcome == Outcome::kAccepted) {
    require(p.serverUrl != nullptr && address == p.serverUrl, "the whole address is kept");
    const size_t colon = address.find(':', 7);
    require(colon != std::string::npos && clientHost == address.substr(7, colon - 7),
            "the host is the text between the scheme prefix and the next colon");
    require(!clientHost.empty() && clientPort >= 1 && clientPort <= 65535, "host and port are usable");
  } else {
    const std::string message = "Error: server address " + address + " is not of the form http://host:port";
    require(loggedText == message.substr(0, 1023), "a refused address is named in the message");
    require(p.serverUrl == nullptr && clientPort == -1, "a refused address makes no client");
  }
  std::free(p.serverUrl);
  p.serverUrl = nullptr;
  return outcome;
}

}  // namespace fuzz

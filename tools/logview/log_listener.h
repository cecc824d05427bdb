// The UDP socket ZelLogView listens on, and its stop on Ctrl+C or a termination request;
// log_listener.cc on Linux, log_listener_win.cc on Winsock.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

class TLogListener {
 public:
  TLogListener() = default;
  TLogListener(const TLogListener&) = delete;
  TLogListener& operator=(const TLogListener&) = delete;
  ~TLogListener();

  // A dotted IPv4 address in network byte order; false when the text is none.
  static bool ParseAddress(const char* text, uint32_t& address);
  static std::string AddressText(uint32_t address);
  // Binds to address:port (reusing the address); error names the cause on failure.
  bool Open(uint32_t address, int port, std::string& error);
  // One datagram into buf: its size, or -1 when none came (a stop request, a time-out or
  // an error of the socket).
  long Receive(uint8_t* buf, size_t size);

  // From then on Ctrl+C and termination requests make Stopping() true and wake Receive.
  static void CatchStop();
  static bool Stopping();

 private:
  intptr_t socket_ = -1;
};

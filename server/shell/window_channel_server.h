// The server side of the main window's channel: message 1034 (close) and the operator's
// "status", "values" and "window" requests, one request line per connection. Both shells use it:
// the headless one waits on its descriptors, the desktop one polls them from a timer.
#pragma once
#include <poll.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

// What the main window shows. State: "shown", "minimized", "tray" (hidden, the tray
// icon shown), "hidden", or "headless" (no window; the labels the shell reported).
struct TWindowView {
  std::string State, Message, OpcDa, OpcUa, Status;
};
// The answer to "window": one "name<TAB>text" line each for state, message, opcda, opcua
// and status; a line break inside a text becomes a space.
std::vector<std::string> WindowViewLines(const TWindowView& view);

class TWindowChannelServer {
 public:
  // Listens on the main window's channel. `onClose` runs for message 1034 (main thread);
  // `view` tells what the window shows, for the "window" request.
  explicit TWindowChannelServer(std::function<void()> onClose, std::function<TWindowView()> view = {});
  ~TWindowChannelServer();
  TWindowChannelServer(const TWindowChannelServer&) = delete;
  TWindowChannelServer& operator=(const TWindowChannelServer&) = delete;

  // Drops the connections past their deadline and appends the descriptors to wait on.
  void AddPollFds(std::vector<pollfd>& fds);
  // Handles the entries that AddPollFds appended (from `first` on) after a poll.
  void Handle(const std::vector<pollfd>& fds, size_t first);
  // A poll without waiting and its handling, for a loop of its own (the desktop shell).
  void PollNow();

 private:
  void Serve(int fd);
  void Flush(int fd);
  void Drop(int fd);

  std::function<void()> onClose_;
  std::function<TWindowView()> view_;
  int listenFd_ = -1;
  // A connection. Answers are queued and written as the requester takes them (POLLOUT),
  // so a large "values" answer goes out whole while a slow or stuck requester never
  // blocks the main loop; a connection not done by its deadline is dropped, which bounds
  // what a stuck one holds.
  struct TClient {
    std::string in;   // the request line so far
    std::string out;  // the answer
    size_t sent = 0;  // bytes of out taken by the requester
    bool answered = false;
    int64_t deadline = 0;  // monotonic ms
  };
  std::map<int, TClient> clients_;
};

#include "server/shell/post_and_wait.h"

#include <exception>
#include <future>

void PostAndWait(const std::function<void(std::function<void()>)>& post, const std::function<void()>& task) {
  std::promise<void> done;
  auto fut = done.get_future();
  post([&] {
    try {
      task();
    } catch (...) {
      done.set_exception(std::current_exception());
      return;
    }
    done.set_value();
  });
  fut.get();
}

// Run-on-main-and-wait for the Modbus connection threads (the synchronous window message
// of the register requests), with an end: once Stop has run, a waiting thread returns at
// once and a call still queued never runs. Without that end a connection thread could
// wait forever on a main loop that has already finished.
#pragma once
#include <functional>
#include <memory>
#include <mutex>
#include <semaphore>
#include <set>

class TMainHandOver {
 public:
  // Queues a task for the main loop; any thread may call it.
  using TPost = std::function<void(std::function<void()>)>;

  explicit TMainHandOver(TPost post) : post_(std::move(post)), shared_(std::make_shared<TShared>()) {}
  ~TMainHandOver() { Stop(); }
  TMainHandOver(const TMainHandOver&) = delete;
  TMainHandOver& operator=(const TMainHandOver&) = delete;

  // Another thread: runs `work` on the main loop and returns its result, or `stopped`
  // when the hand-over has been stopped before the work ran.
  template <class T>
  T Run(const std::function<T()>& work, T stopped) {
    TCall call;
    T result = stopped;
    call.Work = [&] { result = work(); };
    {
      std::lock_guard lock(shared_->Mutex);
      if (shared_->Stopped) return stopped;
      shared_->Pending.insert(&call);
    }
    post_([s = shared_, c = &call] {
      {
        // Stop runs on the main thread too, so it cannot come between this check and
        // the work below; a call that Stop released is gone and never touched.
        std::lock_guard lock(s->Mutex);
        if (s->Stopped || !s->Pending.count(c)) return;
      }
      // The waiting thread is released whatever happens (its call is gone after that);
      // an exception goes on to the main loop's own exception path.
      auto finish = [&](bool ran) {
        c->Ran = ran;
        {
          std::lock_guard lock(s->Mutex);
          s->Pending.erase(c);
        }
        c->Done.release();
      };
      try {
        c->Work();
      } catch (...) {
        finish(false);
        throw;
      }
      finish(true);
    });
    call.Done.acquire();
    return call.Ran ? result : stopped;
  }

  // Main thread: releases every waiting call; later calls return at once.
  void Stop() {
    std::lock_guard lock(shared_->Mutex);
    shared_->Stopped = true;
    for (TCall* c : shared_->Pending) {
      c->Ran = false;
      c->Done.release();
    }
    shared_->Pending.clear();
  }

 private:
  struct TCall {
    std::function<void()> Work;
    bool Ran = true;
    std::binary_semaphore Done{0};
  };
  struct TShared {
    std::mutex Mutex;
    bool Stopped = false;           // guarded by Mutex
    std::set<TCall*> Pending;       // guarded by Mutex; calls posted and not yet done
  };
  TPost post_;
  std::shared_ptr<TShared> shared_;
};

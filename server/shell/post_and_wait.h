// Running a task on the main loop from another thread, for every shell.
#pragma once
#include <functional>

// Another thread: hands `task` to `post` (a queue the main loop empties) and waits until
// it ran there; an exception of the task is rethrown here.
void PostAndWait(const std::function<void(std::function<void()>)>& post, const std::function<void()>& task);

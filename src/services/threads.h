// Starting the program's worker threads: a thread the system cannot create is reported as a message line,
// and the piece it belongs to stays down while the rest of the program runs on.
#pragma once

#include <functional>
#include <thread>

// Starts body on thread. When the system refuses a new thread: the message line
// "<piece> - Unable to create thread: <reason>", thread stays empty, and the result is false.
bool thread_start(std::thread& thread, const char* piece, std::function<void()> body);

// For tests: the next count starts are refused as the system refuses them when it has no room for a thread.
void thread_refuse_next(int count);

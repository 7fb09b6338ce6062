// Thread starts that report a refusal instead of ending the program with an exception.
#include "services/threads.h"

#include "services/message_lines.h"

#include <atomic>
#include <cerrno>
#include <new>
#include <system_error>

namespace {

std::atomic<int> refusals{0};  // starts still to be refused, for tests

bool take_refusal()
{
    int left = refusals.load();
    while (left > 0 && !refusals.compare_exchange_weak(left, left - 1)) {
    }
    return left > 0;
}

} // namespace

bool thread_start(std::thread& thread, const char* piece, std::function<void()> body)
{
    try {
        if (take_refusal())
            throw std::system_error(EAGAIN, std::generic_category());
        thread = std::thread(std::move(body));
        return true;
    } catch (const std::system_error& error) {
        add_line("%s - Unable to create thread: %s", piece, error.code().message().c_str());
    } catch (const std::bad_alloc&) {
        add_line("%s - Unable to create thread: out of memory", piece);
    }
    return false;
}

void thread_refuse_next(int count)
{
    refusals = count;
}

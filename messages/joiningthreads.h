// A group of threads that are joined when the group goes, however it goes: a std::thread
// destroyed while it can still be joined ends the program.
#pragma once

#include <cstddef>
#include <thread>
#include <utility>
#include <vector>

class JoiningThreads
{
public:
    // Room for `count` threads is taken first, so that starting them moves none.
    explicit JoiningThreads(std::size_t count) { m_threads.reserve(count); }
    ~JoiningThreads() { join(); }
    JoiningThreads(const JoiningThreads &) = delete;
    JoiningThreads &operator=(const JoiningThreads &) = delete;

    // Runs f(args...) on a thread of its own. Throws what std::thread throws (no thread,
    // no memory, an argument that cannot be copied), having started nothing.
    template <typename F, typename... Args> void start(F &&f, Args &&...args)
    {
        m_threads.emplace_back(std::forward<F>(f), std::forward<Args>(args)...);
    }

    void join()
    {
        for (std::thread &thread : m_threads) {
            if (thread.joinable())
                thread.join();
        }
    }

    std::size_t size() const { return m_threads.size(); }

private:
    std::vector<std::thread> m_threads;
};

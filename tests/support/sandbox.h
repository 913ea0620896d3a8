#pragma once
// A temporary directory for one test that removes itself with everything in it.

#include <string>
#include <string_view>

namespace tarvell::test
{

class Sandbox
{
public:
    Sandbox();
    ~Sandbox();
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    // The directory, without a trailing "/".
    const std::string& Path() const { return m_path; }

    // Path() + "/" + name.
    std::string File(std::string_view name) const;

    // Writes content to the file name inside the sandbox (replacing it) and returns its path.
    std::string Write(std::string_view name, std::string_view content) const;

private:
    std::string m_path;
};

// The whole content of a file, or empty when it cannot be read.
std::string ReadFile(const std::string& path);

// Waits until condition() holds or the deadline passes; returns the last value.
template <typename Condition>
bool WaitUntil(Condition condition, int timeoutMs = 10000);

void SleepMs(int ms);

template <typename Condition>
bool WaitUntil(Condition condition, int timeoutMs)
{
    for (int waited = 0; waited < timeoutMs; waited += 5)
    {
        if (condition())
            return true;
        SleepMs(5);
    }
    return condition();
}

} // namespace tarvell::test

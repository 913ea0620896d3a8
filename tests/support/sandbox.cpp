#include "support/sandbox.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace tarvell::test
{

Sandbox::Sandbox()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "tarvell-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("cannot make a temporary directory");
    m_path = pattern;
}

Sandbox::~Sandbox()
{
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

std::string Sandbox::File(std::string_view name) const
{
    return m_path + "/" + std::string(name);
}

std::string Sandbox::Write(std::string_view name, std::string_view content) const
{
    std::string path = File(name);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    return path;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void SleepMs(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

} // namespace tarvell::test

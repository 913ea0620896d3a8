// tarvell: feeds the KDX waveform archive from near-real-time waveform servers.

#include <cstdio>
#include <cstring>

namespace
{

const char kUsage[] =
    "Usage: tarvell [OPTIONS] [ODBC=dsn [USER=user [PASSWORD=password [DATA=dir]]]]\n"
    "\n"
    "Feeds the KDX waveform archive from near-real-time waveform servers (xfer protocol).\n"
    "\n"
    "Options:\n"
    "  --ini PATH      use PATH as the program INI file\n"
    "  --headless      run without a window (service mode)\n"
    "  --help          show this help and exit\n"
    "  --version       show the version and exit\n";

} // namespace

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i)
    {
        if (std::strcmp(argv[i], "--help") == 0)
        {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0)
        {
            std::puts("TARVELL Version 1.0");
            return 0;
        }
    }
    std::fputs(kUsage, stderr);
    return 2;
}

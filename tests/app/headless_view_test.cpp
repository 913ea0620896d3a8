#include "app/headless_view.h"

#include <cstdlib>

#include <gtest/gtest.h>

#include "log/event_log.h"
#include "platform/clock.h"
#include "support/sandbox.h"

namespace tarvell
{
namespace
{

std::time_t FixedClock()
{
    return 1796648695; // 2026-12-07 13:04:55 UTC
}

TEST(HeadlessView, MessageBoxBecomesOneLogLineAndNeverBlocks)
{
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    test::Sandbox box;
    SetWallClockForTest(&FixedClock);
    ResetLogForTest();
    InitLog(box.Write("t.ini", "[LOG]\nDIR=" + box.Path() + "\n"));

    CHeadlessView view;
    view.ShowMessage("Ошибка при подключении к базе данных",
                     "При попытке подключения к базе данных произошла ошибка:\r\nno such DSN",
                     MessageIcon::Error, true);
    EXPECT_NE(test::ReadFile(box.File("07122026.log"))
                  .find("13:04:55 07.12.2026  #[TARVELL] Ошибка при подключении к базе данных: "
                        "При попытке подключения к базе данных произошла ошибка: no such DSN#\r\n"),
              std::string::npos);
    ResetLogForTest();
    SetWallClockForTest(nullptr);
}

} // namespace
} // namespace tarvell

// Statement texts without a database: quoting, number formatting, schema scripts.

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <string>

#include <gtest/gtest.h>

#include "db/db_access.h"
#include "platform/text_format.h"
#include "db/db_admin.h"
#include "support/sandbox.h"

namespace tarvell
{
namespace
{

TEST(SqlTextTest, QuotesAreDoubledAndNulBytesDropped)
{
    EXPECT_EQ(SqlText("ABC"), "ABC");
    EXPECT_EQ(SqlText("O'B"), "O''B");
    EXPECT_EQ(SqlText("''"), "''''");
    EXPECT_EQ(SqlText(std::string_view("A\0B", 3)), "AB");
    EXPECT_EQ(SqlText("C:\\Data"), "C:\\Data"); // backslashes are the statements' business
}

TEST(StatementFormatting, NumbersKeepTheirDecimalPointWhateverTheProcessLocale)
{
    // The window library sets the process locale from the environment; Russian writes
    // "1,500000", which would break every statement.
    test::Sandbox box;
    std::string build =
        "localedef -i ru_RU -f UTF-8 " + box.File("ru_RU.UTF-8") + " >/dev/null 2>&1";
    if (std::system(build.c_str()) != 0)
        GTEST_SKIP() << "cannot build a Russian locale here";
    ::setenv("LOCPATH", box.Path().c_str(), 1);
    if (std::setlocale(LC_NUMERIC, "ru_RU.UTF-8") == nullptr)
    {
        ::unsetenv("LOCPATH");
        GTEST_SKIP() << "the Russian locale does not load";
    }
    char text[32];
    std::snprintf(text, sizeof text, "%f", 1.5);
    std::string localText = text;
    std::string formatted = FormatText("%f,%0.4f,%d", 1.5, 1796648695.7, -3);
    std::setlocale(LC_NUMERIC, "C");
    ::unsetenv("LOCPATH");
    EXPECT_EQ(localText, "1,500000"); // the locale was in force
    EXPECT_EQ(formatted, "1.500000,1796648695.7000,-3");
}

TEST(SqlScriptTest, StatementsEndAtSemicolonsOutsideQuotesAndComments)
{
    auto statements = SplitSqlScript("-- a comment; with a semicolon\n"
                                     "CREATE TABLE A (X INTEGER);\n\n"
                                     "INSERT INTO A VALUES ('x;y'); -- trailing\n"
                                     "  ;\n"
                                     "SELECT 1");
    ASSERT_EQ(statements.size(), 3u);
    EXPECT_EQ(statements[0], "CREATE TABLE A (X INTEGER)");
    EXPECT_EQ(statements[1], "INSERT INTO A VALUES ('x;y')");
    EXPECT_EQ(statements[2], "SELECT 1");
}

TEST(SqlScriptTest, TheShippedSchemasMakeTheFourteenKdxTablesAndTheFleetsThree)
{
    for (const char* file : {"/etc/schema/kdx-sqlite.sql", "/etc/schema/kdx-postgresql.sql"})
    {
        SCOPED_TRACE(file);
        auto statements = SplitSqlScript(test::ReadFile(std::string(TARVELL_SOURCE_DIR) + file));
        ASSERT_FALSE(statements.empty());
        EXPECT_EQ(statements[0].rfind("CREATE TABLE IF NOT EXISTS FILELIST (", 0), 0u);
        const auto tables = std::count_if(statements.begin(), statements.end(),
                                          [](const std::string& statement)
                                          { return statement.rfind("CREATE TABLE ", 0) == 0; });
        EXPECT_EQ(tables, 14 + 3);
    }
}

} // namespace
} // namespace tarvell

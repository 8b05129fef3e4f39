// Numbers and the user's locale in the app: texts shown to the user follow QLocale, while the
// C library, which the libraries use for files and logs, keeps the "C" numeric locale that
// start-up restores after the application object applied the user's environment. ctest also
// runs these tests in a process started with LC_ALL=de_DE.UTF-8.

#include "App/Model/Fmt.h"
#include "App/Model/ModelChoice.h"
#include "App/Texts.h"
#include "Support/ScopedLocale.h"

#include <gtest/gtest.h>

#include <QLocale>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

using namespace norvel;
using norvel::test::commaDecimalLocale;
using norvel::test::ScopedLocale;

TEST(AppLocale, SizesShowTheDecimalSignOfTheDisplayLocale) {
    struct Case {
        std::int64_t bytes;
        QLocale locale;
        const char* label;
    };
    const Case cases[] = {
        {1'617'824'864, QLocale::c(), "1.6 GB"},
        {1'617'824'864, QLocale(QLocale::German, QLocale::Germany), "1,6 GB"},
        {999'600'000, QLocale(QLocale::French, QLocale::France), "1,0 GB"},
        {151'061'672, QLocale(QLocale::German, QLocale::Germany), "151 MB"},
        {1'617'824'864, QLocale(QLocale::English, QLocale::UnitedStates), "1.6 GB"},
        {0, QLocale::c(), "0 MB"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Fmt::dataSize(c.bytes, c.locale), QString::fromUtf8(c.label)) << c.label;
    }
}

TEST(AppLocale, TheCLibraryKeepsTheCNumericLocaleWhileTextsFollowTheUser) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", 0.25);
    EXPECT_STREQ(text, "0.25");
    EXPECT_STREQ(std::localeconv()->decimal_point, ".");
    EXPECT_EQ(std::strtod("0.25", nullptr), 0.25);

    const char* requested = std::getenv("LC_ALL");
    if (requested == nullptr || std::string(requested) != commaDecimalLocale) return;
    // Started in the comma locale: the application object applied it to the C library, and
    // only the numeric part went back to "C".
    if (!ScopedLocale::available(commaDecimalLocale)) GTEST_SKIP() << commaDecimalLocale << " is not installed";
    EXPECT_STREQ(std::setlocale(LC_CTYPE, nullptr), commaDecimalLocale);
    EXPECT_STREQ(std::setlocale(LC_NUMERIC, nullptr), "C");
    EXPECT_EQ(QLocale().decimalPoint(), QStringLiteral(","));
    EXPECT_EQ(Fmt::dataSize(1'617'824'864), QStringLiteral("1,6 GB"));
    EXPECT_EQ(Texts::downloadPercent(0.425, QStringLiteral("2,0 MB/s")), QStringLiteral("42%  2,0 MB/s"));
}

}  // namespace

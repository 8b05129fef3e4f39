#pragma once

#include <gtest/gtest.h>

#include <clocale>
#include <locale>
#include <stdexcept>
#include <string>
#include <utility>

namespace norvel::test {

// A locale whose numbers have a decimal comma (and a full stop between thousands), the kind
// a desktop toolkit applies to the C library at start-up for many users. scripts/install-deps
// provides it.
inline constexpr const char* commaDecimalLocale = "de_DE.UTF-8";

// Runs the process in the named locale, the C library's and the C++ global one, for the life
// of the object, then restores both. Where the system lacks that locale, nothing changes and
// active() is false.
class ScopedLocale {
public:
    explicit ScopedLocale(const char* name) : savedC_(std::setlocale(LC_ALL, nullptr)) {
        try {
            std::locale::global(std::locale(name));
            active_ = std::setlocale(LC_ALL, name) != nullptr;
        } catch (const std::runtime_error&) {
            active_ = false;
        }
    }
    ~ScopedLocale() {
        std::locale::global(savedCpp_);
        std::setlocale(LC_ALL, savedC_.c_str());
    }
    ScopedLocale(const ScopedLocale&) = delete;
    ScopedLocale& operator=(const ScopedLocale&) = delete;

    bool active() const { return active_; }

    // Whether the system has the named locale.
    static bool available(const char* name) {
        try {
            std::locale probe(name);
            return true;
        } catch (const std::runtime_error&) {
            return false;
        }
    }

    // The decimal point of the C library's current locale.
    static std::string decimalPoint() { return std::localeconv()->decimal_point; }

private:
    std::string savedC_;
    std::locale savedCpp_;
    bool active_ = false;
};

// Runs `work` in the "C" locale and then in the comma locale, and gives both results.
template <typename Work>
auto inBothLocales(Work work) {
    using Result = decltype(work());
    std::pair<Result, Result> results;
    {
        ScopedLocale plain("C");
        results.first = work();
    }
    ScopedLocale comma(commaDecimalLocale);
    EXPECT_TRUE(comma.active());
    EXPECT_EQ(ScopedLocale::decimalPoint(), ",") << "the comma locale is not in force";
    results.second = work();
    return results;
}

}  // namespace norvel::test

// Skips the running test where the system lacks the comma locale.
#define SKIP_WITHOUT_COMMA_LOCALE()                                               \
    if (!norvel::test::ScopedLocale::available(norvel::test::commaDecimalLocale)) \
    GTEST_SKIP() << norvel::test::commaDecimalLocale << " is not installed (scripts/install-deps provides it)"

#pragma once

#include <QLocale>
#include <QString>

#include <cstdint>

namespace norvel {

// Display formats.
struct Fmt {
    // The clock text of a time in seconds: whole seconds (the fraction dropped, a negative time
    // counting as 0) as "m:ss" below an hour and "h:mm:ss" from an hour on; neither the minutes
    // of "m:ss" nor the hours are padded. A time that is not a number shows as 0:00, and one
    // beyond the 64-bit range of seconds as the largest time that fits.
    static QString clock(double seconds);
    // An amount of data in decimal units: whole megabytes below a gigabyte ("151 MB"), else
    // gigabytes with one decimal ("1.6 GB"), with the decimal sign of `locale`.
    static QString dataSize(std::int64_t bytes, const QLocale& locale = QLocale());
};

}  // namespace norvel

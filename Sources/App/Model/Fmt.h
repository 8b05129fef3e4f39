#pragma once

#include <QString>

namespace norvel {

// Display formats.
struct Fmt {
    // The clock text of a time in seconds: whole seconds (the fraction dropped, a negative time
    // counting as 0) as "m:ss" below an hour and "h:mm:ss" from an hour on; neither the minutes
    // of "m:ss" nor the hours are padded. A time that is not a number shows as 0:00, and one
    // beyond the 64-bit range of seconds as the largest time that fits.
    static QString clock(double seconds);
};

}  // namespace norvel

#include "App/Model/Fmt.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

namespace norvel {

QString Fmt::clock(double seconds) {
    std::int64_t whole = 0;
    if (std::isnan(seconds) || seconds <= 0) {
        whole = 0;
    } else if (seconds >= 9.2e18) {
        whole = std::numeric_limits<std::int64_t>::max();
    } else {
        whole = static_cast<std::int64_t>(seconds);
    }
    const std::int64_t secs = whole % 60;
    if (whole < 3600) {
        return QString::asprintf("%d:%02d", int(whole / 60), int(secs));
    }
    const std::int64_t minutes = (whole / 60) % 60;
    return QString::asprintf("%lld:%02d:%02d", static_cast<long long>(whole / 3600), int(minutes), int(secs));
}

QString Fmt::dataSize(std::int64_t bytes, const QLocale& locale) {
    const double megabytes = static_cast<double>(std::max<std::int64_t>(bytes, 0)) / 1e6;
    if (megabytes < 999.5) return locale.toString(std::round(megabytes), 'f', 0) + QStringLiteral(" MB");
    return locale.toString(std::round(megabytes / 100.0) / 10.0, 'f', 1) + QStringLiteral(" GB");
}

}  // namespace norvel

#pragma once

#include "App/Model/NorvelError.h"

#include <QString>

#include <exception>
#include <functional>

namespace norvel {

// The user's error for a file that could not be written. When the failure carries the
// system's error number, the message is `message` given the reason in words (the folder is
// missing, read-only, not ours, full…), of kind diskFull for a full disk or quota and general
// otherwise; the details keep the technical reason. A NorvelError passes unchanged; any other
// failure is mapped by NorvelError::from.
NorvelError fileWriteError(std::exception_ptr error, const std::function<QString(const QString& reason)>& message);

}  // namespace norvel

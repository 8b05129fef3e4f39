#include "App/Services/FileWriteError.h"

#include "App/Texts.h"

#include <cerrno>
#include <system_error>

namespace norvel {

NorvelError fileWriteError(std::exception_ptr error, const std::function<QString(const QString& reason)>& message) {
    int number = 0;
    try {
        std::rethrow_exception(error);
    } catch (const NorvelError& e) {
        return e;
    } catch (const std::system_error& e) {
        const auto& category = e.code().category();
        if (category == std::generic_category() || category == std::system_category()) number = e.code().value();
    } catch (...) {}
    const NorvelError mapped = NorvelError::from(error);
    if (number == 0) return mapped;
    const bool full = number == ENOSPC || number == EDQUOT;
    return NorvelError(full ? NorvelError::Kind::diskFull : NorvelError::Kind::general,
                       message(Texts::writeProblem(number)), mapped.details());
}

}  // namespace norvel

#include "App/Model/LanguageOption.h"

#include "App/Texts.h"

namespace norvel {

const std::vector<LanguageOption>& LanguageOption::all() {
    static const std::vector<LanguageOption> options = [] {
        std::vector<LanguageOption> list{{std::nullopt, Texts::q(Texts::detectAutomatically)}};
        for (const auto& row : Texts::languages) list.push_back({QString::fromLatin1(row[0]), Texts::q(row[1])});
        return list;
    }();
    return options;
}

}  // namespace norvel

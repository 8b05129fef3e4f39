#include "Support/Fixtures.h"

#include <cstdlib>
#include <stdexcept>
#include <system_error>

namespace norvel::test {
namespace {

std::filesystem::path existing(const std::filesystem::path& root, const std::string& relativePath) {
    auto path = root / relativePath;
    if (!std::filesystem::exists(path)) {
        throw std::runtime_error("test fixture is missing: " + path.string());
    }
    return std::filesystem::weakly_canonical(path);
}

}  // namespace

std::filesystem::path fixture(const std::string& relativePath) { return existing(NORVEL_TEST_FIXTURES, relativePath); }

void copyTokenizerFiles(const std::string& which, const std::filesystem::path& folder) {
    std::filesystem::create_directories(folder);
    for (const char* name : {"tokenizer.json", "tokenizer_config.json"}) {
        std::filesystem::copy_file(fixture("tokenizers/" + which + "/" + name), folder / name,
                                   std::filesystem::copy_options::overwrite_existing);
    }
}

TemporaryDirectory::TemporaryDirectory() {
    auto pattern = (std::filesystem::temp_directory_path() / "norvel-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::system_error(errno, std::generic_category(), "mkdtemp");
    }
    path_ = pattern;
}

TemporaryDirectory::~TemporaryDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

}  // namespace norvel::test

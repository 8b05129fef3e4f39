#pragma once

#include <filesystem>
#include <string>

namespace norvel::test {

// Absolute path of a file or folder under the read-only real-data fixtures (tokenizers,
// speech, mel filterbanks) kept in Tests/Fixtures. Throws when it does not exist, so that a
// missing fixture fails the test loudly instead of skipping it.
std::filesystem::path fixture(const std::string& relativePath);

// Copies tokenizer.json and tokenizer_config.json of a real tokenizer ("english", "multilingual",
// "multilingual-v3") into `folder`, which is created when missing.
void copyTokenizerFiles(const std::string& which, const std::filesystem::path& folder);

// A fresh, empty temporary folder removed with its contents when the object goes away.
class TemporaryDirectory {
public:
    TemporaryDirectory();
    ~TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

}  // namespace norvel::test

// Sanitizer builds only: with SANITIZER_REPORT_DIR set, every sanitizer report
// of this test process and of each bridge it forks goes to a file there, and
// one written while the tests ran fails them and is shown with them. A child's
// report cannot be missed this way, even when its test never reads its
// standard error or kills it before it is done.

#include <gtest/gtest.h>
#include <sanitizer/common_interface_defs.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

class Reports : public testing::Environment {
public:
    explicit Reports(std::filesystem::path dir) : dir_(std::move(dir)) {
        // Forked children inherit the path and add their own process id.
        prefix_ = "test-" + std::to_string(::getpid());
        path_ = (dir_ / prefix_).string();
        __sanitizer_set_report_path(path_.c_str());
    }

    void TearDown() override {
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(dir_, ec)) {
            if (entry.path().filename().string().rfind(prefix_ + ".", 0) != 0) continue;
            std::ifstream file(entry.path());
            std::ostringstream text;
            text << file.rdbuf();
            ADD_FAILURE() << "sanitizer report in " << entry.path() << ":\n" << text.str();
        }
    }

private:
    std::filesystem::path dir_;
    std::string prefix_;
    std::string path_;
};

[[maybe_unused]] const bool installed = [] {
    const char* dir = std::getenv("SANITIZER_REPORT_DIR");
    if (dir && *dir) testing::AddGlobalTestEnvironment(new Reports(dir));
    return true;
}();

}  // namespace

#include "OtherUser.h"

#include "Process.h"

#include <filesystem>
#include <sstream>
#include <stdexcept>

#include <stdlib.h>

namespace tavro::test {
namespace {

namespace fs = std::filesystem;

// A temporary directory of mode 0755 with a copy of the program and of each
// kit library under its soname; removed with the object.
class ReadableCopy {
public:
    explicit ReadableCopy(const std::string& program) {
        char pattern[] = "/tmp/tavro-other-user-XXXXXX";
        if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
        dir_ = pattern;
        fs::permissions(dir_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec);
        program_ = dir_ / fs::path(program).filename();
        fs::copy_file(program, program_);
        std::istringstream libraries(TAVRO_KIT_LIBRARIES);
        for (std::string library; std::getline(libraries, library, '|');)
            fs::copy_file(library, dir_ / fs::path(library).filename());  // follows the soname link
    }
    ~ReadableCopy() {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    ReadableCopy(const ReadableCopy&) = delete;
    ReadableCopy& operator=(const ReadableCopy&) = delete;

    std::string dir() const { return dir_.string(); }
    std::string program() const { return program_.string(); }

private:
    fs::path dir_;
    fs::path program_;
};

}  // namespace

int RunProgramAsUser(unsigned id, const std::string& program, const std::vector<std::string>& args,
                     std::string* output, std::chrono::milliseconds timeout) {
    ReadableCopy copy(program);
    const std::string user = std::to_string(id);
    std::vector<std::string> command{"--reuid=" + user, "--regid=" + user, "--clear-groups",
                                     "/usr/bin/env", "LD_LIBRARY_PATH=" + copy.dir(), copy.program()};
    command.insert(command.end(), args.begin(), args.end());
    return RunProgram("/usr/bin/setpriv", command, output, timeout);
}

}  // namespace tavro::test

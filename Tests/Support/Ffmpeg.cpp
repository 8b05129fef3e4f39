#include "Support/Ffmpeg.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace norvel::test {

bool runFfmpeg(const std::vector<std::string>& arguments) {
    std::vector<std::string> all{"ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-y"};
    all.insert(all.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& argument : all) argv.push_back(argument.data());
    argv.push_back(nullptr);
    const pid_t child = fork();
    if (child < 0) return false;
    if (child == 0) {
        execvp("ffmpeg", argv.data());
        _exit(127);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace norvel::test
